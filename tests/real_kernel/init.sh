#!/bin/busybox sh
# The fixture's /init: known lines in the kernel log, then a crash.
/bin/busybox mount -t proc proc /proc
/bin/busybox mount -t devtmpfs dev /dev
exec 3>/dev/kmsg
i=0
while [ $i -lt @LINES@ ]; do
	echo "duruvev fixture: filler line $i, pushing the oldest records out of the ring" >&3
	i=$((i + 1))
done
echo "duruvev fixture: first known line" >&3
/bin/busybox printf 'duruvev fixture: a tab\there, an escape \033[1mbold\033[0m and a bell\a\n' >&3
/bin/busybox printf 'duruvev fixture: a record of two lines\nduruvev fixture: its second line\n' >&3
/bin/busybox printf 'duruvev fixture: UTF-8 \303\251t\303\251 and a DEL \177\n' >&3
echo "<2>duruvev fixture: last known line, crashing now" >&3
echo c >/proc/sysrq-trigger
