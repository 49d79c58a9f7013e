#!/bin/bash
# Checks the bash completion of the four commands: usage is
# completion_cases.sh COMPLETION-FILE BINARY-DIR, run in an empty directory.
# Prints each case that fails and exits 1 if any did.
set -u
source "$1" || exit 1
bin=$2
failures=0

# complete_line WORD... : the replies for the last word, sorted, one a line.
complete_line() {
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMPREPLY=()
    _ombu
    printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort
}

expect() {  # expect WANTED WORD...
    local wanted=$1 got
    shift
    got=$(complete_line "$@" | tr '\n' ' ')
    if [ "$got" != "$wanted" ]; then
        echo "completing [$*]: wanted [$wanted], got [$got]"
        failures=$((failures + 1))
    fi
}

# Every option that a command's --help lists, and only those, for "-".
for command in ombu ombu-ifchange ombu-ifcreate cubehash; do
    listed=$("$bin/$command" --help | grep $'^\t' | grep -o -- '-\{1,2\}[a-zA-Z][-a-zA-Z]*')
    wanted=$(printf '%s\n' $listed --help --usage | sort -u | tr '\n' ' ')
    expect "$wanted" "$command" -
done
expect "--debug " ombu --de
expect "--directory " cubehash --d

# Targets with a script of their own; default scripts give none.
# Directories come bare: readline adds the slash (-o filenames).
mkdir -p sub/deeper other
for script in all.do hello.do main.o.do default.o.do default.do sub/x.do sub/default.c.do; do
    : > "$script"
done
: > notes.txt
expect "all hello main.o other sub " ombu ''
expect "hello " ombu-ifchange -j 2 he
expect "sub/deeper sub/x " ombu sub/
expect "main.o " ombu -k m
# After -C a directory; after -j nothing.
expect "other sub " ombu -C ''
expect "" ombu -j ''
# ombu-ifcreate and cubehash take any file.
expect "all.do default.do default.o.do hello.do main.o.do notes.txt other sub " cubehash ''
expect "notes.txt " ombu-ifcreate n

# Registered for each of the four names.
for command in ombu ombu-ifchange ombu-ifcreate cubehash; do
    if [ "$(complete -p "$command")" != "complete -o filenames -F _ombu $command" ]; then
        echo "$command: not registered: $(complete -p "$command" 2>&1)"
        failures=$((failures + 1))
    fi
done

[ "$failures" -eq 0 ]
