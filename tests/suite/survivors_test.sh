#!/usr/bin/env bash
# The survivor check run on two small stages: one that leaves nothing keeps
# its own exit status; one that leaves a process in the background and a
# tmux server (which starts a session of its own) fails, names both, and
# they are gone afterwards.
set -u
check=${1:?usage: survivors_test.sh scripts/survivors.sh}
export K73_SURVIVOR_GRACE_S=1
unset K73_KEEP_SURVIVORS
tmp=$(mktemp -d /tmp/k73-survivors.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
failures=0
alive() {
  local state
  state=$(sed 's/.*) \(.\).*/\1/' "/proc/$1/stat" 2>/dev/null) && [ "$state" != Z ]
}
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

"$check" clean sh -c 'exit 3' >"$tmp/clean.out" 2>&1
status=$?
[ $status = 3 ] || fail "a stage that leaves nothing keeps its status (3), got $status"
[ -s "$tmp/clean.out" ] && fail "a stage that leaves nothing is not named: $(cat "$tmp/clean.out")"

"$check" leaky sh -c "sleep 600 & echo \$! >'$tmp/sleep.pid'
  tmux -S '$tmp/sock' -f /dev/null new-session -d 'sleep 601'" >"$tmp/leaky.out" 2>&1
status=$?
cat "$tmp/leaky.out"
[ $status = 1 ] || fail "a stage that leaves processes fails (1), got $status"
sleeper=$(cat "$tmp/sleep.pid")
grep -q "pid $sleeper .*sleep 600" "$tmp/leaky.out" || fail "the background process is named"
grep -q "tmux -S $tmp/sock" "$tmp/leaky.out" || fail "the tmux server is named"
grep -q "sleep 601" "$tmp/leaky.out" || fail "the program in the tmux pane is named"
alive "$sleeper" && fail "the background process was ended"
tmux -S "$tmp/sock" has-session 2>/dev/null && fail "the tmux server was ended"
[ $failures = 0 ] && echo "survivor check: all good"
exit $((failures > 0))
