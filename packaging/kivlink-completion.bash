# bash completion for kivpoll, kivsim and kivgate. The options come from the program's
# own --help, so they never go stale; ports are the stable names under
# /dev/serial/by-id and the /dev/tty* devices.

_kivlink_ports() {
    local port
    for port in /dev/serial/by-id/* /dev/tty*; do
        [[ -e $port ]] && printf '%s\n' "$port"
    done
}

_kivlink_complete() {
    local cur prev program options
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    program=${COMP_WORDS[0]}
    case $prev in
        -p|--port|--device|--link)
            COMPREPLY=($(compgen -W "$(_kivlink_ports)" -- "$cur"))
            return
            ;;
        -P|--parity)
            COMPREPLY=($(compgen -W "none odd even mark space" -- "$cur"))
            return
            ;;
        -s|--stop-bits)
            COMPREPLY=($(compgen -W "1 1.5 2" -- "$cur"))
            return
            ;;
        --config|--driver|--map|--scenario|--trace-file|--path-file)
            COMPREPLY=($(compgen -f -- "$cur"))
            return
            ;;
        -w|--workdir)
            COMPREPLY=($(compgen -d -- "$cur"))
            return
            ;;
    esac
    if [[ $cur == -* ]]; then
        options=$("$program" --help 2>/dev/null | grep -oE -- '(^|[ ,])--?[A-Za-z][A-Za-z0-9-]*' | tr -d ' ,' | sort -u)
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    fi
}

complete -F _kivlink_complete kivpoll kivsim kivgate
