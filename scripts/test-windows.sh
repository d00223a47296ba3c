#!/bin/sh
# Runs the Windows program under Wine against the device emulator.
#
#   scripts/test-windows.sh [NATIVE_BUILD] [WINDOWS_BUILD]   (build, build-win)
#
# Needs the native build (the emulator and the reference dump come from it)
# and the Windows build with duruvev.exe and duruvev-wincheck.exe (make
# test-windows builds all three). Every run makes a fresh Wine prefix in
# WINDOWS_BUILD/wine-test and serves it from a private wineserver whose own
# output goes to a log there. The emulated device is reached through Wine COM
# ports, each a symlink dosdevices/comN -> the emulator's pseudo-terminal.
# Program output goes to files, and every wait has a time limit. Exits 1
# when a check fails.
set -eu
cd "$(dirname "$0")/.."

native=${1:-build}
win=${2:-build-win}
WINE=${WINE:-/usr/lib/wine/wine64}
WINESERVER=${WINESERVER:-/usr/lib/wine/wineserver}
[ -x "$WINE" ] || WINE=$(command -v wine64 || true)
[ -x "$WINESERVER" ] || WINESERVER=$(command -v wineserver || true)

die() { echo "test-windows: $*" >&2; exit 1; }
[ -n "$WINE" ] && [ -x "$WINE" ] || die "wine64 not found (package wine64; scripts/install-deps.sh installs it)"
[ -n "$WINESERVER" ] && [ -x "$WINESERVER" ] || die "wineserver not found (package wine64)"
for f in "$native/duruvev" "$native/duruvev-emu" "$win/duruvev.exe" "$win/duruvev-wincheck.exe"; do
    [ -x "$f" ] || [ -f "$f" ] || die "$f missing (make test-windows builds it)"
done

start=$(date +%s)
root=$(pwd)
native=$(cd "$native" && pwd)
win=$(cd "$win" && pwd)
work="$win/wine-test"
# Makes the unwritable folder of the checks below removable again.
writable_again() {
    [ -d "$work/readonly" ] || return 0
    chattr -i "$work/readonly" 2>/dev/null || true
    chmod u+w "$work/readonly" 2>/dev/null || true
}
writable_again
rm -rf "$work"
mkdir -p "$work/prefix"
exe="$win/duruvev.exe"
wincheck="$win/duruvev-wincheck.exe"
emu="$native/duruvev-emu"

WINEPREFIX="$work/prefix"
# No display, no debug channels, no offer to install Mono or Gecko.
WINEDEBUG=-all
WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
unset DISPLAY WAYLAND_DISPLAY

# A private server for this prefix. It takes the emulator's pseudo-terminal
# as its terminal and prints its object table when the emulator closes it;
# that goes to this log, not into the program's output.
"$WINESERVER" -f -p >"$work/wineserver.log" 2>&1 &
server_pid=$!
stop_server() {
    timeout 20 "$WINESERVER" -k >/dev/null 2>&1 || true
    # -k ends the server; if it is still there after a while, end it by id.
    i=0
    while kill -0 "$server_pid" 2>/dev/null && [ $i -lt 50 ]; do
        sleep 0.2
        i=$((i + 1))
    done
    kill -9 "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
}
cleanup() {
    writable_again
    stop_server
}
trap cleanup EXIT
trap 'exit 1' INT TERM

passed=0
failed=0
ok() {
    passed=$((passed + 1))
    printf 'test-windows: ok: %s\n' "$1"
}
fail() {
    failed=$((failed + 1))
    printf 'test-windows: FAILED: %s\n' "$1" >&2
    shift
    for f in "$@"; do
        [ -f "$f" ] || continue
        echo "--- $f" >&2
        tail -n 30 "$f" >&2
    done
}

# Runs the program under Wine with a time limit: run NAME SECONDS ARGS...
# leaves NAME.out, NAME.err and NAME.rc in the work folder.
run() {
    name=$1
    limit=$2
    shift 2
    set +e
    timeout -k 5 "$limit" "$WINE" "$@" >"$work/$name.out" 2>"$work/$name.err" </dev/null
    echo $? >"$work/$name.rc"
    set -e
}

