#!/bin/sh
# Prints the Debian packages that the configure step of `make` needs and
# that are missing, on one line (nothing when none is). Checks what CMake
# looks for, the cheap way, as scripts/packages says for each package: the
# tools on PATH, the libraries through pkg-config as CMakeLists.txt finds
# them, GoogleTest by its headers.
#
#   scripts/missing-build-deps.sh [--no-tests]
set -u
sets="demo test"
[ "${1:-}" = --no-tests ] && sets="demo"
missing=""
has_header() {
    for d in /usr/include /usr/local/include; do
        [ -f "$d/$1" ] && return 0
    done
    return 1
}
for set in $sets; do
    checks=$(awk -v set="$set" '$1 == set && $3 != "-" { print $2, $3 }' "$(dirname "$0")/packages")
    while read -r pkg check; do
        [ -n "$pkg" ] || continue
        what=${check#*:}
        case "$check" in
            cmd:c++) command -v "${CXX:-c++}" >/dev/null 2>&1 ;;
            cmd:*) command -v "$what" >/dev/null 2>&1 ;;
            pc:*) pkg-config --exists "$what" 2>/dev/null ;;
            h:*) has_header "$what" ;;
            *) true ;;
        esac || missing="$missing $pkg"
    done <<LIST
$checks
LIST
done
echo "${missing# }"
