#!/usr/bin/env bash
# Installs the build into a staging directory and uses the staged tree as a
# client developer and an operator would:
#   - the driver carries its SONAME and the usual links;
#   - the example C client builds against the staged header and pkg-config
#     file, and again through find_package(tovdrv) in a CMake project;
#   - both clients sign on to the staged k73sim, read conversions and scans,
#     and see the simulator's inputs;
#   - the staged tovcon loads the driver by the system's search even when
#     only the SONAME is there, and so does the staged Python package k73
#     with the system's python3 (the .deb puts it where that looks).
# Usage: staged_install_test.sh <build dir> <source dir>
set -uo pipefail
build=$1
source=$2
prefix=/opt/k73

work=$(mktemp -d)
stage=$work/stage
sims=()
cleanup() {
  for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

passed=0
failed=0
check() { # check <description> <command...>
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $what"
  fi
}
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
}

if ! DESTDIR=$stage cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
  cat "$work/install.log"
  failed=1
  finish
fi
root=$stage$prefix
pc=$(find "$root" -name tovdrv.pc | head -1)
libdir=$(dirname "$(dirname "$pc")")

# The files and links a system install should have.
for file in include/tovdrv.h include/tovscan.h bin/tovcon bin/k73sim share/man/man1/tovcon.1 share/man/man1/k73sim.1; do
  check "installed $file" test -s "$root/$file"
done
check "Python package installed" test -s "$root/lib/python3/dist-packages/k73/__init__.py" -a \
  -e "$root/lib/python3/dist-packages/k73/py.typed"
check "pkg-config file installed" test -n "$pc"
check "CMake package installed" test -n "$(find "$root" -name tovdrvConfig.cmake)"
check "libtovdrv.so.1 -> libtovdrv.so.1.0.0" test "$(readlink "$libdir/libtovdrv.so.1")" = libtovdrv.so.1.0.0
check "development link libtovdrv.so" test -e "$libdir/libtovdrv.so"
soname=$(objdump -p "$libdir/libtovdrv.so.1.0.0" | awk '$1 == "SONAME" { print $2 }')
check "SONAME is libtovdrv.so.1 (got '$soname')" test "$soname" = libtovdrv.so.1
check "the pkg-config file names the install prefix" grep -qx "prefix=$prefix" "$pc"
check "the k73log service unit runs the installed k73log" \
  grep -qx "ExecStart=$prefix/bin/k73log --config /etc/k73/%i.conf --quiet" \
  "$root/lib/systemd/system/k73log@.service"

# The example, built against the staged tree through pkg-config...
flags=$(PKG_CONFIG_PATH=$(dirname "$pc") PKG_CONFIG_SYSROOT_DIR=$stage pkg-config --cflags --libs tovdrv)
check "pkg-config knows tovdrv" test -n "$flags"
# shellcheck disable=SC2086  # the flags are words
check "client builds with pkg-config flags" \
  cc -std=c11 -Wall -Wextra -Werror -o "$work/client_pc" "$source/examples/c_client.c" $flags
# ...and through find_package(tovdrv) in a CMake project of its own.
check "client builds through find_package(tovdrv)" bash -c "
  cmake -S '$source/tests/install/consumer' -B '$work/consumer' -DCMAKE_PREFIX_PATH='$root' \
        -DCLIENT_SOURCE='$source/examples/c_client.c' -DCMAKE_BUILD_TYPE=Release \
        >'$work/consumer.log' 2>&1 &&
  cmake --build '$work/consumer' >>'$work/consumer.log' 2>&1 || { cat '$work/consumer.log'; false; }"
[ "$failed" -eq 0 ] || finish

# Two simulated converters, COM1 and COM2, from the staged tree.
run=$work/run
mkdir -p "$run"
cd "$run" || exit 1
inputs=(--quiet --noise 0 --input 0=1000 --input 1=2000.5 --input 2=-1500 --input 3=4000
  --input 4=250 --input 5=100)
for port in COM1 COM2; do
  "$root/bin/k73sim" --port "$port" "${inputs[@]}" >"$work/$port.log" 2>&1 &
  sims+=($!)
done
for port in COM1 COM2; do
  for _ in $(seq 200); do [ -c "$port" ] && break; sleep 0.05; done
  check "k73sim serves $port" test -c "$port"
done
[ "$failed" -eq 0 ] || finish

# Both clients at once: sign-on is mostly waiting, so they overlap well.
LD_LIBRARY_PATH=$libdir "$work/client_pc" 1 3 >"$work/pc.out" 2>&1 &
pcPid=$!
"$work/consumer/c_client" 2 2 >"$work/cmake.out" 2>&1 &
cmakePid=$!
wait $pcPid
pcStatus=$?
wait $cmakePid
cmakeStatus=$?

# Every value printed must be the simulator's input for its channel.
values_match() { # values_match <output> <scans>
  awk -v scans="$2" '
    function near(v, want) { return v - want < 0.01 && want - v < 0.01 }
    BEGIN { want[0] = 1000; want[1] = 2000.5; want[2] = -1500; want[3] = 4000; want[4] = 250; want[5] = 100 }
    /^channel [0-9]:/ { polled++; ch = substr($2, 1, 1); if (!near($5, want[ch])) bad++ }
    /^scan [0-9]+:/ { seen++; if (NF != 8) bad++; for (i = 3; i <= 8; i++) if (!near($i, want[i - 3])) bad++ }
    END { exit !(polled == 3 && seen == scans && bad == 0) }' "$1"
}
check "pkg-config client ran (status $pcStatus)" test "$pcStatus" -eq 0
check "pkg-config client read the inputs" values_match "$work/pc.out" 3
check "CMake client ran (status $cmakeStatus)" test "$cmakeStatus" -eq 0
check "CMake client read the inputs" values_match "$work/cmake.out" 2
if [ "$failed" -ne 0 ]; then
  echo "--- pkg-config client"; cat "$work/pc.out"
  echo "--- CMake client"; cat "$work/cmake.out"
fi

# The operator's program, installed in bin/ with the driver in lib/: found by
# the system's search, also without the development link. With no input it
# shows the main menu and leaves at end of input.
rm -f "$libdir/libtovdrv.so"
LD_LIBRARY_PATH=$libdir timeout 20 "$root/bin/tovcon" </dev/null >"$work/tovcon.out" 2>&1
check "installed tovcon loads the driver by its SONAME" grep -q "Main Menu" "$work/tovcon.out"
check "installed tovcon reports no load error" bash -c "! grep -q 'Error loading' '$work/tovcon.out'"
# And without the driver anywhere it says so and ends with status 1 (unless
# this machine has a driver installed system-wide).
if ! ldconfig -p | grep -q libtovdrv; then
  timeout 20 "$root/bin/tovcon" </dev/null >"$work/tovcon-missing.out" 2>&1
  status=$?
  check "tovcon without a driver ends with status 1 (got $status)" test "$status" -eq 1
fi

# The Python package as the .deb installs it, with the system's python3.
check "python3 imports the installed k73 and reads COM1 through the SONAME" \
  env PYTHONPATH="$root/lib/python3/dist-packages" LD_LIBRARY_PATH="$libdir" \
  /usr/bin/python3 -c "
import k73
assert k73.__file__.startswith('$root/'), k73.__file__
with k73.Converter(port=1) as adc:
    assert abs(adc.sign_on().read_mv(0, settle=False) - 1000) < 0.01"

finish
