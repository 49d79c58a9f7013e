#!/bin/sh -e
# Compiles ../src/FOLDER/NAME.cpp into out/obj/FOLDER/NAME.o. The source is
# declared before the compile, so that its record holds what the compiler
# reads. The compiler writes what it read into out/obj/FOLDER/NAME.d, where
# the file stays; the shell reads it and one ombu-ifchange declares the
# source, the headers and the flags. The depfile's escapes are undone: "\ "
# in a name, "\#", "$$", and a line ending in " \" goes on in the next.
. ./config
depfile=$1.d
source=../src/${1#out/obj/}.cpp
ombu-ifchange "$source"
[ -d "${1%/*}" ] || mkdir -p "${1%/*}"
$CXX $CXXFLAGS -MD -MF "$depfile" -c -o "$3" "$source"
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
ombu-ifchange config "$@"
