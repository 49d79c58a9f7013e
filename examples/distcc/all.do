#!/bin/sh -e
ombu-ifchange hello
