#!/bin/sh
# Prints the Debian packages that the configure step of `make` needs and
# that are missing, on one line (nothing when none is). Checks what CMake
# looks for, the cheap way: the tools on PATH, the libraries through
# pkg-config as CMakeLists.txt finds them, GoogleTest by its headers.
#
#   scripts/missing-build-deps.sh [--no-tests]
set -u
tests=1
[ "${1:-}" = --no-tests ] && tests=""
missing=""
has_header() {
    for d in /usr/include /usr/local/include; do
        [ -f "$d/$1" ] && return 0
    done
    return 1
}
command -v cmake >/dev/null 2>&1 || missing="$missing cmake"
command -v "${CXX:-c++}" >/dev/null 2>&1 || missing="$missing g++"
command -v pkg-config >/dev/null 2>&1 || missing="$missing pkg-config"
for m in libusb-1.0:libusb-1.0-0-dev libxml-2.0:libxml2-dev libzip:libzip-dev libcrypto:libssl-dev; do
    pkg-config --exists "${m%%:*}" 2>/dev/null || missing="$missing ${m#*:}"
done
if [ -n "$tests" ]; then
    has_header gtest/gtest.h || missing="$missing libgtest-dev"
    has_header gmock/gmock.h || missing="$missing libgmock-dev"
fi
echo "${missing# }"
