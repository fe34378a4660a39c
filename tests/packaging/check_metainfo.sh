#!/bin/sh
# SPDX-License-Identifier: MIT
# The AppStream file passes the pedantic validator and describes this release.
# Usage: check_metainfo.sh FILE VERSION
set -eu
file=$1 version=$2
out=$(appstreamcli validate --pedantic --no-net --explain "$file" 2>&1) || { echo "$out"; exit 1; }
# Pedantic notes fail too, but one: the component id is the desktop file's
# name, capitals included, which the program gives the desktop to match its
# window to the entry; lowering it means renaming both at once.
notes=$(printf '%s\n' "$out" | grep '^[EWIP]:' | grep -v ' cid-contains-uppercase-letter ' || true)
[ -z "$notes" ] || { echo "$out"; exit 1; }
# What software centres show, which the validator does not insist on, and
# every command the packages install.
for want in "<release version=\"$version\"" '<project_license>MIT</project_license>' \
    '<binary>swipewatch</binary>' '<binary>msrswipe</binary>' '<binary>msrprobe</binary>' \
    '<url type="homepage">https://' '<image type="source"[^>]*>https://.*\.png</image>'; do
    grep -q "$want" "$file" || { echo "$file lacks $want"; exit 1; }
done
