# Cross build for 32-bit Windows with MinGW-w64 (Debian's g++-mingw-w64-i686): the product.
# Usage: cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(_mingw i686-w64-mingw32)
set(_subsystem_minor 1)
set(_wine_arch win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
