# tovcon.exe under Wine: the error boxes have no owner window (only the
# start-up notice is given the window in front), and the file-name prompt
# reads its whole line, so a name longer than a file name can be is refused
# rather than cut to a shorter one.
#
# Sourced by run.sh once its console checks are done: uses its $tmp,
# $win64_bin, $tmux_socket, check and fail.

# The boxes: tovcon.exe alone shows the notice, then the error for the
# missing library. Relay tracing lists every call into user32.
mkdir -p "$tmp/boxes"
cp "$win64_bin/tovcon.exe" "$tmp/boxes/"
(cd "$tmp/boxes" && WINEDEBUG=+relay timeout 120 wine tovcon.exe </dev/null >out.txt 2>relay.log)
check "tovcon: two boxes, the notice and the missing library" \
  [ "$(grep -c 'Call user32.MessageBoxA(' "$tmp/boxes/relay.log")" = 2 ]
# The window in front may be none here, so the check is on the calls: the
# program's thread (the one showing the boxes) asks for it once, for the notice.
box_thread=$(sed -n 's/^\([0-9a-f]*\):Call user32.MessageBoxA(.*/\1/p' "$tmp/boxes/relay.log" | head -1)
check "tovcon: only the notice asks for the window in front" \
  [ "$(grep -c "^$box_thread:Call user32.GetForegroundWindow(" "$tmp/boxes/relay.log")" = 1 ]
check "tovcon: the error box has no owner" \
  grep -q 'Call user32.MessageBoxA(00000000,.*Error loading tovdrv.DLL' "$tmp/boxes/relay.log"

# The file-name prompt of a scan run, against k73sim on COM1: 300 characters
# are one answer, too long for a file name, so no file and no scanning.
mkdir -p "$tmp/lines"
cp "$win64_bin/tovdrv.dll" "$win64_bin/tovcon.exe" "$tmp/lines/"
printf '%s\r\n' 1 1024 0 0 2.000000 6 1 1 0 0 0 0 0 0 0 0 0 3 1 2 1 10.000000 0 0 0 1 \
  >"$tmp/lines/tovset.cfg"
printf '#!/bin/sh\ncd "%s" && exec wine tovcon.exe\n' "$tmp/lines" >"$tmp/lines/start.sh"
chmod +x "$tmp/lines/start.sh"
lines_tmux() { tmux -L "$tmux_socket" "$@"; }
# Waits up to $1 seconds until row $2 holds text $4 from column $3.
lines_wait() {
  local deadline=$((SECONDS + $1))
  while [ $SECONDS -le $deadline ]; do
    local line
    line=$(lines_tmux capture-pane -p -t lines | sed -n "$(($2 + 1))p")
    [ "${line:$3:${#4}}" = "$4" ] && return 0
    sleep 0.05
  done
  lines_tmux capture-pane -p -t lines | sed 's/^/#   |/'
  return 1
}
lines_tmux new-session -d -x 80 -y 25 -s lines \
  -e WINEPREFIX="$WINEPREFIX" -e WINEDEBUG=-all -e WINEDLLOVERRIDES="$WINEDLLOVERRIDES" \
  "$tmp/lines/start.sh"
long_name=$(printf 'a%.0s' $(seq 300))
if lines_wait 20 5 34 "Main Menu"; then
  lines_tmux send-keys -t lines 5
  lines_wait 10 0 27 "SCANNING  CONFIGURATION" && lines_tmux send-keys -t lines Enter
fi
if lines_wait 30 12 20 "Enter name for disk file,"; then
  lines_tmux send-keys -t lines -l "$long_name"
  lines_tmux send-keys -t lines Enter
  check "tovcon: a 300-character file name gives no scan run" \
    lines_wait 20 0 27 "SCANNING  CONFIGURATION"
  check "tovcon: ... and no file cut from it" [ -z "$(ls "$tmp/lines" | grep '^aaaa')" ]
else
  fail "tovcon: the scan run asks for a file name"
fi
wineserver -k >/dev/null 2>&1
lines_tmux kill-session -t lines >/dev/null 2>&1
