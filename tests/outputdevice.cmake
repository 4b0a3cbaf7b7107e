# The output device in the window: the live status bar and the settings page, on a stand-in
# sound server.
cuedeck_add_test(NAME outputdevice_test QT SOURCES outputdevice_test.cpp
                 LIBS cuedeck_ui PkgConfig::SNDFILE LABELS ui TIMEOUT 120)
