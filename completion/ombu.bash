# Bash completion for ombu, ombu-ifchange, ombu-ifcreate and cubehash.
# Options come from the commands' option tables (their --help); for ombu and
# ombu-ifchange, names are the targets that have a script of their own
# (x.do gives x) in the directory of the word being completed, and
# directories to go down into.

# Targets with a script of their own in the directory part of $1. A
# default.do or default.EXT.do script serves a family of targets and names
# none by itself.
_ombu_targets() {
    local dir='' script name
    case $1 in */*) dir=${1%/*}/ ;; esac
    for script in "$dir"*.do; do
        [ -e "$script" ] || continue
        name=${script%.do}
        case ${name##*/} in default | default.*) continue ;; esac
        printf '%s\n' "$name"
    done
}

_ombu() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev='' command=${COMP_WORDS[0]##*/}
    [ "$COMP_CWORD" -gt 0 ] && prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()
    case $prev in
    -C | --directory)
        mapfile -t COMPREPLY < <(compgen -d -- "$cur")
        return
        ;;
    -j | --jobs) return ;;
    esac
    local options='-C --directory --help --usage'
    if [ "$command" != cubehash ]; then
        options="-s --silent --quiet -d --debug -k --keep-going --verbose -p --print -j --jobs $options"
    fi
    case $cur in
    -*)
        mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
        return
        ;;
    esac
    case $command in
    ombu | ombu-ifchange)
        mapfile -t COMPREPLY < <(
            compgen -W "$(_ombu_targets "$cur")" -- "$cur"
            compgen -d -- "$cur"
        )
        ;;
    *) mapfile -t COMPREPLY < <(compgen -f -- "$cur") ;;
    esac
}

complete -o filenames -F _ombu ombu ombu-ifchange ombu-ifcreate cubehash
