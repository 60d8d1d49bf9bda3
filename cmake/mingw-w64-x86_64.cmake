# Cross-build for 64-bit Windows; its tests run under Wine.
set(MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/wine-emulator.cmake)
