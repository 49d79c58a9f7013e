#!/bin/sh -e
# Compiles ../hello/$1.c through distcc, which sends the compile to one of
# the build hosts in DISTCC_HOSTS. The source is declared first; the
# compiler reads the files here and writes their names into $1.d, so they
# are declared as in ../hello/default.o.do.
depfile=$1.d
ombu-ifchange "../hello/$1.c"
distcc ${CC:-cc} -MMD -MF "$depfile" -c -o "$3" "../hello/$1.c"
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
