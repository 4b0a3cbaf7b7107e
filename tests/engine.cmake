# The audio engine: mixer, streaming, loops, fades, limiter and bad input, pulled block by block
# without a device; device loss, return and choice on a stand-in sound server.
cuedeck_add_test(NAME engine_test
                 SOURCES engine_playback_test.cpp engine_badinput_test.cpp engine_mixing_test.cpp
                         engine_device_test.cpp
                 LIBS cuedeck_media PkgConfig::SNDFILE PkgConfig::SOXR PkgConfig::FFMPEG
                 LABELS engine TIMEOUT 120)
# The JACK output on a private jackd. Not under ThreadSanitizer: JACK's clients hand their port
# buffers on through the server's shared-memory semaphores, which it does not see, and its
# slowed mixer misses the dummy driver's cycles.
if(NOT CUEDECK_SANITIZE MATCHES "thread")
    cuedeck_add_test(NAME output_jack_test SOURCES output_jack_test.cpp
                     LIBS cuedeck_media cuedeck_remote_core PkgConfig::SNDFILE TIMEOUT 60)
endif()
