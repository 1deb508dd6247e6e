# Cross-compiling for Windows x86-64 with mingw-w64 on Debian, with the built programs
# run under Wine (CTest, gtest discovery).
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw x86_64-w64-mingw32)
# The "-posix" compilers: GCC 12's "-win32" thread model has no std::thread or
# std::recursive_mutex. The plain x86_64-w64-mingw32-g++ name may point to either.
set(CMAKE_C_COMPILER ${_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw}-windres)

# Search the mingw sysroot only, never the build machine's /usr/include or /usr/lib.
set(CMAKE_FIND_ROOT_PATH /usr/${_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The shared runtime (libstdc++-6.dll, libgcc_s_seh-1.dll, libwinpthread-1.dll), which
# the top CMakeLists.txt puts beside the programs and installs: see there.

# CTest and gtest discovery run the built programs under Wine. WINEDEBUG=-all also keeps
# Debian's "wine32 is missing" hint off standard error.
find_program(WINE_EXECUTABLE NAMES wine wine64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR env WINEDEBUG=-all ${WINE_EXECUTABLE})
