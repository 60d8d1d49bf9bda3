# Tests of the cross-built .exe run under Wine, in a prefix of the build's own
# and without Wine's chatter; scripts/wine picks the loader this machine runs.
get_filename_component(keepawake_wine ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR
    env WINEPREFIX=${CMAKE_BINARY_DIR}/wine-prefix WINEDEBUG=-all WINEDLLOVERRIDES=winemenubuilder.exe=d
        ${keepawake_wine})
