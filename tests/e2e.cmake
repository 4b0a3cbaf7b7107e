# End-to-end tests of the real executable under Xvfb, driven with xdotool (tests/e2e_harness.h).
#   cuedeck_add_e2e_test(NAME name SOURCES files... [TIMEOUT s])
pkg_check_modules(XCB REQUIRED IMPORTED_TARGET xcb)
function(cuedeck_add_e2e_test)
    cmake_parse_arguments(E "" "NAME;TIMEOUT" "SOURCES" ${ARGN})
    if(NOT E_TIMEOUT)
        set(E_TIMEOUT 400)
    endif()
    cuedeck_add_test(NAME ${E_NAME} SOURCES ${E_SOURCES} LIBS Qt6::Core PkgConfig::XCB
                     LABELS e2e TIMEOUT ${E_TIMEOUT})
    target_compile_definitions(${E_NAME} PRIVATE CUEDECK_EXE="$<TARGET_FILE:cuedeck>")
    add_dependencies(${E_NAME} cuedeck)
endfunction()

cuedeck_add_e2e_test(NAME e2e_shell_test SOURCES e2e_test.cpp)
cuedeck_add_e2e_test(NAME e2e_program_test SOURCES e2e_program_test.cpp TIMEOUT 300)
cuedeck_add_e2e_test(NAME e2e_remote_test SOURCES e2e_remote_test.cpp TIMEOUT 240)
# liblo, the panel's port and screenshots, the hotkey held by another X client
target_link_libraries(e2e_remote_test PRIVATE cuedeck_remote_core Qt6::Gui Qt6::Network)
# The board on a laptop screen (1366 x 768): its screenshot is read back, hence Qt Gui.
cuedeck_add_e2e_test(NAME e2e_view_test SOURCES e2e_view_test.cpp TIMEOUT 120)
target_link_libraries(e2e_view_test PRIVATE Qt6::Gui)
# Clips cut through the clip editor; its .m4a and FLAC clips are written with libavcodec.
cuedeck_add_e2e_test(NAME e2e_clipeditor_test SOURCES e2e_clipeditor_test.cpp TIMEOUT 180)
target_link_libraries(e2e_clipeditor_test PRIVATE PkgConfig::FFMPEG)
