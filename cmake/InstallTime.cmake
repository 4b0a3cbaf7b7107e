# Install-time part of the installation (see Install.cmake): the files that name absolute
# paths of the installed tree, and the launcher link.
include_guard(GLOBAL)

# Quotes a path for the Exec key of a desktop entry when it holds characters that the
# desktop entry rules reserve, and doubles "%" (field codes) and "\" (string escapes).
function(cuedeck_desktop_exec_arg path out)
    string(REPLACE "%" "%%" arg "${path}")
    if(arg MATCHES "[^A-Za-z0-9/._+%-]")
        string(REPLACE "\\" "\\\\" arg "${arg}")
        string(REPLACE "\"" "\\\"" arg "${arg}")
        string(REPLACE "`" "\\`" arg "${arg}")
        string(REPLACE "$" "\\$" arg "${arg}")
        set(arg "\"${arg}\"")
        # The key file layer reads "\\" as one backslash, so every backslash doubles again.
        string(REPLACE "\\" "\\\\" arg "${arg}")
    endif()
    set(${out} "${arg}" PARENT_SCOPE)
endfunction()

function(cuedeck_install_generated source_dir program_subdir data_subdir)
    set(prefix "${CMAKE_INSTALL_PREFIX}")
    get_filename_component(prefix "${prefix}" ABSOLUTE)
    set(root "$ENV{DESTDIR}${prefix}")
    set(made)

    # The starter set list, naming the clips and pictures where they now live.
    set(setlist "${root}/${data_subdir}/conf/setlist1.cdk")
    message(STATUS "Installing: ${setlist}")
    cuedeck_write_setlist("${source_dir}/dist/setlist1.cdk.in" "${setlist}"
                          "${prefix}/${data_subdir}")
    list(APPEND made "${setlist}")

    # The launcher: a relative link, so that the tree can be moved or staged as a whole.
    set(link "${root}/bin/cuedeck")
    file(RELATIVE_PATH target "${prefix}/bin" "${prefix}/${program_subdir}/cuedeck")
    message(STATUS "Installing: ${link} -> ${target}")
    file(MAKE_DIRECTORY "${root}/bin")
    file(CREATE_LINK "${target}" "${link}" SYMBOLIC) # replaces an older link or file
    list(APPEND made "${link}")

    # The desktop entry starts the launcher by its full path, so a prefix outside PATH works.
    set(desktop "${root}/share/applications/cuedeck.desktop")
    message(STATUS "Installing: ${desktop}")
    set(CUEDECK_LAUNCHER "${prefix}/bin/cuedeck")
    cuedeck_desktop_exec_arg("${CUEDECK_LAUNCHER}" CUEDECK_EXEC)
    file(READ "${source_dir}/dist/cuedeck.desktop.in" text)
    string(CONFIGURE "${text}" text @ONLY)
    file(MAKE_DIRECTORY "${root}/share/applications")
    file(WRITE "${desktop}.tmp" "${text}")
    file(RENAME "${desktop}.tmp" "${desktop}")
    list(APPEND made "${desktop}")

    # Listed in install_manifest.txt like every other installed file.
    set(CMAKE_INSTALL_MANIFEST_FILES ${CMAKE_INSTALL_MANIFEST_FILES} ${made} PARENT_SCOPE)
endfunction()
