"""Tests of the Python binding against the C header and the simulator.

Run by ctest with TOVDRV_LIBRARY, K73SIM, RECORD_LAYOUT and K73_PYTHON_DIR
set. Each simulator serves its own COMn in a private directory that the
test process works in.
"""

import ctypes
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.environ["K73_PYTHON_DIR"])
import tovdrv  # noqa: E402

SIM = os.environ["K73SIM"]
LOG_SCAN = os.path.join(os.environ["K73_PYTHON_DIR"], "examples", "log_scan.py")
INPUTS = {0: 1000.0, 1: 2000.5, 2: -1500.0, 3: 4000.0, 4: 250.0, 5: 100.0}
# Control codes with inputs of their own; the others read the channel's.
CODE_INPUTS = {(1, 3): 777.25, (2, 2): 1999.0, (2, 3): -1234.5}


def mv(channel, code=0):
    return CODE_INPUTS.get((channel, code), INPUTS[channel])


def start_sim(port, *extra):
    args = [SIM, "--port", "COM%d" % port, "--quiet", "--noise", "0"]
    for ch, value in INPUTS.items():
        args += ["--input", "%d=%g" % (ch, value)]
    for (ch, code), value in CODE_INPUTS.items():
        args += ["--input", "%d.%d=%g" % (ch, code, value)]
    proc = subprocess.Popen(args + list(extra), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    name = "COM%d" % port
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        # Looked at, not opened: opening it would disturb the simulator.
        if os.path.islink(name) and os.path.exists(name):
            return proc
        time.sleep(0.02)
    proc.kill()
    raise RuntimeError("k73sim did not serve %s: %s" % (name, proc.communicate()[1]))


class RecordLayout(unittest.TestCase):
    """The ctypes record must match the compiler's layout of tovdrv.h."""

    def test_every_field_has_the_header_offset_size_and_kind(self):
        out = subprocess.run([os.environ["RECORD_LAYOUT"]], check=True,
                             capture_output=True, text=True).stdout.split("\n")
        kinds = {ctypes.c_float: "f", ctypes.c_double: "f"}
        c_fields = []
        for line in out:
            if not line:
                continue
            name, *rest = line.split()
            if name == "sizeof":
                self.assertEqual(ctypes.sizeof(tovdrv.DeviceRecord), int(rest[0]))
                continue
            c_fields.append(name)
            offset, size, kind = int(rest[0]), int(rest[1]), rest[2]
            owner, field = tovdrv.DeviceRecord, name
            base = 0
            if "." in name:
                outer, field = name.split(".")
                base = getattr(tovdrv.DeviceRecord, outer).offset
                owner = dict((n, t) for n, t in tovdrv.DeviceRecord._fields_)[outer]
            descriptor = getattr(owner, field, None)
            self.assertIsNotNone(descriptor, "no field %s in the Python record" % name)
            self.assertEqual((base + descriptor.offset, descriptor.size), (offset, size), name)
            if kind != "-":
                ctype = dict(owner._fields_)[field]
                py_kind = kinds.get(ctype, "i" if ctype(-1).value < 0 else "u")
                self.assertEqual(py_kind, kind, "signedness or kind of %s" % name)
        # The same fields in the same order, none missing on either side.
        top = [n for n in c_fields if "." not in n]
        self.assertEqual(top, [n for n, _ in tovdrv.DeviceRecord._fields_])


class ArgumentChecks(unittest.TestCase):
    """Bad calls end in a clear exception before anything reaches the driver."""

    @classmethod
    def setUpClass(cls):
        cls.lib = tovdrv.load_library()

    def test_wrong_types_and_ranges_in_settings(self):
        for kwargs, error in [({"port": "1"}, TypeError), ({"port": 1.0}, TypeError),
                              ({"port": True}, TypeError), ({"port": 0}, ValueError),
                              ({"port": 256}, ValueError), ({"baud": 9601}, ValueError),
                              ({"baud": "9600"}, TypeError), ({"bits": 12}, ValueError),
                              ({"gain": 3}, ValueError), ({"gain": 256}, ValueError),
                              ({"sample_rate": 5}, ValueError), ({"sample_rate": "fast"}, TypeError),
                              ({"remote_avg": 0}, ValueError), ({"filter": None}, TypeError)]:
            with self.subTest(kwargs=kwargs), self.assertRaises(error):
                tovdrv.Converter(library=self.lib, **kwargs)

    def test_calls_before_sign_on_or_after_close_say_so(self):
        k73 = tovdrv.Converter(port=200, library=self.lib)
        started = time.monotonic()
        with self.assertRaises(tovdrv.PortNotOpenError) as caught:
            k73.read_mv(0)
        self.assertIn("sign_on", str(caught.exception))
        k73.close()  # closing an unopened converter is harmless
        with self.assertRaises(tovdrv.PortNotOpenError):
            k73.read_mv()
        # Refused at once, not after the driver's write retries.
        self.assertLess(time.monotonic() - started, 1.0)

    def test_wrong_channel_arguments(self):
        k73 = tovdrv.Converter(library=self.lib)
        for args, error in [(("0",), TypeError), ((8,), ValueError), ((0, 16), ValueError),
                            ((0.5,), TypeError)]:
            with self.subTest(args=args), self.assertRaises(error):
                k73.read_mv(*args)
        for channels, error in [("012", TypeError), (5, TypeError), ({6: 0}, ValueError),
                                ({0: (3, 2)}, ValueError), ({0: "a"}, TypeError), ([], ValueError),
                                ({0: (0, 15), 1: (0, 15), 2: (0, 15)}, ValueError)]:
            with self.subTest(channels=channels), self.assertRaises(error):
                k73.scans(channels)
        with self.assertRaises(ValueError):
            k73.scans([0], scan_type="fast")

    def test_missing_library_is_a_clear_error(self):
        with self.assertRaises(tovdrv.DriverNotFoundError) as caught:
            tovdrv.load_library("/nonexistent/libtovdrv.so")
        self.assertIn("cannot load", str(caught.exception))
        self.assertIsInstance(caught.exception, OSError)
        with self.assertRaises(TypeError):
            tovdrv.load_library(42)

    def test_scan_time_limits(self):
        k73 = tovdrv.Converter(sample_rate=1027, library=self.lib)
        k73.record.pointsPerScan = 6
        with self.assertRaises(tovdrv.ScanTimeError) as caught:
            k73.check_scan_time(0.0)
        shortest = caught.exception.shortest
        self.assertGreater(caught.exception.longest, shortest)
        fitted = k73.check_scan_time(shortest * 3)
        self.assertAlmostEqual(fitted.interval, shortest * 3, delta=0.001)
        self.assertEqual((fitted.shortest, fitted.averaging_halved), (shortest, False))


class AgainstTheSimulator(unittest.TestCase):
    """Real calls through the driver to k73sim on pseudo-terminals."""

    @classmethod
    def setUpClass(cls):
        cls.previous_dir = os.getcwd()
        cls.dir = tempfile.mkdtemp(prefix="k73py.")
        os.chdir(cls.dir)
        cls.sims = []
        try:
            cls.sims.append(start_sim(1))
            # Replies cut to three bytes: a 24-bit conversion misses its last.
            # Scans end in a wrong byte instead of the end marker.
            cls.sims.append(start_sim(2, "--misbehave", "short-reply=3",
                                      "--misbehave", "bad-end-marker"))
            cls.sims.append(start_sim(3))
            # The example logs on COM3 meanwhile, in a process of its own.
            with open("old.dat", "w") as f:
                f.write("earlier run\n")
            cls.log_scan = subprocess.Popen(
                [sys.executable, "-B", LOG_SCAN, "old.dat", "--port", "3", "--count", "4",
                 "--channels", "0,2:1-2,5", "--plot", "run.png"],
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if getattr(cls, "log_scan", None) and cls.log_scan.poll() is None:
            cls.log_scan.kill()
            cls.log_scan.wait()
        for sim in cls.sims:
            sim.send_signal(signal.SIGTERM)
        for sim in cls.sims:
            try:
                sim.wait(5)
            except subprocess.TimeoutExpired:
                sim.kill()
                sim.wait()
        os.chdir(cls.previous_dir)
        shutil.rmtree(cls.dir, ignore_errors=True)

    def test_conversions_scans_and_close(self):
        with tovdrv.Converter(port=1, sample_rate=1027) as k73:
            self.assertIs(k73.sign_on(), k73)
            self.assertEqual(k73.firmware_version, 100)
            self.assertAlmostEqual(k73.read_mv(), mv(0), delta=0.01)
            self.assertAlmostEqual(k73.read_mv(2, 3, settle=False), mv(2, 3), delta=0.01)
            self.assertGreater(k73.counts, 0)

            scans = k73.scans({0: 0, 1: (2, 3), 5: 0}, count=3)
            got = list(scans)
            want = [mv(0), mv(1, 2), mv(1, 3), mv(5)]
            self.assertEqual(len(got), 3)
            for values in got:
                self.assertEqual(len(values), 4)
                for v, w in zip(values, want):
                    self.assertAlmostEqual(v, w, delta=0.01)

            # A scan loop left early stops the stream; polled reads work again.
            endless = k73.scans({0: 0, 1: (2, 3), 5: 0})  # the same set-up: no new sign-on
            self.assertEqual(len(next(endless)), 4)
            with self.assertRaises(tovdrv.TovError):
                k73.read_mv()  # not while the converter is scanning
            endless.close()
            self.assertAlmostEqual(k73.read_mv(2, 2, settle=False), mv(2, 2), delta=0.01)
        self.assertFalse(k73.is_open)
        with self.assertRaises(tovdrv.PortNotOpenError):
            k73.read_mv()

    def test_failures_carry_the_driver_error_codes(self):
        with self.assertRaises(tovdrv.SignOnError):
            tovdrv.Converter(port=9).sign_on()  # no COM9 here
        with tovdrv.Converter(port=2) as k73:
            k73.sign_on()
            with self.assertRaises(tovdrv.ConversionError) as caught:
                k73.read_mv()
            self.assertEqual(caught.exception.code, 1)  # data not in time
            self.assertEqual(caught.exception.function, "GetConversion")
            scans = k73.scans([0, 1])
            with self.assertRaises(tovdrv.ScanError) as caught:
                next(scans)
            self.assertIn("End scan framing failure", str(caught.exception))
            self.assertFalse(k73._scanning)  # stopped on the way out
            with self.assertRaises(StopIteration):
                next(scans)

    def test_log_scan_appends_data_file_lines_and_plots(self):
        out, _ = self.log_scan.communicate(timeout=120)
        self.assertEqual(self.log_scan.returncode, 0, out)
        with open("old.dat") as f:
            lines = f.readlines()
        self.assertEqual(lines[0], "earlier run\n")
        self.assertEqual(len(lines), 5)
        want = [mv(0), mv(2, 1), mv(2, 2), mv(5)]
        for line in lines[1:]:
            # "%9.3lf  " per value: 11 characters each, nothing else.
            self.assertRegex(line, r"^( {0,8}-?\d+\.\d{3}  ){4}\n$")
            self.assertEqual(len(line), 4 * 11 + 1)
            for v, w in zip(map(float, line.split()), want):
                self.assertAlmostEqual(v, w, delta=0.01)
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            self.assertIn("no plot", out)
        else:
            with open("run.png", "rb") as f:
                self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")


if __name__ == "__main__":
    unittest.main()
