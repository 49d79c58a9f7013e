#!/bin/sh -e
# The version header, made from the VERSION file.
ombu-ifchange VERSION
printf '#define VERSION "%s"\n' "$(cat VERSION)" > "$3"
