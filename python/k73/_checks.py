"""Argument checks that keep a bad call from reaching the driver, and the
scan table built from a channel list."""

import collections.abc
import numbers
from typing import Any, Dict, List, Mapping, Optional, Tuple, Union

from ._library import SKIPPED_CHANNEL
from ._rules import averaging_offered

# {channel: (first code, last code)}, {channel: code}, or channels (code 0).
Channels = Union[Mapping[int, Union[int, Tuple[int, int]]], "collections.abc.Iterable[int]"]


def integer(name: str, value: Any, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError("%s must be an integer, not %s" % (name, type(value).__name__))
    if not low <= value <= high:
        raise ValueError("%s must be %d to %d, not %d" % (name, low, high, value))
    return int(value)


def real(name: str, value: Any, low: float, high: float) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError("%s must be a number, not %s" % (name, type(value).__name__))
    if not low <= value <= high:
        raise ValueError("%s must be %g to %g, not %g" % (name, low, high, value))
    return float(value)


def power_of_two(name: str, value: Any, high: int) -> int:
    value = integer(name, value, 1, high)
    if value & (value - 1):
        raise ValueError("%s must be a power of two, not %d" % (name, value))
    return value


def averaging(name: str, value: Any) -> int:
    value = integer(name, value, 1, 128)
    if not averaging_offered(value):
        raise ValueError("%s must be a power of two, not %d" % (name, value))
    return value


def scan_table(channels: Any) -> Tuple[List[int], int]:
    """The six scan table entries and the number of points of a channel list."""
    if isinstance(channels, (str, bytes)) or not isinstance(channels, collections.abc.Iterable):
        raise TypeError("channels must be a mapping or an iterable of channel numbers")
    if not isinstance(channels, collections.abc.Mapping):
        channels = {ch: (0, 0) for ch in channels}
    table = [SKIPPED_CHANNEL] * 6
    for ch, codes in channels.items():
        ch = integer("channel", ch, 0, 5)
        if isinstance(codes, numbers.Integral) and not isinstance(codes, bool):
            codes = (codes, codes)
        if not isinstance(codes, (tuple, list)) or len(codes) != 2:
            raise TypeError("control codes of channel %d must be a code or a (first, last) pair" % ch)
        first = integer("first control code", codes[0], 0, 15)
        last = integer("last control code", codes[1], first, 15)
        table[ch] = first << 4 | last
    points = table_points(table)
    if points == 0:
        raise ValueError("a scan needs at least one channel")
    return table, points


def table_points(table: List[int]) -> int:
    """Points of a scan table; an entry whose last code is below its first is skipped."""
    return sum(max(0, (e & 15) - (e >> 4 & 15) + 1) for e in table)


def single_cell(channels: Any) -> Tuple[int, int]:
    """A single-channel scan's (channel, sub-channel) from a channel or a pair."""
    if isinstance(channels, (tuple, list)) and len(channels) == 2:
        return (integer("channel", channels[0], 0, 7), integer("sub_channel", channels[1], 0, 15))
    return integer("channel", channels, 0, 7), 0


def column_names(scan_type: int, table: List[int], cell: Tuple[int, int]) -> Tuple[str, ...]:
    """The names of a scan's values in data-file order, as the logger's csv
    names its columns: the two calibration points first for self-calibrating
    scans, then channel 0 to 5 with each control code from first to last."""
    if scan_type == 0:
        return ("ch%d.%d_mV" % cell,)
    names = ["cal_offset_mV", "cal_fullscale_mV"] if scan_type == 2 else []
    for ch, entry in enumerate(table):
        names += ["ch%d.%d_mV" % (ch, code) for code in range(entry >> 4 & 15, (entry & 15) + 1)]
    return tuple(names)


def _list_number(text: str, high: int) -> Optional[int]:
    """A whole decimal number from 0 to high, nothing else (no sign, no blanks)."""
    if not 1 <= len(text) <= 3 or any(c not in "0123456789" for c in text):
        return None
    value = int(text)
    return value if value <= high else None


def parse_channels(text: str) -> Dict[int, Tuple[int, int]]:
    """'0,1,5:0-3' -> {0: (0, 0), 1: (0, 0), 5: (0, 3)}: comma-separated CH
    (control code 0), CH:CODE or CH:FIRST-LAST, taken and refused as the
    logger takes and refuses them (a channel listed twice too), with its
    messages."""
    channels: Dict[int, Tuple[int, int]] = {}
    for item in text.split(","):
        ch_text, colon, codes = item.partition(":")
        ch = _list_number(ch_text, 5)
        if ch is None:
            raise ValueError('channels are 0 to 5, not "%s"' % item)
        first = last = 0
        if colon:
            first_text, dash, last_text = codes.partition("-")
            low = _list_number(first_text, 15)
            high = _list_number(last_text, 15) if dash else low
            if low is None or high is None or high < low:
                raise ValueError('control codes are 0 to 15 as CODE or FIRST-LAST, not "%s"'
                                 % item)
            first, last = low, high
        if ch in channels:
            raise ValueError("channel %d is listed twice" % ch)
        channels[ch] = (first, last)
    return dict(sorted(channels.items()))
