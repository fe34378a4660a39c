#!/bin/bash
# SPDX-License-Identifier: MIT
# Builds the Debian package into a folder of its own and checks it as a
# technician and Debian would: the files in it, the control fields, lintian.
# Usage: check_package.sh CPACK CPACK_CONFIG WORK_DIR VERSION MANPAGE_FILE...
set -u
cpack=$1 config=$2 work=$3 version=$4
shift 4
rm -rf "$work" && mkdir -p "$work"
"$cpack" -G DEB --config "$config" -B "$work" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }
deb=$(find "$work" -maxdepth 1 -name 'swipewatch_*.deb')
failed=0
fail() { echo "FAIL: $*" && failed=1; }

# What a technician needs: each program with its manual page and completion.
dpkg-deb -c "$deb" | awk '{ print substr($6, 2) }' >"$work/files"
id=org.swipewatch.SwipeWatch
for file in "$@" /usr/{bin,share/bash-completion/completions}/{swipewatch,msrswipe,msrprobe} \
    /usr/share/{applications/$id.desktop,metainfo/$id.metainfo.xml,icons/hicolor/scalable/apps/$id.svg} \
    /usr/share/doc/swipewatch/{copyright,changelog.Debian.gz,examples/devices.conf}; do
    grep -qxF "$file" "$work/files" || fail "$file is not in the package"
done
# Everything under /usr, and nothing of the build's own (tests, benchmarks).
stray=$(grep -v '^/usr/' "$work/files"; grep -E '/(tst_|fuzz_|bench)' "$work/files")
[ -z "$stray" ] || fail "files that do not belong: $stray"

# A team as maintainer, not a person; Depends from dpkg-shlibdeps.
for want in "Package=swipewatch" "Version=$version-1" "Section=utils" \
    "Maintainer=swipewatch developers <dev@swipewatch.org>" "Depends=*libqt6widgets6 (*"; do
    value=$(dpkg-deb -f "$deb" "${want%%=*}")
    case $value in ${want#*=}) ;; *) fail "${want%%=*}: '$value', expected '${want#*=}'" ;; esac
done

# Errors and warnings fail; the overrides file in the package holds the
# reasoned exceptions.
lintian --fail-on error,warning --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1 ||
    fail "lintian: $(grep -v 'not recommended' "$work/lintian.log")"
exit $failed
