#!/usr/bin/env bash
# Checks the export and import tables of a cross-built driver or program.
# Usage: pe_tables.sh exports <objdump> <tovdrv.dll> <export list (.def)>
#        pe_tables.sh imports <objdump> <file.dll|file.exe>
# Prints what differs and exits 1 on a mismatch.
set -euo pipefail
what=$1 objdump=$2 file=$3

case $what in
exports)
  # The names in the export name table, one per line, sorted.
  actual=$("$objdump" -p "$file" |
    sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^\s*\[ *[0-9]*\] \(.*\)$/\1/p' | sort)
  expected=$(sed -n 's/^  \([A-Za-z_0-9]*\)\s*$/\1/p' "$4" | sort)
  if [ "$actual" != "$expected" ]; then
    echo "exports of $file differ from $4:"
    diff <(echo "$expected") <(echo "$actual") || true
    exit 1
  fi
  ;;
imports)
  # Only system libraries: no compiler runtime DLL has to travel with it.
  bad=$("$objdump" -p "$file" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' |
    grep -vxE 'kernel32\.dll|msvcrt\.dll|user32\.dll' || true)
  if [ -n "$bad" ]; then
    echo "$file imports non-system libraries:" $bad
    exit 1
  fi
  ;;
*)
  echo "unknown check $what" >&2
  exit 2
  ;;
esac
