#!/bin/sh -e
# Compiles $1.c into the output file $3 as hello/default.o.do does: the
# source first (table.c is generated, and is made then), the compile, then
# what the compiler read. The compiler names those files only once it has
# compiled, too late for a generated header that does not exist yet: a
# source that includes one names it with itself, so that it is made before
# the compiler runs.
case $1 in
main) ombu-ifchange "$1.c" version.h ;;
*) ombu-ifchange "$1.c" ;;
esac
depfile=$1.d
${CC:-cc} -MMD -MF "$depfile" -c -o "$3" "$1.c"
set -f --
first=y
while IFS= read -r line; do
    case $line in *' \') line=${line%\\} ;; esac
    case $first in y) line=${line#*: } first= ;; esac
    while :; do
        line=${line#"${line%%[! ]*}"}
        [ -n "$line" ] || break
        word=${line%% *} line=${line#"${line%% *}"}
        while case $word in *\\) ;; *) false ;; esac; do
            line=${line# } next=${line%% *}
            word="${word%\\} $next" line=${line#"$next"}
        done
        name=
        while case $word in *'$$'*) ;; *) false ;; esac; do
            name=$name${word%%'$$'*}\$ word=${word#*'$$'}
        done
        word=$name$word name=
        while case $word in *'\#'*) ;; *) false ;; esac; do
            name=$name${word%%'\#'*}\# word=${word#*'\#'}
        done
        set -- "$@" "$name$word"
    done
done < "$depfile"
ombu-ifchange "$@"
