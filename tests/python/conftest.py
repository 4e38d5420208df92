"""Fixtures of the k73 package's tests: the driver, and k73sim serving COMn
on pseudo-terminals in a private directory that the tests work in.

ctest sets TOVDRV_LIBRARY, K73SIM, RECORD_LAYOUT and puts the package on
PYTHONPATH."""

import os
import signal
import subprocess
import time

import pytest

import k73

SIM = os.environ["K73SIM"]
INPUTS = {0: 1000.0, 1: 2000.5, 2: -1500.0, 3: 4000.0, 4: 250.0, 5: 100.0}
# Control codes with inputs of their own; the others read the channel's.
CODE_INPUTS = {(1, 3): 777.25, (2, 2): 1999.0, (2, 3): -1234.5}


def mv(channel, code=0):
    return CODE_INPUTS.get((channel, code), INPUTS[channel])


class Sim:
    """One k73sim on COM<port> in the current directory, reporting every
    packet it receives to report.COM<port>."""

    def __init__(self, port, *extra):
        self.report_path = os.path.abspath("report.COM%d" % port)
        args = [SIM, "--port", "COM%d" % port, "--quiet", "--noise", "0",
                "--report", self.report_path]
        for ch, value in INPUTS.items():
            args += ["--input", "%d=%g" % (ch, value)]
        for (ch, code), value in CODE_INPUTS.items():
            args += ["--input", "%d.%d=%g" % (ch, code, value)]
        self.proc = subprocess.Popen(args + list(extra), stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE)
        name = "COM%d" % port
        deadline = time.monotonic() + 10
        # Looked at, not opened: opening it would disturb the simulator.
        while not (os.path.islink(name) and os.path.exists(name)):
            if time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("k73sim did not serve %s" % name)
            time.sleep(0.02)

    def report(self, at_least=0, until=None):
        """The lines reported so far; waits (up to 10 s) for at_least lines,
        and for the line until among the lines after the first at_least - 1
        (the last line when at_least is 0), since a packet that gets no reply
        may still be on its way."""
        deadline = time.monotonic() + 10
        while True:
            with open(self.report_path) as f:
                lines = f.read().splitlines()
            if len(lines) >= at_least and (until is None or until in lines[at_least - 1:]):
                return lines
            if time.monotonic() > deadline:
                return lines
            time.sleep(0.02)

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


@pytest.fixture(scope="session")
def lib():
    return k73.load_library()


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    """A private directory the module's tests work in (the driver opens COMn there)."""
    previous = os.getcwd()
    path = tmp_path_factory.mktemp("k73py")
    os.chdir(path)
    yield path
    os.chdir(previous)


@pytest.fixture(scope="module")
def sims(workdir):
    """sims(port, *k73sim options) starts a simulator for the module."""
    started = []

    def start(port, *extra):
        started.append(Sim(port, *extra))
        return started[-1]

    yield start
    for sim in started:
        sim.stop()
