#!/bin/sh
# Dumps an emulated crashed device over a pseudo-terminal into ./demo-dump:
# the emulator plays the device's end of a USB serial port, and the tool
# opens the port as it would a real one (-S names the port directly).
# Usage: scripts/demo.sh [BUILD_DIR]
set -eu

build=${1:-build}
tool="$build/duruvev"
emu="$build/duruvev-emu"
out=./demo-dump

for prog in "$tool" "$emu"; do
    if [ ! -x "$prog" ]; then
        echo "demo: $prog not built (run make build first)" >&2
        exit 1
    fi
done

rm -rf "$out"
echo "== Emulated device: realistic crash (kernel ELF header, vmcoreinfo, kernel and DDR regions)"
echo "== $tool -S <pty> -o $out"
# The emulator starts the tool with {pty} replaced by the port's path and
# exits with the tool's status; the time limit keeps a broken build from
# hanging the demo.
"$emu" --scenario crash --time-limit 50 -- "$tool" -S '{pty}' -o "$out"

echo
echo "== Files in $out"
ls -l "$out"
echo
echo "== readelf -l $out/minidump.elf"
if command -v readelf >/dev/null 2>&1; then
    readelf -l "$out/minidump.elf"
else
    echo "(readelf not installed: package binutils)"
fi
# The files that describe the dump: where each region sits, and the digests
# that let whoever receives the dump check it.
for f in load.cmm dump_info.txt dump.json SHA256SUMS; do
    echo
    echo "== $out/$f"
    cat "$out/$f"
done
echo
echo "== cd $out && sha256sum -c SHA256SUMS"
(cd "$out" && sha256sum -c SHA256SUMS)
echo
# The kernel release drgn reads from the core's vmcoreinfo note: proof that
# an analysis tool takes the core for a Linux kernel's.
if /usr/bin/python3 -c 'import drgn' 2>/dev/null; then
    /usr/bin/python3 -c 'import sys, drgn
p = drgn.Program()
p.set_core_dump(sys.argv[1])
print("drgn: kernel release", p["UTS_RELEASE"].string_().decode())' "$out/minidump.elf"
else
    echo "drgn: not installed (package python3-drgn); kernel release not read"
fi
echo
# Why it crashed: the kernel's last lines, read from the dump itself, and
# what crashed, named as kernel engineers name crashes.
echo "== $tool --dmesg $out | tail -5"
"$tool" --dmesg "$out" | tail -5
echo
echo "== $tool --title $out"
"$tool" --title "$out"
