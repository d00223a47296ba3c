#!/bin/sh
# Builds the Debian package from a build tree and checks it: the contents
# list, the control fields, the maintainer script, and the program as it
# comes out of the package. Runs lintian when it is installed: its errors
# fail the check, its warnings are shown.
# Usage: deb.sh BUILD_DIR SOURCE_DIR
set -eu
build=$(realpath "$1") src=$(realpath "$2")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT INT TERM
fail=0
bad() { echo "deb: $*"; fail=1; }

if ! cpack -G DEB -B "$tmp/out" --config "$build/CPackConfig.cmake" >"$tmp/cpack.log" 2>&1; then
    cat "$tmp/cpack.log"
    exit 1
fi
set -- "$tmp"/out/*.deb
[ $# -eq 1 ] && [ -f "$1" ] || { echo "deb: expected one package, got: $*"; exit 1; }
deb=$1
echo "== $(basename "$deb")"
dpkg-deb -c "$deb" | tee "$tmp/contents"

# Exactly these files, owned by root, with these modes; every directory 0755.
cat >"$tmp/want" <<'LIST'
-rwxr-xr-x root/root ./usr/bin/duruvev
-rwxr-xr-x root/root ./usr/bin/duruvev-fleet
-rwxr-xr-x root/root ./usr/bin/duruvev-upload
-rw-r--r-- root/root ./usr/lib/systemd/system/duruvev-collect.service
-rw-r--r-- root/root ./usr/lib/udev/rules.d/60-duruvev.rules
-rw-r--r-- root/root ./usr/share/bash-completion/completions/duruvev
-rw-r--r-- root/root ./usr/share/doc/duruvev/README.md
-rw-r--r-- root/root ./usr/share/doc/duruvev/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/duruvev/copyright
-rw-r--r-- root/root ./usr/share/man/man1/duruvev.1.gz
LIST
awk '$1 !~ /^d/ { print $1, $2, $6 }' "$tmp/contents" | LC_ALL=C sort -k3 >"$tmp/got"
diff -u "$tmp/want" "$tmp/got" >"$tmp/diff" || { cat "$tmp/diff"; bad "contents differ from the list above"; }
awk '$1 ~ /^d/ && ($1 != "drwxr-xr-x" || $2 != "root/root") { print }' "$tmp/contents" >"$tmp/baddirs"
[ ! -s "$tmp/baddirs" ] || { cat "$tmp/baddirs"; bad "directories not 0755 root/root"; }

# Control fields. Depends comes from dpkg-shlibdeps, so every library the
# program links appears with a version bound.
dpkg-deb -f "$deb" Package Version Architecture Depends | tee "$tmp/fields"
[ "$(dpkg-deb -f "$deb" Package)" = duruvev ] || bad "Package is not duruvev"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] || bad "wrong Architecture"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libusb-1.0-0 libxml2 libzip4 libssl3 libc6; do
    echo "$depends" | grep -Eq "(^|, )$lib \(>= [^)]+\)" || bad "Depends lacks a versioned $lib"
done
echo "$depends" | grep -Eq '(^|, )adduser($|,| )' || bad "Depends lacks adduser (postinst makes the service user)"
case $depends in *-dev*) bad "Depends names a -dev package: $depends" ;; esac
[ "$(dpkg-deb -f "$deb" Recommends)" = rclone ] || bad "Recommends is not rclone (duruvev-upload uses it)"

# The maintainer scripts: udev rules reloaded, the service's user made, the
# service stopped on removal.
dpkg-deb -e "$deb" "$tmp/control"
if [ -x "$tmp/control/postinst" ] && sh -n "$tmp/control/postinst"; then
    grep -q 'udevadm control --reload-rules' "$tmp/control/postinst" || bad "postinst does not reload udev rules"
    grep -q 'adduser --system' "$tmp/control/postinst" || bad "postinst does not make the service user"
else
    bad "postinst missing, not executable or not valid sh"
fi
if [ -x "$tmp/control/prerm" ] && sh -n "$tmp/control/prerm"; then
    grep -q 'deb-systemd-invoke stop duruvev-collect.service' "$tmp/control/prerm" ||
        bad "prerm does not stop the collection service"
else
    bad "prerm missing, not executable or not valid sh"
fi

# What comes out of the package is what the source holds, and it runs.
dpkg-deb -x "$deb" "$tmp/root"
out=$("$tmp/root/usr/bin/duruvev" -v) || bad "extracted duruvev -v failed"
echo "$out" | grep -Eq '^duruvev version v?[0-9]+\.[0-9]+' || bad "extracted duruvev -v printed: $out"
echo "extracted duruvev -v: $out"
cmp -s "$src/packaging/60-duruvev.rules" "$tmp/root/usr/lib/udev/rules.d/60-duruvev.rules" || bad "udev rules differ from source"
cmp -s "$src/packaging/duruvev.bash-completion" "$tmp/root/usr/share/bash-completion/completions/duruvev" ||
    bad "completion differs from source"
gzip -dc "$tmp/root/usr/share/man/man1/duruvev.1.gz" | cmp -s "$src/packaging/duruvev.1" - || bad "manual page differs from source"
# The service runs the packaged program, and is not enabled (no symlink).
grep -qx 'ExecStart=/usr/bin/duruvev --collect -o /var/lib/duruvev' \
    "$tmp/root/usr/lib/systemd/system/duruvev-collect.service" || bad "service does not run /usr/bin/duruvev --collect"
cmp -s "$src/README.md" "$tmp/root/usr/share/doc/duruvev/README.md" || bad "README differs from source"
cmp -s "$src/scripts/duruvev-upload" "$tmp/root/usr/bin/duruvev-upload" || bad "duruvev-upload differs from source"
cmp -s "$src/scripts/duruvev-fleet" "$tmp/root/usr/bin/duruvev-fleet" || bad "duruvev-fleet differs from source"

if command -v lintian >/dev/null 2>&1; then
    echo "== lintian $(lintian --version | sed 's/^Lintian v//')"
    lintian --display-info --pedantic "$deb" 2>&1 | grep -v '^running with root privileges' | tee "$tmp/lintian" || true
    [ -s "$tmp/lintian" ] || echo "(no tags)"
    ! grep -q '^E: ' "$tmp/lintian" || bad "lintian reports errors"
else
    echo "== lintian not installed; package not linted"
fi

[ $fail -eq 0 ] && echo "deb: package checks passed"
exit $fail
