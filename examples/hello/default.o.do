#!/bin/sh -e
# Compiles $1.c into the output file $3. The source is declared before the
# compile, so that its record holds what the compiler reads. The compiler
# writes the names of the files it read, the source and its headers, into
# $1.d, where the file stays; the shell reads them back, undoing the file's
# escapes ("\ " for a space in a name, "\#", "$$", and " \" ending a line
# that goes on), and one ombu-ifchange declares them all, so a changed header
# rebuilds this object.
depfile=$1.d
ombu-ifchange "$1.c"
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
