#!/bin/sh
# Installs the Debian packages the build, the tests and the demo need, and
# makes Debian's source packages reachable for the Windows libraries
# (scripts/build-windows-deps.sh fetches them with apt-get source).
# Only what is missing is installed, so a prepared machine pays nothing.
set -e
PKGS="cmake g++ make pkg-config libusb-1.0-0-dev libxml2-dev libzip-dev libmd-dev \
libgtest-dev libgmock-dev libbenchmark-dev umockdev libumockdev-dev \
g++-mingw-w64-x86-64 libz-mingw-w64-dev dpkg-dev wine64 \
clang-14 libclang-rt-14-dev binutils zip groff-base man-db systemd"
# Wanted but not required: lintian reviews the Debian package when present.
OPTIONAL="lintian"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo

# A deb-src entry for every Debian entry already configured: same archive,
# same suites (this release's codename and its -updates, -security), same
# components. Written once; nothing else in the apt setup is touched.
SRC_LIST=/etc/apt/sources.list.d/duruvev-deb-src.sources
need_update=""
if [ ! -e "$SRC_LIST" ] && ! grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d; then
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    if [ -n "$codename" ]; then
        entries=$(
            # deb822 files: copy each stanza of type deb whose suites are this
            # release's, with the type changed.
            for f in /etc/apt/sources.list.d/*.sources; do
                [ -f "$f" ] || continue
                awk -v code="$codename" '
                    function flush() {
                        if (keep && isdeb) { sub(/Types:[^\n]*/, "Types: deb-src", buf); printf "%s\n", buf }
                        buf = ""; keep = 0; isdeb = 0
                    }
                    /^[ \t]*$/ { flush(); next }
                    /^#/ { next }
                    {
                        buf = buf $0 "\n"
                        if ($1 == "Types:") for (i = 2; i <= NF; i++) if ($i == "deb") isdeb = 1
                        if ($1 == "Suites:") for (i = 2; i <= NF; i++) if ($i == code || index($i, code "-") == 1) keep = 1
                    }
                    END { flush() }' "$f"
            done
            # One-line files: "deb [opts] URI SUITE COMPONENTS..."
            for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
                [ -f "$f" ] || continue
                awk -v code="$codename" '
                    $1 == "deb" {
                        s = ($2 ~ /^\[/) ? 4 : 3
                        if ($s == code || index($s, code "-") == 1) {
                            uri = $(s - 1); comps = ""
                            for (i = s + 1; i <= NF; i++) comps = comps " " $i
                            printf "Types: deb-src\nURIs: %s\nSuites: %s\nComponents:%s\n\n", uri, $s, comps
                        }
                    }' "$f"
            done
        )
        if [ -n "$entries" ]; then
            echo "adding deb-src entries in $SRC_LIST"
            printf '%s\n' "$entries" | $SUDO tee "$SRC_LIST" >/dev/null
            need_update=1
        fi
    fi
fi

missing=""
optional=""
for p in $PKGS; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
for p in $OPTIONAL; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || optional="$optional $p"
done
if [ -n "$missing$optional" ] || [ -n "$need_update" ]; then
    $SUDO apt-get update -qq || true
fi
[ -z "$missing$optional" ] && exit 0
echo "installing:$missing$optional"
[ -z "$missing" ] || DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing
[ -z "$optional" ] || DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $optional ||
    echo "install-deps: optional packages not installed:$optional"
