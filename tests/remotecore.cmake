# The remote inputs' plain core: OSC and MIDI decoding, the mapping, random packets and
# messages, the command inbox across threads and the OSC listener on a real socket. Also in
# the ThreadSanitizer tree.
pkg_check_modules(JACK_TEST REQUIRED IMPORTED_TARGET jack)
cuedeck_add_test(NAME remotecore_test SOURCES remotecore_test.cpp
                 LIBS cuedeck_remote_core PkgConfig::JACK_TEST TIMEOUT 120)
