# Cross-building the Windows component (x64) with Debian's MinGW-w64.
set(HOLVANTER_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(HOLVANTER_WINDOWS_ARCH x64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
