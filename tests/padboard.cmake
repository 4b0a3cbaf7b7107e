# The pad board: eight pads over real clip players on the engine's silent real-time output,
# with the real file, input and question dialogs driven where it matters.
cuedeck_add_test(NAME padboard_test QT SOURCES padboard_test.cpp LIBS cuedeck_pads TIMEOUT 120)
# The clip editor and the loudness target page over a real board and clip analyser.
cuedeck_add_test(NAME clipeditor_test QT SOURCES clipeditor_test.cpp LIBS cuedeck_pads cuedeck_ui
                 TIMEOUT 180)