# A dump of the emulator's crash scenario (or $scenario) through a Wine COM
# port: dump NAME PORT OUTPUT_DIR_AS_WINDOWS_SEES_IT. The emulator runs the
# program once its pty exists, after linking the port to it, and exits with
# the program's status; it ends the program after its time limit.
dump() {
    name=$1
    port=$2
    outdir=$3
    lower=$(printf '%s' "$port" | tr 'A-Z' 'a-z')
    set +e
    timeout -k 5 90 "$emu" --scenario "${scenario:-crash}" --time-limit 45 -- \
        sh -c 'ln -sfn "$1" "$2" && shift 2 && exec "$@"' sh '{pty}' "$WINEPREFIX/dosdevices/$lower" \
        "$WINE" "$exe" -S "$port" -o "$outdir" \
        >"$work/$name.out" 2>"$work/$name.err" </dev/null
    echo $? >"$work/$name.rc"
    set -e
}

# same_files REFERENCE_DIR DIR: every file of the native dump is in DIR with
# the same bytes; the record (dump.json), and its line in SHA256SUMS, but for
# when the dump was taken and how the device was found (a pty there, a COM
# port or a serial number here).
same_files() {
    for f in "$1"/*; do
        case $(basename "$f") in
        dump.json) timeless "$f" >"$work/record.a" && timeless "$2/dump.json" >"$work/record.b" &&
            cmp -s "$work/record.a" "$work/record.b" || return 1 ;;
        SHA256SUMS) grep -v '  dump\.json$' "$f" >"$work/sums.a" && grep -v '  dump\.json$' "$2/SHA256SUMS" >"$work/sums.b" &&
            cmp -s "$work/sums.a" "$work/sums.b" || return 1 ;;
        *) cmp -s "$f" "$2/$(basename "$f")" || return 1 ;;
        esac
    done
}
timeless() {
    [ -f "$1" ] && grep -v -e '^  "start": ' -e '^  "end": ' -e '^    "label": ' -e '^    "serial": ' -e '^    "bus_path": ' "$1"
}

windows_path() {
    printf 'Z:%s\n' "$1" | tr '/' '\\'
}

echo "test-windows: fresh Wine prefix in $WINEPREFIX"
t0=$(date +%s)
set +e
timeout -k 5 120 "$WINE" wineboot -i >"$work/wineboot.log" 2>&1 </dev/null
rc=$?
set -e
[ $rc -eq 0 ] || { tail -n 20 "$work/wineboot.log" >&2; die "wineboot failed ($rc)"; }
echo "test-windows: prefix ready in $(($(date +%s) - t0)) s"

# --- the command line
"$native/duruvev" -h >"$work/native-help.out"
sed 's/$/\r/' "$work/native-help.out" >"$work/help.expected"
run help 60 "$exe" -h
if [ "$(cat "$work/help.rc")" = 0 ] && cmp -s "$work/help.out" "$work/help.expected" && [ ! -s "$work/help.err" ]; then
    ok "-h prints the usage text, exit 0"
else
    fail "-h (exit $(cat "$work/help.rc"))" "$work/help.out" "$work/help.err"
fi

"$native/duruvev" -v >"$work/native-version.out"
sed 's/$/\r/' "$work/native-version.out" >"$work/version.expected"
run version 60 "$exe" -v
if [ "$(cat "$work/version.rc")" = 0 ] && cmp -s "$work/version.out" "$work/version.expected"; then
    ok "-v prints the version, exit 0"
else
    fail "-v (exit $(cat "$work/version.rc"))" "$work/version.out" "$work/version.err"
fi

run badopt 60 "$exe" -x
tr -d '\r' <"$work/badopt.err" | tail -n "$(wc -l <"$work/native-help.out")" >"$work/badopt.usage"
if [ "$(cat "$work/badopt.rc")" = 1 ] && [ ! -s "$work/badopt.out" ] && cmp -s "$work/badopt.usage" "$work/native-help.out"; then
    ok "a bad option prints the usage on standard error, exit 1"
else
    fail "bad option (exit $(cat "$work/badopt.rc"))" "$work/badopt.out" "$work/badopt.err"
fi

# --- what only the check program reaches
run errno 60 "$wincheck" errno
if [ "$(cat "$work/errno.rc")" = 0 ] &&
    [ "$(tr -d '\r' <"$work/errno.err")" = "duruvev: failed to read duruvev chunk: Connection timed out" ]; then
    ok "the err family has texts for ETIMEDOUT and the other errno values"
else
    fail "errno texts" "$work/errno.out" "$work/errno.err"
fi

mkdir -p "$work/kind/folder"
: >"$work/kind/file.bin"
run kind 60 "$wincheck" kind "$(windows_path "$work/kind/folder")" NUL "$(windows_path "$work/kind/file.bin")"
printf '%s: a directory\nNUL: a character device\n%s: regular file\n' \
    "$(windows_path "$work/kind/folder")" "$(windows_path "$work/kind/file.bin")" >"$work/kind.expected"
if [ "$(cat "$work/kind.rc")" = 0 ] && tr -d '\r' <"$work/kind.out" | cmp -s - "$work/kind.expected"; then
    ok "only a regular file is an image: a folder and NUL are named for what they are"
else
    fail "kinds of paths" "$work/kind.out" "$work/kind.expected" "$work/kind.err"
fi

# An output folder that cannot be written, holding the probe file of an
# earlier version: refused before any device is opened (the port named here
# does not exist; trying it would print a qud: line, and waiting for it would
# end in the time limit). Root writes into a folder without write
# permission, so then the folder is made immutable instead (a file system
# with attributes, as ext4); where neither works the check is skipped.
ro="$work/readonly"
mkdir -p "$ro"
: >"$ro/.duruvev-probe"
chmod a-w "$ro"
if (: >"$ro/.w") 2>/dev/null; then
    rm -f "$ro/.w"
    chattr +i "$ro" 2>/dev/null || true
fi
if (: >"$ro/.w") 2>/dev/null; then
    rm -f "$ro/.w"
    echo "test-windows: skipped: no way to make a folder unwritable here (root without chattr +i)"
else
    run readonly 20 "$exe" -S COM43 -o "$(windows_path "$ro")"
    if [ "$(cat "$work/readonly.rc")" = 1 ] && grep -q '^cannot write to output directory ' "$work/readonly.err" &&
        ! grep -q 'qud:' "$work/readonly.err" && [ -f "$ro/.duruvev-probe" ]; then
        ok "an unwritable folder with an old probe file in it is refused before any device is opened"
    else
        fail "unwritable output folder (exit $(cat "$work/readonly.rc"))" "$work/readonly.out" "$work/readonly.err"
    fi
fi

set +e
timeout -k 5 60 "$emu" --scenario crash --time-limit 30 -- \
    sh -c 'ln -sfn "$1" "$2" && shift 2 && exec "$@"' sh '{pty}' "$WINEPREFIX/dosdevices/com8" \
    "$WINE" "$wincheck" cancel COM8 >"$work/cancel.out" 2>"$work/cancel.err" </dev/null
echo $? >"$work/cancel.rc"
set -e
if [ "$(cat "$work/cancel.rc")" = 0 ]; then
    ok "a cancelled read keeps the bytes it had moved"
else
    fail "cancelled read" "$work/cancel.out" "$work/cancel.err"
fi

# --- dumps of the emulated crash
mkdir -p "$work/native"
set +e
timeout -k 5 120 "$emu" --scenario crash --time-limit 90 -- "$native/duruvev" -S '{pty}' -o "$work/native" \
    >"$work/native.out" 2>"$work/native.err" </dev/null
rc=$?
set -e
[ $rc -eq 0 ] && [ -f "$work/native/minidump.elf" ] || { cat "$work/native.err" >&2; die "the native reference dump failed ($rc)"; }
regions=$(ls "$work/native" | wc -l)

# The SHA256SUMS that the Windows program wrote checks its dump here.
sums_verify() {
    (cd "$1" && sha256sum -c --strict --quiet SHA256SUMS) >"$work/sums.log" 2>&1
}

check_dump() {
    name=$1
    dir=$2
    what=$3
    if [ "$(cat "$work/$name.rc")" = 0 ] && same_files "$work/native" "$dir" && sums_verify "$dir"; then
        ok "$what: $regions files byte-identical to the native dump, SHA256SUMS verifies"
    else
        fail "$what (exit $(cat "$work/$name.rc"))" "$work/$name.out" "$work/$name.err"
    fi
}

t0=$(date +%s)
# (Not named com5: a file or folder named after a device is that device.)
dump com5 COM5 "$(windows_path "$work/dump5")"
check_dump com5 "$work/dump5" "dump through COM5 into Z:\\...\\dump5"
echo "test-windows: one dump took $(($(date +%s) - t0)) s"

# --- what crashed: the same title in the summary, and from --title on the
# dump and on its dmesg.txt, as the native program gives
"$native/duruvev" --title "$work/native" >"$work/title.expected" || true
run title 60 "$exe" --title "$(windows_path "$work/dump5")"
run titlelog 60 "$exe" --title "$(windows_path "$work/dump5/dmesg.txt")"
crash_line=$(grep '^Crash: ' "$work/native.out" || true)
if [ -n "$crash_line" ] && [ "$(cat "$work/title.rc")" = 0 ] && [ "$(cat "$work/titlelog.rc")" = 0 ] &&
    tr -d '\r' <"$work/title.out" | cmp -s - "$work/title.expected" &&
    tr -d '\r' <"$work/titlelog.out" | cmp -s - "$work/title.expected" &&
    tr -d '\r' <"$work/com5.out" | grep -qxF "$crash_line"; then
    ok "the crash's title, in the summary and from --title, is the native program's: $(head -n 1 "$work/title.expected")"
else
    fail "the crash's title (exit $(cat "$work/title.rc"))" "$work/title.out" "$work/title.err" "$work/title.expected"
fi

# COM10 and above exist only as \\.\COMn; the output directory has a drive
# letter and missing parents, and messages show it with backslashes only.
dump com12 COM12 'C:\duruvev-test\crash\dump12'
check_dump com12 "$WINEPREFIX/drive_c/duruvev-test/crash/dump12" "dump through COM12 into C:\\duruvev-test\\crash\\dump12"
if grep -q 'minidump\.elf' "$work/com12.out" "$work/com12.err"; then
    if grep -q 'C:\\duruvev-test\\crash\\dump12\\minidump\.elf' "$work/com12.out" "$work/com12.err" &&
        ! grep -q 'dump12/' "$work/com12.out" "$work/com12.err"; then
        ok "messages show C:\\duruvev-test\\crash\\dump12\\minidump.elf with one kind of separator"
    else
        fail "separators in messages" "$work/com12.out" "$work/com12.err"
    fi
fi

# A bare drive is that drive's current directory: C:\ for this process.
dump drive COM6 'C:'
check_dump drive "$WINEPREFIX/drive_c" "dump into -o C:"

# A share: Wine reaches \\duruvev\share through dosdevices/unc.
mkdir -p "$work/share" "$WINEPREFIX/dosdevices/unc/duruvev"
ln -sfn "$work/share" "$WINEPREFIX/dosdevices/unc/duruvev/share"
dump unc COM7 '\\duruvev\share\crash\unc'
check_dump unc "$work/share/crash/unc" "dump into the share \\\\duruvev\\share\\crash\\unc"

# --- the kernel log of a dump whose log ring lies 2 GiB into its region
# file (where a 32-bit file offset ends): --dmesg prints what the native
# program wrote to dmesg.txt. The region file is sparse.
mkdir -p "$work/far"
for f in "$work/native"/md_K*.BIN; do cp "$f" "$work/far/"; done
rm "$work/far/md_KLOGBUF.BIN"
truncate -s 2G "$work/far/FAR.BIN"
cat "$work/native/md_KLOGBUF.BIN" >>"$work/far/FAR.BIN"
while read -r line; do
    set -- $line
    if [ "${4:-}" = md_KLOGBUF ]; then
        line="$1 $(printf '0x%x' $(($2 - 2147483648))) $(($3 + 2147483648)) FAR FAR.BIN"
    fi
    printf '%s\n' "$line"
done <"$work/native/dump_info.txt" >"$work/far/dump_info.txt"
run far 60 "$exe" --dmesg "$(windows_path "$work/far")"
if [ "$(cat "$work/far.rc")" = 0 ] && tr -d '\r' <"$work/far.out" | cmp -s - "$work/native/dmesg.txt"; then
    ok "--dmesg reads a log ring 2 GiB into its region file"
else
    fail "--dmesg, a log ring 2 GiB into its region file (exit $(cat "$work/far.rc"))" "$work/far.err"
fi

# native_and_wine NAME SCENARIO: the scenario dumped by the native program
# into $work/native-NAME and by the Windows one through COM4 into $work/NAME.
native_and_wine() {
    mkdir -p "$work/native-$1"
    set +e
    timeout -k 5 60 "$emu" --scenario "$2" --time-limit 45 -- "$native/duruvev" -S '{pty}' \
        -o "$work/native-$1" >"$work/native-$1.out" 2>"$work/native-$1.err" </dev/null
    echo $? >"$work/native-$1.rc"
    set -e
    scenario=$2 dump "$1" COM4 "$(windows_path "$work/$1")"
}

# --- names Windows cannot hold: a region named NUL.BIN would go to the null
# device; it is saved under a substitute name, byte for byte.
native_and_wine winnames windows-names
if [ "$(cat "$work/native-winnames.rc")" = 0 ] && [ "$(cat "$work/winnames.rc")" = 0 ] &&
    [ -s "$work/winnames/region_0.bin" ] && cmp -s "$work/native-winnames/region_0.bin" "$work/winnames/region_0.bin" &&
    tr -d '\r' <"$work/winnames.err" | grep -q 'unsafe region file name "NUL.BIN"; saving region 0 as "region_0.bin"' &&
    same_files "$work/native-winnames" "$work/winnames"; then
    ok "a region named NUL.BIN is saved, byte-identical, as region_0.bin"
else
    fail "a region named NUL.BIN (exit $(cat "$work/winnames.rc"))" "$work/winnames.out" "$work/winnames.err"
fi

# --- a 32-bit device with an ELF32 kernel, a kernel header in registration
# order (pieces placed by their offsets, zeros between), and the kernel
# driver's layout (a segment inside the header): the files of the native
# dump, and a SHA256SUMS that verifies them.
for s in crash32 registered kdriver; do
    native_and_wine "$s" "$s"
    if [ "$(cat "$work/native-$s.rc")" = 0 ] && [ "$(cat "$work/$s.rc")" = 0 ] && [ -f "$work/$s/minidump.elf" ] &&
        same_files "$work/native-$s" "$work/$s" && sums_verify "$work/$s"; then
        ok "scenario $s: the native dump's files, byte-identical, and SHA256SUMS verifies"
    else
        fail "scenario $s (exit $(cat "$work/$s.rc"))" "$work/$s.out" "$work/$s.err"
    fi
done

# --- ports that device setup lists, as the vendor driver's would be
# register_port SERIAL PORT INSTANCE: a USB\VID_05C6&PID_9008 device of the
# Ports class with its port name, a bus-reported description carrying the
# serial number, and INSTANCE as the last part of its instance ID. Wine's
# setupapi lists what the registry holds under Enum.
register_port() {
    key="HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\USB\\VID_05C6&PID_9008\\$3"
    {
        printf 'Windows Registry Editor Version 5.00\r\n\r\n'
        printf '[%s]\r\n' "$key"
        printf '"HardwareID"=hex(7):%s\r\n' "$(utf16_hex 'USB\VID_05C6&PID_9008&REV_0000' 'USB\VID_05C6&PID_9008' '')"
        printf '"ClassGUID"="{4D36E978-E325-11CE-BFC1-08002BE10318}"\r\n"Class"="Ports"\r\n'
        printf '"FriendlyName"="Qualcomm HS-USB QDLoader 9008 (%s)"\r\n\r\n' "$2"
        printf '[%s\\Device Parameters]\r\n"PortName"="%s"\r\n\r\n' "$key" "$2"
        # DEVPKEY_Device_BusReportedDeviceDesc, a DEVPROP_TYPE_STRING (0x12)
        printf '[%s\\Properties\\{540B947E-8B40-45BC-A8A2-6A0B894CBDA2}\\0004]\r\n' "$key"
        printf '@=hex(ffff0012):%s\r\n' "$(utf16_hex "QUSB_BULK_CID:0412_SN:$1")"
    } >"$work/port-$2.txt"
    { printf '\377\376'; iconv -f UTF-8 -t UTF-16LE "$work/port-$2.txt"; } >"$work/port-$2.reg"
    timeout -k 5 60 "$WINE" regedit /S "$(windows_path "$work/port-$2.reg")" >"$work/regedit.log" 2>&1 </dev/null
}

# The NUL-terminated UTF-16LE bytes of each text, as .reg hex digits.
utf16_hex() {
    for text in "$@"; do
        printf '%s' "$text" | iconv -f UTF-8 -t UTF-16LE
        printf '\000\000'
    done | od -An -v -tx1 | tr -s ' \n' ',' | sed 's/^,//; s/,$//'
}

register_port 0AA94EFD COM9 0AA94EFD
run list1 60 "$wincheck" list
if [ "$(cat "$work/list1.rc")" = 0 ] && tr -d '\r' <"$work/list1.out" | grep -qx '9008 0AA94EFD \\\\.\\COM9'; then
    ok "device setup lists the registered vendor port COM9 with its PID and serial number"
else
    fail "listing a registered port" "$work/list1.out" "$work/list1.err"
fi
# No -S: the automatic choice finds the port through device setup.
dump_auto() {
    name=$1
    port=$2
    shift 2
    lower=$(printf '%s' "$port" | tr 'A-Z' 'a-z')
    set +e
    timeout -k 5 90 "$emu" --scenario crash --time-limit 45 -- \
        sh -c 'ln -sfn "$1" "$2" && shift 2 && exec "$@"' sh '{pty}' "$WINEPREFIX/dosdevices/$lower" \
        "$WINE" "$exe" "$@" >"$work/$name.out" 2>"$work/$name.err" </dev/null
    echo $? >"$work/$name.rc"
    set -e
}
dump_auto auto COM9 -o "$(windows_path "$work/auto")"
check_dump auto "$work/auto" "dump without -S through the listed port COM9"

# A second port, whose serial number only its description holds: -S picks
# it by that number, in any letter case.
register_port BEEF1234 COM10 '5&1234&0&2'
run list2 60 "$wincheck" list
if tr -d '\r' <"$work/list2.out" | grep -qx '9008 BEEF1234 \\\\.\\COM10'; then
    ok "the serial number comes from the bus-reported description"
else
    fail "serial number of a listed port" "$work/list2.out" "$work/list2.err"
fi
dump_auto byserial COM10 -S beef1234 -o "$(windows_path "$work/byserial")"
check_dump byserial "$work/byserial" "dump with -S beef1234 through the listed port COM10"

# A named port that cannot be opened: the waiting loop retries it every
# 250 ms; its failure is reported once. The program waits until ended.
run noport 4 "$exe" -S COM42 -o "$(windows_path "$work/noport")"
n=$(tr -d '\r' <"$work/noport.err" | grep -c '^qud: CreateFile(\\\\\.\\COM42) failed (error 2)$' || true)
if [ "$(cat "$work/noport.rc")" = 124 ] && [ "$n" = 1 ]; then
    ok "a port that cannot be opened is reported once in 4 s of retries"
else
    fail "unopenable port: $n reports, exit $(cat "$work/noport.rc")" "$work/noport.out" "$work/noport.err"
fi

# --- collection: two devices in turn on one COM port, each into a
# directory of its own; the program keeps watching after both. Each
# complete dump is handed to a .cmd file that records its argument.
coldir="$work/collect"
mkdir -p "$coldir"
rm -f "$WINEPREFIX/dosdevices/com4"
printf '@>>"%s" echo %%~1\r\n' "$(windows_path "$work/handoff.txt")" >"$work/record.cmd"
timeout -k 5 120 "$WINE" "$exe" --collect -S COM4 -o "$(windows_path "$coldir")" \
    --then "$(windows_path "$work/record.cmd")" \
    >"$work/collect.out" 2>"$work/collect.err" </dev/null &
collector=$!
# plug_in NAME: an emulated crash appears at COM4 until its dump has ended,
# then the port is gone for long enough for collection to see it.
plug_in() {
    "$emu" --scenario crash --time-limit 45 >"$work/$1.pty" 2>"$work/$1.err" </dev/null &
    emu_pid=$!
    i=0
    while [ ! -s "$work/$1.pty" ] && [ $i -lt 100 ]; do
        sleep 0.1
        i=$((i + 1))
    done
    ln -sfn "$(head -n 1 "$work/$1.pty")" "$WINEPREFIX/dosdevices/com4"
    wait "$emu_pid" || true
    rm -f "$WINEPREFIX/dosdevices/com4"
    sleep 2
}
plug_in collect1
plug_in collect2
alive=no
kill -0 "$collector" 2>/dev/null && alive=yes
kill -TERM "$collector" 2>/dev/null || true
wait "$collector" 2>/dev/null || true
dirs=$(ls "$coldir" | grep -c '^COM4-' || true)
same=0
for d in "$coldir"/COM4-*; do
    [ -d "$d" ] && same_files "$work/native" "$d" && same=$((same + 1))
done
resets=$(cat "$work/collect1.err" "$work/collect2.err" | grep -c ' 1 reset(s)' || true)
if [ "$dirs" = 2 ] && [ "$same" = 2 ] && [ "$resets" = 2 ] && [ "$alive" = yes ] &&
    [ "$(tr -d '\r' <"$work/collect.out" | grep -c ': complete, ')" = 2 ]; then
    ok "--collect: two devices in turn on COM4, two directories byte-identical to the native dump"
else
    fail "--collect on COM4: $dirs directories, $same identical, $resets resets, still running: $alive" \
        "$work/collect.out" "$work/collect.err" "$work/collect1.err" "$work/collect2.err"
fi

# The hand-off ran once per dump, with the dump's directory as argument.
handed=0
for d in "$coldir"/COM4-*; do
    [ -d "$d" ] && tr -d '\r' <"$work/handoff.txt" | grep -qxF "$(windows_path "$d")" && handed=$((handed + 1))
done
if [ "$handed" = 2 ] && [ "$(wc -l <"$work/handoff.txt")" = 2 ] &&
    [ "$(tr -d '\r' <"$work/collect.out" | grep -c '": done (attempt 1, ')" = 2 ]; then
    ok "--then: a .cmd file got each complete dump's directory once"
else
    fail "--then with a .cmd file: $handed of 2 directories recorded" \
        "$work/handoff.txt" "$work/collect.out" "$work/collect.err"
fi

# --- the lab's crashes: --list over dump records (one title on two hosts,
# a warning, a dump without a kernel log, a changed record, a dump still
# being written) gives the table the native program gives.
lab="$work/lab"
# lab_dump DIR HOST SERIAL END CRASH: a record and the SHA256SUMS listing it.
lab_dump() {
    mkdir -p "$lab/$1"
    printf '{"format":1,"duruvev_version":"v2.7.1","host":"%s","device":{"label":"%s","serial":"%s","bus_path":""},"start":"%s","end":"%s","result":"complete","bytes":1,"regions":1,"kernel_release":"6.1.0-28-arm64","crash":%s,"last_kernel_line":"x"}' \
        "$2" "$3" "$3" "$4" "$4" "$5" >"$lab/$1/dump.json"
    (cd "$lab/$1" && sha256sum dump.json >SHA256SUMS)
}
bug='{"title":"BUG: unable to handle kernel NULL pointer dereference in ufshcd_queuecommand","alt":[],"kind":"crash","frame":"ufshcd_queuecommand","corrupted":false,"rules":1}'
lab_dump A-1 hostA 0AA94EFD 2026-12-10T08:00:41Z "$bug"
lab_dump B-1 hostB 3C01F2A7 2026-12-12T09:00:41Z "$bug"
lab_dump B-2 hostB 3C01F2A7 2026-12-12T10:00:41Z '{"title":"WARNING in dwc3_gadget_ep_queue","alt":[],"kind":"warning","frame":"dwc3_gadget_ep_queue","corrupted":false,"rules":1}'
lab_dump C-1 hostA 7D22B9E0 2026-12-13T00:00:41Z null
lab_dump D-1 hostA 7D22B9E0 2026-12-13T01:00:41Z "$bug"
printf ' ' >>"$lab/D-1/dump.json"
mkdir -p "$lab/E-1"
: >"$lab/E-1/DDRCS0_0.BIN"
(cd "$lab" && "$native/duruvev" --list --since 2026-12-11 . >"$work/list.expected")
set +e
(cd "$lab" && timeout -k 5 60 "$WINE" "$exe" --list --since 2026-12-11 . >"$work/list.out" 2>"$work/list.err" </dev/null)
echo $? >"$work/list.rc"
set -e
if [ "$(cat "$work/list.rc")" = 0 ] && tr -d '\r' <"$work/list.out" | cmp -s - "$work/list.expected" &&
    grep -q '^  D-1: dump.json does not match' "$work/list.expected"; then
    ok "--list: the native program's table, rows and what is not counted"
else
    fail "--list (exit $(cat "$work/list.rc"))" "$work/list.out" "$work/list.expected" "$work/list.err"
fi

echo "test-windows: $passed passed, $failed failed ($(($(date +%s) - start)) s under Wine)"
[ "$failed" -eq 0 ]
