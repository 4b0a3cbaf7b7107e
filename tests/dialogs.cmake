cuedeck_add_test(NAME apptitle_test SOURCES apptitle_test.cpp LIBS cuedeck_master)
cuedeck_add_test(NAME dialogs_test QT SOURCES dialogs_test.cpp LIBS cuedeck_dialogs)
