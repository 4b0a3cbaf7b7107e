# Readers of the program's own text files: the text decoder, set list files, the window
# placement file and the crash journal.
cuedeck_add_fuzzer(NAME text_decoder SOURCES text_decoder.cpp LIBS cuedeck_master)
cuedeck_add_fuzzer(NAME setlist_reader SOURCES setlist_reader.cpp LIBS cuedeck_setlistformat)
cuedeck_add_fuzzer(NAME placement_reader SOURCES placement_reader.cpp LIBS cuedeck_master)
cuedeck_add_fuzzer(NAME journal_reader SOURCES journal_reader.cpp LIBS cuedeck_setlistformat)
