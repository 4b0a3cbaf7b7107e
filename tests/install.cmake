# Installation into temporary prefixes (plain and staged through DESTDIR), the generator of
# the starter set list and the Debian package (cpack, checked by lintian). Installing needs the
# program, so building the test builds it too.
cuedeck_add_test(NAME install_test SOURCES install_test.cpp LABELS install TIMEOUT 180)
target_compile_definitions(install_test PRIVATE CUEDECK_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
                           CUEDECK_CMAKE_COMMAND="${CMAKE_COMMAND}"
                           CUEDECK_CPACK_COMMAND="${CMAKE_CPACK_COMMAND}"
                           CUEDECK_VERSION="${PROJECT_VERSION}"
                           CUEDECK_APPSTREAM_ID="${CUEDECK_APPSTREAM_ID}")
if(CUEDECK_SANITIZE)
    target_compile_definitions(install_test PRIVATE CUEDECK_SANITIZED)
endif()
add_dependencies(install_test cuedeck)
# Every run of cmake --install rewrites the build tree's install_manifest.txt.
set_tests_properties(install_test PROPERTIES RESOURCE_LOCK cuedeck_install_manifest)
