cuedeck_add_test(NAME colorvalue_test QT
                 SOURCES colorvalue_test.cpp ${PROJECT_SOURCE_DIR}/ui/colorvalue.cpp
                 LIBS Qt6::Gui)
target_include_directories(colorvalue_test PRIVATE ${PROJECT_SOURCE_DIR}/ui)
