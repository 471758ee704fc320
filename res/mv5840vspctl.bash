# bash completion for mv5840vspctl: commands, their options, and the port numbers and codes
# of the running MV5840VSP (none when it does not run).

_mv5840vspctl_ports()
{
    # Field 1 the numbers, field 2 the codes, as "list --plain" gives them.
    mv5840vspctl list --plain 2>/dev/null | while read -r number code; do
        if [ "$1" = 1 ]; then
            printf '%s\n' "$number"
        elif [ -n "$code" ]; then
            printf '%s\n' "$code"
        fi
    done
}

_mv5840vspctl()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD-1]}
    local commands="list show add edit remove select selected watch monitor stats help"
    COMPREPLY=()

    if [ "$COMP_CWORD" -eq 1 ]; then
        COMPREPLY=($(compgen -W "$commands --help --version" -- "$cur"))
        return
    fi
    local command=${COMP_WORDS[1]}
    case $prev in
        --number)
            [ "$command" = add ] || COMPREPLY=($(compgen -W "$(_mv5840vspctl_ports 1)" -- "$cur"))
            return ;;
        --code)
            [ "$command" = add ] || COMPREPLY=($(compgen -W "$(_mv5840vspctl_ports 2)" -- "$cur"))
            return ;;
        --new-number|--new-code|--peer|--interval|--frame-gap|--net-port|--count|--seconds)
            return ;;
        --net-mode)
            COMPREPLY=($(compgen -W "rfc2217 raw" -- "$cur"))
            return ;;
        --pcap)
            COMPREPLY=($(compgen -f -- "$cur"))
            return ;;
    esac

    local options
    case $command in
        list) options="--json" ;;
        show) options="--number --code --json" ;;
        add) options="--number --code --tcp --udp --peer --dynamic --interval --frame-gap --net-port --net-mode --json" ;;
        edit) options="--number --code --new-number --new-code --tcp --udp --peer --dynamic --interval --frame-gap --net-port --net-mode --json" ;;
        remove) options="--number --code --force" ;;
        watch) options="--count" ;;
        monitor) options="--number --code --ascii --hex --json --pcap --decode-as --count --seconds" ;;
        stats) options="--prometheus" ;;
        select)
            [ "$COMP_CWORD" -eq 2 ] && COMPREPLY=($(compgen -W "$(_mv5840vspctl_ports 2)" -- "$cur"))
            return ;;
        help)
            [ "$COMP_CWORD" -eq 2 ] && COMPREPLY=($(compgen -W "${commands% help}" -- "$cur"))
            return ;;
        *) return ;;
    esac
    COMPREPLY=($(compgen -W "$options --help" -- "$cur"))
}

complete -F _mv5840vspctl mv5840vspctl
