# Cross build of the same sources and tests for 64-bit Windows (Debian's
# g++-mingw-w64-x86-64): the test tree for machines whose kernel cannot run 32-bit programs,
# and a second compiler that sees pointer-size faults the 32-bit build hides.
# Usage: cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(_mingw x86_64-w64-mingw32)
set(_subsystem_minor 2)
set(_wine_arch win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
