#!/usr/bin/env bash
# The Windows build, checked from Linux.
#
#  1. Both builds (64- and 32-bit): tovdrv.dll exports exactly the names of
#     driver/tovdrv.def, undecorated; the DLL and tovcon.exe import only
#     system libraries; tovdrv.h leaves a C++ client its std::min and max.
#  2. Under Wine (64-bit), with k73sim on a pseudo-terminal mapped to COM1
#     and COM12: a plain Win32 client (client.c) loads tovdrv.dll, signs on,
#     reads conversions, scans and stops, and compares with the simulator;
#     k73log.exe logs a csv, and waiting for paced scans takes under 1 % of
#     a core, beside the Linux k73log (cpu.sh).
#  3. tovcon.exe under Wine in an 80 x 25 tmux pane: start-up screens and the
#     main menu at their cells, then key 4 signs on and shows polled readings;
#     its message boxes' owners and its file-name prompt (console_boxes_lines.sh);
#     a scan run's CPU beside the Linux tovcon's (tovcon_cpu.sh); the
#     release installed, used and removed (release.sh).
#
# Usage: tests/windows/run.sh [linux bin dir] [win64 bin dir] [win32 bin dir]
# The Linux bin dir provides k73sim (and k73log and tovcon, for the CPU
# comparisons).
# K73_WINE_CHECKS, when set, names the groups under Wine to run (client,
# k73log, cpu, tovcon, release), e.g. K73_WINE_CHECKS=cpu for the CPU figures.
# Ends with "windows: N passed, N failed".
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
linux_bin=$(realpath -m "${1:-$root/build/bin}")
win64_bin=$(realpath -m "${2:-$root/build-win64/bin}")
win32_bin=$(realpath -m "${3:-$root/build-win32/bin}")

# What the simulated converter is set to, and what the client expects back.
sim_version=101
sim_ch0_mv=1250.0
sim_ch1_mv=-2500.0
tolerance_mv=2.0

passed=0
failed=0
pass() { echo "ok - $1"; passed=$((passed + 1)); }
fail() { echo "not ok - $1"; failed=$((failed + 1)); }
check() {
  local name=$1
  shift
  if "$@"; then pass "$name"; else fail "$name"; fi
}
wanted() { [ -z "${K73_WINE_CHECKS:-}" ] || [[ " $K73_WINE_CHECKS " == *" $1 "* ]]; }
finish() {
  echo "windows: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
}

"$root/scripts/windows/setup.sh" || { fail "MinGW-w64 and Wine installed"; finish; }

# --- 1. export and import tables --------------------------------------------
# The export list names exactly the 32 functions the public header exports.
header_exports() { sed -n 's/^TOVEXPORT .* TOVAPI \([A-Za-z_0-9]*\)(.*/\1/p' "$root/common/tovdrv.h" | sort; }
def_exports() { sed -n 's/^  \([A-Za-z_0-9]*\)\s*$/\1/p' "$root/driver/tovdrv.def" | sort; }
check "tovdrv.def lists the header's 32 exports" \
  [ "$(header_exports)" = "$(def_exports)" -a "$(def_exports | wc -l)" = 32 ]

