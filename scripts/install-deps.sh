#!/bin/sh
# Installs the Debian packages of scripts/packages that are missing.
#
#   scripts/install-deps.sh [demo]
#
# With demo, only what building the program and `make demo` need; without,
# everything `make test` needs too, and Debian's source packages are made
# reachable for the Windows libraries (scripts/build-windows-deps.sh fetches
# them with apt-get source). A prepared machine pays nothing.
set -e
here=$(dirname "$0")
want=all
case "${1:-}" in
    demo) want=demo ;;
    "") ;;
    *) echo "usage: $0 [demo]" >&2; exit 2 ;;
esac
# Tests point this at a scratch copy.
APT_ETC=${DURUVEV_APT_ETC:-/etc/apt}
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo

# The packages of a set (demo, test or optional), one line.
pkgs_of() {
    awk -v set="$1" '$1 == set { printf "%s ", $2 }' "$here/packages"
}
required=$(pkgs_of demo)
optional_set=""
if [ "$want" = all ]; then
    required="$required$(pkgs_of test)"
    optional_set=$(pkgs_of optional)
fi

# A deb-src entry for every Debian entry already configured: same archive,
# same suites (this release's codename and its -updates, -security), same
# components. Written once; nothing else in the apt setup is touched.
add_deb_src() {
    src_list=$APT_ETC/sources.list.d/duruvev-deb-src.sources
    [ ! -e "$src_list" ] || return 0
    ! grep -rqsE '^(Types:.*deb-src|deb-src )' "$APT_ETC/sources.list" "$APT_ETC/sources.list.d" || return 0
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    [ -n "$codename" ] || return 0
    entries=$(
        # deb822 files: copy each stanza of type deb whose suites are this
        # release's, with the type changed.
        for f in "$APT_ETC"/sources.list.d/*.sources; do
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
        for f in "$APT_ETC/sources.list" "$APT_ETC"/sources.list.d/*.list; do
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
    [ -n "$entries" ] || return 0
    echo "adding deb-src entries in $src_list"
    printf '%s\n' "$entries" | $SUDO tee "$src_list" >/dev/null
    need_update=1
}

need_update=""
[ "$want" = demo ] || add_deb_src

# The packages among the arguments that are not installed, one line.
not_installed() {
    [ $# -gt 0 ] || return 0
    installed=$(dpkg-query -W -f='${Package} ${Status}\n' "$@" 2>/dev/null |
        awk '/ install ok installed$/ { print $1 }')
    for p in "$@"; do
        printf '%s\n' "$installed" | grep -qx "$p" || printf ' %s' "$p"
    done
}
# shellcheck disable=SC2086
missing=$(not_installed $required)
# shellcheck disable=SC2086
optional=$(not_installed $optional_set)
[ -n "$missing$optional$need_update" ] || exit 0

$SUDO apt-get update -qq || true
[ -n "$missing$optional" ] || exit 0

# Recommends are left out: they would bring graphics, sound and fonts with
# Wine, build and signing tools with dpkg-dev; what is needed is listed.
apt_install() {
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "$@"
}
echo "installing:$missing$optional"
if [ -n "$missing" ]; then
    # shellcheck disable=SC2086
    apt_install $missing
fi
# shellcheck disable=SC2086
[ -z "$optional" ] || apt_install $optional ||
    echo "install-deps: optional packages not installed:$optional"
