# The audio engine: mixer, streaming and bad input, pulled block by block without a device.
cuedeck_add_test(NAME engine_test
                 SOURCES engine_playback_test.cpp engine_badinput_test.cpp
                 LIBS cuedeck_media PkgConfig::SNDFILE
                 LABELS engine TIMEOUT 120)
