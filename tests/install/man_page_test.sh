#!/usr/bin/env bash
# Every option and every fault name that `k73sim --help` offers must appear
# in the manual page, so the two cannot drift apart unnoticed.
# Usage: man_page_test.sh <k73sim> <k73sim.1>
set -euo pipefail
sim=$1
page=$2

help=$("$sim" --help)
# The page escapes hyphens as "\-"; compare against its plain text.
text=$(sed -e 's/\\-/-/g' "$page")

options=$(grep -oE -- '--[a-z][a-z-]*' <<<"$help" | sort -u)
# Fault names: the comma-separated words after "--misbehave", up to the next option.
faults=$(sed -n '/--misbehave/,/^  --report/p' <<<"$help" | sed -e '1s/.*fault to show (repeatable)://' -e '$d' |
  tr ',' '\n' | sed -e 's/\[.*//' -e 's/=.*//' -e 's/^ *//' -e 's/ *$//' | grep -v '^$' | sort -u)

missing=0
checked=0
for word in $options $faults; do
  checked=$((checked + 1))
  if ! grep -qF -- "$word" <<<"$text"; then
    echo "not in $page: $word"
    missing=$((missing + 1))
  fi
done
# A help text that yields nothing to check would make this test vacuous.
if [ "$(wc -w <<<"$options")" -lt 5 ] || [ "$(wc -w <<<"$faults")" -lt 5 ]; then
  echo "could not read the options and faults from --help"
  exit 1
fi
echo "$((checked - missing)) passed, $missing failed"
[ "$missing" -eq 0 ]
