#!/bin/sh -e
# The page: the title, then the chapters named in the file chapters, in that
# order. (page.html.do is found before default.html.do, which makes the
# chapters.)
ombu-ifchange title chapters
fragments=$(sed 's/$/.html/' chapters)
ombu-ifchange $fragments
title=$(cat title)
{
    printf '<!DOCTYPE html>\n<html>\n<head><title>%s</title></head>\n<body>\n<h1>%s</h1>\n' "$title" "$title"
    cat $fragments
    printf '</body>\n</html>\n'
} > "$3"
