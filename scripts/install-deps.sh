#!/bin/sh
# Installs the Debian packages the build, the tests and the demo need.
# Only packages that are missing are installed, so a prepared machine pays nothing.
set -e
PKGS="cmake g++ make pkg-config libusb-1.0-0-dev libxml2-dev libzip-dev libmd-dev \
libgtest-dev libgmock-dev libbenchmark-dev umockdev libumockdev-dev \
g++-mingw-w64-x86-64 clang-14 libclang-rt-14-dev binutils zip \
groff-base man-db dpkg-dev"
# Wanted but not required: lintian reviews the Debian package when present.
OPTIONAL="lintian"
missing=""
optional=""
for p in $PKGS; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
for p in $OPTIONAL; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || optional="$optional $p"
done
[ -z "$missing$optional" ] && exit 0
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
echo "installing:$missing$optional"
$SUDO apt-get update -qq || true
[ -z "$missing" ] || DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing
[ -z "$optional" ] || DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $optional ||
    echo "install-deps: optional packages not installed:$optional"
