#!/bin/sh
# README's "Command line" block is what -h prints, as a terminal shows it
# (tabs expanded to 8 columns), so the two cannot drift apart.
# Usage: readme_usage.sh PROGRAM README
set -eu
tool=$1 readme=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT INT TERM

# The first fenced block after the heading.
awk '/^## Command line$/ { section = 1; next }
     section && /^## / { exit }
     section && /^```/ { if (inside) exit; inside = 1; next }
     inside { print }' "$readme" >"$tmp/readme"
"$tool" -h | expand -t 8 >"$tmp/usage"
[ -s "$tmp/readme" ] || { echo "no fenced block under \"## Command line\" in $readme"; exit 1; }
if ! diff -u --label "README.md" --label "duruvev -h" "$tmp/readme" "$tmp/usage"; then
    echo "README's Command line block differs from the -h output"
    exit 1
fi
