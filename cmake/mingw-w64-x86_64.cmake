# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64).
#
#   cmake -S . -B build/windows -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# The posix flavour of the compiler is used: it has std::thread. Everything is linked
# statically (C and C++ runtimes, winpthread), so the .exe needs no DLL beside it.
# Programs built here run under Wine through CMAKE_CROSSCOMPILING_EMULATOR.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TORVANE_MINGW_TRIPLE x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${TORVANE_MINGW_TRIPLE}-gcc-posix ${TORVANE_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${TORVANE_MINGW_TRIPLE}-g++-posix ${TORVANE_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${TORVANE_MINGW_TRIPLE}-windres)

# Libraries built for Windows (GoogleTest) live under the target root or under the
# prefixes listed in TORVANE_WINDOWS_PREFIX.
set(CMAKE_FIND_ROOT_PATH /usr/${TORVANE_MINGW_TRIPLE} ${TORVANE_WINDOWS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -O2 as in the Linux builds. This compiler's libstdc++ makes GCC 12 warn falsely about
# overlapping copies in string concatenation (GCC bug 105329): that warning is off.
set(CMAKE_CXX_FLAGS_INIT "-Wno-restrict")
set(CMAKE_C_FLAGS_RELEASE_INIT "-O2 -DNDEBUG")
set(CMAKE_CXX_FLAGS_RELEASE_INIT "-O2 -DNDEBUG")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

find_program(TORVANE_WINE NAMES wine wine64)
if(TORVANE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TORVANE_WINE})
endif()
