# Bash completion for fuelctl. The commands, their subcommands and options and the fault
# kinds are read from the program's own --help, so they never fall behind the program.

_fuelctl_help() {  # _fuelctl_help [COMMAND [SUBCOMMAND]]: the program's help text, quietly
    "${COMP_WORDS[0]}" "$@" --help 2>/dev/null
}

# The names of a help text's list (Commands:, Subcommands:) or its options (the sections
# Options: and Line options:), one a line.
_fuelctl_list() {
    sed -n "/^$1:/,/^\$/s/^  \\([a-z][a-z-]*\\) .*/\\1/p"
}
_fuelctl_options() {
    sed -n '/^\(Line o\|O\)ptions/,/^$/s/^  \(--[a-z][a-z0-9-]*\).*/\1/p' | sort -u
}

_fuelctl() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()

    if [[ $COMP_CWORD -eq 1 ]]; then
        local commands
        commands=$(_fuelctl_help | _fuelctl_list Commands)
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
        --config | --cnf | --ports | --trace-file | --output | --database)
            COMPREPLY=($(compgen -f -- "$cur"))
            return
            ;;
        --settings)
            COMPREPLY=($(compgen -d -- "$cur"))
            return
            ;;
    esac

    # A command with subcommands (cell read, param write) has them in its help; the
    # subcommand, once typed, has options of its own.
    local subcommands path=$command word
    subcommands=$(_fuelctl_help "$command" | _fuelctl_list Subcommands)
    if [[ -n $subcommands ]]; then
        for word in "${COMP_WORDS[@]:2:COMP_CWORD-2}"; do
            if [[ $word != -* ]] && grep -qx -- "$word" <<<"$subcommands"; then
                path="$command $word"
                break
            fi
        done
    fi

    if [[ $cur == -* ]]; then
        local options
        options=$(_fuelctl_help $path | _fuelctl_options)
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi

    if [[ $COMP_CWORD -eq 2 && -n $subcommands ]]; then
        COMPREPLY=($(compgen -W "$subcommands" -- "$cur"))
    fi
}
complete -F _fuelctl fuelctl
