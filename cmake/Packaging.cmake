# What `cmake --install` puts where, and what cpack makes of it: from the native tree a
# Debian package of the command-line tools (cpack -G DEB), from the Windows tree a zip of
# the two programs (cpack -G ZIP). scripts/package makes both.
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME kestrel)
set(CPACK_PACKAGE_VENDOR Kestrel)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "STM32 flash programming through the USART bootloader")
set(CPACK_PACKAGE_DESCRIPTION
    "kestrel-isp programs the flash of an STM32 microcontroller through the
chip's built-in USART bootloader: it resets the target with DTR and RTS,
erases, writes an Intel HEX file, verifies it and starts it; it reads the
flash back to a file and shows the bootloader version, the option bytes
and the chip ID. kestrel-sim is a simulated STM32 bootloader on a
pseudo-terminal, for trying kestrel-isp without a board.")
set(KESTREL_MAINTAINER "Kestrel maintainers <kestrel@example.org>"
    CACHE STRING "The Maintainer line of the Debian package")
set(CPACK_PACKAGE_CONTACT "${KESTREL_MAINTAINER}")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # The programs need no installation and no DLLs: the zip holds them side by side.
  if(TARGET Kestrel_Bootloader AND TARGET kestrel-isp)
    install(TARGETS Kestrel_Bootloader kestrel-isp RUNTIME DESTINATION .)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
else()
  install(TARGETS kestrel-isp kestrel-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES man/kestrel-isp.1 man/kestrel-sim.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # One script completes both; bash-completion looks a script up by the command's name.
  foreach(_program kestrel-isp kestrel-sim)
    install(FILES completion/kestrel.bash RENAME ${_program}
            DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
  endforeach()

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS bash-completion)
  # dpkg-shlibdeps (dpkg-dev) computes Depends from the binaries; without it, what a
  # Debian 12 build links against.
  find_program(KESTREL_DPKG_SHLIBDEPS dpkg-shlibdeps)
  find_program(KESTREL_FILE file)
  if(KESTREL_DPKG_SHLIBDEPS AND KESTREL_FILE)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 11)")
  endif()
endif()

include(CPack)
