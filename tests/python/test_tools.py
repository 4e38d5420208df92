"""The command-line tools with the package: the log_scan example, k73.plot,
and k73log's csv against a DataFrame of the same scans."""

import os
import signal
import subprocess
import sys
import time

import pytest

import k73
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
    assert bad.returncode == 2 and 'channels are 0 to 5, not "9"' in bad.stderr
    assert "Traceback" not in bad.stderr


def test_plot_interrupted_before_the_first_scan_says_so(com5):
    plot = subprocess.Popen([sys.executable, "-B", "-m", "k73.plot", "--port", "COM5",
                             "--interval", "3", "--save", "never.png", "--count", "2"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(2)
    plot.send_signal(signal.SIGINT)
    _, err = plot.communicate(timeout=60)
    assert plot.returncode == 130
    assert "interrupted" in err and "Traceback" not in err
    assert not os.path.exists("never.png")


def test_dataframe_is_the_loggers_csv(com5, lib):
    """The same scans through k73log's csv and through acquire(): the same
    columns, converter times and values."""
    pandas = pytest.importorskip("pandas")
    out = subprocess.run([os.environ["K73LOG"], "--port", "COM5", "--channels", "0,2:1-2",
                          "--type", "selfcal", "--rate", "1027", "--count", "2", "-q",
                          "-o", "run.csv"], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    logged = pandas.read_csv("run.csv", comment="#")
    with k73.Converter(port=5, sample_rate=1027, library=lib) as adc:
        frame = adc.acquire({0: 0, 2: (1, 2)}, count=2, scan_type="selfcal").to_dataframe()
    assert list(frame.columns) == list(logged.columns)
    assert list(frame["t_s"]) == pytest.approx(list(logged["t_s"]), abs=1e-6)
    values = list(frame.columns)[2:]
    assert (abs(frame[values] - logged[values]) < 0.01).all().all()
