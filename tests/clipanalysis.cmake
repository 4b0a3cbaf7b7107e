# Loudness, audible span and waveform overview of clips, and the analyser that keeps them;
# libebur128 as the reference for the loudness meter.
cuedeck_add_test(NAME clipanalysis_test QT
                 SOURCES clipanalysis_test.cpp
                 LIBS cuedeck_pads PkgConfig::SNDFILE PkgConfig::FFMPEG PkgConfig::EBUR128
                 LABELS pads TIMEOUT 120)
