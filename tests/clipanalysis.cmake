# Loudness, audible span and waveform overview of clips, and the analyser that keeps them.
cuedeck_add_test(NAME clipanalysis_test QT
                 SOURCES clipanalysis_test.cpp
                 LIBS cuedeck_pads PkgConfig::SNDFILE PkgConfig::FFMPEG
                 LABELS pads TIMEOUT 120)
