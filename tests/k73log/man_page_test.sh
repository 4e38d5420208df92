#!/usr/bin/env bash
# Every option that `k73log --help` offers appears in its manual page.
# Usage: man_page_test.sh <k73log> <k73log.1>
set -euo pipefail
options=$("$1" --help | grep -oE -- '--[a-z][a-z-]*' | sort -u)
text=$(sed -e 's/\\-/-/g' "$2")
missing=0
for option in $options; do
  grep -qF -- "$option" <<<"$text" || { echo "not in $2: $option"; missing=$((missing + 1)); }
done
[ "$(wc -w <<<"$options")" -ge 20 ] || { echo "could not read the options from --help"; exit 1; }
[ "$missing" -eq 0 ]
