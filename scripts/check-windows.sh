#!/bin/sh
# Compiles every source a Windows build would compile against the real
# Windows headers (MinGW-w64), syntax only, so portable code cannot quietly
# come to depend on POSIX-only calls. The POSIX platform files are left out;
# the *_win.cpp files are put in.
set -eu
cd "$(dirname "$0")/.."

CXX=${MINGW_CXX:-x86_64-w64-mingw32-g++}
if ! command -v "$CXX" >/dev/null 2>&1; then
    echo "check-windows: $CXX not found (package g++-mingw-w64-x86-64)" >&2
    exit 1
fi

# The library headers are the Linux ones: they are plain C declarations.
# Their directories cannot be put on the include path as they are, because
# /usr/include would hide the Windows C library, so the few headers the code
# includes from /usr/include itself are linked into a directory of their own.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT INT TERM
mkdir -p "$tmp/include"
for h in zip.h zipconf.h sha2.h; do
    if [ -f "/usr/include/$h" ]; then
        ln -s "/usr/include/$h" "$tmp/include/$h"
    else
        echo "check-windows: /usr/include/$h missing (install the library's -dev package)" >&2
        exit 1
    fi
done
# libxml2's encoding.h includes <iconv.h> and <unicode/ucnv.h> for a few
# types in its converter record, as the Linux build was configured (a Windows
# libxml2 brings its own). glibc's iconv.h does not suit the Windows C
# library and ICU's headers need not be installed, so stand-ins declaring
# only those types take their place; the code never uses them.
printf '#pragma once\ntypedef void *iconv_t;\n' >"$tmp/include/iconv.h"
mkdir -p "$tmp/include/unicode"
printf '#pragma once\ntypedef struct UConverter UConverter;\ntypedef unsigned short UChar;\n' \
    >"$tmp/include/unicode/ucnv.h"
# Only the include directories, never /usr/include itself, and as system
# directories so that their own warnings stay out of the report.
lib_includes=""
for flag in $(pkg-config --cflags-only-I libusb-1.0 libxml-2.0 libzip libmd); do
    [ "$flag" = "-I/usr/include" ] && continue
    lib_includes="$lib_includes -isystem ${flag#-I}"
done

failed=0
count=0
for src in src/*.cpp; do
    case "$src" in
    *_linux.cpp | *_posix.cpp) continue ;;
    esac
    count=$((count + 1))
    # shellcheck disable=SC2086
    if ! "$CXX" -std=c++20 -fsyntax-only -Wall -Wextra -Wshadow \
        -Isrc -isystem "$tmp/include" $lib_includes "$src" 2>"$tmp/out"; then
        echo "check-windows: $src does not compile for Windows:" >&2
        cat "$tmp/out" >&2
        failed=$((failed + 1))
    elif [ -s "$tmp/out" ]; then
        echo "check-windows: warnings in $src:" >&2
        cat "$tmp/out" >&2
    fi
done

if [ "$failed" -ne 0 ]; then
    echo "check-windows: $failed of $count sources failed" >&2
    exit 1
fi
echo "check-windows: $count sources compile for Windows"
