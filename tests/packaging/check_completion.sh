#!/bin/bash
# SPDX-License-Identifier: MIT
# Completes command lines with the completion file as bash would, breaking
# words at blanks, ':' and '='. Usage: check_completion.sh FILE BIN_DIR WORK_DIR
set -u
work=$3 && export PATH=$2:$PATH HOME=$3/home
rm -rf "$work" && mkdir -p "$HOME/.config/swipewatch"
unset XDG_CONFIG_HOME SWIPEWATCH_DEVICES
. /usr/share/bash-completion/bash_completion
. "$1"
failed=0

# check EXPECTED LINE: the words offered at the end of LINE, sorted.
check()
{
    COMP_LINE=$2 COMP_POINT=${#2}
    local spaced=${2//:/ : }
    read -r -a COMP_WORDS <<<"${spaced//=/ = }"
    [[ $2 == *' ' ]] && COMP_WORDS+=('')
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMPREPLY=()
    "_${COMP_WORDS[0]}" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    local got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd ' ')
    [[ $got == "$1" ]] || { echo "FAIL: '$2' offers '$got', expected '$1'" && failed=1; }
}

check "--damage --damage-rate --device" "msrswipe --d"
check "parity:" "msrswipe --damage-rate 2:pa"
check "blank full gift long test" "msrswipe --card "
check "parity" "msrswipe -d 2:p"
check "lrc" "msrswipe --track2 7 --damage=3:l"
check "$2/msrswipe" "msrswipe -f $2/msrsw"
# swipewatch's --help works without a display.
DISPLAY= WAYLAND_DISPLAY= QT_QPA_PLATFORM= check "--device" "swipewatch --d"
# The device names: SWIPEWATCH_DEVICES first, else the user's devices.conf,
# else the built-in reader.
check "MCRSTUBEX" "msrswipe -D "
printf 'BACK = serial device=/dev/ttyACM0\n#SIDE = hid device=/dev/hidraw3\n' \
    >"$HOME/.config/swipewatch/devices.conf"
check "BACK" "swipewatch --device "
printf '# Till 2\nFRONT = keyboard device=/dev/input/x # front\n  COUNTER2=virtual\n' >"$work/list"
SWIPEWATCH_DEVICES=$work/list check "COUNTER2 FRONT" "msrswipe --device "
SWIPEWATCH_DEVICES=$work/list check "FRONT" "msrprobe --watch F"
check "check" "msrprobe ch"
SWIPEWATCH_DEVICES=$work/list check "FRONT" "msrprobe check F"
check "--expect" "msrprobe check FRONT --exp"
# A list that names no regular file gives no names, and must not hang.
mkfifo "$work/fifo"
for list in fifo missing; do SWIPEWATCH_DEVICES=$work/$list check "" "msrswipe --device "; done
exit $failed
