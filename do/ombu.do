#!/bin/sh -e
# out/ombu: main.o and the libraries, linked statically.
. ./config
output=$3
# Every folder of ../src is a library: one that LIBRARIES does not name
# would leave its symbols undefined at the link, so say which.
for folder in ../src/*/; do
    folder=${folder%/} folder=${folder##*/}
    case " $LIBRARIES " in
        *" $folder "*) ;;
        *) echo "do/config: LIBRARIES does not name src/$folder" >&2; exit 1 ;;
    esac
done
set -- out/obj/commands/main.o
for library in $LIBRARIES; do
    set -- "$@" "out/lib/$library.a"
done
ombu-ifchange config ../src "$@"
$CXX $LDFLAGS "$@" -o "$output"
