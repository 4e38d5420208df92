"""What the package checks and computes without a converter: the record
layout against the C header, argument checks, the settings file against
the console's own, and the optional numpy."""

import ctypes
import dataclasses
import os
import resource
import signal
import socket
import subprocess
import sys
import time

import pytest

import k73

TOVCON = os.environ.get("TOVCON")
K73LOG = os.environ.get("K73LOG")


def test_record_has_the_header_layout():
    out = subprocess.run([os.environ["RECORD_LAYOUT"]], check=True, capture_output=True,
                         text=True).stdout.split()
    record, fields = k73.DeviceRecord, dict(k73.DeviceRecord._fields_)
    c_top = []
    for name, *rest in (out[i:i + 4] for i in range(0, len(out) - 2, 4)):
        offset, size, kind = int(rest[0]), int(rest[1]), rest[2]
        owner, field, base = record, name, 0
        if "." in name:
            outer, field = name.split(".")
            base, owner = getattr(record, outer).offset, fields[outer]
        else:
            c_top.append(name)
        descriptor = getattr(owner, field)
        assert (base + descriptor.offset, descriptor.size) == (offset, size), name
        if kind != "-":
            ctype = dict(owner._fields_)[field]
            py_kind = "f" if ctype in (ctypes.c_float, ctypes.c_double) else \
                "i" if ctype(-1).value < 0 else "u"
            assert py_kind == kind, "signedness or kind of %s" % name
    assert out[-2:] == ["sizeof", str(ctypes.sizeof(record))]
    assert c_top == [n for n, _ in record._fields_]  # the same fields in the same order


@pytest.mark.parametrize("kwargs, error", [
    ({"port": "1"}, TypeError), ({"port": 1.0}, TypeError), ({"port": True}, TypeError),
    ({"port": 0}, ValueError), ({"port": 256}, ValueError), ({"baud": 9601}, ValueError),
    ({"baud": "9600"}, TypeError), ({"bits": 12}, ValueError), ({"gain": 3}, ValueError),
    ({"gain": 256}, ValueError), ({"sample_rate": 5}, ValueError),
    ({"sample_rate": "fast"}, TypeError), ({"remote_avg": 0}, ValueError),
    ({"filter": None}, TypeError)])
def test_bad_settings_are_refused(lib, kwargs, error):
    with pytest.raises(error):
        k73.Converter(library=lib, **kwargs)


def test_bad_channels_and_calls_before_sign_on_are_refused_at_once(lib):
    adc = k73.Converter(port=200, library=lib)
    for args, error in [(("0",), TypeError), ((8,), ValueError), ((0, 16), ValueError),
                        ((0.5,), TypeError)]:
        with pytest.raises(error):
            adc.read_mv(*args)
    for channels, error in [("012", TypeError), (5, TypeError), ({6: 0}, ValueError),
                            ({0: (3, 2)}, ValueError), ({0: "a"}, TypeError), ([], ValueError),
                            ({0: (0, 15), 1: (0, 15), 2: (0, 15)}, ValueError)]:
        with pytest.raises(error):
            adc.scans(channels)
    with pytest.raises(ValueError):
        adc.scans([0], scan_type="fast")
    started = time.monotonic()
    with pytest.raises(k73.PortNotOpenError, match="sign_on"):
        adc.read_mv(0)
    with pytest.raises(k73.PortNotOpenError):
        adc.digital_out = 1
    adc.close()  # closing an unopened converter is harmless
    assert time.monotonic() - started < 1.0  # not after the driver's write retries


def test_missing_driver_names_what_was_tried(monkeypatch):
    with pytest.raises(k73.DriverNotFoundError, match="/nonexistent/libtovdrv.so") as caught:
        k73.load_library("/nonexistent/libtovdrv.so")
    assert isinstance(caught.value, OSError)
    with pytest.raises(TypeError):
        k73.load_library(42)


def test_scan_time_limits(lib):
    adc = k73.Converter(sample_rate=1027, library=lib)
    adc.record.pointsPerScan = 6
    with pytest.raises(k73.ScanTimeError) as caught:
        adc.check_scan_time(0.0)
    shortest = caught.value.shortest
    assert caught.value.longest > shortest
    fitted = adc.check_scan_time(shortest * 3)
    assert fitted.interval == pytest.approx(shortest * 3, abs=0.001)
    assert (fitted.shortest, fitted.averaging_halved) == (shortest, False)


def test_column_names_are_the_loggers():
    from k73._checks import column_names, scan_table
    table, _ = scan_table({0: 0, 5: (1, 3)})
    assert column_names(1, table, (0, 0)) == ("ch0.0_mV", "ch5.1_mV", "ch5.2_mV", "ch5.3_mV")
    assert column_names(2, table, (0, 0))[:3] == ("cal_offset_mV", "cal_fullscale_mV", "ch0.0_mV")
    assert column_names(0, table, (3, 7)) == ("ch3.7_mV",)


def test_block_without_numpy_says_what_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "numpy", None)
    with pytest.raises(ImportError, match="python3-numpy"):
        k73.Block([], ())


SETTINGS_LINES = ["-5", "2048", "2", "0", "0.250000", "4", "8", "2", "1", "35", "16", "16",
                  "16", "0", "66", "4", "2", "2", "0", "1", "8", "100.000000", "1", "2", "3", "5"]


