cuedeck_add_test(NAME setlistfile_test QT SOURCES setlistfile_test.cpp LIBS cuedeck_setlists
                 TIMEOUT 120)
cuedeck_add_test(NAME setlistslots_test QT SOURCES setlistslots_test.cpp LIBS cuedeck_setlists
                 TIMEOUT 120)
