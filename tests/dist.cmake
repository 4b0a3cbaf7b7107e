# The starter files beside the program: set list 1 of the build tree, clips, pictures, manual.
cuedeck_add_test(NAME dist_test QT SOURCES dist_test.cpp LIBS PkgConfig::SNDFILE LABELS dist
                 TIMEOUT 120)
target_compile_definitions(dist_test PRIVATE CUEDECK_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
