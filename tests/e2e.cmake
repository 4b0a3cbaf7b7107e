# End-to-end tests of the real executable under Xvfb, driven with xdotool.
pkg_check_modules(XCB REQUIRED IMPORTED_TARGET xcb)
cuedeck_add_test(NAME e2e_shell_test SOURCES e2e_test.cpp LIBS Qt6::Core PkgConfig::XCB
                 LABELS e2e TIMEOUT 400)
target_compile_definitions(e2e_shell_test PRIVATE CUEDECK_EXE="$<TARGET_FILE:cuedeck>")
add_dependencies(e2e_shell_test cuedeck)
