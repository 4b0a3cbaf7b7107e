# The program's sound through a private PulseAudio server that stops and comes back.
cuedeck_add_e2e_test(NAME e2e_audio_test SOURCES e2e_audio_test.cpp TIMEOUT 180)
