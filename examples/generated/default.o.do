#!/bin/sh -e
# Compiles $1.c into the output file $3, then declares every header the
# compiler read. The compiler names those headers only once it has compiled,
# too late for a generated header that does not exist yet: a source that
# includes one names it first, so that it is made before the compiler runs.
case $1 in
main) ombu-ifchange version.h ;;
esac
ombu-ifchange "$1.c"
${CC:-cc} -MMD -MF "$1.d" -c -o "$3" "$1.c"
headers=$(sed -e 's/^[^:]*://' -e 's/\\$//' "$1.d")
rm -f "$1.d"
ombu-ifchange $headers
