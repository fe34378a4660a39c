# SPDX-License-Identifier: MIT
# The project version in one header, <swipewatch/version.h>: programs link
# swipewatch_version and print SWIPEWATCH_VERSION_STRING for --version.
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in
               ${PROJECT_BINARY_DIR}/generated/swipewatch/version.h @ONLY)
add_library(swipewatch_version INTERFACE)
target_include_directories(swipewatch_version INTERFACE ${PROJECT_BINARY_DIR}/generated)
