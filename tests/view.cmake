# The operator's view on the real main window: the playing display, stopping pads, drops and
# file dialogs at design size, and the board fitted to smaller screens and resized.
cuedeck_add_test(NAME view_test QT SOURCES view_test.cpp
                 LIBS cuedeck_app cuedeck_resources PkgConfig::FFMPEG TIMEOUT 180)
cuedeck_add_test(NAME view_fit_test QT SOURCES view_fit_test.cpp LIBS cuedeck_app cuedeck_resources
                 SCREENS laptops TIMEOUT 120)
