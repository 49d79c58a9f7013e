#!/bin/sh -e
# Links the program from its objects.
objects="main.o table.o"
ombu-ifchange $objects
${CC:-cc} -o "$3" $objects
