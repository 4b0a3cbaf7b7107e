# The remote inputs' plain core: OSC and MIDI decoding, the mapping, the command inbox across
# threads, the OSC listener on a real socket and the MIDI input on a private JACK server. Also
# in the ThreadSanitizer tree.
pkg_check_modules(JACK_TEST REQUIRED IMPORTED_TARGET jack)
cuedeck_add_test(NAME remotecore_test SOURCES remotecore_test.cpp
                 LIBS cuedeck_remote_core PkgConfig::JACK_TEST TIMEOUT 120)
