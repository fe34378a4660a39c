#!/bin/sh
# Installs the Debian packages a target needs, and only the missing ones, so a
# second run costs one dpkg query. Usage: install-deps.sh build|test|run|demo|bench
set -eu

build="cmake ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools qt6-svg-dev qt6-serialport-dev libgl-dev
       fonts-liberation fonts-dejavu-core"
# Xvfb for whole-process tests; clang and its runtime for the fuzz targets.
test="$build xvfb xauth xdotool x11-utils clang libclang-rt-14-dev"
run="$build"
demo="$test imagemagick"
# python3 runs bench/run.py.
bench="$test libbenchmark-dev imagemagick python3"

case "${1:-build}" in
  build) want=$build ;;
  test) want=$test ;;
  run) want=$run ;;
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
