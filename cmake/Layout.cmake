# Where an installation puts the program and its architecture-independent starter files,
# relative to the prefix. The program looks for the latter from its own folder (datafolder.cpp).
# Only sets variables, so every directory that needs them includes it.

set(CUEDECK_PROGRAM_SUBDIR lib/cuedeck)
set(CUEDECK_DATA_SUBDIR share/cuedeck)
