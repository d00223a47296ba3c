#!/bin/sh
# Builds the libFuzzer targets in fuzz/ with clang++-14 (AddressSanitizer and
# UndefinedBehaviorSanitizer), replays the kept crash cases of each target,
# then fuzzes each for a bounded time from its seed corpus. A crash found
# now is written to fuzz/regressions/<target>/ and fails the run: fix it and
# commit the file, so every later run replays it first.
#
#   FUZZ_TIME   seconds per target (default 8)
#   FUZZ_BUILD  build directory (default build-fuzz)
set -e
cd "$(dirname "$0")/.."

TIME=${FUZZ_TIME:-8}
OUT=${FUZZ_BUILD:-build-fuzz}
CXX=${FUZZ_CXX:-clang++-14}

if ! command -v "$CXX" >/dev/null 2>&1; then
	echo "fuzz: $CXX not found (scripts/install-deps.sh installs it)" >&2
	exit 1
fi

PKGS="libusb-1.0 libxml-2.0 libzip libcrypto"
SAN="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
CXXFLAGS="-std=c++20 -g -O1 -Wall -Wextra -Wshadow $SAN $(for d in src/*/; do printf -- "-I%s " "${d%/}"; done)$(pkg-config --cflags $PKGS)"
LIBS="$(pkg-config --libs $PKGS) -lutil"

# target name, fuzzer source, -max_len, extra libFuzzer flags
TARGETS="storage_address:fuzz/fuzz_storage_address.cpp:256:
sim_write:fuzz/fuzz_sim_write.cpp:16384:
pattern_match:fuzz/fuzz_pattern_match.cpp:48:
sahara_dump:fuzz/fuzz_sahara_dump.cpp:8192:-close_fd_mask=3
kmsg:fuzz/fuzz_kmsg.cpp:3072:"
# pattern_match backtracks on every '*', exponentially in their number; 48
# bytes keep the worst input far below the time-out.

mkdir -p "$OUT/obj"

# The library part: every module but the entry point and the other OS's
# files, compiled for the fuzzer (rebuilt when a source or header changed).
for src in src/*/*.cpp; do
	case "$src" in
	src/app/main.cpp | src/*/*_win.cpp) continue ;;
	esac
	obj="$OUT/obj/$(basename "$src" .cpp).o"
	if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] || [ -n "$(find src -name '*.h' -newer "$obj")" ]; then
		echo "$src $obj"
	fi
done | xargs -r -n 2 -P 2 sh -c "$CXX $CXXFLAGS -fsanitize=fuzzer-no-link -c \"\$0\" -o \"\$1\""

objs=""
for src in src/*/*.cpp; do
	case "$src" in
	src/app/main.cpp | src/*/*_win.cpp) continue ;;
	esac
	objs="$objs $OUT/obj/$(basename "$src" .cpp).o"
done

export ASAN_OPTIONS="detect_leaks=1:verify_asan_link_order=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

status=0
echo "$TARGETS" | while IFS=: read -r name source maxlen flags; do
	bin="$OUT/fuzz_$name"
	# shellcheck disable=SC2086
	$CXX $CXXFLAGS -fsanitize=fuzzer "$source" $objs $LIBS -o "$bin"

	regress="fuzz/regressions/$name"
	if [ -d "$regress" ] && [ -n "$(ls -A "$regress")" ]; then
		echo "fuzz: $name: replaying $(ls "$regress" | wc -l) kept case(s)"
		# shellcheck disable=SC2086
		"$bin" $flags "$regress"/* >"$OUT/$name-replay.log" 2>&1 || {
			echo "fuzz: $name: a kept case fails again, see $OUT/$name-replay.log" >&2
			tail -30 "$OUT/$name-replay.log" >&2
			exit 1
		}
	fi

	work="$OUT/corpus/$name"
	mkdir -p "$work" "$regress"
	echo "fuzz: $name: ${TIME}s, inputs up to $maxlen bytes"
	# shellcheck disable=SC2086
	if ! "$bin" $flags -max_total_time="$TIME" -max_len="$maxlen" -timeout=10 -rss_limit_mb=2048 \
		-print_final_stats=1 -artifact_prefix="$regress/" "$work" "fuzz/corpus/$name" \
		>"$OUT/$name.log" 2>&1; then
		echo "fuzz: $name: crash found, kept in $regress/ (see $OUT/$name.log)" >&2
		tail -40 "$OUT/$name.log" >&2
		exit 1
	fi
	grep -E "stat::number_of_executed_runs|Done [0-9]+ runs" "$OUT/$name.log" | tail -1 | sed "s/^/fuzz: $name: /"
	rmdir "$regress" 2>/dev/null || true
done || status=1
exit $status
