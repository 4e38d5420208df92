#!/usr/bin/env bash
# k73log.exe under Wine logs a short csv run from the simulated converter on
# Wine's COM1. Called by run.sh once its Wine prefix, server and port mapping
# are up; prints "# ..." diagnostics and succeeds or fails as a whole.
# Usage: k73log.sh <win64 bin dir> <work dir> <channel 0 mV> <channel 1 mV>
set -uo pipefail
bin=$1 work=$2 ch0=$3 ch1=$4
tolerance_mv=2.0

here=$(cd "$(dirname "$0")" && pwd)
"$here/pe_tables.sh" imports x86_64-w64-mingw32-objdump "$bin/k73log.exe" ||
  { echo "# k73log.exe imports more than system libraries"; exit 1; }

mkdir -p "$work"
cp "$bin/tovdrv.dll" "$bin/k73log.exe" "$work/" || exit 1
cd "$work" || exit 1
# Wine's output to files: a Wine program inside $(...) never returns.
timeout 120 wine k73log.exe --channels 0,1 --count 3 -o run.csv >out.txt 2>err.txt
status=$?
tr -d '\r' <err.txt | sed 's/^/# k73log: /'
[ "$status" = 0 ] || { echo "# k73log.exe ended with status $status"; exit 1; }

tr -d '\r' <run.csv >rows.txt
sed 's/^/# run.csv: /' rows.txt
[ "$(head -1 rows.txt)" = "time_utc,t_s,ch0.0_mV,ch1.0_mV" ] || exit 1
[ "$(wc -l <rows.txt)" = 4 ] || exit 1
awk -F, -v ch0="$ch0" -v ch1="$ch1" -v tol="$tolerance_mv" '
  function off(a, b) { return a > b ? a - b : b - a }
  NR > 1 && ($1 !~ /^[0-9-]+T[0-9:.]+Z$/ || off($3, ch0) > tol || off($4, ch1) > tol) { bad = 1 }
  END { exit bad }' rows.txt || { echo "# values or times off"; exit 1; }
grep -q "^k73log: 3 scans written, 0 gaps, 0 scans missing" <(tr -d '\r' <err.txt)
