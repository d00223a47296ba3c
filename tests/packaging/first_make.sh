#!/bin/sh
# The wrapper Makefile before a first build: with the packages missing it
# names them and the command that installs them, without starting CMake; and
# a build directory that a failed configure left behind (a cache, no
# generated build files) is configured again, not built as it is; and one
# configured without the tests gets them. Runs make for real only where it
# stops before CMake or CMake is a stand-in, and with -n otherwise.
# Usage: first_make.sh SOURCE_DIR
set -eu
src=$(realpath "$1")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT INT TERM
fail=0
bad() { echo "first_make: $*"; fail=1; }
# As a user types it, not as a sub-make of whatever runs this check.
mk() { env -u MAKEFLAGS -u MFLAGS -u MAKELEVEL make -C "$src" --no-print-directory "$@"; }

# Packages hidden from pkg-config: one short message, no CMake run.
if PKG_CONFIG_LIBDIR=/nonexistent mk BUILD="$tmp/fresh" >"$tmp/out" 2>&1; then
    bad "make succeeded without the libraries"
fi
cat "$tmp/out"
grep -q 'missing packages: libusb-1.0-0-dev libxml2-dev libzip-dev libssl-dev\.' "$tmp/out" ||
    bad "message does not name the missing packages"
grep -q '`make deps` installs them' "$tmp/out" || bad "message does not name make deps"
[ "$(wc -l <"$tmp/out")" -le 2 ] || bad "more than a short message"
[ ! -e "$tmp/fresh" ] || bad "CMake ran anyway"

# What a failed configure leaves, and a finished one: only the first is
# configured again.
for case in "failed:CMakeCache.txt:yes" "finished:CMakeCache.txt .configured:no"; do
    name=${case%%:*} rest=${case#*:}
    files=${rest%:*} want=${rest#*:}
    mkdir -p "$tmp/$name/CMakeFiles"
    for f in $files; do : >"$tmp/$name/$f"; done
    mk -n BUILD="$tmp/$name" build >"$tmp/plan" 2>&1 || { cat "$tmp/plan"; bad "$name: make -n failed"; continue; }
    if grep -qF "cmake -S . -B $tmp/$name " "$tmp/plan"; then got=yes; else got=no; fi
    [ "$got" = "$want" ] || { cat "$tmp/plan"; bad "$name configure: configures again: $got, want $want"; }
done

# A directory that `make demo` configured without the tests gets them from
# `make test` in place; one configured with them is left alone. CMake is a
# stand-in here that logs its arguments.
mkdir -p "$tmp/bin"
printf '#!/bin/sh\necho "$*" >>"%s/cmake.log"\n' "$tmp" >"$tmp/bin/cmake"
chmod +x "$tmp/bin/cmake"
for case in OFF:yes ON:no; do
    tests=${case%:*} want=${case#*:}
    dir="$tmp/tests-$tests"
    mkdir -p "$dir"
    : >"$dir/.configured"
    printf 'DURUVEV_TESTS:BOOL=%s\n' "$tests" >"$dir/CMakeCache.txt"
    rm -f "$tmp/cmake.log"
    PATH="$tmp/bin:$PATH" mk BUILD="$dir" tests-on >"$tmp/plan" 2>&1 || { cat "$tmp/plan"; bad "tests $tests: make tests-on failed"; }
    if grep -q -- "-B $dir -DDURUVEV_TESTS=ON" "$tmp/cmake.log" 2>/dev/null; then got=yes; else got=no; fi
    [ "$got" = "$want" ] || bad "tests $tests: switched on: $got, want $want"
done

[ $fail -eq 0 ] && echo "first_make: checks passed"
exit $fail
