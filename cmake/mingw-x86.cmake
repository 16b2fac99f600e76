# Cross-building the Windows component (x86) with Debian's MinGW-w64.
set(HOLVANTER_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(HOLVANTER_WINDOWS_ARCH x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
