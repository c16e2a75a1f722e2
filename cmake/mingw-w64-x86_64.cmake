# Cross-builds the Windows binary on Linux with MinGW-w64. The -posix compiler is the one with
# std::thread and std::mutex; everything links statically, so the .exe needs no MinGW DLLs beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# ctest runs the test programs under Wine (see scripts/wine.sh for the prefix and server it needs).
get_filename_component(ZARVI_WINE_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine.sh" ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${ZARVI_WINE_SCRIPT}")
# GCC 12 warns of an overlapping memcpy inside std::string that cannot happen (GCC bug 105329); it
# shows at -O3 in this compiler only.
set(CMAKE_CXX_FLAGS_INIT "-Wno-restrict")
