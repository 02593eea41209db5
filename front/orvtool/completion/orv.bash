# bash completion for orvtool and orvsim-run.
#
# The commands and options are read from the programs' own --help, so this
# file never lists them and cannot fall behind. Installed as
# share/bash-completion/completions/orvtool and .../orvsim-run.

# Options of `orvtool WORDS... --help` (one a line, "=" after those that take
# a value), then "--", then its subcommands.
_orvtool_help()
{
    "$1" "${@:2}" --help 2>/dev/null | awk '
        /^[A-Za-z].*:$/ { section = $0; next }
        section == "Options:" && /^  -/ {
            for (i = 1; i <= NF; i++) {
                n = split($i, names, ",")
                for (j = 1; j <= n; j++)
                    if (names[j] ~ /^--?[a-z]/) {
                        # the name of a value is in capitals: FILE, KHZ, [HOST:]PORT
                        value = (i < NF && $(i + 1) ~ /^\[?[A-Z][A-Z0-9:_\[\]]*$/ && $(i + 1) !~ /:$/) ? "=" : ""
                        print names[j] value
                    }
                if ($i !~ /,$/) break
            }
        }
        section == "Subcommands:" && /^  [a-z]/ { commands = commands $1 "\n" }
        END { printf "--\n%s", commands }'
}

_orvtool()
{
    local cur prev words cword
    if declare -F _init_completion >/dev/null; then
        _init_completion || return
    else
        cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
        words=("${COMP_WORDS[@]}") cword=$COMP_CWORD
    fi
    local program=${words[0]} path=() help options=() commands=() i word
    # The group and command so far, skipping options and their values.
    for ((i = 1; i < cword; i++)); do
        word=${words[i]}
        case $word in
        -*) help=$(_orvtool_help "$program" "${path[@]}")
            grep -qxF -- "$word=" <<<"$help" && ((i++)) ;;
        *) path+=("$word") ;;
        esac
    done
    help=$(_orvtool_help "$program" "${path[@]}")
    mapfile -t options < <(sed '/^--$/,$d' <<<"$help")
    mapfile -t commands < <(sed '1,/^--$/d' <<<"$help")

    if grep -qxF -- "$prev=" <<<"$help" || [[ $prev == -o ]]; then
        case $prev in
        --board)
            local boards
            boards=$(dirname "$(command -v "$program")")/../share/orv/boards
            mapfile -t COMPREPLY < <(compgen -f -- "$cur" || true; cd "$boards" 2>/dev/null &&
                compgen -G "$cur*.json" | sed 's/\.json$//')
            ;;
        -o | --output) mapfile -t COMPREPLY < <(compgen -f -- "$cur") ;;
        esac
        return
    fi
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "${options[*]%=}" -- "$cur")
    elif ((${#commands[@]})); then
        mapfile -t COMPREPLY < <(compgen -W "${commands[*]}" -- "$cur")
    else
        mapfile -t COMPREPLY < <(compgen -f -- "$cur") # FILE arguments (svf, write, verify)
    fi
}
complete -F _orvtool orvtool

_orvsim_run()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]} i
    for ((i = 1; i < COMP_CWORD; i++)); do
        if [[ ${COMP_WORDS[i]} == -- ]]; then
            # The program to run and its own arguments.
            declare -F _command_offset >/dev/null && _command_offset $((i + 1))
            return
        fi
    done
    case $prev in
    --board) mapfile -t COMPREPLY < <(compgen -f -- "$cur"); return ;;
    --adapters | --fault) return ;;
    esac
    local options
    options=$("${COMP_WORDS[0]}" --help 2>/dev/null | grep -o -- '--[a-z][a-z-]*' | sort -u)
    mapfile -t COMPREPLY < <(compgen -W "$options --" -- "$cur")
}
complete -F _orvsim_run orvsim-run
