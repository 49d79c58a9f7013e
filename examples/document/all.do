#!/bin/sh -e
ombu-ifchange page.html
