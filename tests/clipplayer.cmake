# The clip player over a real engine on SDL's dummy driver (silent, real-time clock).
cuedeck_add_test(NAME clipplayer_test QT
                 SOURCES clipplayer_test.cpp
                 LIBS cuedeck_pads PkgConfig::SNDFILE
                 LABELS pads TIMEOUT 120)
