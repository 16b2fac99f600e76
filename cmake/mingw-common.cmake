# What both Windows toolchains share; each sets HOLVANTER_MINGW_TRIPLET,
# CMAKE_SYSTEM_PROCESSOR and HOLVANTER_WINDOWS_ARCH, then includes this.
set(CMAKE_SYSTEM_NAME Windows)

# The POSIX thread model (winpthreads): the core uses the standard thread
# library, which the win32 model of this compiler lacks in part.
set(CMAKE_C_COMPILER ${HOLVANTER_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${HOLVANTER_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${HOLVANTER_MINGW_TRIPLET}-windres)
set(HOLVANTER_WIDL ${HOLVANTER_MINGW_TRIPLET}-widl)
set(HOLVANTER_WINDMC ${HOLVANTER_MINGW_TRIPLET}-windmc)

set(CMAKE_FIND_ROOT_PATH /usr/${HOLVANTER_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The DLLs and test programs need only system DLLs at a front desk: the
# compiler's own runtime (libgcc, libstdc++, winpthread) is linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
