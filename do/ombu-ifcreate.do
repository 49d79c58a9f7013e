#!/bin/sh -e
# One of the executable's other names: a symbolic link to it, beside it.
[ -d out ] || mkdir -p out
ln -s ombu "$3"
