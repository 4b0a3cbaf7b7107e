# The main window: every control at its place, the system commands.
cuedeck_add_test(NAME mainwindow_test QT SOURCES mainwindow_test.cpp LIBS cuedeck_ui)
