#!/usr/bin/env bash
# Runs the console program against the simulated converter in this terminal.
# Usage: scripts/demo.sh BIN_DIR
# A fresh working directory holds COM1 and COM2 (links to two simulated
# converters) and the settings file; the simulators stop when tovcon ends.
set -euo pipefail
bin="$(cd "${1:-build/bin}" && pwd)"
for program in tovcon k73sim libtovdrv.so; do
  [ -e "$bin/$program" ] || { echo "demo: $bin/$program is missing (run make build)" >&2; exit 1; }
done

work="$(mktemp -d "${TMPDIR:-/tmp}/tovdemo.XXXXXX")"
pids=()
cleanup() {
  trap "" INT TERM HUP  # finish the clean-up even when the terminal goes away
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

cd "$work"
for port in COM1 COM2; do
  "$bin/k73sim" --port "$port" --quiet </dev/null &
  pids+=("$!")
done
for _ in $(seq 100); do
  [ -e COM1 ] && [ -e COM2 ] && break
  sleep 0.05
done
[ -e COM1 ] && [ -e COM2 ] || { echo "demo: the simulator did not start" >&2; exit 1; }

echo "Working directory: $work (COM1 and COM2 are simulated converters)"
status=0
"$bin/tovcon" || status=$?
exit "$status"
