#!/usr/bin/env bash
# CPU while waiting: k73log.exe under Wine logging one scan a second from the
# simulated converter on Wine's COM1, beside the Linux k73log doing the same
# from its own simulator, measured over the same seconds. The Windows figure
# counts the program's process and the Wine server (which carries its I/O).
# Called by run.sh once its Wine prefix, server and COM1 mapping are up.
# Prints "# ..." figures; fails when the Windows build takes 1 % of a core or
# more, a bound that a program polling its port in short slices exceeds.
# Usage: cpu.sh <linux bin dir> <win64 bin dir> <work dir>
set -uo pipefail
linux_bin=$1 win_bin=$2 work=$3
measure_s=${K73_CPU_SECONDS:-30}
count=$((measure_s + 12))

mkdir -p "$work/linux" "$work/win"
cp "$win_bin/tovdrv.dll" "$win_bin/k73log.exe" "$work/win/" || exit 1

ticks_of() { # utime + stime of each pid given, summed
  local total=0 p fields
  for p in "$@"; do
    fields=$(awk '{print $14 + $15}' "/proc/$p/stat" 2>/dev/null) && total=$((total + fields))
  done
  echo "$total"
}
group_pids() { ps -e -o pid=,pgid= | awk -v g="$1" '$2 == g { print $1 }'; }
# The server of this run's prefix (never another run's).
server_pid() {
  local p
  for p in $(pgrep -x "wineserver(64)?"); do
    tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" && echo "$p" && return
  done
}
rows() { # data rows in a csv so far
  local n=0
  [ -f "$1" ] && n=$(tr -d '\r' <"$1" | grep -c '^[0-9]')
  echo "${n:-0}"
}

linux_sim= linux_log= win_group=
cleanup_cpu() {
  for p in $linux_log $linux_sim; do kill "$p" 2>/dev/null; done
  [ -n "$win_group" ] && kill -- -"$win_group" 2>/dev/null
  wait 2>/dev/null
}
trap cleanup_cpu RETURN EXIT

(cd "$work/linux" && exec "$linux_bin/k73sim" --port COM1 --quiet >sim.log 2>&1) &
linux_sim=$!
for _ in $(seq 500); do [ -c "$(readlink -f "$work/linux/COM1")" ] && break; sleep 0.01; done
(cd "$work/linux" && exec "$linux_bin/k73log" --channels 0 --interval 1 --count $count -q \
  -o run.csv </dev/null >out.txt 2>err.txt) &
linux_log=$!
(cd "$work/win" && exec setsid wine k73log.exe --channels 0 --interval 1 --count $count -q \
  -o run.csv </dev/null >out.txt 2>err.txt) &
sleep 1
win_group=$(ps -e -o pgid=,args= | awk '/[k]73log.exe/ { print $1; exit }')

# Both past their sign-on and calibration: two rows each.
for _ in $(seq 600); do
  [ "$(rows "$work/linux/run.csv")" -ge 2 ] && [ "$(rows "$work/win/run.csv")" -ge 2 ] && break
  sleep 0.1
done
if [ "$(rows "$work/win/run.csv")" -lt 2 ] || [ "$(rows "$work/linux/run.csv")" -lt 2 ]; then
  echo "# k73log did not start logging (Windows $(rows "$work/win/run.csv") rows, Linux $(rows "$work/linux/run.csv"))"
  exit 1
fi
server=$(server_pid)
hz=$(getconf CLK_TCK)
win_before=$(ticks_of $(group_pids "$win_group")) server_before=$(ticks_of $server)
linux_before=$(ticks_of $linux_log) rows_before=$(rows "$work/win/run.csv")
sleep "$measure_s"
win_after=$(ticks_of $(group_pids "$win_group")) server_after=$(ticks_of $server)
linux_after=$(ticks_of $linux_log) rows_after=$(rows "$work/win/run.csv")

share() { awk -v t="$1" -v hz="$hz" -v s="$measure_s" 'BEGIN { printf "%.2f", 100 * t / hz / s }'; }
win_ticks=$((win_after - win_before)) server_ticks=$((server_after - server_before))
linux_ticks=$((linux_after - linux_before))
total=$((win_ticks + server_ticks))
echo "# CPU over ${measure_s} s, $((rows_after - rows_before)) scans: k73log.exe $(share $win_ticks) %" \
  "+ wineserver $(share $server_ticks) % = $(share $total) % of a core ($total ticks);" \
  "Linux k73log $(share $linux_ticks) % ($linux_ticks ticks)"
[ $((rows_after - rows_before)) -ge $((measure_s - 3)) ] || { echo "# scans missing"; exit 1; }
# Under 1 % of a core: fewer ticks than a hundredth of the seconds' ticks.
[ $((total * 100)) -lt $((hz * measure_s)) ]
