"""The command-line tools on the package: the log_scan example and k73.plot."""

import os
import subprocess
import sys

import pytest

from conftest import mv

EXAMPLE = os.path.join(os.environ["K73_PYTHON_DIR"], "examples", "log_scan.py")
PNG = b"\x89PNG\r\n\x1a\n"


@pytest.fixture(scope="module")
def com5(sims):
    return sims(5)


def run(*args):
    return subprocess.run([sys.executable, "-B", *args], capture_output=True, text=True,
                          timeout=120)


def test_log_scan_appends_data_file_lines_and_plots(com5):
    with open("old.dat", "w") as f:
        f.write("earlier run\n")
    out = run(EXAMPLE, "old.dat", "--port", "5", "--count", "4", "--channels", "0,2:1-2,5",
              "--plot", "run.png")
    assert out.returncode == 0, out.stderr
    with open("old.dat") as f:
        lines = f.readlines()
    assert lines[0] == "earlier run\n" and len(lines) == 5
    for line in lines[1:]:
        # "%9.3lf  " per value: 11 characters each, nothing else.
        assert len(line) == 4 * 11 + 1 and line.endswith("  \n")
        assert all(abs(float(v) - w) < 0.01
                   for v, w in zip(line.split(), [mv(0), mv(2, 1), mv(2, 2), mv(5)]))
    with open("run.png", "rb") as f:
        assert f.read(8) == PNG


def test_plot_command_saves_a_png(com5):
    out = run("-m", "k73.plot", "--port", "COM5", "--channels", "0,4", "--save", "plot.png",
              "--count", "5")
    assert out.returncode == 0, out.stderr
    assert out.stdout == "5 scans drawn into plot.png\n"
    with open("plot.png", "rb") as f:
        assert f.read(8) == PNG
    bad = run("-m", "k73.plot", "--channels", "9", "--save", "x.png")
    assert bad.returncode == 2 and "channel must be 0 to 5" in bad.stderr
