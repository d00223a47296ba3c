#!/bin/sh
# The collection service as `make install` writes it: its ExecStart names the
# program of that installation, and systemd-analyze verify has nothing to say
# about it (verify also checks that the program exists and that man finds
# the page the unit names, so both are installed into a scratch prefix).
# Usage: service.sh BUILD_DIR
set -eu
build=$(realpath "$1")
command -v systemd-analyze >/dev/null 2>&1 ||
    { echo "service: systemd-analyze not found (package systemd; scripts/install-deps.sh installs it)"; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT INT TERM
prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1 || { cat "$tmp/install.log"; exit 1; }
unit=$prefix/lib/systemd/system/duruvev-collect.service
[ -f "$unit" ] || { echo "service: $unit not installed"; exit 1; }
grep '^ExecStart=' "$unit"
grep -qx "ExecStart=$prefix/bin/duruvev --collect -o /var/lib/duruvev" "$unit" ||
    { echo "service: ExecStart does not name $prefix/bin/duruvev"; exit 1; }
[ -x "$prefix/bin/duruvev" ] || { echo "service: $prefix/bin/duruvev not installed"; exit 1; }
# The hand-off command for --then is installed beside it.
[ -x "$prefix/bin/duruvev-upload" ] || { echo "service: $prefix/bin/duruvev-upload not installed"; exit 1; }

rc=0
MANPATH=$prefix/share/man systemd-analyze verify "$unit" >"$tmp/verify" 2>&1 || rc=$?
cat "$tmp/verify"
[ $rc -eq 0 ] && [ ! -s "$tmp/verify" ] || { echo "service: systemd-analyze verify is not clean (exit $rc)"; exit 1; }
echo "service: systemd-analyze verify clean"
