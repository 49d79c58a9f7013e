#!/bin/sh -e
# Links the program here: linking is not sent to the build hosts.
objects="main.o greet.o count.o"
ombu-ifchange $objects
${CC:-cc} -o "$3" $objects
