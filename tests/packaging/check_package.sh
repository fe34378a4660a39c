#!/bin/bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages into a folder of their own and checks them as a
# technician and Debian would: the files in each, the control fields, what
# the tools load, lintian.
# Usage: check_package.sh CPACK CPACK_CONFIG WORK_DIR VERSION
set -u
cpack=$1 config=$2 work=$3 version=$4
rm -rf "$work" && mkdir -p "$work"
"$cpack" -G DEB --config "$config" -B "$work" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }
failed=0
fail() { echo "FAIL: $*" && failed=1; }

# What a technician needs of each package: each program with its manual page
# and completion; and what it depends on.
id=org.swipewatch.SwipeWatch man=/usr/share/man bash=/usr/share/bash-completion/completions
declare -A files=(
    [swipewatch-tools]="/usr/bin/msrswipe /usr/bin/msrprobe $man/man1/msrswipe.1.gz
        $man/man1/msrprobe.1.gz $man/man5/swipewatch-devices.5.gz $bash/msrswipe $bash/msrprobe
        /usr/share/doc/swipewatch-tools/examples/devices.conf"
    [swipewatch]="/usr/bin/swipewatch $man/man1/swipewatch.1.gz $bash/swipewatch
        /usr/share/applications/$id.desktop /usr/share/metainfo/$id.metainfo.xml
        /usr/share/icons/hicolor/scalable/apps/$id.svg")
declare -A depends=([swipewatch-tools]="*libqt6core6 (*"
    [swipewatch]="swipewatch-tools (= $version-1), *libqt6widgets6 (*")
for package in swipewatch-tools swipewatch; do
    deb=$work/${package}_$version-1_$(dpkg --print-architecture).deb
    [ -f "$deb" ] || { fail "no $deb" && continue; }
    dpkg-deb -c "$deb" | awk '{ print substr($6, 2) }' | grep -v '/$' >"$work/$package.files"
    for file in ${files[$package]} /usr/share/doc/$package/{copyright,changelog.Debian.gz}; do
        grep -qxF "$file" "$work/$package.files" || fail "$file is not in $package"
    done
    # Everything under /usr, and nothing of the build's own (tests, benchmarks).
    stray=$(grep -v '^/usr/' "$work/$package.files"; grep -E '/(tst_|fuzz_|bench)' "$work/$package.files")
    [ -z "$stray" ] || fail "files that do not belong in $package: $stray"
    # A team as maintainer, not a person; Depends from dpkg-shlibdeps.
    for want in "Package=$package" "Version=$version-1" "Section=utils" \
        "Maintainer=swipewatch developers <dev@swipewatch.org>" "Depends=${depends[$package]}"; do
        value=$(dpkg-deb -f "$deb" "${want%%=*}")
        case $value in ${want#*=}) ;; *) fail "$package ${want%%=*}: '$value', expected '${want#*=}'" ;; esac
    done
    # Errors and warnings fail; the overrides file in the package holds the
    # reasoned exceptions.
    lintian --fail-on error,warning --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1 ||
        fail "lintian $package: $(grep -v 'not recommended' "$work/lintian.log")"
done

# A till without a screen: the tools neither depend on nor load Qt Gui or Widgets.
case $(dpkg-deb -f "$work"/swipewatch-tools_*.deb Depends) in
*libqt6gui* | *libqt6widgets*) fail "swipewatch-tools depends on Qt Gui or Widgets" ;;
esac
dpkg-deb -x "$work"/swipewatch-tools_*.deb "$work/tools"
for program in msrprobe msrswipe; do
    ! ldd "$work/tools/usr/bin/$program" | grep -E 'libQt6(Gui|Widgets)' || fail "$program loads them"
done
# What a plain install puts in place is in one package or the other, once.
DESTDIR=$work/plain cmake --install "$(dirname "$config")" --prefix /usr >/dev/null
lost=$( (cd "$work/plain" && find . ! -type d | cut -c2-) | sort | comm -23 - <(sort -u "$work"/*.files))
twice=$(sort "$work"/*.files | uniq -d)
[ -z "$lost$twice" ] || fail "in no package: $lost; in both: $twice"
exit $failed
