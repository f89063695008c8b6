# The 64-bit build; its tests run under 64-bit Wine.
set(MINGW_PROCESSOR x86_64)
set(MINGW_WINE /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
