# The shipped 32-bit DLL; its tests run under 32-bit Wine (wine32:i386) in a 64-bit (WoW64) prefix.
set(MINGW_PROCESSOR i686)
set(MINGW_WINE /usr/lib/wine/wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
