#!/bin/bash
# Completes command lines with the installed completion, as bash would after
# breaking the line into words at spaces and ':'. Usage: check_completion.sh
# COMPLETION_FILE BIN_DIR WORK_DIR
set -u
completion=$1
export PATH=$2:$PATH
work=$3
rm -rf "$work" && mkdir -p "$work/home"
export HOME=$work/home
unset XDG_CONFIG_HOME SWIPEWATCH_DEVICES
. /usr/share/bash-completion/bash_completion
. "$completion"

failed=0
# check EXPECTED LINE: completes at the end of LINE.
check()
{
    local expected=$1
    COMP_LINE=$2
    COMP_POINT=${#COMP_LINE}
    # Words as bash breaks them: at blanks, and ':' and '=' are words of their own.
    local spaced=${COMP_LINE//:/ : }
    spaced=${spaced//=/ = }
    read -r -a COMP_WORDS <<<"$spaced"
    [[ $COMP_LINE == *' ' ]] && COMP_WORDS+=('')
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    local fn=_${COMP_WORDS[0]}
    $fn "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    local got
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | xargs)
    if [[ $got != "$expected" ]]; then
        echo "FAIL: '$COMP_LINE' completes to '$got', expected '$expected'"
        failed=1
    fi
}

check "--damage --device" "msrswipe --d"
check "blank full gift long test" "msrswipe --card "
check "parity" "msrswipe --damage 2:p"
check "lrc" "msrswipe --track2 7 --damage=3:l"
check "MCRSTUBEX" "msrswipe --device "

# The device list: SWIPEWATCH_DEVICES first, else the user's devices.conf.
mkdir -p "$HOME/.config/swipewatch"
printf 'BACK = serial device=/dev/ttyACM0\n#SIDE = hid device=/dev/hidraw3\n' \
    >"$HOME/.config/swipewatch/devices.conf"
check "BACK" "msrswipe --device "
printf '# Till 2\nFRONT = keyboard device=/dev/input/x # front\n  COUNTER2=virtual\n' >"$work/list"
SWIPEWATCH_DEVICES=$work/list check "COUNTER2 FRONT" "msrswipe --device "
SWIPEWATCH_DEVICES=$work/list check "FRONT" "msrprobe --watch F"
# A list that names no regular file gives no names, and must not hang.
mkfifo "$work/fifo"
SWIPEWATCH_DEVICES=$work/fifo check "" "msrswipe --device "
SWIPEWATCH_DEVICES=$work/missing check "" "msrswipe --device "
exit $failed
