# CPU of tovcon.exe under Wine in a scan run from the simulated converter on
# Wine's COM1, beside the Linux tovcon in a scan run from its own simulator,
# over the same seconds. Sourced by run.sh after its console checks: it uses
# run.sh's check, tmux_, $tmp, $win64_bin, $linux_bin and $here, and cpu.sh's
# way of counting ticks.

tovcon_cpu_row() { # text of row $2 in session $1
  tmux_ capture-pane -p -t "$1" | sed -n "$(($2 + 1))p"
}
tovcon_cpu_wait() { # session, seconds, row, column, text
  local deadline=$((SECONDS + $2)) line
  while [ $SECONDS -le $deadline ]; do
    line=$(tovcon_cpu_row "$1" "$3")
    [ "${line:$4:${#5}}" = "$5" ] && return 0
    sleep 0.1
  done
  echo "# $1: expected \"$5\" at row $3; screen:"
  tmux_ capture-pane -p -t "$1" | sed 's/^/#   |/'
  return 1
}
tovcon_cpu_scan_number() {
  tovcon_cpu_row "$1" 24 | sed -n 's/.*SCAN # \([0-9]*\).*/\1/p'
}
# From the start-up notices to a scan run writing scans.txt.
tovcon_cpu_start_scan() {
  local session=$1 _
  for _ in $(seq 40); do
    tovcon_cpu_row "$session" 5 | grep -q "Main Menu" && break
    tmux_ send-keys -t "$session" Enter
    sleep 0.5
  done
  tovcon_cpu_wait "$session" 5 5 34 "Main Menu" || return 1
  tmux_ send-keys -t "$session" 5
  tovcon_cpu_wait "$session" 30 0 27 "SCANNING  CONFIGURATION" || return 1
  tmux_ send-keys -t "$session" Enter
  tovcon_cpu_wait "$session" 60 12 20 "Enter name for disk file," || return 1
  tmux_ send-keys -t "$session" -l scans.txt
  tmux_ send-keys -t "$session" Enter
  tovcon_cpu_wait "$session" 60 24 2 "SCAN #"
}
# The scan screen with the values of the first row of the table (code 0) and
# the scan number taken out, after checking that each value stands in its
# cell: what both builds must show alike.
tovcon_cpu_layout() {
  tmux_ capture-pane -p -t "$1" | awk '
    NR == 3 {
      for (c = 0; c < 6; ++c)
        if (substr($0, c * 12 + 6, 9) !~ /^ *-?[0-9]+\.[0-9][0-9][0-9]$/) print "no value in chan " c
      $0 = substr($0, 1, 5)
    }
    NR == 25 { sub(/SCAN # [0-9]+/, "SCAN # n") }
    { print }'
}
# Out of the scanning configuration screen and out of the program (not
# saving the settings), then the session goes: never the terminal under a
# running program.
tovcon_cpu_quit() { # session, pid
  tmux_ send-keys -t "$1" Escape
  tovcon_cpu_wait "$1" 15 5 34 "Main Menu" >/dev/null
  tmux_ send-keys -t "$1" Escape
  sleep 1
  tmux_ send-keys -t "$1" n
  local deadline=$((SECONDS + 15))
  while [ -n "$2" ] && [ -d "/proc/$2" ] && [ $SECONDS -le $deadline ]; do sleep 0.2; done
  [ -n "$2" ] && kill "$2" 2>/dev/null
  tmux_ kill-session -t "$1" >/dev/null 2>&1
}
tovcon_cpu_ticks() { awk '{ t += $14 + $15 } END { print t + 0 }' "${@/%//stat}" 2>/dev/null; }

tovcon_cpu_run() {
  local win=$tmp/tovcon-cpu/win linux=$tmp/tovcon-cpu/linux seconds=${K73_CPU_SECONDS:-30}
  mkdir -p "$win" "$linux"
  cp "$win64_bin/tovdrv.dll" "$win64_bin/tovcon.exe" "$win/"
  printf '#!/bin/sh\ncd "%s" && exec wine tovcon.exe\n' "$win" >"$win/start.sh"
  (cd "$linux" && exec "$linux_bin/k73sim" --port COM1 --quiet >sim.log 2>&1) &
  local linux_sim=$! _
  # tovcon opens COM1 at once: the simulator's link must be there first.
  for _ in $(seq 100); do [ -L "$linux/COM1" ] && break; sleep 0.1; done
  printf '#!/bin/sh\ncd "%s" && exec "%s/tovcon"\n' "$linux" "$linux_bin" >"$linux/start.sh"
  chmod +x "$win/start.sh" "$linux/start.sh"
  tmux_ kill-session -t k73 >/dev/null 2>&1
  tmux_ -f "$tmp/tmux.conf" new-session -d -x 80 -y 25 -s cpuwin -e WINEPREFIX="$WINEPREFIX" \
    -e WINEDEBUG=-all -e WINEDLLOVERRIDES="$WINEDLLOVERRIDES" "$win/start.sh"
  tmux_ new-session -d -x 80 -y 25 -s cpulinux -e TERM=xterm "$linux/start.sh"
  if ! tovcon_cpu_start_scan cpuwin || ! tovcon_cpu_start_scan cpulinux; then
    fail "tovcon: scan runs under Wine and on Linux started"
    kill "$linux_sim" 2>/dev/null
    return
  fi
  local win_pid linux_pid server p
  win_pid=$(for p in $(pgrep -f 'tovcon.exe'); do [ "$(readlink /proc/$p/cwd)" = "$win" ] && echo $p; done | head -1)
  linux_pid=$(for p in $(pgrep -x tovcon); do [ "$(readlink /proc/$p/cwd)" = "$linux" ] && echo $p; done | head -1)
  for p in $(pgrep -x "wineserver(64)?"); do
    tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" && server=$p
  done
  local hz first_scan last_scan w0 s0 l0 w1 s1 l1
  hz=$(getconf CLK_TCK)
  first_scan=$(tovcon_cpu_scan_number cpuwin)
  w0=$(tovcon_cpu_ticks /proc/$win_pid) s0=$(tovcon_cpu_ticks /proc/$server) l0=$(tovcon_cpu_ticks /proc/$linux_pid)
  sleep "$seconds"
  w1=$(tovcon_cpu_ticks /proc/$win_pid) s1=$(tovcon_cpu_ticks /proc/$server) l1=$(tovcon_cpu_ticks /proc/$linux_pid)
  last_scan=$(tovcon_cpu_scan_number cpuwin)
  local win_screen linux_screen
  win_screen=$(tovcon_cpu_layout cpuwin) linux_screen=$(tovcon_cpu_layout cpulinux)
  local share="awk -v hz=$hz -v s=$seconds 'BEGIN { printf \"%.2f\", 100 * ARGV[1] / hz / s }'"
  local total=$((w1 - w0 + s1 - s0))
  echo "# tovcon scan run, ${seconds} s, scans ${first_scan:-?} to ${last_scan:-?} under Wine:" \
    "tovcon.exe $(eval "$share" $((w1 - w0))) % + wineserver $(eval "$share" $((s1 - s0))) %" \
    "= $(eval "$share" $total) % of a core; Linux tovcon $(eval "$share" $((l1 - l0))) %"
  # The figure includes the server's own keeping (about 0.25 % with the
  # program idle at a menu) and the scan's screen update, one console call
  # per scan; a wait polling in slices took 18 % here.
  check "tovcon: a scan run under Wine takes under 1 % of a core" \
    [ $((total * 100)) -lt $((hz * seconds)) -a "${last_scan:-0}" -gt "${first_scan:-0}" ]
  [ "$win_screen" = "$linux_screen" ] ||
    diff <(echo "$linux_screen") <(echo "$win_screen") | sed 's/^/#   /'
  check "tovcon: the scan screen under Wine is the Linux one, each value in its cell" \
    [ "$win_screen" = "$linux_screen" ]
  # Keys are looked for only while the console's input is signalled.
  tmux_ send-keys -t cpuwin x
  check "tovcon: a key ends the scan run under Wine" \
    tovcon_cpu_wait cpuwin 15 0 27 "SCANNING  CONFIGURATION"
  tmux_ send-keys -t cpulinux x
  tovcon_cpu_wait cpulinux 15 0 27 "SCANNING  CONFIGURATION" >/dev/null
  tovcon_cpu_quit cpulinux "$linux_pid"
  tovcon_cpu_quit cpuwin "$win_pid"
  kill "$linux_sim" 2>/dev/null
  wait "$linux_sim" 2>/dev/null
}
tovcon_cpu_run
