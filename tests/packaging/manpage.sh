#!/bin/sh
# The manual page renders without warnings, both as groff checks it and as
# man formats it for a terminal, and documents every option that -h lists.
# Usage: manpage.sh PROGRAM PAGE
set -eu
tool=$1 page=$2
status=0

out=$(groff -ww -z -man "$page" 2>&1) || status=1
if [ -n "$out" ] || [ $status -ne 0 ]; then
    printf 'groff -ww -z -man %s:\n%s\n' "$page" "$out"
    status=1
fi
out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null) || status=1
if [ -n "$out" ]; then
    printf 'man --warnings -l %s:\n%s\n' "$page" "$out"
    status=1
fi

# In roff source a minus sign is written \-.
for opt in $("$tool" -h | grep -o -e '--[a-z][a-z-]*' -e '^ -[a-zA-Z]' | tr -d ' ' | sort -u); do
    pattern=$(printf '%s' "$opt" | sed 's/-/\\\\-/g')
    if ! grep -q -e "$pattern" "$page"; then
        echo "option $opt is not in the manual page"
        status=1
    fi
done
exit $status
