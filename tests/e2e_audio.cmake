# The program's sound through a private PulseAudio and a private PipeWire that stop and come
# back.
cuedeck_add_e2e_test(NAME e2e_audio_test SOURCES e2e_audio_test.cpp TIMEOUT 300)
