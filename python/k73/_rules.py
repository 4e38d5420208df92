"""The converter's rules every client needs, as common/tovscan.h writes them
for the C and C++ programs; the package's tests compare the two, value for
value."""

import math
from typing import Any, Optional

SCAN_BUFFER_SIZE = 128
BAUD_RATES = (9600, 4800, 2400, 1200, 600, 300)  # by baudIndex
END_MARKER = 0x0F

# What a failed GetOneScan means, by the lastError it left.
SCAN_FAILURES = {
    1: "Start scan framing failure",
    2: "not enough chars, possible communications error",
    3: "buffer overflow",
    10: "scan rate too fast for this scan type",
}


def baud_rate(baud_index: int) -> int:
    """The line rate of a baudIndex; 0 for an index with no rate."""
    return BAUD_RATES[baud_index] if 0 <= baud_index < len(BAUD_RATES) else 0


def averaging_offered(count: int) -> bool:
    """A power of two from 1 to 128: the sign-on sends the averaging count's
    low byte, so 256 and above would reach the converter as something else."""
    return 1 <= count <= 128 and not count & (count - 1)


def scan_failure(code: int) -> Optional[str]:
    return SCAN_FAILURES.get(code)


def scan_bytes(scan_type: int, points: int, word_bytes: int) -> int:
    """Bytes of one scan on the wire, markers and calibration points included."""
    if scan_type == 0:
        return word_bytes
    if scan_type == 2:
        return (points + 2) * word_bytes + 2
    return points * word_bytes + 2


def scan_fits_buffer(scan_type: int, points: int, bytes_per_conversion: int) -> bool:
    n = scan_bytes(scan_type, points, 3 if bytes_per_conversion == 3 else 2)
    return 1 <= n <= SCAN_BUFFER_SIZE


def end_marker_seen(rec: Any) -> bool:
    return rec.scanBufferCount > 0 and rec.scanBuffer[0] == END_MARKER


def _shift(baud_index: int) -> int:
    return baud_index if 0 <= baud_index <= 5 else 0


def timer_count(interval: float, counter_preset: int, baud_index: int) -> int:
    """The scan timer's count the sign-on sends for the interval, as the
    converter assembles it from three bytes."""
    base = 4882.8125 if counter_preset >= 0 else 3906.25
    x = base / float(1 << _shift(baud_index)) * (interval + 0.00005) - 1
    if not x > -1e12:
        x = 0.0 if math.isnan(x) else -1e12
    x = min(x, 1e12)
    high = math.trunc(x / 65536)
    mid = math.trunc((x - high * 65536.0) / 256)
    low = math.trunc(x - high * 65536.0 - mid * 256.0)
    return (high & 0xFF) << 16 | (mid & 0xFF) << 8 | (low & 0xFF)


def timer_ticks_per_second(firmware: int, counter_preset: int, baud_index: int) -> float:
    """3906.25 Hz / 2^baudIndex, or 4882.8125 Hz on firmware above 100 whose
    counter 0 holds a preset (a counterPreset of -1 or 255 loads 0x00FF: none)."""
    high = int(counter_preset / 256)  # toward zero, as C divides
    counter0 = (high & 0xFF) << 8 | ((counter_preset - high * 256) & 0xFF)
    preset = firmware > 100 and counter0 != 0xFF
    return (4882.8125 if preset else 3906.25) / float(1 << _shift(baud_index))


def timer_interval(interval: float, firmware: int, counter_preset: int, baud_index: int) -> float:
    """Seconds between scans as the converter's timer keeps them after a
    sign-on with this interval: on firmware above 100 without a preset not
    the interval CheckScanTime snapped to."""
    return ((timer_count(interval, counter_preset, baud_index) + 1)
            / timer_ticks_per_second(firmware, counter_preset, baud_index))
