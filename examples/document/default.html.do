#!/bin/sh -e
# One chapter, $1.txt, as an HTML fragment: its first line becomes the
# heading, each run of lines between empty lines a paragraph.
ombu-ifchange "$1.txt"
sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g' "$1.txt" |
awk 'NR == 1 { print "<h2>" $0 "</h2>"; next }
     /^$/ { if (open) print "</p>"; open = 0; next }
     { if (!open) print "<p>"; open = 1; print }
     END { if (open) print "</p>" }' > "$3"