for build in x86_64:"$win64_bin" i686:"$win32_bin"; do
  arch=${build%%:*} bin=${build#*:}
  objdump=$arch-w64-mingw32-objdump
  for file in tovdrv.dll tovcon.exe; do
    [ -f "$bin/$file" ] || fail "$arch: $bin/$file built"
  done
  [ -f "$bin/tovdrv.dll" ] || continue
  check "$arch: tovdrv.dll exports exactly the 32 plain names" \
    "$here/pe_tables.sh" exports "$objdump" "$bin/tovdrv.dll" "$root/driver/tovdrv.def"
  check "$arch: tovdrv.dll imports only system libraries" \
    "$here/pe_tables.sh" imports "$objdump" "$bin/tovdrv.dll"
  [ -f "$bin/tovcon.exe" ] &&
    check "$arch: tovcon.exe imports only system libraries" \
      "$here/pe_tables.sh" imports "$objdump" "$bin/tovcon.exe"
done

# The public header leaves a C++ client its std::min and std::max: no min or
# max macro and no NOMINMAX after it, in either width.
header_client=$(mktemp /tmp/k73-header.XXXXXX.cpp)
printf '%s\n' '#include "tovdrv.h"' '#include <algorithm>' \
  '#if defined(min) || defined(max) || defined(NOMINMAX)' '#error min, max or NOMINMAX leaked' '#endif' \
  'int main() { return std::min(1, 2) + std::max(1, 2) == 3 ? 0 : 1; }' >"$header_client"
for arch in x86_64 i686; do
  check "$arch: tovdrv.h leaves std::min and std::max to a C++ client" \
    $arch-w64-mingw32-g++ -std=c++17 -Wall -Werror -fsyntax-only -I"$root/common" "$header_client"
done
rm -f "$header_client"

# --- 2. and 3. under Wine ---------------------------------------------------
if [ ! -x "$linux_bin/k73sim" ] || [ ! -f "$win64_bin/tovdrv.dll" ]; then
  fail "k73sim ($linux_bin) and the 64-bit build ($win64_bin) present"
  finish
fi

tmp=$(mktemp -d /tmp/k73-windows.XXXXXX)
sim_pid=
tmux_socket=k73-windows-$$
cleanup() {
  # The programs (Wine, with its server) end before the terminal they run in.
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  tmux -L "$tmux_socket" kill-server >/dev/null 2>&1
  if [ -n "$sim_pid" ]; then
    # Asked to stop, then made to: the run never hangs on the simulator.
    kill "$sim_pid" 2>/dev/null
    for _ in $(seq 40); do kill -0 "$sim_pid" 2>/dev/null || break; sleep 0.05; done
    kill -KILL "$sim_pid" 2>/dev/null && echo "# k73sim did not stop on SIGTERM" >&2
    wait "$sim_pid" 2>/dev/null
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT

export WINEPREFIX=$tmp/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY # a message box then returns at once instead of waiting for a click

# Wine output goes to files: a Wine program inside $(...) never returns.
echo "# creating a Wine prefix"
wineboot -i >"$tmp/wineboot.log" 2>&1
wineserver -w

# The simulator makes sim/COM1 a link to its pseudo-terminal; Wine's COM1 and
# COM12 are mapped onto that link. Nothing here may lead to /dev/ttyS*.
mkdir -p "$tmp/sim" "$tmp/client" "$tmp/console"
(cd "$tmp/sim" && exec "$linux_bin/k73sim" --port COM1 \
  --firmware "$sim_version" --input 0="$sim_ch0_mv" --input 1="$sim_ch1_mv" \
  >"$tmp/sim/k73sim.log" 2>&1) &
sim_pid=$!
for _ in $(seq 500); do [ -c "$(readlink -f "$tmp/sim/COM1")" ] && break; sleep 0.01; done
if ! [ -c "$(readlink -f "$tmp/sim/COM1")" ]; then
  fail "k73sim serves COM1"
  cat "$tmp/sim/k73sim.log"
  finish
fi
# COM2 to COM4 (the program's other devices) lead nowhere rather than to
# Wine's default, the machine's own /dev/ttyS1 to /dev/ttyS3.
{
  printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
  for port in COM1 COM12; do printf '"%s"="%s"\r\n' "$port" "$tmp/sim/COM1"; done
  for port in COM2 COM3 COM4; do printf '"%s"="%s"\r\n' "$port" "$tmp/no-such-port"; done
} >"$tmp/ports.reg"
wine reg import "$tmp/ports.reg" >"$tmp/reg.log" 2>&1
wineserver -k >/dev/null 2>&1
wineserver -w
# The server maps the ports when it starts; its output stays out of the logs.
wineserver -p60 >/dev/null 2>&1
wineboot >/dev/null 2>&1
ports_ok=1
for port in com1 com12; do
  [ "$(readlink "$WINEPREFIX/dosdevices/$port")" = "$tmp/sim/COM1" ] || ports_ok=0
done
for port in com2 com3 com4; do
  case $(readlink "$WINEPREFIX/dosdevices/$port") in /dev/*) ports_ok=0 ;; esac
done
check "Wine's COM1 and COM12 lead to the simulator, COM2-4 to no device" [ $ports_ok = 1 ]
[ $ports_ok = 1 ] || finish

# 2. The client.
cp "$win64_bin/tovdrv.dll" "$tmp/client/"
if ! wanted client; then
  :
elif x86_64-w64-mingw32-gcc -std=c11 -O1 -Wall -Wextra -Werror -I"$root/common" \
  "$here/client.c" -o "$tmp/client/client.exe" -static 2>"$tmp/client/build.log"; then
  (cd "$tmp/client" && timeout 120 wine client.exe "$sim_version" "$sim_ch0_mv" "$sim_ch1_mv" \
    "$tolerance_mv" >client.log 2>&1)
  client_status=$?
  while IFS= read -r line; do
    line=${line%$'\r'}
    case $line in
    "ok - "*) pass "client: ${line#ok - }" ;;
    "not ok - "*) fail "client: ${line#not ok - }" ;;
    "# "*) echo "# client: ${line#\# }" ;;
    esac
  done <"$tmp/client/client.log"
  check "client ran to its end (status $client_status)" \
    grep -q "^client: .* passed" "$tmp/client/client.log"
else
  fail "client.c builds"
  cat "$tmp/client/build.log"
fi

wanted k73log &&
  check "k73log.exe logs a short csv run from COM1" "$here/k73log.sh" "$win64_bin" "$tmp/k73log" "$sim_ch0_mv" "$sim_ch1_mv"
wanted k73log &&
  check "k73log.exe stops at once on Ctrl-C while waiting for a scan" \
    "$here/k73log_stop.sh" "$win64_bin" "$tmp/k73log-stop"
wanted cpu &&
  check "k73log.exe waiting for paced scans takes under 1 % of a core" \
    "$here/cpu.sh" "$linux_bin" "$win64_bin" "$tmp/cpu"
if ! wanted tovcon; then
  wanted release && . "$here/release.sh"
  finish
fi

# 3. The console program. Alone, without tovdrv.dll, it reports the missing
# library in a box (which returns at once without a display) and ends with 1.
mkdir -p "$tmp/alone"
cp "$win64_bin/tovcon.exe" "$tmp/alone/"
(cd "$tmp/alone" && timeout 60 wine tovcon.exe </dev/null >out.txt 2>&1)
alone_status=$?
check "tovcon: without tovdrv.dll it ends with status 1 (got $alone_status)" [ $alone_status = 1 ]

# In tmux, with the driver beside it.
cp "$win64_bin/tovdrv.dll" "$win64_bin/tovcon.exe" "$tmp/console/"
printf 'set -g remain-on-exit on\nset -g status off\n' >"$tmp/tmux.conf"
cat >"$tmp/console/start.sh" <<EOF
#!/bin/sh
cd "$tmp/console" && exec wine tovcon.exe
EOF
chmod +x "$tmp/console/start.sh"
tmux_() { tmux -L "$tmux_socket" "$@"; }
screen() { tmux_ capture-pane -p -t k73; }
# Waits up to $1 seconds until row $2 holds text $4 from column $3.
wait_cell() {
  local deadline=$((SECONDS + $1)) row=$2 column=$3 text=$4
  while [ $SECONDS -le $deadline ]; do
    local line
    line=$(screen | sed -n "$((row + 1))p")
    [ "${line:$column:${#text}}" = "$text" ] && return 0
    sleep 0.05
  done
  echo "# row $row, column $column: expected \"$text\"; screen:"
  screen | sed 's/^/#   |/'
  return 1
}
tmux_ -f "$tmp/tmux.conf" new-session -d -x 80 -y 25 -s k73 \
  -e WINEPREFIX="$WINEPREFIX" -e WINEDEBUG=-all -e WINEDLLOVERRIDES="$WINEDLLOVERRIDES" \
  "$tmp/console/start.sh"
tmux_ set-environment -g -u DISPLAY

# Without tovset.cfg each of the four records reports it and waits for a key.
config_notices=0
for _ in 1 2 3 4; do
  wait_cell 20 9 24 "unable to read TOVSET.CFG file" >/dev/null || break
  wait_cell 1 10 26 "press any key to continue" >/dev/null || break
  config_notices=$((config_notices + 1))
  tmux_ send-keys -t k73 x
  sleep 0.3
done
check "tovcon: four configuration notices, one key each" [ $config_notices = 4 ]

check "tovcon: title at (22, 3)" wait_cell 10 3 22 "MODEL K73 Data Acquisition System"
check "tovcon: main menu at (34, 5)" wait_cell 1 5 34 "Main Menu"
check "tovcon: baud rate line at (20, 7)" wait_cell 1 7 20 "1) Baud rate          9600"
check "tovcon: port line at (20, 9)" wait_cell 1 9 20 "2) Serial port        COM1"
check "tovcon: input buffer line at (20, 11)" wait_cell 1 11 20 "3) Input buffer       1024 bytes"
check "tovcon: exit line at (18, 17)" wait_cell 1 17 18 "Esc) Exit program"

# Key 1 steps the baud rate; six presses come back to 9600 (the link stays at
# 9600 for the sign-on below).
tmux_ send-keys -t k73 1
check "tovcon: key 1 gives 4800" wait_cell 5 7 20 "1) Baud rate          4800"
for _ in 1 2 3 4 5; do tmux_ send-keys -t k73 1; sleep 0.1; done
check "tovcon: five more give 9600" wait_cell 5 7 20 "1) Baud rate          9600"

# Key 3 reads a typed line.
tmux_ send-keys -t k73 3
if wait_cell 5 9 15 "Enter size of input buffer"; then
  tmux_ send-keys -t k73 -l 2048
  tmux_ send-keys -t k73 Enter
fi
check "tovcon: typed input buffer 2048" wait_cell 5 11 20 "3) Input buffer       2048 bytes"

# Key 4 signs on through the driver and starts polled readings.
tmux_ send-keys -t k73 4
check "tovcon: key 4 signs on at COM1" wait_cell 5 11 30 "Signing on at COM1"
check "tovcon: polled screen shows the converter's version" \
  wait_cell 30 0 10 "POLLED  MENU   Marquant Model K73   Version=$sim_version"
# Waits up to $1 seconds for a polled reading line (counts, then millivolts)
# within the tolerance of $2 mV.
wait_reading() {
  local deadline=$((SECONDS + $1))
  while [ $SECONDS -le $deadline ]; do
    screen | awk -v want="$2" -v tol="$tolerance_mv" '
      NR >= 15 && $0 ~ /^ +[0-9]+ +-?[0-9]+\.[0-9]+ *$/ {
        d = $2 - want; if (d < 0) d = -d; if (d <= tol) found = 1 }
      END { exit !found }' && return 0
    sleep 0.2
  done
  screen | sed 's/^/#   |/'
  return 1
}
check "tovcon: polled readings of channel 0 appear" wait_reading 20 "$sim_ch0_mv"

# Keys reach the program between readings (_kbhit): C, then 1, selects
# channel 1, whose readings follow.
tmux_ send-keys -t k73 C
if wait_cell 10 23 1 "Enter channel"; then
  tmux_ send-keys -t k73 1
fi
check "tovcon: C then 1 switches the readings to channel 1" wait_reading 30 "$sim_ch1_mv"

# Esc does not reach a Wine console in tmux: end the program by ending Wine.
wineserver -k >/dev/null 2>&1
pane_dead() {
  for _ in $(seq 100); do
    [ "$(tmux_ display -p -t k73 '#{pane_dead}')" = 1 ] && return 0
    sleep 0.05
  done
  return 1
}
check "tovcon: ends with Wine" pane_dead
. "$here/console_boxes_lines.sh"
wanted cpu && . "$here/tovcon_cpu.sh"
wanted release && . "$here/release.sh"
finish
