#!/bin/sh
# Builds the memory of a real crashed kernel for the tests: fetches Debian
# 12's newest kernel and busybox-static for one architecture with an apt
# state of its own (the machine's dpkg never learns the architecture), boots
# them under QEMU with an initramfs that logs known lines and crashes the
# kernel with sysrq, waits for the end of the panic on the serial console and
# takes the guest's RAM with dump-guest-memory over QMP.
#
#   make-fixture.sh arm64|armhf DIR
#
# DIR/<boot>/memory.elf (128 MiB of RAM) and DIR/<boot>/console.log for the boots "plain" (a
# 1 MiB ring, log_buf_len=, every record kept) and "wrapped" (the kernel's
# own ring, pushed round by a few thousand lines). Built once: stamp files
# keep what is done. Exit 77 when the packages cannot be fetched (no
# network), 1 on any other failure.
set -eu

arch=$1
dir=$2
case $arch in
arm64) flavour=arm64 qemu=qemu-system-aarch64 machine="-M virt -cpu cortex-a57" ;;
armhf) flavour=armmp qemu=qemu-system-arm machine="-M virt,highmem=off -cpu cortex-a15" ;;
*) echo "make-fixture.sh: unknown architecture $arch" >&2; exit 1 ;;
esac
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
here=$(cd "$(dirname "$0")" && pwd)

# Private apt state: its own sources, lists, cache and status.
apt_state() {
	a=$dir/apt
	mkdir -p "$a/lists/partial" "$a/cache/archives/partial" "$a/debs"
	: >"$a/status"
	keyring=/usr/share/keyrings/debian-archive-keyring.gpg
	{
		echo "deb [arch=$arch signed-by=$keyring] http://deb.debian.org/debian bookworm main"
		echo "deb [arch=$arch signed-by=$keyring] http://deb.debian.org/debian bookworm-updates main"
		echo "deb [arch=$arch signed-by=$keyring] http://deb.debian.org/debian-security bookworm-security main"
	} >"$a/sources.list"
}
private_apt() {
	apt-get -q -o Dir::Etc::SourceList="$dir/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null \
		-o Dir::State="$dir/apt" -o Dir::State::Lists="$dir/apt/lists" -o Dir::State::status="$dir/apt/status" \
		-o Dir::Cache="$dir/apt/cache" -o APT::Architecture="$arch" -o APT::Architectures="$arch" \
		-o APT::Sandbox::User=root -o Debug::NoLocking=1 "$@"
}
private_apt_cache() {
	apt-cache -o Dir::Etc::SourceList="$dir/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null \
		-o Dir::State="$dir/apt" -o Dir::State::Lists="$dir/apt/lists" -o Dir::State::status="$dir/apt/status" \
		-o Dir::Cache="$dir/apt/cache" -o APT::Architecture="$arch" -o APT::Architectures="$arch" "$@"
}

fetch() {
	[ -f "$dir/fetched.stamp" ] && return 0
	apt_state
	if ! private_apt update >"$dir/apt.log" 2>&1; then
		echo "make-fixture.sh: cannot reach the Debian mirror (see $dir/apt.log)" >&2
		exit 77
	fi
	# The metapackage names the newest kernel; its unsigned build has the
	# same image without the EFI signature.
	kernel=$(private_apt_cache depends "linux-image-$flavour" | sed -n "s/^ *Depends: \(linux-image-[0-9].*-$flavour\)$/\1/p" | head -n1)
	[ -n "$kernel" ] || { echo "make-fixture.sh: no linux-image-$flavour in the lists" >&2; exit 77; }
	if [ "$arch" = arm64 ]; then kernel=$kernel-unsigned; fi
	rm -rf "$dir/root" "$dir/apt/debs"/*.deb
	if ! (cd "$dir/apt/debs" && private_apt download "$kernel" busybox-static) >>"$dir/apt.log" 2>&1; then
		echo "make-fixture.sh: cannot fetch $kernel and busybox-static (see $dir/apt.log)" >&2
		exit 77
	fi
	for deb in "$dir/apt/debs"/*.deb; do
		dpkg-deb -x "$deb" "$dir/root"
		dpkg-deb -W --showformat='${Package} ${Version}\n' "$deb" >>"$dir/packages.txt.new"
	done
	# Only the kernel and busybox are booted; the modules are most of it.
	rm -rf "$dir/root/lib/modules" "$dir/root/usr/lib"
	mv "$dir/packages.txt.new" "$dir/packages.txt"
	touch "$dir/fetched.stamp"
}

# The kernel QEMU boots: a zImage on arm, a plain Image on arm64.
kernel_image() {
	ls "$dir"/root/boot/vmlinuz-* | head -n1
}

# /init: mounts proc and dev, logs the known lines (and, to wrap the ring,
# LINES lines before them), then crashes the kernel.
initramfs() {
	boot=$1 lines=$2
	r=$dir/$boot/initramfs
	rm -rf "$r"
	mkdir -p "$r/bin" "$r/proc" "$r/dev"
	cp "$dir/root/bin/busybox" "$r/bin/busybox"
	sed "s/@LINES@/$lines/" "$here/init.sh" >"$r/init"
	chmod 755 "$r/init"
	(cd "$r" && find . | cpio -o -H newc --quiet) >"$dir/$boot/initramfs.cpio"
}

# Boots, waits for the end of the panic on the console, takes the memory.
boot() {
	boot=$1 lines=$2 extra=$3
	[ -f "$dir/$boot/done.stamp" ] && return 0
	mkdir -p "$dir/$boot"
	initramfs "$boot" "$lines"
	rm -f "$dir/$boot/console.log" "$dir/$boot/memory.elf" "$dir/$boot/qmp.sock"
	start=$(date +%s)
	$qemu $machine -m 128M -smp 1 -nic none -display none -monitor none -no-reboot \
		-serial "file:$dir/$boot/console.log" -qmp "unix:$dir/$boot/qmp.sock,server=on,wait=off" \
		-kernel "$(kernel_image)" -initrd "$dir/$boot/initramfs.cpio" \
		-append "console=ttyAMA0 ignore_loglevel printk.devkmsg=on panic=0 $extra" &
	pid=$!
	if ! python3 "$here/qmp_dump.py" "$dir/$boot/console.log" "$dir/$boot/qmp.sock" "$dir/$boot/memory.elf" $pid; then
		kill $pid 2>/dev/null || true
		wait $pid 2>/dev/null || true
		echo "make-fixture.sh: the $boot boot of $arch gave no memory (console: $dir/$boot/console.log)" >&2
		exit 1
	fi
	wait $pid || true
	echo "$arch $boot: booted, crashed and dumped in $(($(date +%s) - start)) s" >&2
	echo "$(($(date +%s) - start))" >"$dir/$boot/seconds"
	rm -rf "$dir/$boot/initramfs"
	touch "$dir/$boot/done.stamp"
}

fetch
boot plain 0 log_buf_len=1M
boot wrapped 3000 ""
