# Fuzz targets of the remote inputs: the OSC datagram decoder and the MIDI decoder with the
# mapping, driven with raw bytes (no sockets, no MIDI system).
cuedeck_add_fuzzer(NAME osc_dispatch_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/osc_dispatch_fuzz.cpp
                   LIBS cuedeck_remote_core)
cuedeck_add_fuzzer(NAME midi_dispatch_fuzz
                   SOURCES ${CMAKE_CURRENT_LIST_DIR}/midi_dispatch_fuzz.cpp
                   LIBS cuedeck_remote_core)
# The phone panel's WebSocket messages, as a browser (or anyone with a session) sends them.
cuedeck_add_fuzzer(NAME panel_message_fuzz
                   SOURCES ${CMAKE_CURRENT_LIST_DIR}/panel_message_fuzz.cpp
                   LIBS cuedeck_remote_core)
