# Installation layout (cmake --install <build> --prefix P, or a package built by cpack):
#
#   P/lib/cuedeck/cuedeck                          the program
#   P/lib/cuedeck/{sound,image,help}/              starter clips, pictures, user manual
#   P/lib/cuedeck/conf/setlist1.cdk                starter set list naming the installed files
#   P/bin/cuedeck -> ../lib/cuedeck/cuedeck        launcher link
#   P/share/applications/cuedeck.desktop           desktop entry
#   P/share/icons/hicolor/256x256/apps/cuedeck.png icon (the logo), and the same at
#   P/share/icons/hicolor/{32x32,48x48,64x64,128x128}/apps/cuedeck.png
#
# The program finds its starter folders beside its own file, which the launcher link resolves
# to. The set list and the desktop entry hold absolute paths, so they are written when the
# install runs, for the prefix it installs to; DESTDIR (used by packaging) only moves where
# the files land, not the paths written into them.
include_guard(GLOBAL)

set(CUEDECK_PROGRAM_SUBDIR lib/cuedeck)

install(TARGETS cuedeck RUNTIME DESTINATION ${CUEDECK_PROGRAM_SUBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/dist/sound ${PROJECT_SOURCE_DIR}/dist/image
                  ${PROJECT_SOURCE_DIR}/dist/help
        DESTINATION ${CUEDECK_PROGRAM_SUBDIR})
# Further set lists may ship as they are; an empty conf/ is not kept by git.
if(EXISTS ${PROJECT_SOURCE_DIR}/dist/conf)
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/dist/conf DESTINATION ${CUEDECK_PROGRAM_SUBDIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/resources/logo.png
        DESTINATION share/icons/hicolor/256x256/apps RENAME cuedeck.png)
foreach(size 32 48 64 128)
    install(FILES ${PROJECT_SOURCE_DIR}/resources/icons/cuedeck-${size}.png
            DESTINATION share/icons/hicolor/${size}x${size}/apps RENAME cuedeck.png)
endforeach()

# The rest runs at install time: CMAKE_INSTALL_PREFIX is then the prefix being installed to.
install(CODE "
    set(cuedeck_source_dir [==[${PROJECT_SOURCE_DIR}]==])
    include(\"\${cuedeck_source_dir}/cmake/StarterSetList.cmake\")
    include(\"\${cuedeck_source_dir}/cmake/InstallTime.cmake\")
    cuedeck_install_generated(\"\${cuedeck_source_dir}\" [==[${CUEDECK_PROGRAM_SUBDIR}]==])
")
