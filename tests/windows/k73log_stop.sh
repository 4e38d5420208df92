#!/usr/bin/env bash
# A stop request ends k73log.exe's wait for the next scan at once: under
# Wine, SIGINT reaches the program as Ctrl-C through its console control
# handler, which sets the event its waits block on. Logging one scan every
# 10 s, the program must stop, close its log and report its totals within
# a few seconds of the request, not at the next scan. Called by run.sh once
# its Wine prefix, server and COM1 mapping are up.
# Usage: k73log_stop.sh <win64 bin dir> <work dir>
set -uo pipefail
bin=$1 work=$2
mkdir -p "$work"
cp "$bin/tovdrv.dll" "$bin/k73log.exe" "$work/" || exit 1
cd "$work" || exit 1
rows() { local n=0; [ -f run.csv ] && n=$(tr -d '\r' <run.csv | grep -c '^[0-9]'); echo "${n:-0}"; }

setsid wine k73log.exe --channels 0 --interval 10 -o run.csv </dev/null >out.txt 2>err.txt &
launcher=$!
for _ in $(seq 600); do [ "$(rows)" -ge 1 ] && break; sleep 0.1; done
[ "$(rows)" -ge 1 ] || { echo "# no first scan"; kill -- -"$launcher" 2>/dev/null; exit 1; }
sleep 1 # well inside the 10 s to the next scan
program=$(pgrep -g "$launcher" -f 'k73log.exe' | head -1)
[ -n "$program" ] || { echo "# k73log.exe's process not found"; exit 1; }
asked=$(date +%s%N)
kill -INT "$program"
for _ in $(seq 100); do kill -0 "$launcher" 2>/dev/null || break; sleep 0.05; done
ended=$(date +%s%N)
if kill -0 "$launcher" 2>/dev/null; then
  echo "# still running 5 s after the stop request"
  kill -- -"$launcher" 2>/dev/null
  exit 1
fi
wait "$launcher"
status=$?
ms=$(((ended - asked) / 1000000))
echo "# k73log.exe stopped ${ms} ms after Ctrl-C, status $status"
tr -d '\r' <err.txt | sed 's/^/# k73log: /'
[ "$status" = 0 ] && [ "$ms" -lt 5000 ] && grep -q "^k73log: 1 scans* written" <(tr -d '\r' <err.txt)
