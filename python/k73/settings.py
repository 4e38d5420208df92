"""The console's settings file "tovset.cfg": 26 lines of one number each, in
a fixed order and without names, read and written exactly as the console
program reads and writes it."""

import contextlib
import ctypes
import dataclasses
import math
import os
import re
from typing import Any, Callable, Dict, List, Optional, Tuple, Union

__all__ = ["Settings"]

_LINE_SIZE = 80  # the console reads a line in pieces of at most 79 characters
# What the console's number reading takes (the C library's, in the "C"
# locale): its blanks only, then a decimal integer, or a decimal or
# hexadecimal real, an infinity or a NaN.
_BLANKS = "[ \t\n\v\f\r]*"
_INTEGER = re.compile(_BLANKS + "([+-]?[0-9]+)")
_HEX = "0[xX]([0-9a-fA-F]+\\.?[0-9a-fA-F]*|\\.[0-9a-fA-F]+)([pP][+-]?[0-9]+)?"
_DECIMAL = "([0-9]+\\.?[0-9]*|\\.[0-9]+)([eE][+-]?[0-9]+)?"
_REAL = re.compile(_BLANKS + "([+-]?)(?:(%s)|(%s)|(inf(?:inity)?|nan(?:\\([0-9A-Za-z_]*\\))?))"
                   % (_HEX, _DECIMAL), re.IGNORECASE)
_LLONG = 1 << 63
_FLT_MAX = 3.4028234663852886e38


def _int16(n: int) -> int:
    return ctypes.c_int16(n).value


def _uint32(n: int) -> int:
    return ctypes.c_uint32(n).value


def _is_gain(g: int) -> bool:
    return 1 <= g <= 128 and g & (g - 1) == 0


@dataclasses.dataclass
class Settings:
    """One device record's settings as the console keeps them, field by
    field in file order, plus the console's local-averaging count. The
    defaults are those the console uses when the file cannot be opened."""
    out_queue_size: int = 1
    in_queue_size: int = 1024
    baud_index: int = 0  # 9600, 4800, 2400, 1200, 600, 300
    device_index: int = 0
    scan_interval: float = 2.0
    points_per_scan: int = 6
    remote_avg: int = 1
    scan_type: int = 1  # 0 single channel, 1 normal, 2 self-calibrating
    scan_table: Tuple[int, ...] = (0, 0, 0, 0, 0, 0)  # first code << 4 | last code
    single_chan_code: int = 0
    channel: int = 0
    sub_channel: int = 0
    bytes_per_conversion: int = 3
    bipolar: int = 1
    filter: int = 2
    gain: int = 1
    sample_rate: float = 10.0
    mode_low: int = 0
    mode_mid: int = 0
    mode_high: int = 0
    local_averaging: int = 1

    @classmethod
    def load(cls, path: Union[str, "os.PathLike[str]"] = "tovset.cfg") -> "Settings":
        """Reads a settings file. A line without a number, a missing line or a
        value the console would refuse (a baud index outside the table, a
        gain that is no power of two, ...) leaves that field at its default.
        Raises OSError when the file cannot be read."""
        settings = cls()
        with open(path, "rb") as f:
            text = f.read().decode("latin-1")
        for number, line in enumerate(_console_lines(text)[:26], start=1):
            _store(settings, number, line)
        return settings

    def save(self, path: Union[str, "os.PathLike[str]"] = "tovset.cfg") -> None:
        """Writes the file as the console does, byte for byte. Raises OSError,
        with the file left as it was, when it cannot be written whole."""
        lines = [_uint32_as_int(self.out_queue_size), _uint32_as_int(self.in_queue_size),
                 self.baud_index, self.device_index, "%f" % self.scan_interval,
                 self.points_per_scan, _uint32_as_int(self.remote_avg), self.scan_type,
                 *self.scan_table, self.single_chan_code, self.channel, self.sub_channel,
                 self.bytes_per_conversion, self.bipolar, self.filter, self.gain,
                 "%f" % self.sample_rate, self.mode_low, self.mode_mid, self.mode_high,
                 _int16(self.local_averaging)]
        text = "".join("%s%s" % (value, os.linesep) for value in lines)
        # Written whole beside the file (as the console does, "<name>.tmp"),
        # then put in its place in one step: a full disk or a crash part-way
        # leaves the old file as it was.
        temporary = os.fspath(path) + ".tmp"
        try:
            with open(temporary, "w", newline="") as f:
                f.write(text)
                f.flush()
                os.fsync(f.fileno())
            os.replace(temporary, path)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
            raise

    @classmethod
    def from_record(cls, rec: Any, local_averaging: int = 1) -> "Settings":
        fields = {f.name: getattr(rec, _RECORD_NAMES[f.name])
                  for f in dataclasses.fields(cls) if f.name in _RECORD_NAMES}
        fields["scan_table"] = tuple(rec.scanTable)
        return cls(local_averaging=local_averaging, **fields)

    def apply(self, rec: Any) -> None:
        """Stores every field in the record (the mode word too; the driver
        rebuilds it at sign-on)."""
        for name, field in _RECORD_NAMES.items():
            setattr(rec, field, getattr(self, name))
        for i, entry in enumerate(self.scan_table):
            rec.scanTable[i] = entry


