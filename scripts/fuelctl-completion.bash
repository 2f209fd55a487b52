# Bash completion for fuelctl. The commands, their sub-commands and options and the fault
# kinds are read from the program's own --help, so they never fall behind the program.

_fuelctl_help() {  # _fuelctl_help [COMMAND]: the program's help text, quietly
    "${COMP_WORDS[0]}" "$@" --help 2>/dev/null
}

_fuelctl() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()

    if [[ $COMP_CWORD -eq 1 ]]; then
        local commands
        commands=$(_fuelctl_help | sed -n '/^Commands:/,/^$/s/^  \([a-z][a-z-]*\) .*/\1/p')
        COMPREPLY=($(compgen -W "$commands --help --version" -- "$cur"))
        return
    fi
    local command=${COMP_WORDS[1]}

    case $prev in
        --fault | --fault-rate)
            local kinds
            kinds=$(_fuelctl_help | sed -n 's/^Fault kinds for --fault: *//p')
            [[ $prev == --fault-rate ]] && kinds=$(printf '%s= ' $kinds)
            COMPREPLY=($(compgen -W "$kinds" -- "$cur"))
            [[ $prev == --fault-rate ]] && compopt -o nospace 2>/dev/null
            return
            ;;
        --port)
            COMPREPLY=($(compgen -f -- "${cur:-/dev/tty}"))
            return
            ;;
        --config | --cnf | --ports | --trace-file)
            COMPREPLY=($(compgen -f -- "$cur"))
            return
            ;;
        --settings)
            COMPREPLY=($(compgen -d -- "$cur"))
            return
            ;;
    esac

    if [[ $cur == -* ]]; then
        local options
        options=$(_fuelctl_help "$command" | grep -o -- '--[a-z][a-z-]*' | sort -u)
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi

    # A command with sub-commands names them in its usage line: "cell read ... | write ...".
    if [[ $COMP_CWORD -eq 2 ]]; then
        local usage subcommands
        usage=$(_fuelctl_help "$command" | sed -n "s/^Usage: [^ ]* $command //p" | head -n 1)
        subcommands=$(tr '|[' '\n\n' <<<"$usage" | sed -n 's/^ *\([a-z][a-z-]*\).*/\1/p')
        COMPREPLY=($(compgen -W "$subcommands" -- "$cur"))
    fi
}
complete -F _fuelctl fuelctl
