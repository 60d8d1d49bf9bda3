# Tests of the cross-built .exe run under Wine, in a prefix of the build's own
# and without Wine's chatter.
set(CMAKE_CROSSCOMPILING_EMULATOR
    env WINEPREFIX=${CMAKE_BINARY_DIR}/wine-prefix WINEDEBUG=-all WINEDLLOVERRIDES=winemenubuilder.exe=d wine)
