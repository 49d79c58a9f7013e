#!/bin/sh -e
# Runs make with ombu's job slots. ombu tells its scripts the job-server
# descriptors in OMBUFLAGS (the word --jobserver-fds=R,W); make takes them
# as --jobserver-auth=R,W in MAKEFLAGS, with -j and no number.
ombu-ifchange Makefile
fds=
for word in $OMBUFLAGS; do
    case $word in
    --jobserver-fds=*) fds=${word#--jobserver-fds=} ;;
    esac
done
case $fds in
'') unset MAKEFLAGS ;;                   # no job server: make runs one job
*,*) MAKEFLAGS=" -j --jobserver-auth=$fds" ;;
*) MAKEFLAGS=" -j --jobserver-auth=$fds,$fds" ;;
esac
export MAKEFLAGS
rm -f make.log
make -s all
cat part1 part2 part3 part4 > "$3"