_RECORD_NAMES: Dict[str, str] = {
    "out_queue_size": "outQueueSize", "in_queue_size": "inQueueSize", "baud_index": "baudIndex",
    "device_index": "deviceIndex", "scan_interval": "scanInterval",
    "points_per_scan": "pointsPerScan", "remote_avg": "remoteAvg", "scan_type": "scanType",
    "single_chan_code": "singleChanCode", "channel": "channel", "sub_channel": "subChannel",
    "bytes_per_conversion": "bytesPerConversion", "bipolar": "bipolar", "filter": "filter",
    "gain": "gain", "sample_rate": "sampleRate", "mode_low": "modeLow", "mode_mid": "modeMid",
    "mode_high": "modeHigh",
}


def _uint32_as_int(n: int) -> int:
    """Unsigned 32-bit fields are written as signed decimal, as "%d" writes them."""
    return ctypes.c_int32(n).value


def _console_lines(text: str) -> List[str]:
    """The file as the console's line reader sees it: lines ended by "\\n"
    only, a longer one cut into pieces of 79 characters, each piece counting
    as a line."""
    lines = []
    start = 0
    while start < len(text):
        end = text.find("\n", start, start + _LINE_SIZE - 1)
        end = min(start + _LINE_SIZE - 1, len(text)) if end < 0 else end + 1
        lines.append(text[start:end])
        start = end
    return lines


def _integer(line: str) -> Optional[int]:
    """The decimal integer a line starts with, held to the 64-bit range as the
    C library holds it, then cut to its low 32 bits."""
    m = _INTEGER.match(line)
    if m is None:
        return None
    n = min(max(int(m.group(1)), -_LLONG), _LLONG - 1)
    return ctypes.c_int32(n & 0xFFFFFFFF).value


def _real(line: str) -> Optional[float]:
    m = _REAL.match(line)
    if m is None:
        return None
    sign, hexadecimal, decimal = m.group(1), m.group(2), m.group(5)
    if hexadecimal:
        try:
            return float.fromhex(sign + hexadecimal)
        except OverflowError:
            return math.inf
    if decimal:
        return float(sign + decimal)
    return math.nan  # an infinity or a NaN: refused either way


# Line number -> (field, the value to store or None to refuse it).
_Rule = Tuple[str, Callable[[int], Optional[int]]]
_RULES: Dict[int, _Rule] = {
    1: ("out_queue_size", _uint32),
    2: ("in_queue_size", _uint32),
    3: ("baud_index", lambda n: _int16(n) if 0 <= _int16(n) <= 5 else None),
    4: ("device_index", _int16),
    6: ("points_per_scan", lambda n: _int16(n) if 0 <= _int16(n) <= 96 else None),
    7: ("remote_avg", lambda n: _uint32(n) if n != 0 else None),
    8: ("scan_type", lambda n: _int16(n) if 0 <= _int16(n) <= 2 else None),
    15: ("single_chan_code", lambda n: _int16(n) if 0 <= _int16(n) <= 0x7F else None),
    16: ("channel", lambda n: _int16(n) if 0 <= _int16(n) <= 7 else None),
    17: ("sub_channel", lambda n: _int16(n) if 0 <= _int16(n) <= 15 else None),
    18: ("bytes_per_conversion", lambda n: _int16(n) if _int16(n) in (2, 3) else None),
    19: ("bipolar", _int16),
    20: ("filter", lambda n: _int16(n) if 0 <= _int16(n) <= 2 else None),
    21: ("gain", lambda n: _int16(n) if _is_gain(_int16(n)) else None),
    23: ("mode_low", _int16),
    24: ("mode_mid", _int16),
    25: ("mode_high", _int16),
    26: ("local_averaging", lambda n: _int16(n) if _int16(n) >= 1 else None),
}


def _store(settings: Settings, number: int, line: str) -> None:
    if number in (5, 22):
        x = _real(line)
        # Refused as the console refuses them: not a positive finite number,
        # too long to write back on one line, or beyond the float range.
        if x is None or not math.isfinite(x) or x <= 0 or len("%f" % x) >= _LINE_SIZE - 1:
            return
        if number == 5:
            settings.scan_interval = x
        elif x <= _FLT_MAX:
            settings.sample_rate = ctypes.c_float(x).value
        return
    n = _integer(line)
    if n is None:
        return
    if 9 <= number <= 14:
        entry = _int16(n)
        if 0 <= entry <= 0xFF:
            table = list(settings.scan_table)
            table[number - 9] = entry
            settings.scan_table = tuple(table)
        return
    field, rule = _RULES[number]
    value = rule(n)
    if value is not None:
        setattr(settings, field, value)
