# SPDX-License-Identifier: MIT
# The Debian package, built by CPack: `make package` (or `cpack -G DEB` in the
# build folder) writes swipewatch_<version>-<release>_<arch>.deb there.

set(SWIPEWATCH_HOMEPAGE "https://swipewatch.org")
# Date of the release the Debian changelog describes (RFC 5322, as Debian wants).
set(SWIPEWATCH_RELEASE_DATE "Mon, 07 Dec 2026 00:00:00 +0000")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME swipewatch)
set(CPACK_PACKAGE_VENDOR "The swipewatch developers")
set(CPACK_PACKAGE_CONTACT "swipewatch developers <dev@swipewatch.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "test window for magnetic stripe card readers on POS tills")
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
# The text apt shows under the summary line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "swipewatch is for the people who install and repair point-of-sale tills. It
drives a magnetic stripe card reader as a till does (open, claim, enable,
data and error events) and shows every swipe: the text of tracks 1, 2 and 3,
each track's length, which check failed on a bad read (start sentinel, end
sentinel, parity, LRC or other), and running counts of inputs and errors.
.
It reads keyboard-wedge, serial and HID readers named in a device list, and
ships a virtual reader with the msrswipe feeder, which swipes test cards bit
for bit, damaged on request, so the till side can be checked without a card.
msrprobe finds the readers plugged into the machine and prints the line to
add to the device list.")

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
install(FILES ${PROJECT_BINARY_DIR}/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The Debian changelog belongs in the package only, not in a plain
# `cmake --install`: it goes into a component of its own that CPack asks for.
set(SWIPEWATCH_DEB_VERSION ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in
               ${PROJECT_BINARY_DIR}/debian/changelog.Debian @ONLY)
set(changelog_gz ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz)
add_custom_command(
  OUTPUT ${changelog_gz}
  COMMAND gzip -9nf -k ${PROJECT_BINARY_DIR}/debian/changelog.Debian
  DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.Debian
  VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${changelog_gz})
install(FILES ${changelog_gz} DESTINATION ${CMAKE_INSTALL_DOCDIR}
        COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME swipewatch
        COMPONENT debian EXCLUDE_FROM_ALL)
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${PROJECT_BINARY_DIR};${PROJECT_NAME};Unspecified;/"
    "${PROJECT_BINARY_DIR};${PROJECT_NAME};debian;/")

include(CPack)
