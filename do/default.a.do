#!/bin/sh -e
# out/lib/FOLDER.a: the static library of the objects its list names,
# archived and indexed as CMake does.
list=$1.list output=$3
ombu-ifchange "$list"
set --
while read -r object; do
    set -- "$@" "$object"
done < "$list"
ombu-ifchange "$@"
ar qc "$output" "$@"
ranlib "$output"
