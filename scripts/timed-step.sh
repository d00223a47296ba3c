#!/bin/sh
# Runs one step of a longer make target and notes how long it took.
#
#   scripts/timed-step.sh LOG NAME COMMAND...   run COMMAND, note "NAME SECONDS"
#   scripts/timed-step.sh LOG --report          print the notes on one line
#
# A step that fails is reported with its time and the steps before it.
set -u
log=$1
shift
report() {
    awk -v how="$1" '{ t += $2; s = s sprintf("%s%s %.1f s", NR > 1 ? ", " : "", $1, $2) }
        END { printf "== time: %s (%s %.1f s)\n", s, how, t }' "$log"
}
if [ "$1" = --report ]; then
    report total
    exit 0
fi
name=$1
shift
mkdir -p "$(dirname "$log")"
start=$(date +%s.%N)
"$@"
rc=$?
end=$(date +%s.%N)
echo "$name $(echo "$start $end" | awk '{ printf "%.1f", $2 - $1 }')" >>"$log"
[ $rc -eq 0 ] || report "failed in $name after"
exit $rc
