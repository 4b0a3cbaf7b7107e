# The pad board: eight pads over real clip players on the engine's silent real-time output,
# with the real file, input and question dialogs driven where it matters.
cuedeck_add_test(NAME padboard_test QT SOURCES padboard_test.cpp LIBS cuedeck_pads TIMEOUT 120)
