#!/bin/sh
# The include check passes on this tree, and fails on a tree where a lower
# layer includes a header of a higher one.
set -u
src=$1
"$src/scripts/check-layers.sh" "$src" || { echo "FAIL: the source tree has an include pointing up"; exit 1; }

tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/src/base" "$tmp/src/device" "$tmp/src/engine"
echo '#pragma once' >"$tmp/src/device/vorn.h"
echo '#pragma once' >"$tmp/src/engine/sahara.h"
printf '#include "vorn.h"\n#include <vector>\n' >"$tmp/src/engine/sahara.cpp"
"$src/scripts/check-layers.sh" "$tmp" >"$tmp/out" || { cat "$tmp/out"; echo "FAIL: downward include refused"; exit 1; }
printf '#include "ux.h"\n  #  include "sahara.h"  // up\n' >"$tmp/src/device/io.cpp"
echo '#pragma once' >"$tmp/src/base/ux.h"
if "$src/scripts/check-layers.sh" "$tmp" >"$tmp/out"; then
	echo "FAIL: an include of engine from device passed"; exit 1
fi
grep -q '^src/device/io.cpp: includes sahara.h of engine' "$tmp/out" || { cat "$tmp/out"; echo "FAIL: not named"; exit 1; }
[ "$(wc -l <"$tmp/out")" -eq 1 ] || { cat "$tmp/out"; echo "FAIL: more than the one include reported"; exit 1; }
echo "layers: ok"
