#!/bin/bash
# The bash completion, sourced and run against a fake sysfs tree and a scratch
# directory: options as -h lists them, directories for -o, and for -S the
# serial numbers and serial ports of the EDL devices in the tree.
# Usage: completion.sh PROGRAM COMPLETION-SCRIPT
set -u
tool=$(realpath "$1") script=$(realpath "$2")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# A USB device below devices/, linked from bus/usb/devices as the kernel does.
# Args: name idVendor idProduct product|- serial|-
usb_device()
{
    local dir=$tmp/sys/devices/pci0000:00/0000:00:14.0/usb1/$1
    mkdir -p "$dir" "$tmp/sys/bus/usb/devices"
    echo "$2" >"$dir/idVendor"
    echo "$3" >"$dir/idProduct"
    [[ $4 == - ]] || echo "$4" >"$dir/product"
    [[ $5 == - ]] || echo "$5" >"$dir/serial"
    ln -s "../../../devices/pci0000:00/0000:00:14.0/usb1/$1" "$tmp/sys/bus/usb/devices/$1"
}

# A tty whose class directory is devices/<rel>/tty/<name>, linked from
# class/tty; "nodev" leaves out the device link (virtual terminals).
tty_device()
{
    local dir=$tmp/sys/devices/$1/tty/$2
    mkdir -p "$dir" "$tmp/sys/class/tty"
    echo 188:0 >"$dir/dev"
    [[ ${3:-} == nodev ]] || ln -s ../.. "$dir/device"
    ln -s "../../devices/$1/tty/$2" "$tmp/sys/class/tty/$2"
}

usb=pci0000:00/0000:00:14.0/usb1
# A qcserial port: serial number in the product string.
usb_device 1-2 05c6 9008 QUSB__BULK_CID:0402_SN:ABC123 -
tty_device "$usb/1-2/1-2:1.0/ttyUSB0" ttyUSB0
# A cdc-acm port whose product string has no serial number: the USB serial
# attribute stands in.
usb_device 1-3 05c6 900e QHSUSB__BULK Z9Y8
tty_device "$usb/1-3/1-3:1.0" ttyACM0
# No serial number anywhere: the USB device's sysfs name stands in.
usb_device 1-4 05c6 901d - -
tty_device "$usb/1-4/1-4:1.2/ttyUSB1" ttyUSB1
# USB only, no tty; the serial number ends at an underscore.
usb_device 1-7 05c6 9060 "QUSB__BULK_SN:0AA94EFD_HS-USB" -
# Not EDL: another vendor, a Qualcomm device in another mode, a platform
# serial port and a virtual terminal.
usb_device 1-5 1a86 7523 USB_SN:NOTME -
tty_device "$usb/1-5/1-5:1.0/ttyUSB2" ttyUSB2
usb_device 1-6 05c6 9091 QUSB_SN:NOTEDL -
tty_device "$usb/1-6/1-6:1.0/ttyUSB3" ttyUSB3
tty_device platform/serial8250 ttyS0
tty_device virtual/tty tty0 nodev
# Interfaces below a device have no idVendor of their own.
ln -s "../../../devices/$usb/1-2/1-2:1.0" "$tmp/sys/bus/usb/devices/1-2:1.0"

mkdir -p "$tmp/cwd/crash-a" "$tmp/cwd/crash-b" "$tmp/cwd/other"
touch "$tmp/cwd/crash-file"
cd "$tmp/cwd" || exit 1

export DURUVEV_COMPLETION_SYSFS=$tmp/sys
# shellcheck disable=SC1090
source "$script" || exit 1

fail=0
# Completes the words given (the last one is the word under the cursor) and
# compares the sorted candidates with the expected ones.
expect()
{
    local want=$1 got
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _duruvev
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | xargs)
    want=$(printf '%s\n' $want | sort | xargs)
    if [[ $got != "$want" ]]; then
        printf 'completing [%s]\n  want: %s\n  got:  %s\n' "$*" "$want" "$got"
        fail=1
    fi
}

reg=$(complete -p duruvev 2>&1)
[[ $reg == "complete -F _duruvev duruvev" ]] || { echo "registration: $reg"; fail=1; }

# Every option of the usage text, long ones ready for their argument.
options=$("$tool" -h | grep -o -e '--[a-z][a-z-]*' -e '^ -[a-zA-Z]' | sort -u |
    sed -e 's/^ //' -e 's/^--output$/--output=/' -e 's/^--serial$/--serial=/' -e 's/^--dmesg$/--dmesg=/' -e 's/^--title$/--title=/' -e 's/^--then$/--then=/' -e 's/^--then-limit$/--then-limit=/' -e 's/^--since$/--since=/' -e 's/^--html$/--html=/' | xargs)
expect "$options" duruvev -
expect "--serial= --since=" duruvev --s
expect "--debug" duruvev -o x --de
# After "--" only the segment filter follows; it is not completed.
expect "" duruvev -- -
expect "" duruvev DDR

serials="ABC123 /dev/ttyUSB0 Z9Y8 /dev/ttyACM0 1-4 /dev/ttyUSB1 0AA94EFD"
expect "$serials" duruvev -S ""
expect "$serials" duruvev -d --serial ""
# The sysfs walk changes directory, but not the shell's own.
[[ $PWD == "$tmp/cwd" ]] || { echo "completion left the shell in $PWD"; fail=1; }
expect "/dev/ttyUSB0 /dev/ttyUSB1" duruvev -S /dev/ttyU
expect "Z9Y8" duruvev --serial = Z
expect "--serial=Z9Y8" duruvev --serial=Z
expect "-SABC123" duruvev -SA

expect "crash-a crash-b" duruvev -o cr
expect "crash-a crash-b other" duruvev -d --output ""
expect "crash-a crash-b" duruvev --output = cr
expect "crash-a crash-b" duruvev --dmesg cr
expect "--dmesg=crash-a --dmesg=crash-b" duruvev --dmesg=cr
expect "--output=crash-b" duruvev --output=crash-b
expect "-ocrash-a" duruvev -ocrash-a

# Without a sysfs tree there is nothing to offer, and no error.
DURUVEV_COMPLETION_SYSFS=$tmp/missing expect "" duruvev -S ""

exit $fail
