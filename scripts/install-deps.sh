#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs the Debian packages a target needs, and only the missing ones, so a
# second run costs one dpkg query. Usage: install-deps.sh build|test|run|package|demo|bench
set -eu

# scdoc turns the manual pages into roff; libudev finds and follows readers;
# libxkbcommon, its layout data and the compose tables (libx11-data) turn a
# keyboard-type reader's keys into text.
build="cmake ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools qt6-svg-dev
       qt6-serialport-dev libgl-dev libudev-dev libxkbcommon-dev xkb-data libx11-data
       fonts-liberation fonts-dejavu-core scdoc"
# CPack's Debian generator: dpkg-shlibdeps (dpkg-dev) and file to find the programs.
package="$build dpkg-dev file"
# Xvfb for whole-process tests; clang and its runtime for the fuzz targets;
# the package's own checks: lintian, the desktop entry and AppStream validators,
# man to render the pages, bash-completion for the completion test; umockdev
# emulates device nodes, sysfs and uevents for the backend and msrprobe tests.
test="$package xvfb xauth xdotool x11-utils clang libclang-rt-14-dev
      lintian desktop-file-utils appstream man-db bash-completion umockdev libumockdev-dev"
run="$build"
demo="$test imagemagick"
# python3 runs bench/run.py; dbus-daemon gives it a session bus of its own.
bench="$test libbenchmark-dev imagemagick python3 dbus-daemon"

case "${1:-build}" in
  build) want=$build ;;
  test) want=$test ;;
  run) want=$run ;;
  package) want=$package ;;
  demo) want=$demo ;;
  bench) want=$bench ;;
  *) echo "install-deps.sh: unknown target '$1'" >&2; exit 2 ;;
esac

missing=""
for pkg in $want; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)
  [ "$status" = "installed" ] || missing="$missing $pkg"
done
[ -z "$missing" ] && exit 0

echo "Installing Debian packages:$missing"
if [ "$(id -u)" -eq 0 ]; then
  sudo=""
elif command -v sudo >/dev/null 2>&1; then
  sudo="sudo"
else
  echo "install-deps.sh: these packages are missing:$missing; install them as root (apt-get install$missing)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
# shellcheck disable=SC2086
$sudo apt-get install -y -qq --no-install-recommends $missing >/dev/null
