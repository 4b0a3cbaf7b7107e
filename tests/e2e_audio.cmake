# The program's sound through a private PulseAudio and a private PipeWire that stop and come
# back.
cuedeck_add_e2e_test(NAME e2e_audio_test SOURCES e2e_audio_test.cpp TIMEOUT 300)
# The private PipeWire's own account of its graph cycles (tests/pipewire_profile.h).
pkg_check_modules(PIPEWIRE_PROFILE REQUIRED IMPORTED_TARGET libpipewire-0.3)
target_link_libraries(e2e_audio_test PRIVATE PkgConfig::PIPEWIRE_PROFILE)
# What is heard through a real sound server depends on the server and the program getting a
# core in time; the test loads both cores itself where it means to. In a parallel run it runs
# alone, never beside another test.
set_tests_properties(e2e_audio_test PROPERTIES RUN_SERIAL TRUE)
