#!/bin/sh
# Fails when a file in src/ includes a header of a layer above its own.
# Layers from the top: app, engine, kernel_log, firehose, device, base; a
# file may include headers of its own layer and of those below it. Checks the
# tree at ROOT (default: this checkout).
cd "${1:-$(dirname "$0")/..}" || exit 2
rank() {
	case "$1" in
	app) echo 5 ;; engine) echo 4 ;; kernel_log) echo 3 ;;
	firehose) echo 2 ;; device) echo 1 ;; base) echo 0 ;; *) echo -1 ;;
	esac
}
status=0
for f in src/*/*.cpp src/*/*.h; do
	layer=${f#src/}; layer=${layer%%/*}
	own=$(rank "$layer")
	sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$f" | while read -r h; do
		target=$(ls src/*/"$h" 2>/dev/null | head -n 1)
		[ -n "$target" ] || continue
		tlayer=${target#src/}; tlayer=${tlayer%%/*}
		if [ "$(rank "$tlayer")" -gt "$own" ]; then
			echo "$f: includes $h of $tlayer, a layer above $layer"
		fi
	done
done | { out=$(cat); [ -z "$out" ] || { printf '%s\n' "$out"; exit 1; }; }
