"""The package's own copies of the converter's rules and of the console's
settings file, held to the C and C++ code they mirror: the same inputs go
through both sides (mirror_oracle for the C side) and must come out equal."""

import glob
import os
import subprocess

import pytest

import k73
from k73 import _rules as rules

ORACLE = os.environ.get("MIRROR_ORACLE")
CORPUS = os.path.join(os.path.dirname(__file__), "..", "..", "fuzz", "corpus", "config_file_fuzz")

pytestmark = pytest.mark.skipif(not ORACLE, reason="mirror_oracle is not built")


def oracle(queries):
    """The C side's answer to each query (a tuple of the rule and its arguments)."""
    text = "".join("\t".join(str(a) for a in q) + "\n" for q in queries)
    out = subprocess.run([ORACLE], input=text.encode("utf-8"), stdout=subprocess.PIPE,
                         check=True, timeout=60).stdout.decode("utf-8")
    return out.split("\n")[:len(queries)]


def test_scan_rules_match_tovscan():
    queries, mine = [], []
    for i in range(-1, 8):
        queries.append(("baud", i))
        mine.append(str(rules.baud_rate(i)))
    for n in list(range(0, 300)) + [32768, 65536, 1 << 31]:
        queries.append(("averaging", n))
        mine.append(str(int(rules.averaging_offered(n))))
    for scan_type in (0, 1, 2):
        for points in range(0, 70):
            for word in (2, 3):
                queries.append(("fit", scan_type, points, word))
                mine.append(str(int(rules.scan_fits_buffer(scan_type, points, word))))
    for code in range(-1, 13):
        queries.append(("failure", code))
        mine.append(rules.scan_failure(code) or "-")
    for firmware in (0, 100, 101, 200):
        for preset in (-2, -1, 0, 1, 255, 256, 1000):
            for baud_index in range(6):
                for interval in (0.0, 0.001, 0.0123, 0.4999168, 0.5, 1.0, 2.0, 100.0, 3386.0,
                                 5000.0, 70000.0):
                    queries.append(("interval", repr(interval), firmware, preset, baud_index))
                    mine.append("%.17g" % rules.timer_interval(interval, firmware, preset,
                                                               baud_index))
    assert [(q, a) for q, a in zip(queries, mine)] == list(zip(queries, oracle(queries)))


CHANNEL_LISTS = [
    "0", "5", "0,1,2,3,4,5", "5,0", "1:3", "2:0-15", "0,1,4,5:0-3", "3:7-7",
    "0:1,0:3", "1,1", "6", "-1", "+1", " 1", "1 ", "", ",", "0,", "1:", "1:-", "1:3-",
    "1:3-2", "1:16", "1:0-16", "1:1-2-3", "001", "0001", "1:015", "a", "1:a", "\u0661",
    "1_0", "0x1", "1:2:3",
]


def test_channel_lists_are_taken_and_refused_as_the_logger_does():
    expected = oracle([("channels", text) for text in CHANNEL_LISTS])
    for text, theirs in zip(CHANNEL_LISTS, expected):
        try:
            table, _ = k73._checks.scan_table(k73.parse_channels(text))
            mine = "ok\t" + " ".join(str(e) for e in table)
        except ValueError as e:
            mine = "error\t%s" % e
        assert (text, mine) == (text, theirs)


def settings_line(s):
    return " ".join(
        ["%d" % v for v in (s.out_queue_size, s.in_queue_size, s.baud_index, s.device_index)]
        + ["%.17g" % s.scan_interval]
        + ["%d" % v for v in (s.points_per_scan, s.remote_avg, s.scan_type, *s.scan_table,
                              s.single_chan_code, s.channel, s.sub_channel,
                              s.bytes_per_conversion, s.bipolar, s.filter, s.gain)]
        + ["%.17g" % s.sample_rate]
        + ["%d" % v for v in (s.mode_low, s.mode_mid, s.mode_high, s.local_averaging)])


# Lines the C library reads its own way: only "\n" ends a line, its blanks
# only, hexadecimal reals, integers beyond 64 bits.
ODD_FILES = [
    b"1\r2\n3\n",
    b"1\x0b2\n3\n4\n0x1p-2\n",
    b"1\n2\n3\n\x1c4\n\x855\n",
    b"\xa01\n 2\n\t3\n",
    b"7\n99999999999999999999999\n-99999999999999999999999\n0\n0X1.8P1\n",
    b"1\n1\n1\n1\n0x\n",
    b"1\n1\n1\n1\n1e\n12\n0x10\n",
    b"1\n1\n1\n1\n.5e1x\n",
    b"1\n1\n1\n1\n" + b"1" * 90 + b"\n",
    b"1\n1\n1\n1\n1\x002\n",
]


def test_settings_files_load_alike_in_the_console_and_the_package(tmp_path):
    paths = sorted(glob.glob(os.path.join(CORPUS, "*")))
    assert paths, "the settings fuzz corpus is missing"
    for i, data in enumerate(ODD_FILES):
        path = tmp_path / ("odd%d.cfg" % i)
        path.write_bytes(data)
        paths.append(str(path))
    expected = oracle([("settings", p) for p in paths])
    for path, theirs in zip(paths, expected):
        assert (path, settings_line(k73.Settings.load(path))) == (path, theirs)
