#!/bin/sh
# Runs the engine, pty and USB benchmarks at modest sizes and prints one
# table: throughput, ratio to the raw link, peak resident memory. Their full
# reports go to BUILD_DIR/bench.log.
# Usage: scripts/bench.sh [BUILD_DIR]
# Sizes in MiB: BENCH_ENGINE_MIB (256), BENCH_TTY_MIB (64), BENCH_USB_MIB (64),
# BENCH_COLLECT_MIB (64, per device; 1, 2, 4 and 8 devices at once).
# BENCH_LIST_DUMPS (10000): record-only dump directories for duruvev --list.
set -u
build=${1:-build}
engine_mib=${BENCH_ENGINE_MIB:-256}
tty_mib=${BENCH_TTY_MIB:-64}
usb_mib=${BENCH_USB_MIB:-64}
collect_mib=${BENCH_COLLECT_MIB:-64}
list_dumps=${BENCH_LIST_DUMPS:-10000}
log=$build/bench.log
scratch=/tmp
[ -d /dev/shm ] && scratch=/dev/shm

for prog in bench_engine bench_tty bench_usb bench_collect bench_dmesg bench_list duruvev duruvev-emu duruvev-emu-usb; do
    if [ ! -x "$build/$prog" ]; then
        echo "bench: $build/$prog not built" >&2
        exit 1
    fi
done

: >"$log"
status=0
run()
{
    echo "== $*" >>"$log"
    if ! "$@" >>"$log" 2>&1; then
        echo "bench: $1 failed; see $log" >&2
        status=1
    fi
}
echo "running benchmarks (engine $engine_mib MiB, pty $tty_mib MiB, USB $usb_mib MiB)..."
run "$build/bench_engine" "$scratch" "$engine_mib"
run "$build/bench_tty" "$tty_mib" 2
run "$build/bench_usb" "$usb_mib"
run "$build/bench_dmesg" "$scratch" 4096
upload=$(cd "$(dirname "$0")" && pwd)/duruvev-upload
if command -v rclone >/dev/null 2>&1; then
    run "$build/bench_collect" "$build" "$scratch" "$collect_mib" 2 8 "$upload"
else
    echo "bench: rclone not installed; no row for collection with --then" >&2
    run "$build/bench_collect" "$build" "$scratch" "$collect_mib" 2 8
fi
run "$build/bench_list" "$build" "$scratch" "$list_dumps"

grep '^summary ' "$log" | awk '
BEGIN {
    label["engine"] = "engine, in-process device"
    label["engine-hash"] = "engine, memory speed, hashed"
    label["pty"] = "duruvev over a pty"
    label["usb"] = "duruvev over emulated USB"
    label["collect-then"] = "  2 at once, --then upload"
    printf "%-27s %8s %9s %9s %6s %9s %9s %8s %9s\n", "benchmark", "size", "MB/s", "raw MB/s", "ratio", "peak RSS",
        "ceil MB/s", "of ceil", "CPU s/GiB"
}
$2 == "list" {
    # The listing of DUMPS record-only directories: its time and peak RSS.
    printf "%-27s %8s %9s %9s %6s %9s   %.2f s (aim: under 2 s)\n", "--list, " $3 " dumps", "-", "-", "-", "-",
        sprintf("%.1f MiB", $6 / 1024), $4
    next
}
$2 == "dmesg-scan" {
    # The log read with the scan for vmcoreinfo, over the same with its region.
    printf "%-27s %4d MiB %9s %9s %6s %9.1f MiB  scan %.2f s (aim: under 1 s)\n", "kernel log, all RAM",
        $3 / 1048576, "-", "-", "-", $6 / 1024, $4 - $5
    next
}
$2 == "collect-resume" {
    # Region bytes the device sent in both appearances over those of the dump.
    printf "%-27s %8s %9s %9s %6.2f\n", "  continue after an unplug", "at 90 %", "-", "-", $3
    next
}
{
    kind = $2
    devices = 0
    if (kind ~ /^collect:/) {
        devices = substr(kind, 9) + 0
        kind = "collect"
        label[$2] = sprintf("collect, %d device%s at once", devices, devices == 1 ? "" : "s")
    }
    mbs = $3 / $4 / 1e6
    raw = $5 > 0 ? $3 / $5 / 1e6 : 0
    ratio = raw > 0 ? mbs / raw : 0
    # Collection: raw is one device alone; the ratio is of the wall times,
    # N at once over one alone; CPU is that of the collecting process, per GiB.
    cpu = "-"
    if (kind == "collect") {
        raw = $3 / devices / $5 / 1e6
        ratio = $4 / $5
        cpu = sprintf("%.2f", $7 / ($3 / 1073741824))
    }
    # With --then: raw is the two at once without it; the ratio is of the
    # dump times, with over without.
    if ($2 == "collect-then")
        ratio = $4 / $5
    rss = $6 >= 0 ? sprintf("%.1f MiB", $6 / 1024) : "?"
    # Each 512 KiB block costs its time on the raw link plus the 10 ms read
    # that follows it: no dump over the link can be faster.
    ceil_mbs = "-"; of_ceil = "-"
    if (($2 == "pty" || $2 == "usb") && $5 > 0) {
        blocks = int(($3 + 524287) / 524288)
        c = $3 / ($5 + blocks * 0.010) / 1e6
        ceil_mbs = sprintf("%.1f", c)
        of_ceil = sprintf("%.2f", mbs / c)
    }
    printf "%-27s %4d MiB %9.1f %9.1f %6.2f %9s %9s %8s %9s\n", label[$2], $3 / 1048576, mbs, raw, ratio, rss,
        ceil_mbs, of_ceil, cpu
}'
cat <<NOTE
engine: raw = the device model producing the same bytes alone; peak RSS of
        the benchmark process (engine and model together).
engine, hashed: the device at memory speed, SHA-256 of every file as always;
        raw = the same without hashing (the aim is 1 GB/s or more).
collect: 1, 2, 4 and 8 pty devices of $collect_mib MiB each dumped at once by
        duruvev --collect; raw = one such device alone, same run; ratio =
        wall time of the N over that of one (8: the aim is at most 1.3);
        peak RSS and CPU s/GiB (user + system per GiB dumped) of the
        collecting process (aims: under 64 MiB, at most 1.0).
  --then upload: two devices at once with each complete dump handed to
        duruvev-upload, to a WebDAV store rclone serves on 127.0.0.1; raw =
        the two without --then, same run; ratio = dump time with over
        without (the aim is under 1.1).
  continue after an unplug: the "crash" device vanishes after 90 % of its
        region bytes and comes back; collection continues its dump; ratio =
        region bytes sent in both appearances over the dump's (aim: at most
        1.15; whole regions are kept, a cut one is read again).
--list: duruvev --list over $list_dumps directories that hold only dump.json
        and SHA256SUMS (as duruvev-fleet's cache), best of 3; its time
        and peak RSS.
kernel log, all RAM: dmesg.txt of one sparse DDR region with vmcoreinfo in
        its last page; scan = the read's time over that with a vmcoreinfo
        region beside it.
pty, USB: the whole duruvev run, start-up included; raw = a plain read loop
        over the same link; peak RSS of the duruvev process (under umockdev's
        preload library for USB). Full reports: $log
pty, USB: ceil = 512 KiB per (t + 10) ms, t the raw link's time for one
        block: the bound the 10 ms read after every block sets; of ceil =
        duruvev's rate over it.
NOTE
exit $status
