#!/bin/sh
# Builds the Debian package into a folder of its own and checks it as a
# technician and Debian would: the files in it, the control fields, lintian.
# Usage: check_package.sh CPACK CPACK_CONFIG WORK_DIR VERSION FILE...
# where each FILE must be in the package (a path under /).
set -eu
cpack=$1
config=$2
work=$3
version=$4
shift 4

rm -rf "$work"
mkdir -p "$work"
if ! "$cpack" -G DEB --config "$config" -B "$work" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    exit 1
fi
deb=$(find "$work" -maxdepth 1 -name 'swipewatch_*.deb')
[ -n "$deb" ] || { echo "cpack wrote no swipewatch_*.deb"; cat "$work/cpack.log"; exit 1; }

failed=0
fail()
{
    echo "FAIL: $*"
    failed=1
}

dpkg-deb -c "$deb" | awk '{ print substr($6, 2) }' >"$work/files"
for file in "$@"; do
    grep -qxF "$file" "$work/files" || fail "$file is not in the package"
done
# Everything under /usr, and nothing of the build's own (tests, benchmarks).
grep -v '^/usr/' "$work/files" | sed 's/^/outside \/usr: /' >"$work/stray" || true
grep -E '/(tst_|fuzz_|bench)' "$work/files" | sed 's/^/not for a till: /' >>"$work/stray" || true
[ ! -s "$work/stray" ] || fail "$(cat "$work/stray")"

field()
{
    dpkg-deb -f "$deb" "$1"
}
[ "$(field Package)" = swipewatch ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version-1" ] || fail "Version: $(field Version), expected $version-1"
[ "$(field Section)" = utils ] || fail "Section: $(field Section)"
# A team address, not a person.
[ "$(field Maintainer)" = "swipewatch developers <dev@swipewatch.org>" ] ||
    fail "Maintainer: $(field Maintainer)"
# dpkg-shlibdeps found the Qt libraries the programs link.
case $(field Depends) in
*libqt6widgets6*) ;;
*) fail "Depends lacks the Qt widgets library: $(field Depends)" ;;
esac
[ -n "$(field Homepage)" ] || fail "no Homepage"

# Errors and warnings fail; the package's overrides file holds the reasoned
# exceptions.
if ! lintian --fail-on error,warning --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1; then
    fail "lintian: $(grep -v 'not recommended' "$work/lintian.log")"
fi
exit $failed
