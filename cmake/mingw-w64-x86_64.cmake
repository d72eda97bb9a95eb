# Cross-compiling pixbake for 64-bit Windows with MinGW-w64 (Debian:
# apt-get install g++-mingw-w64-x86-64):
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DPIXBAKE_TESTS=OFF
#   cmake --build build-win -j 2 --target pixbake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PIXBAKE_MINGW_TRIPLET x86_64-w64-mingw32)
find_program(CMAKE_CXX_COMPILER NAMES ${PIXBAKE_MINGW_TRIPLET}-g++ ${PIXBAKE_MINGW_TRIPLET}-g++-win32 REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${PIXBAKE_MINGW_TRIPLET}-windres)

# Libraries and headers come from the MinGW-w64 tree only; programs run
# during the build are the build machine's own.
set(CMAKE_FIND_ROOT_PATH /usr/${PIXBAKE_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained pixbake.exe: the C and C++ runtimes are linked in, so no
# MinGW DLL has to travel with it.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
