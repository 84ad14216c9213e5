# Bash completion for kistle: commands, their options, files, and after
# extract, list, cat and delete the names stored in the cabinet named.
# It uses bash's own compgen and complete alone.

# The options of each command; those that take a value are in
# _kistle_valued.
_kistle_options() {
    case $1 in
    create)
        echo "-C --directory --exclude --store --plain --mtime --owner --group" \
            "--numeric-owner --level --folder-size --volume-size --in-place --force -j --threads" \
            "-v --verbose -q --quiet --no-progress -h --help" ;;
    add | update)
        echo "-C --directory --exclude --mtime --owner --group --numeric-owner --level" \
            "--folder-size --volume-size -j --threads -v --verbose -q --quiet --no-progress" \
            "-h --help"
        [[ $1 == update ]] && echo "--delete-missing" ;;
    delete) echo "-v --verbose -q --quiet --no-progress -h --help" ;;
    list) echo "-l --long --json -h --help" ;;
    extract)
        echo "-C --directory --exclude --strip-components -k --keep --allow-overlap" \
            "-j --threads -v --verbose -q --quiet --no-progress -h --help" ;;
    test | cat | info) echo "-h --help" ;;
    esac
}

_kistle_valued() {
    case $1 in
    -C | --directory | --exclude | --strip-components | --mtime | --owner | --group | \
        --level | --folder-size | --volume-size | -j | --threads | --progress-delay) return 0 ;;
    esac
    return 1
}

# A stored name as an operand: wildcard characters and backslashes get a
# backslash, and the whole is quoted for the shell.
_kistle_operand() {
    local name=$1 escaped="" c i
    for ((i = 0; i < ${#name}; i++)); do
        c=${name:i:1}
        case $c in
        '*' | '?' | '[' | '\') escaped+="\\$c" ;;
        *) escaped+=$c ;;
        esac
    done
    printf '%q\n' "$escaped"
}

_kistle() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local commands="create list extract test cat info add update delete"
    COMPREPLY=()
    if ((COMP_CWORD == 1)); then
        if [[ $cur == -* ]]; then
            mapfile -t COMPREPLY < <(compgen -W "--help --version" -- "$cur")
        else
            mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
        fi
        return
    fi
    local command=${COMP_WORDS[1]}

    case $prev in
    -C | --directory)
        mapfile -t COMPREPLY < <(compgen -d -- "$cur")
        return ;;
    --owner)
        mapfile -t COMPREPLY < <(compgen -u -- "$cur")
        return ;;
    --group)
        mapfile -t COMPREPLY < <(compgen -g -- "$cur")
        return ;;
    --level)
        mapfile -t COMPREPLY < <(compgen -W "1 2 3 4 5 6 7 8 9" -- "$cur")
        return ;;
    esac
    if _kistle_valued "$prev"; then
        return
    fi

    # The operands before this word: the first is the cabinet.
    local i word operands=0 cabinet="" after_dashes=""
    for ((i = 2; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ -z $after_dashes && $word == -- ]]; then
            after_dashes=1
        elif [[ -z $after_dashes && $word == -?* ]]; then
            [[ $word != *=* ]] && _kistle_valued "$word" && ((i++))
        else
            ((operands == 0)) && cabinet=$word
            ((operands++))
        fi
    done

    if [[ -z $after_dashes && $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$(_kistle_options "$command")" -- "$cur")
        return
    fi
    if ((operands == 0)) || [[ $command == create || $command == add || $command == update ]]; then
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        return
    fi
    case $command in
    extract | list | cat | delete)
        local name
        cabinet=${cabinet/#\~/$HOME}
        while IFS= read -r name; do
            [[ $name == "$cur"* ]] && COMPREPLY+=("$(_kistle_operand "$name")")
        done < <("${COMP_WORDS[0]/#\~/$HOME}" list -- "$cabinet" 2>/dev/null)
        ;;
    esac
}

complete -F _kistle kistle
