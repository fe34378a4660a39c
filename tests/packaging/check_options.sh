#!/bin/sh
# SPDX-License-Identifier: MIT
# A program's --help and its manual page must list the same options.
# Usage: check_options.sh PROGRAM PAGE.scd
set -eu
program=$1
page=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Option names, one a line, from text like "-h, --help" or "--card NAME".
names()
{
    grep -o -- '\(^\|[ ,]\)--\?[A-Za-z0-9?][A-Za-z0-9-]*' | tr -d ' ,' | sort -u
}

help=$("$program" --help)
# Option lines of --help start with blanks and a dash; the names end where two
# blanks start the description.
printf '%s\n' "$help" | sed -n 's/^ \{1,\}\(-.*\)/\1/p' | sed 's/  .*//' | names >"$work/help"
# In the page source an option is a line starting with "*-", as in
# "*-h*, *--help*" or "*--card* _NAME_"; emphasised values are dropped.
sed -n 's/^\*\(-.*\)/\1/p' "$page" | sed 's/_[^_]*_//g; s/\*//g' | names >"$work/page"

if [ ! -s "$work/help" ]; then
    echo "no options found in the output of $program --help"
    exit 1
fi
only_help=$(comm -23 "$work/help" "$work/page")
only_page=$(comm -13 "$work/help" "$work/page")
[ -z "$only_help" ] || echo "in $program --help but not in $page:" $only_help
[ -z "$only_page" ] || echo "in $page but not in $program --help:" $only_page
[ -z "$only_help$only_page" ]
