# Cross-builds 64-bit Windows executables with MinGW-w64 on Linux.
#
#   cmake --preset windows            (or -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake)
#
# The -posix compilers are named explicitly: only that variant has std::thread
# and std::mutex, and the plain x86_64-w64-mingw32-g++ switches to the win32
# threading model when the win32 variant is installed beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_mingw_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw_triple}-windres)

# Headers, libraries and CMake packages come from the MinGW-w64 tree only, never
# from the Linux system; programs (code generators, tools) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${_mingw_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtime: the executables import system DLLs only and run as one file.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# CTest runs each test .exe through Wine, in a Wine prefix private to this build
# tree. scripts/wine-env.sh creates that prefix and starts its server detached
# before CTest runs; without that, Wine's background processes keep CTest's
# output pipe open.
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${CMAKE_COMMAND} -E env
    "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix"
    "WINEDEBUG=-all"
    "WINEDLLOVERRIDES=mscoree,mshtml="
    wine)
