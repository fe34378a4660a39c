# SPDX-License-Identifier: MIT
# Bash completion for swipewatch, msrswipe and msrprobe. One file, installed
# under the name of each program, because bash-completion loads a file by
# command name. Options come from each program's --help.

# The logical device names in the list the programs would read: the one named
# by SWIPEWATCH_DEVICES, else the user's devices.conf, else the built-in one.
_swipewatch_devices()
{
    local list=${SWIPEWATCH_DEVICES:-${XDG_CONFIG_HOME:-$HOME/.config}/swipewatch/devices.conf}
    if [[ -z ${SWIPEWATCH_DEVICES-} && ! -e $list ]]; then
        echo MCRSTUBEX
        return
    fi
    # A regular file only, and only its head: a FIFO or /dev/zero must not
    # hang the shell.
    [[ -f $list && -r $list ]] || return
    head -c 65536 -- "$list" 2>/dev/null |
        sed -n 's/#.*//; s/^[[:space:]]*\([A-Za-z0-9_.-]\{1,64\}\)[[:space:]]*=.*/\1/p'
}

_msrswipe()
{
    local cur prev words cword split
    # -n : keeps "2:parity" one word; bash itself breaks words at ':'.
    _init_completion -s -n : || return

    case $prev in
        --card)
            # The built-in cards, as the program's own help lists them.
            local cards
            cards=$("$1" --help 2>/dev/null |
                sed -n '/^Built-in cards:/,/^$/s/^  \([a-z0-9]\{1,\}\)  .*/\1/p')
            COMPREPLY=($(compgen -W "$cards" -- "$cur"))
            return
            ;;
        -D | --device)
            COMPREPLY=($(compgen -W "$(_swipewatch_devices)" -- "$cur"))
            return
            ;;
        -d | --damage)
            local damages=({1,2,3}:{start,end,parity,lrc,other})
            COMPREPLY=($(compgen -W "${damages[*]}" -- "$cur"))
            __ltrim_colon_completions "$cur"
            return
            ;;
        --raw)
            COMPREPLY=($(compgen -W "1: 2: 3:" -- "$cur"))
            __ltrim_colon_completions "$cur"
            compopt -o nospace
            return
            ;;
        -f | --file)
            _filedir
            return
            ;;
        --damage-rate)
            local rates=({1,2,3}:{start,end,parity,lrc,other}:)
            COMPREPLY=($(compgen -W "${rates[*]}" -- "$cur"))
            __ltrim_colon_completions "$cur"
            compopt -o nospace
            return
            ;;
        -[123n] | --track[123] | --repeat | --timeout | --seed)
            return
            ;;
    esac
    $split && return

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$(_parse_help "$1")" -- "$cur"))
    fi
}
complete -F _msrswipe msrswipe

_swipewatch()
{
    local cur prev words cword split
    _init_completion -s || return

    case $prev in
        --device)
            COMPREPLY=($(compgen -W "$(_swipewatch_devices)" -- "$cur"))
            return
            ;;
        -*platform* | -*display | -*style* | -*geometry | -*title | -*icon | -session | --session)
            # Qt's own options, which take a value.
            return
            ;;
    esac
    $split && return

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$(_parse_help "$1")" -- "$cur"))
    fi
}
complete -F _swipewatch swipewatch

_msrprobe()
{
    local cur prev words cword split
    _init_completion -s || return

    # msrprobe check NAME [OPTIONS]: its own options, from its own help.
    if [[ ${words[1]-} == check ]]; then
        case $prev in
            --expect | --json | --report)
                _filedir
                return
                ;;
            --swipes | --timeout | --min-rate | --ticket)
                return
                ;;
        esac
        $split && return
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "$(_parse_help "$1" "check --help")" -- "$cur"))
        elif ((cword == 2)); then
            COMPREPLY=($(compgen -W "$(_swipewatch_devices)" -- "$cur"))
        fi
        return
    fi
    case $prev in
        --watch)
            COMPREPLY=($(compgen -W "$(_swipewatch_devices)" -- "$cur"))
            return
            ;;
        --udev-rule | --record)
            _filedir
            return
            ;;
        --count | --timeout)
            return
            ;;
    esac
    $split && return

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$(_parse_help "$1")" -- "$cur"))
    elif ((cword == 1)); then
        COMPREPLY=($(compgen -W "check" -- "$cur"))
    fi
}
complete -F _msrprobe msrprobe
