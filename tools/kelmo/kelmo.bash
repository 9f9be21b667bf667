# bash completion for kelmo.
#
# The subcommands and their options are read from the program's own help
# ("kelmo --help", "kelmo SUB --help") each time, so they are always those
# of the kelmo being completed; the card types for -t come from "kelmo
# cards", which needs no device.

# The entries of one section of a help text, one a line: "NAMES VALUE",
# VALUE empty for a flag (the help's "  -t,--type INT=123    Card type").
_kelmo_entries() {
    local section=$1 line in=''
    local entry='^  ([^ ]+)( ([^ ]+( [^ ]+)*))?( {2,}.*)?$'
    shift
    while IFS= read -r line; do
        if [[ $line == "$section:" ]]; then
            in=1
        elif [[ -z $line ]]; then
            in=''
        elif [[ $in && $line =~ $entry ]]; then
            printf '%s %s\n' "${BASH_REMATCH[1]}" "${BASH_REMATCH[3]}"
        fi
    done < <("$@" --help 2>/dev/null)
}

_kelmo_card_types() {
    local types
    mapfile -t types < <("$1" cards 2>/dev/null | sed -n -E 's/^ *([0-9]+) .*/\1/p')
    ((${#types[@]})) || types=(123 124)
    # The sound card is listed only when asked for (it opens the device).
    printf '%s\n' "${types[@]}" 800 | sort -nu
}

_kelmo_files() {
    if declare -F _filedir >/dev/null; then
        _filedir "$@"
    else
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen "${1:--f}" -- "$cur")
    fi
}

_kelmo() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev='' prog=${COMP_WORDS[0]/#\~/$HOME}
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    # "--output=FILE": bash splits the word at "=".
    if [[ $cur == = ]]; then
        cur=
    elif [[ $prev == = ]] && ((COMP_CWORD > 1)); then
        prev=${COMP_WORDS[COMP_CWORD - 2]}
    fi
    COMPREPLY=()
    type -P "$prog" >/dev/null 2>&1 || [[ -x $prog ]] || return 0

    local i sub='' subs
    subs=$(_kelmo_entries Subcommands "$prog" | cut -d' ' -f1)
    for ((i = 1; i < COMP_CWORD; i++)); do
        if [[ $'\n'$subs$'\n' == *$'\n'"${COMP_WORDS[i]}"$'\n'* ]]; then
            sub=${COMP_WORDS[i]}
            break
        fi
    done
    if [[ -z $sub && $cur != -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$subs" -- "$cur")
        return 0
    fi

    local names value options=() entry='' each
    while read -r names value; do
        IFS=, read -ra each <<<"$names"
        options+=("${each[@]}")
        [[ $prev == -* && ,$names, == *,$prev,* ]] && entry="$names $value"
    done < <(_kelmo_entries Options "$prog" ${sub:+"$sub"})
    if [[ $entry ]]; then
        read -r names value <<<"$entry"
        [[ $value ]] || entry=''  # a flag: what follows it is a new word
    fi
    if [[ $entry ]]; then
        case ",$names,:$value" in
        *,--type,*:*) mapfile -t COMPREPLY < <(compgen -W "$(_kelmo_card_types "$prog")" -- "$cur") ;;
        *:*\{*\}*)
            value=${value#*\{} value=${value%%\}*}
            mapfile -t COMPREPLY < <(compgen -W "${value//,/ }" -- "$cur")
            ;;
        *:*DIR*) _kelmo_files -d ;;
        *,--output,* | *,--csv,* | *,--plot,* | *:*FILE*) _kelmo_files ;;
        esac
        return 0
    fi
    mapfile -t COMPREPLY < <(compgen -W "${options[*]}" -- "$cur")
}

complete -F _kelmo kelmo
