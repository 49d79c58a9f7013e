#!/bin/sh -e
# Compiles ../hello/$1.c through distcc, which sends the compile to one of
# the build hosts in DISTCC_HOSTS. The compiler reads the headers here, so
# they are declared as in ../hello/default.o.do.
ombu-ifchange "../hello/$1.c"
distcc ${CC:-cc} -MMD -MF "$1.d" -c -o "$3" "../hello/$1.c"
headers=$(sed -e 's/^[^:]*://' -e 's/\\$//' "$1.d")
rm -f "$1.d"
ombu-ifchange $headers
