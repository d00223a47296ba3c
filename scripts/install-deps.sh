#!/bin/sh
# Installs the Debian packages the build, the tests and the demo need.
# Only packages that are missing are installed, so a prepared machine pays nothing.
set -e
PKGS="cmake g++ make pkg-config libusb-1.0-0-dev libxml2-dev libzip-dev libmd-dev \
libgtest-dev libgmock-dev libbenchmark-dev umockdev libumockdev-dev \
g++-mingw-w64-x86-64 clang-14 libclang-rt-14-dev binutils zip"
missing=""
for p in $PKGS; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
echo "installing:$missing"
$SUDO apt-get update -qq || true
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing
