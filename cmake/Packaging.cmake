# What `cmake --install` puts where, and what cpack makes of it: from the native tree a
# Debian package of the command-line tools (cpack -G DEB), from the Windows tree a zip of
# the two programs with the README and the licence (cpack -G ZIP). scripts/package makes
# both; what the package holds for Debian's sake is in packaging/.
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
  install(FILES README.md LICENSE DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
else()
  install(TARGETS kestrel-isp kestrel-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  # Debian wants the man pages and the changelog compressed, at the highest level and
  # without a name or time stamp in the header, so that a rebuild gives the same bytes.
  find_program(KESTREL_GZIP gzip REQUIRED)
  set(_docs ${PROJECT_BINARY_DIR}/packaging)
  set(_compressed)
  foreach(_source man/kestrel-isp.1 man/kestrel-sim.1 packaging/changelog)
    get_filename_component(_name ${_source} NAME)
    add_custom_command(OUTPUT ${_docs}/${_name}.gz
      COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/${_source} ${_docs}/${_name}
      COMMAND ${KESTREL_GZIP} -9nf ${_docs}/${_name}
      DEPENDS ${PROJECT_SOURCE_DIR}/${_source} VERBATIM)
    list(APPEND _compressed ${_docs}/${_name}.gz)
  endforeach()
  add_custom_target(kestrel_compressed_docs ALL DEPENDS ${_compressed})
  install(FILES ${_docs}/kestrel-isp.1.gz ${_docs}/kestrel-sim.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  # The machine-readable copyright file, its terms taken from LICENSE.
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE _licence)
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" _ "${_licence}")
  set(KESTREL_COPYRIGHT "${CMAKE_MATCH_1}")
  string(FIND "${_licence}" "Permission is hereby granted" _terms_at)
  string(SUBSTRING "${_licence}" ${_terms_at} -1 KESTREL_LICENCE_TERMS)
  string(STRIP "${KESTREL_LICENCE_TERMS}" KESTREL_LICENCE_TERMS)
  string(REPLACE "\n\n" "\n.\n" KESTREL_LICENCE_TERMS "${KESTREL_LICENCE_TERMS}")
  string(REPLACE "\n" "\n " KESTREL_LICENCE_TERMS "${KESTREL_LICENCE_TERMS}")
  configure_file(packaging/copyright.in ${_docs}/copyright @ONLY)

  set(_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/kestrel)
  install(FILES ${_docs}/copyright ${_docs}/changelog.gz DESTINATION ${_doc_dir})

  # Where udev reads a package's rules on Debian 12; a /usr/local prefix has none.
  set(KESTREL_UDEV_RULES_DIR /lib/udev/rules.d
      CACHE PATH "Where `cmake --install` and the package put the udev rule")
  install(FILES packaging/60-kestrel.rules DESTINATION ${KESTREL_UDEV_RULES_DIR})

  # One script completes both; bash-completion looks a script up by the command's name.
  foreach(_program kestrel-isp kestrel-sim)
    install(FILES completion/kestrel.bash RENAME ${_program}
            DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
  endforeach()

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
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
