#!/usr/bin/env bash
# The Python package as a user installs it: a fresh virtual environment that
# sees the system's numpy and pandas, `pip install ./python` without network,
# then, from a directory outside the source tree, import, sign on to k73sim,
# a scan with times, acquire into numpy and a DataFrame with the names.
# Usage: pip_install_test.sh <python3> <source dir> <libtovdrv.so> <k73sim>
set -euo pipefail
python=$1
source=$2
driver=$3
sim=$4

work=$(mktemp -d)
simPid=
cleanup() {
  [ -n "$simPid" ] && kill "$simPid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# Built from a copy: pip leaves build/ and the egg-info beside the sources.
cp -r "$source/python" "$work/src"
"$python" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install -q --no-build-isolation --no-index "$work/src"
rm -rf "$work/src"

mkdir "$work/run"
cd "$work/run"
"$sim" --port COM1 --quiet --noise 0 --input 0=1000 --input 4=250 >"$work/sim.log" 2>&1 &
simPid=$!
for _ in $(seq 200); do [ -c COM1 ] && break; sleep 0.05; done

TOVDRV_LIBRARY=$driver "$work/venv/bin/python" - "$work/venv" <<'PY'
import datetime
import sys

import k73

assert k73.__file__.startswith(sys.argv[1]), k73.__file__  # the installed copy
with k73.Converter(port=1, sample_rate=1027) as adc:
    adc.sign_on()
    scan = next(adc.scans([0, 4], count=1))
    assert scan.time_utc.tzinfo == datetime.timezone.utc and scan.t_s == 0
    assert scan.names == ("ch0.0_mV", "ch4.0_mV")
    block = adc.acquire([0, 4], count=3)
    assert block.values.shape == (3, 2) and abs(block.values[:, 0] - 1000).max() < 0.01
    frame = block.to_dataframe()
    assert list(frame.columns) == ["time_utc", "t_s", "ch0.0_mV", "ch4.0_mV"], frame.columns
print("k73 %s installed with pip: signed on, scanned, acquired" % k73.__version__)
PY
