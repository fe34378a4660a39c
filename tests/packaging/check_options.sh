#!/bin/sh
# SPDX-License-Identifier: MIT
# A program's --help and its manual page must list the same options; a
# program with commands of its own ("msrprobe check") adds each one's --help.
# Its help that cannot be written is a failure, said on standard error.
# Usage: check_options.sh PROGRAM PAGE.scd [COMMAND...]
set -eu
program=$1 page=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Option names, one a line, from text like "-h, --help" or "--card NAME".
names() { grep -o -- '\(^\|[ ,]\)--\?[A-Za-z0-9?][A-Za-z0-9-]*' | tr -d ' ,' | sort -u; }

# Option lines of --help start with blanks and a dash; the names end where two
# blanks start the description.
{
    "$program" --help
    for command in "$@"; do "$program" "$command" --help; done
} | sed -n 's/^ \{1,\}\(-.*\)/\1/p' | sed 's/  .*//' | names >"$work/help"
[ -s "$work/help" ] || { echo "no options found in the output of $program --help"; exit 1; }
# In the page source an option is a line starting with "*-", as in
# "*-h*, *--help*" or "*--card* _NAME_"; emphasised values are dropped.
sed -n 's/^\*\(-.*\)/\1/p' "$page" | sed 's/_[^_]*_//g; s/\*//g' | names >"$work/page"
diff --label "$program --help" --label "$page" "$work/help" "$work/page"

# REDIRECTION REASON: --help with its output so redirected exits 1 with the
# system's reason.
write_fails() {
    status=0 && said=$(eval '"$program" --help 2>&1' "$1") || status=$?
    want="${program##*/}: write error: $2"
    [ $status = 1 ] && [ "$said" = "$want" ] || { echo "--help $1: $status, '$said'"; exit 1; }
}
write_fails '>/dev/full' 'No space left on device'
write_fails '>&-' 'Bad file descriptor'
