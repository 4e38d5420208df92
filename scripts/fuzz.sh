#!/usr/bin/env bash
# Builds the fuzz targets with clang in build-fuzz/ and runs each for SECONDS
# (default 20) from its corpus in fuzz/corpus/<target>/. New inputs go to a
# scratch directory, so the repository's corpora stay small; a crash leaves
# its input in build-fuzz/artifacts/ and fails the run.
# Usage: scripts/fuzz.sh [SECONDS] [target ...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(converter_side_fuzz remote_receive_fuzz config_file_fuzz screens_fuzz)

scripts/setup.sh clang libclang-rt-14-dev
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DK73_FUZZ=ON -DK73_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz --target "${targets[@]}"

artifacts=$PWD/build-fuzz/artifacts  # absolute: a target may change its directory
mkdir -p "$artifacts"
scratch=$(mktemp -d /tmp/k73-fuzz.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
failed=0
for t in "${targets[@]}"; do
  mkdir -p "$scratch/$t"
  log="$artifacts/$t.log"
  if build-fuzz/bin/"$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$artifacts/$t-" \
      "$scratch/$t" "$PWD/fuzz/corpus/$t" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
    echo "$t: ${seconds} s, $runs runs, $cov, no crash"
  else
    echo "$t: FAILED (see $log)"
    grep -E 'ERROR|runtime error|SUMMARY' "$log" | head -5
    failed=1
  fi
done
exit $failed
