# What a Linux installation holds beside the two programs (their install
# rules sit with the targets), and the Debian package that CPack makes from
# the release build (scripts/package.sh). The Windows programs ship as a zip
# that the script packs itself.
if(WIN32)
  return()
endif()
include(GNUInstallDirs)

set(QUILLON_PACKAGE_MAINTAINER "Quillon Software Download Utility team <quillon@tarnfield.invalid>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

# udev reads <udevdir>/rules.d. Debian 12's udev.pc may say /lib/udev, but
# /usr is merged there, so that is the same directory as /usr/lib/udev, and
# /usr/lib/udev/rules.d is read by every udev build. A relative directory
# is taken under the install prefix (/usr in the package).
set(quillon_udev_rules lib/udev/rules.d)
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_get_variable(quillon_udevdir udev udevdir)
  if(quillon_udevdir MATCHES "^/(usr/)?(lib/.+)$")
    set(quillon_udev_rules ${CMAKE_MATCH_2}/rules.d)
  elseif(quillon_udevdir)
    set(quillon_udev_rules ${quillon_udevdir}/rules.d)
  endif()
endif()
set(QUILLON_UDEV_RULESDIR ${quillon_udev_rules} CACHE STRING
    "Directory of the udev rule; a relative one is under the install prefix")
if(IS_ABSOLUTE "${QUILLON_UDEV_RULESDIR}")
  set(quillon_udev_rules_path ${QUILLON_UDEV_RULESDIR})
else()
  set(quillon_udev_rules_path ${CPACK_PACKAGING_INSTALL_PREFIX}/${QUILLON_UDEV_RULESDIR})
endif()
install(FILES ${CMAKE_SOURCE_DIR}/contrib/60-quillon.rules DESTINATION ${QUILLON_UDEV_RULESDIR})

install(FILES ${CMAKE_SOURCE_DIR}/contrib/quillon.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions RENAME quillon)

# Man pages, gzipped as Debian wants them. quillon(1) names the udev rule's
# place, so it is made to name the one this build installs to.
set(quillon_man ${CMAKE_CURRENT_BINARY_DIR}/man)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/quillon.1)
file(READ ${CMAKE_SOURCE_DIR}/docs/quillon.1 quillon_page)
string(REPLACE "/usr/lib/udev/rules.d" "${quillon_udev_rules_path}" quillon_page "${quillon_page}")
file(WRITE ${quillon_man}/quillon.1.new "${quillon_page}")
configure_file(${quillon_man}/quillon.1.new ${quillon_man}/quillon.1 COPYONLY)
configure_file(${CMAKE_SOURCE_DIR}/docs/quillon-sim.1 ${quillon_man}/quillon-sim.1 COPYONLY)
set(quillon_man_pages "")
foreach(page quillon.1 quillon-sim.1)
  add_custom_command(OUTPUT ${quillon_man}/${page}.gz
                     COMMAND gzip -9 -n -k -f ${quillon_man}/${page}
                     DEPENDS ${quillon_man}/${page} VERBATIM)
  list(APPEND quillon_man_pages ${quillon_man}/${page}.gz)
endforeach()
add_custom_target(quillon_man_pages ALL DEPENDS ${quillon_man_pages})
install(FILES ${quillon_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The package's copyright file: the project's notice, then CLI11's, which
# is compiled into both programs.
file(READ ${CMAKE_SOURCE_DIR}/LICENSES/QUILLON.txt quillon_notice)
file(READ ${CMAKE_SOURCE_DIR}/LICENSES/CLI11.txt quillon_cli11_notice)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${CMAKE_SOURCE_DIR}/LICENSES/QUILLON.txt ${CMAKE_SOURCE_DIR}/LICENSES/CLI11.txt)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/copyright.new
     "${quillon_notice}\nquillon and quillon-sim contain CLI11:\n\n${quillon_cli11_notice}")
configure_file(${CMAKE_CURRENT_BINARY_DIR}/copyright.new ${CMAKE_CURRENT_BINARY_DIR}/copyright COPYONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The formats the man page points at: --json's events and --report's records.
install(FILES ${CMAKE_SOURCE_DIR}/docs/json-events.md ${CMAKE_SOURCE_DIR}/docs/report.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# --- the Debian package ---------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillon)
# A package around placeholder images says so in its version and file name
# (quillon_1.0.2+placeholder_amd64.deb): it must never pass for the real one.
if(QUILLON_BOOTLOADER_IMAGE AND QUILLON_SOFTWARE_IMAGE)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
else()
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION}+placeholder)
endif()
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "load software onto a Quillon readout and run its maintenance transfers")
set(CPACK_PACKAGE_DESCRIPTION
    "quillon talks to a Tarnfield Quillon readout over its USB cable (a USB-to-UART\n\
bridge, 10C4:EA60): it downloads the application software or the bootloader,\n\
erases the user storage, and sends and receives settings, programs, bitmaps\n\
and NLEC tables. quillon-sim simulates a readout on a pseudo-terminal.\n\
A udev rule gives the dialout group and the user at the console access to\n\
the bridge.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${QUILLON_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS bash-completion)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# Depends is computed from the binaries when dpkg-dev is there; otherwise it
# is what g++ 12 on Debian 12 links against.
find_program(QUILLON_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(QUILLON_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12)")
endif()
include(CPack)
