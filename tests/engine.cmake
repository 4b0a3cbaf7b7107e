# The audio engine: mixer, streaming, loops, fades, limiter and bad input, pulled block by block
# without a device; device loss, return and choice on a stand-in sound server.
cuedeck_add_test(NAME engine_test
                 SOURCES engine_playback_test.cpp engine_badinput_test.cpp engine_mixing_test.cpp
                         engine_device_test.cpp
                 LIBS cuedeck_media PkgConfig::SNDFILE PkgConfig::SOXR PkgConfig::FFMPEG
                 LABELS engine TIMEOUT 120)
