#!/bin/sh
# What scripts/install-deps.sh asks apt for, with apt-get, dpkg-query and
# sudo replaced by stand-ins that log their calls: the demo set alone for
# `demo`, and no Wine, mingw, clang or test library with it; everything
# else and a deb-src entry without it; no apt call when nothing is missing.
# Usage: deps_sets.sh SOURCE_DIR
set -eu
src=$(realpath "$1")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT INT TERM
fail=0
bad() { echo "deps_sets: $*"; fail=1; }

mkdir -p "$tmp/bin"
# Installed: the packages named in $tmp/installed, one a line; the others
# are unknown, as dpkg-query -W reports them.
cat >"$tmp/bin/dpkg-query" <<'STUB'
#!/bin/sh
shift 2
rc=0
for p; do
    if grep -qx "$p" "$STUB_DIR/installed"; then echo "$p install ok installed"; else rc=1; fi
done
exit $rc
STUB
cat >"$tmp/bin/apt-get" <<'STUB'
#!/bin/sh
echo "$*" >>"$STUB_DIR/apt.log"
STUB
printf '#!/bin/sh\nexec "$@"\n' >"$tmp/bin/sudo"
chmod +x "$tmp/bin"/*
export STUB_DIR="$tmp"

# One run: $1 case name, $2 argument ("" for all), $3 packages installed,
# $4 the configured source types.
run() {
    rm -rf "$tmp/apt" "$tmp/apt.log"
    mkdir -p "$tmp/apt/sources.list.d"
    printf 'Types: %s\nURIs: http://deb.example/debian\nSuites: %s %s-updates\nComponents: main\n' \
        "${4:-deb}" "$codename" "$codename" >"$tmp/apt/sources.list.d/debian.sources"
    : >"$tmp/apt.log"
    printf '%s\n' $3 >"$tmp/installed"
    PATH="$tmp/bin:$PATH" DURUVEV_APT_ETC="$tmp/apt" "$src/scripts/install-deps.sh" $2 >"$tmp/out" 2>&1 ||
        { cat "$tmp/out"; bad "$1: install-deps.sh failed"; }
    grep '^install' "$tmp/apt.log" | tr ' ' '\n' | grep -v '^-' | sort -u >"$tmp/asked" || true
}
asked() { grep -qx "$1" "$tmp/asked"; }
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
demo_pkgs="g++ cmake pkg-config libusb-1.0-0-dev libxml2-dev libzip-dev binutils python3-drgn"
test_pkgs="libgtest-dev libgmock-dev umockdev wine64 g++-mingw-w64-x86-64 clang-14 dpkg-dev gdb-multiarch"

run demo demo ""
for p in $demo_pkgs; do asked "$p" || bad "demo: $p not installed"; done
for p in $test_pkgs lintian; do ! asked "$p" || bad "demo: test package $p installed"; done
grep -q -- '--no-install-recommends' "$tmp/apt.log" || bad "demo: recommended packages installed too"
[ ! -e "$tmp/apt/sources.list.d/duruvev-deb-src.sources" ] || bad "demo: deb-src entry added"

run "demo, demo set present" demo "$(awk '$1 == "demo" { print $2 }' "$src/scripts/packages")"
[ ! -s "$tmp/apt.log" ] || { cat "$tmp/apt.log"; bad "demo set present: apt-get called"; }

run all "" ""
for p in $demo_pkgs $test_pkgs lintian; do asked "$p" || bad "all: $p not installed"; done
if [ -n "$codename" ]; then
    grep -qx 'Types: deb-src' "$tmp/apt/sources.list.d/duruvev-deb-src.sources" 2>/dev/null ||
        bad "all: no deb-src entry"
fi

every=$(awk '$1 !~ /^#/ && NF >= 2 { print $2 }' "$src/scripts/packages")
run "all present" "" "$every" "deb deb-src"
[ ! -s "$tmp/apt.log" ] || { cat "$tmp/apt.log"; bad "all present: apt-get called"; }

[ $fail -eq 0 ] && echo "deps_sets: checks passed"
exit $fail
