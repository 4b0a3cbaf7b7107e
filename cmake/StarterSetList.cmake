# Writes a starter set list from its template. Set list files name their clips and pictures by
# absolute path, so the file is made for one program folder: at configure time for the build
# tree (build/bin) and at install time for the installed tree.
#
#   cuedeck_write_setlist(<template> <output> <program folder>)
#
# The template holds @CUEDECK_PROGRAM_DIR@ where the program folder goes. The output is UTF-8
# without byte-order mark, every line ended by CR LF, exactly 33 lines; it is written to a
# temporary file beside the output and renamed over it, so a reader never sees half a file.
include_guard(GLOBAL)

function(cuedeck_write_setlist template output program_dir)
    if(NOT IS_ABSOLUTE "${program_dir}")
        message(FATAL_ERROR "cuedeck: the program folder must be absolute: '${program_dir}'")
    endif()
    # A line break would split a path across two lines of the set list.
    if(program_dir MATCHES "[\r\n]")
        message(FATAL_ERROR "cuedeck: the program folder contains a line break: '${program_dir}'")
    endif()
    string(REGEX REPLACE "/+$" "" program_dir "${program_dir}")

    # A template edited on Windows may carry a byte-order mark or CR LF; neither may reach the
    # output, whose first key must be "[Version]" and whose line ends are added below.
    file(READ "${template}" head LIMIT 3 HEX)
    if(head STREQUAL "efbbbf")
        file(READ "${template}" text OFFSET 3)
    else()
        file(READ "${template}" text)
    endif()
    string(REPLACE "\r" "" text "${text}")
    set(CUEDECK_PROGRAM_DIR "${program_dir}")
    string(CONFIGURE "${text}" text @ONLY)
    string(REGEX REPLACE "\n+$" "" text "${text}")

    # Count the lines without turning the text into a CMake list: captions may hold ";".
    string(REGEX MATCHALL "\n" breaks "${text}")
    list(LENGTH breaks count)
    math(EXPR count "${count} + 1")
    if(NOT count EQUAL 33)
        message(FATAL_ERROR "cuedeck: ${template} gives ${count} lines, a set list has 33")
    endif()

    string(REPLACE "\n" "\r\n" text "${text}")
    get_filename_component(folder "${output}" DIRECTORY)
    file(MAKE_DIRECTORY "${folder}")
    file(WRITE "${output}.tmp" "${text}\r\n")
    file(RENAME "${output}.tmp" "${output}")
endfunction()
