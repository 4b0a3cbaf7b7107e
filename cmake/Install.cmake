# Installation layout (cmake --install <build> --prefix P, or a package built by cpack):
#
#   P/lib/cuedeck/cuedeck                          the program
#   P/share/cuedeck/{sound,image,help}/            starter clips, pictures, user manual
#   P/share/cuedeck/conf/setlist1.cdk              starter set list naming the installed files
#   P/bin/cuedeck -> ../lib/cuedeck/cuedeck        launcher link
#   P/share/applications/cuedeck.desktop           desktop entry
#   P/share/metainfo/<id>.metainfo.xml             AppStream metadata for software centres
#   P/share/man/man1/cuedeck.1.gz                  manual page
#   P/share/doc/cuedeck/{copyright,changelog.gz}   licence and history of the package
#   P/share/icons/hicolor/256x256/apps/cuedeck.png icon (the logo), and the same at
#   P/share/icons/hicolor/{32x32,48x48,64x64,128x128}/apps/cuedeck.png
#
# The starter files are architecture-independent data, kept apart from the executable; the
# program finds them from its own folder (ProgramFolder(), master/datafolder.cpp), which the
# launcher link resolves to. A build tree keeps them beside the executable in build/bin.
# The set list and the desktop entry hold absolute paths, so they are written when the
# install runs, for the prefix it installs to; DESTDIR (used by packaging) only moves where
# the files land, not the paths written into them.
include_guard(GLOBAL)
include(${CMAKE_CURRENT_LIST_DIR}/Layout.cmake)

set(CUEDECK_APPSTREAM_ID org.example.cuedeck
    CACHE STRING "AppStream component id: reverse domain name of the project")

install(TARGETS cuedeck RUNTIME DESTINATION ${CUEDECK_PROGRAM_SUBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/dist/sound ${PROJECT_SOURCE_DIR}/dist/image
                  ${PROJECT_SOURCE_DIR}/dist/help
        DESTINATION ${CUEDECK_DATA_SUBDIR})
# Further set lists may ship as they are; an empty conf/ is not kept by git.
if(EXISTS ${PROJECT_SOURCE_DIR}/dist/conf)
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/dist/conf DESTINATION ${CUEDECK_DATA_SUBDIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/resources/logo.png
        DESTINATION share/icons/hicolor/256x256/apps RENAME cuedeck.png)
foreach(size 32 48 64 128)
    install(FILES ${PROJECT_SOURCE_DIR}/resources/icons/cuedeck-${size}.png
            DESTINATION share/icons/hicolor/${size}x${size}/apps RENAME cuedeck.png)
endforeach()

# The manual page and the changelog are installed compressed, without name or time stamp in
# the gzip header, so that the same sources give the same package.
set(compressed)
foreach(pair "dist/cuedeck.1|cuedeck.1.gz" "cmake/debian/changelog|changelog.gz")
    string(REPLACE "|" ";" pair "${pair}")
    list(GET pair 0 source)
    list(GET pair 1 name)
    add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${name}
                       COMMAND sh -c "gzip -9nc \"$0\" >\"$1\"" ${PROJECT_SOURCE_DIR}/${source}
                               ${CMAKE_CURRENT_BINARY_DIR}/${name}
                       DEPENDS ${PROJECT_SOURCE_DIR}/${source} VERBATIM)
    list(APPEND compressed ${CMAKE_CURRENT_BINARY_DIR}/${name})
endforeach()
add_custom_target(cuedeck_compressed_docs ALL DEPENDS ${compressed})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/cuedeck.1.gz DESTINATION share/man/man1)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
        DESTINATION share/doc/cuedeck)

set(metainfo ${CMAKE_CURRENT_BINARY_DIR}/${CUEDECK_APPSTREAM_ID}.metainfo.xml)
configure_file(${PROJECT_SOURCE_DIR}/dist/cuedeck.metainfo.xml.in ${metainfo} @ONLY)
install(FILES ${metainfo} DESTINATION share/metainfo)

# The rest runs at install time: CMAKE_INSTALL_PREFIX is then the prefix being installed to.
install(CODE "
    set(cuedeck_source_dir [==[${PROJECT_SOURCE_DIR}]==])
    include(\"\${cuedeck_source_dir}/cmake/StarterSetList.cmake\")
    include(\"\${cuedeck_source_dir}/cmake/InstallTime.cmake\")
    cuedeck_install_generated(\"\${cuedeck_source_dir}\" [==[${CUEDECK_PROGRAM_SUBDIR}]==]
                              [==[${CUEDECK_DATA_SUBDIR}]==])
")
