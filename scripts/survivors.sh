#!/usr/bin/env bash
# Runs one stage of the suite and fails it when a process it started is
# still alive afterwards: a program left running by a test, a tmux server,
# a simulator, a Wine server. Every process the stage starts inherits a
# marker in its environment (also those that leave the stage's session or
# process group, as tmux and wineserver do), so survivors are found by that
# marker, never by name, and other people's processes are never touched.
#
# Usage: scripts/survivors.sh STAGE COMMAND [ARGS ...]
# Exit status: the command's, or 1 when anything survived it. Survivors are
# named, then ended (SIGTERM, then SIGKILL) so that the next stage runs on
# a quiet machine; K73_KEEP_SURVIVORS=1 leaves them for a look. Processes
# get K73_SURVIVOR_GRACE_S seconds (5) to finish after the command ends.
set -uo pipefail
stage=${1:?usage: survivors.sh STAGE COMMAND [ARGS ...]}
shift
marker=K73_SUITE_$(od -An -N6 -tx1 /dev/urandom | tr -d ' \n')

# The pids whose environment carries the marker (grep fails on processes
# that end while it reads: only its output counts).
marked() {
  grep -lzs "^$marker=" /proc/[0-9]*/environ 2>/dev/null | while read -r f; do
    pid=${f#/proc/}
    pid=${pid%/environ}
    state=$(sed 's/.*) \(.\).*/\1/' "/proc/$pid/stat" 2>/dev/null) || continue
    [ "$state" = Z ] || echo "$pid"
  done
  return 0
}

# Waits up to $1 seconds for the marked processes to end; prints those left.
left_after() {
  local left end=$((SECONDS + $1))
  left=$(marked)
  while [ -n "$left" ] && [ $SECONDS -lt "$end" ]; do
    sleep 0.2
    left=$(marked)
  done
  echo "$left"
}

env "$marker=$stage" "$@"
status=$?

# A process ends a moment after the one that stopped it: a short grace.
survivors=$(left_after "${K73_SURVIVOR_GRACE_S:-5}")
[ -z "$survivors" ] && exit $status

echo "FAILED: the $stage stage left $(echo "$survivors" | wc -w) process(es) running:" >&2
for pid in $survivors; do
  cmd=$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)
  cwd=$(readlink "/proc/$pid/cwd" 2>/dev/null)
  state=$(sed 's/.*) \(.\).*/\1/' "/proc/$pid/stat" 2>/dev/null)
  echo "  pid $pid (state ${state:-?}, in ${cwd:-?}): ${cmd:-?}" >&2
done
if [ "${K73_KEEP_SURVIVORS:-0}" = 1 ]; then
  echo "  left running (K73_KEEP_SURVIVORS=1)" >&2
  exit 1
fi
kill -TERM $survivors 2>/dev/null
kill -CONT $survivors 2>/dev/null
left=$(left_after 10)
[ -n "$left" ] && kill -KILL $left 2>/dev/null
echo "  ended now" >&2
exit 1
