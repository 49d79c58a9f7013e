#!/bin/sh -e
# out/lib/FOLDER.list: the objects of library FOLDER, one a source file of
# ../src/FOLDER (main.cpp of commands is the executable's own). The folder
# is declared, so a source added or removed makes the list again; a list that
# comes out the same leaves the library alone.
folder=${1#out/lib/}
ombu-ifchange "../src/$folder"
[ -d out/lib ] || mkdir -p out/lib
for source in ../src/"$folder"/*.cpp; do
    case $source in ../src/commands/main.cpp) continue ;; esac
    source=${source#../src/}
    echo "out/obj/${source%.cpp}.o"
done > "$3"
