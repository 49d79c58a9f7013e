#!/bin/sh -e
# out/ombu: main.o and the libraries, linked statically.
. ./config
output=$3
set -- out/obj/commands/main.o
for library in $LIBRARIES; do
    set -- "$@" "out/lib/$library.a"
done
ombu-ifchange config "$@"
$CXX $LDFLAGS "$@" -o "$output"
