#!/bin/sh -e
# The code generator, a program built like any other.
ombu-ifchange gen.c
${CC:-cc} -o "$3" gen.c
