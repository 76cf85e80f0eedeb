# Cross-compiling for Windows with Debian's MinGW-w64 (i686), the POSIX-threads
# variant: GoogleTest needs std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_MC_COMPILER i686-w64-mingw32-windmc)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Under Wine, so that ctest can run the Windows test programs here: its
# 32-bit loader itself, not the "wine" wrapper script, which starts the
# 32-bit loader first (and so fails on a kernel without 32-bit support).
if(EXISTS /usr/lib/wine/wine)
  set(OSTRIM_WINE_LOADER /usr/lib/wine/wine CACHE FILEPATH "The Wine loader that runs the test programs")
else()
  set(OSTRIM_WINE_LOADER wine CACHE FILEPATH "The Wine loader that runs the test programs")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${OSTRIM_WINE_LOADER})
# One executable with no DLL beside it: the C++ and C runtimes linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