def test_settings_file_checks_as_the_console_does(tmp_path):
    path = tmp_path / "tovset.cfg"
    path.write_text("\n".join(SETTINGS_LINES) + "\n")
    s = k73.Settings.load(path)
    assert (s.out_queue_size, s.in_queue_size, s.baud_index, s.scan_interval) == \
        (4294967291, 2048, 2, 0.25)
    assert (s.scan_table, s.single_chan_code, s.bytes_per_conversion, s.bipolar) == \
        ((1, 35, 16, 16, 16, 0), 66, 2, 0)
    assert (s.gain, s.sample_rate, s.local_averaging) == (8, 100.0, 5)
    # Refused values and lines without a number keep the field as it was.
    bad = list(SETTINGS_LINES)
    bad[2], bad[4], bad[20], bad[21], bad[17] = "6", "-1", "3", "x", "4"
    path.write_text("\n".join(bad[:23]) + "\n")  # and the last three missing
    s = k73.Settings.load(path)
    assert (s.baud_index, s.scan_interval, s.gain, s.sample_rate, s.bytes_per_conversion) == \
        (0, 2.0, 1, 10.0, 3)
    assert (s.mode_mid, s.local_averaging) == (0, 1)
    with pytest.raises(OSError):
        k73.Settings.load(tmp_path / "missing.cfg")


def test_from_settings_checks_the_port_before_reading_the_file(tmp_path, lib):
    with pytest.raises(ValueError, match="port"):
        k73.Converter.from_settings(str(tmp_path / "missing.cfg"), port=0, library=lib)
    with pytest.raises(ValueError, match="remote_avg must be 1 to 128"):
        k73.Converter(remote_avg=256, library=lib)  # the sign-on would send its low byte, 0


def test_failed_sign_on_says_why_as_k73log_does(tmp_path, lib, monkeypatch):
    """No COM1, COM2 linking to nothing, COM3 to a remote host that does not
    answer: the exception and k73log's line give the same reason."""
    monkeypatch.chdir(tmp_path)
    os.symlink(str(tmp_path / "nothing"), "COM2")
    with socket.socket() as unused:  # a port nobody listens on
        unused.bind(("127.0.0.1", 0))
        address = "rfc2217://127.0.0.1:%d" % unused.getsockname()[1]
    os.symlink(address, "COM3")
    reasons = ["there is no COM1 in the current directory",
               "COM2 links to %s, which does not exist" % (tmp_path / "nothing"),
               "COM3 links to %s, whose host does not answer" % address]
    env = dict(os.environ, LD_LIBRARY_PATH=os.path.dirname(os.environ["TOVDRV_LIBRARY"]))
    for port, reason in zip((1, 2, 3), reasons):
        with k73.Converter(port=port, library=lib) as adc:
            with pytest.raises(k73.SignOnError) as failure:
                adc.sign_on()
        assert str(failure.value).startswith("no converter signs on at COM%d: %s (error "
                                              % (port, reason))
        if K73LOG:
            log = subprocess.run([K73LOG, "--port", "COM%d" % port, "--count", "1", "-o", "-"],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env,
                                 timeout=60)
            assert "k73log: no converter answers on COM%d: %s\n" % (port, reason) \
                in log.stderr.decode()


def test_settings_save_on_a_full_disk_leaves_the_old_file(tmp_path):
    """A disk that fills part-way through the save, as a file-size limit makes
    it: OSError, the old file whole, nothing left beside it."""
    path = tmp_path / "tovset.cfg"
    path.write_text("\n".join(SETTINGS_LINES) + "\n")
    old = path.read_bytes()
    limit = resource.getrlimit(resource.RLIMIT_FSIZE)
    previous = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # EFBIG rather than the signal
    resource.setrlimit(resource.RLIMIT_FSIZE, (40, limit[1]))
    try:
        with pytest.raises(OSError):
            k73.Settings().save(path)
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, limit)
        signal.signal(signal.SIGXFSZ, previous)
    assert path.read_bytes() == old
    assert os.listdir(tmp_path) == ["tovset.cfg"]


@pytest.mark.skipif(not TOVCON, reason="the console program is not built")
def test_settings_file_round_trip_with_the_console(tmp_path, lib):
    """The console's file reads as its defaults; a file written here goes
    through the console (loaded at start, saved at exit) unchanged."""
    env = dict(os.environ, LD_LIBRARY_PATH=os.path.dirname(os.environ["TOVDRV_LIBRARY"]))

    def console(keys):
        # Any key past the notice (and the four "unable to read" messages
        # without a file), Esc, and "y" to the save question.
        proc = subprocess.Popen([TOVCON], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, cwd=tmp_path, env=env)
        proc.stdin.write(keys + b"\x1b")
        proc.stdin.flush()
        time.sleep(0.5)  # so that "y" is not read as part of an escape sequence
        proc.communicate(b"y", timeout=20)

    path = tmp_path / "tovset.cfg"
    console(b"xxxxx")
    assert k73.Settings.load(path) == k73.Settings()
    written = path.read_bytes()
    k73.Settings.load(path).save(path)
    assert path.read_bytes() == written

    path.write_text("\n".join(SETTINGS_LINES) + "\n")
    k73.Settings.load(path).save(path)
    mine = path.read_bytes()
    assert mine == ("\n".join(SETTINGS_LINES) + "\n").encode()
    console(b"x")
    assert path.read_bytes() == mine
    adc = k73.Converter.from_settings(path, port=3, library=lib)
    assert (adc.record.deviceIndex, adc.baud, adc.record.gain, adc.local_averaging) == (2, 2400, 8, 5)
    assert adc.settings == dataclasses.replace(k73.Settings.load(path), device_index=2)


def test_package_version_is_the_projects():
    with open(os.path.join(os.environ["K73_PYTHON_DIR"], "pyproject.toml")) as f:
        assert 'version = "%s"\n' % os.environ["K73_VERSION"] in f.read()
    assert k73.__version__ == os.environ["K73_VERSION"]
