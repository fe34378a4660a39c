# SPDX-License-Identifier: MIT
# The Debian packages, built by CPack: `make package` (or `cpack -G DEB` in the
# build folder) writes two there, one per install component:
#   swipewatch-tools_<version>-<release>_<arch>.deb  msrprobe, msrswipe: Qt Core
#                                                    only, for a till without a screen
#   swipewatch_<version>-<release>_<arch>.deb        the window, on top of the tools
set(SWIPEWATCH_HOMEPAGE "https://swipewatch.org")
# Date of the release the Debian changelog describes (RFC 5322, as Debian wants).
set(SWIPEWATCH_RELEASE_DATE "Mon, 07 Dec 2026 12:00:00 +0000")

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tools app)
set(CPACK_PACKAGE_NAME swipewatch)
set(CPACK_PACKAGE_VENDOR "The swipewatch developers")
set(CPACK_PACKAGE_CONTACT "swipewatch developers <dev@swipewatch.org>")
# Each package's summary is the first line of its description below; CPackDeb
# puts this one in front of it unless it is CPack's own default.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${SWIPEWATCH_HOMEPAGE})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Both packages come from the one source, whose changelog they carry.
set(CPACK_DEBIAN_PACKAGE_SOURCE swipewatch)
set(SWIPEWATCH_DEB_VERSION ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME swipewatch-tools)
set(CPACK_DEBIAN_APP_PACKAGE_NAME swipewatch)
# The window's own Depends come from dpkg-shlibdeps; the tools it is built
# with, of the very same build, are added here.
set(CPACK_DEBIAN_APP_PACKAGE_DEPENDS "swipewatch-tools (= ${SWIPEWATCH_DEB_VERSION})")
# A keyboard-type reader's keys are read through the XKB layouts and the
# compose tables, which are data, not libraries dpkg-shlibdeps would find.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "xkb-data, libx11-data")
# msrprobe and msrswipe were in the one swipewatch package before 0.2.0: the
# tools take their files over from it on an upgrade.
set(CPACK_DEBIAN_TOOLS_PACKAGE_REPLACES "swipewatch (<< 0.2.0)")
set(CPACK_DEBIAN_TOOLS_PACKAGE_BREAKS "swipewatch (<< 0.2.0)")
# The summary line and the text apt shows under it, for each package.
set(CPACK_DEBIAN_APP_DESCRIPTION
    "test window for magnetic stripe card readers on POS tills
swipewatch is for the people who install and repair point-of-sale tills. It
drives a magnetic stripe card reader as a till does (open, claim, enable,
data and error events) and shows every swipe: the text of tracks 1, 2 and 3,
each track's length, which check failed on a bad read (start sentinel, end
sentinel, parity, LRC or other), and running counts of inputs and errors.
.
It reads keyboard-wedge, serial and HID readers named in a device list, and
its virtual reader takes test cards from msrswipe, so the till side can be
checked without a card. The command-line tools come in swipewatch-tools.")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
    "magnetic stripe card reader tools for POS tills without a screen
The command-line half of swipewatch, for the people who install and repair
point-of-sale tills; it needs no display and no graphical libraries.
.
msrprobe finds the keyboard-wedge, serial and HID card readers plugged into
the machine, prints the line that names each in the device list and the udev
rule that lets the user at it, and watches a reader over SSH: one line per
swipe, card numbers masked. msrswipe swipes test cards bit for bit, damaged
on request, into the virtual reader of a running swipewatch window.")

# Debian's machine-readable copyright file, with the licence text of LICENSE.
# Its licence paragraph holds the permission text alone; the title and the
# copyright line have fields of their own.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
string(FIND "${license}" "Permission is hereby granted" start)
string(SUBSTRING "${license}" ${start} -1 license)
string(STRIP "${license}" license)
string(REGEX REPLACE "\n\n" "\n.\n" license "${license}")
string(REGEX REPLACE "\n" "\n " license " ${license}")
set(SWIPEWATCH_LICENSE_TEXT "${license}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/copyright.in
               ${PROJECT_BINARY_DIR}/debian/copyright @ONLY)

# The Debian changelog, compressed as Debian wants.
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in
               ${PROJECT_BINARY_DIR}/debian/changelog.Debian @ONLY)
set(changelog_gz ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz)
add_custom_command(
  OUTPUT ${changelog_gz}
  COMMAND gzip -9nf -k ${PROJECT_BINARY_DIR}/debian/changelog.Debian
  DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.Debian
  VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${changelog_gz})

# Each package has its own documentation folder with the copyright file. The
# changelog and lintian's overrides belong in the packages only, not in a
# plain `cmake --install`: CPack asks for each component by name, which
# installs the rules left out of the default.
foreach(component tools app)
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  set(docdir ${CMAKE_INSTALL_DATADIR}/doc/${package})
  install(FILES ${PROJECT_BINARY_DIR}/debian/copyright DESTINATION ${docdir} COMPONENT ${component})
  install(FILES ${changelog_gz} DESTINATION ${docdir} COMPONENT ${component} EXCLUDE_FROM_ALL)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/lintian-overrides.in
                 ${PROJECT_BINARY_DIR}/debian/${package}.lintian-overrides @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/debian/${package}.lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${package}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

include(CPack)
