# What both MinGW-w64 cross builds share; included by mingw-i686.cmake and
# mingw-x86_64.cmake after they set _mingw (the target triplet) and _wine_arch.
set(CMAKE_SYSTEM_NAME Windows)

# The -posix variants: the win32 thread model has no std::mutex or std::thread, and
# GoogleTest does not build without them.
set(CMAKE_C_COMPILER ${_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw}-windres)
set(CMAKE_AR ${_mingw}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${_mingw}-ranlib CACHE FILEPATH "")

# Look for libraries and headers in the MinGW sysroot only; programs come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Self-contained executables (no MinGW DLLs beside them) that declare Windows XP
# (subsystem 5.1) as their minimum (5.2 for 64-bit, the first 64-bit Windows).
set(_static "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "${_static} -Wl,--major-subsystem-version,5 -Wl,--minor-subsystem-version,${_subsystem_minor}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_static}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_static}")

# The Wine prefix kind the tree's programs run in (scripts/wine-env.sh reads KW_ARCH).
set(KESTREL_WINE_ARCH ${_wine_arch} CACHE INTERNAL "")

# Test programs of the Windows tree (add_test, gtest_discover_tests) run under Wine, in one
# private prefix kept in the build tree.
set(CMAKE_CROSSCOMPILING_EMULATOR
    env KW_ARCH=${_wine_arch}
    bash ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-env.sh --emulate ${CMAKE_BINARY_DIR}/wine-run)
