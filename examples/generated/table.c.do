#!/bin/sh -e
# Generated source: whatever gen writes. A new gen rebuilds it.
ombu-ifchange gen
./gen > "$3"
