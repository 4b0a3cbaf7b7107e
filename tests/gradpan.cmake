# The gradient panel needs nothing else of the program: its tests build its sources directly,
# so they do not wait for the rest of the user interface library.
cuedeck_add_test(NAME gradpan_test QT
                 SOURCES gradpan_test.cpp gradpan_panel_test.cpp ${PROJECT_SOURCE_DIR}/ui/gradpan.cpp
                         ${PROJECT_SOURCE_DIR}/ui/gradcanvas.cpp
                         ${PROJECT_SOURCE_DIR}/ui/colorvalue.cpp
                 LIBS cuedeck_dialogs)
target_include_directories(gradpan_test PRIVATE ${PROJECT_SOURCE_DIR}/ui)
