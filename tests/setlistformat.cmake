cuedeck_add_test(NAME setlistformat_test SOURCES setlistformat_test.cpp LIBS cuedeck_setlistformat
                 TIMEOUT 60)
