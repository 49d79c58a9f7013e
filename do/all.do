#!/bin/sh -e
# The executable and its three other names, in out/.
ombu-ifchange out/ombu out/ombu-ifchange out/ombu-ifcreate out/cubehash
