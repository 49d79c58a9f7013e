#!/bin/sh -e
# Links the program from its objects.
objects="main.o greet.o count.o"
ombu-ifchange $objects
${CC:-cc} -o "$3" $objects
