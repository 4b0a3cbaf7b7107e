# The application shell: data folder and seeding, window placement file, single-instance
# lock, and the main window's creation and close moments.
cuedeck_add_test(NAME placement_test SOURCES placement_test.cpp LIBS cuedeck_master)
cuedeck_add_test(NAME datafolder_test SOURCES datafolder_test.cpp LIBS cuedeck_master)
cuedeck_add_test(NAME shell_instancelock_test SOURCES shell_instancelock_test.cpp
                 LIBS cuedeck_app)
cuedeck_add_test(NAME shell_window_test QT SOURCES shell_window_test.cpp LIBS cuedeck_ui)
cuedeck_add_test(NAME shell_startup_test QT SOURCES shell_startup_test.cpp LIBS cuedeck_app)
