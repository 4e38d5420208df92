#!/usr/bin/env bash
# Runs the suite of a sanitizer build (K73_SANITIZE=ON) and fails on any
# report, including those of child processes (tovcon, k73sim, forked
# helpers) whose exit status a test may not look at: every report goes to a
# file in a private directory, and any file there afterwards is a failure.
# Usage: scripts/test_sanitized.sh BUILD_DIR [ctest arguments ...]
set -uo pipefail
build=${1:?usage: test_sanitized.sh BUILD_DIR [ctest args]}
shift
logs=$(mktemp -d /tmp/k73-sanitizer.XXXXXX)
chmod 1777 "$logs"  # tests that drop privileges write here too
trap 'rm -rf "$logs"' EXIT

export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=0:strict_string_checks=1:check_initialization_order=1:detect_stack_use_after_return=1:log_path=$logs/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan"
export LSAN_OPTIONS="log_path=$logs/lsan"

start=$(date +%s)
(cd "$build" && ctest --output-on-failure -j "${JOBS:-$(nproc)}" --timeout 600 "$@")
status=$?
echo "sanitized suite: $(($(date +%s) - start)) s"

reports=("$logs"/*)
if [ -e "${reports[0]}" ]; then
  for r in "${reports[@]}"; do
    echo "=== sanitizer report $(basename "$r")"
    cat "$r"
  done
  echo "FAILED: ${#reports[@]} sanitizer report(s)" >&2
  exit 1
fi
exit $status
