#!/bin/sh -e
ombu-ifchange squares
