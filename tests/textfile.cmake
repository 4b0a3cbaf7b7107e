cuedeck_add_test(NAME textfile_test SOURCES textfile_test.cpp LIBS cuedeck_master TIMEOUT 60)
