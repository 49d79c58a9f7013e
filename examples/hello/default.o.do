#!/bin/sh -e
# Compiles $1.c into the output file $3, then declares every header the
# compiler read as a prerequisite, so a changed header rebuilds this object.
ombu-ifchange "$1.c"
${CC:-cc} -MMD -MF "$1.d" -c -o "$3" "$1.c"
headers=$(sed -e 's/^[^:]*://' -e 's/\\$//' "$1.d")
rm -f "$1.d"
ombu-ifchange $headers
