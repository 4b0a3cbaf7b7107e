# The transport bar: its built-in glyph images, and the strip itself over a real clip player
# on an engine without a sound device.
cuedeck_add_test(NAME transportbar_glyphs_test QT SOURCES transportbar_glyphs_test.cpp
                 LIBS cuedeck_resources TIMEOUT 60)
cuedeck_add_test(NAME transportbar_test QT SOURCES transportbar_test.cpp
                 LIBS cuedeck_pads PkgConfig::SNDFILE
                 TIMEOUT 120)
