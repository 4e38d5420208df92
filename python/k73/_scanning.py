"""Scanning: the converter measures a list of inputs on its own timer and
streams each scan; scans() yields them as Scan records, acquire() gathers
them into a Block."""

import ctypes
import datetime
import sys
from typing import Any, Iterator, List, Optional, Tuple

from . import _checks as check
from ._base import ConverterBase, exclusive
from . import _rules as rules
from ._library import SCAN_BUFFER_SIZE, SCAN_TYPES, SKIPPED_CHANNEL
from .errors import ScanError, ScanTimeError
from .scans import Block, Scan, ScanTime, require



class ScanningMixin(ConverterBase):

    @exclusive
    def check_scan_time(self, interval: Optional[float] = None) -> ScanTime:
        """Fits the interval (seconds; default: the record's) to the
        converter's timer for the scan set up in the record (CheckScanTime).
        Raises ScanTimeError when it lies outside the limits."""
        fits, times = self._scan_time(interval)
        if not fits:
            raise ScanTimeError("scan interval %.4f s is outside %.4f to %.4f s"
                                % (times.interval, times.shortest, times.longest),
                                times.shortest, times.longest)
        return times

    def _scan_time(self, interval: Optional[float]) -> Tuple[bool, ScanTime]:
        rec = self.record
        if interval is not None:
            rec.scanInterval = check.real("interval", interval, 0.0, 1e6)
        longest, shortest = ctypes.c_double(), ctypes.c_double()
        result = self._call("CheckScanTime", ctypes.byref(longest), ctypes.byref(shortest))
        return result != 0, ScanTime(rec.scanInterval, shortest.value, longest.value, result == 2)

    @exclusive
    def scans(self, channels: Any = None, interval: Optional[float] = None,
              count: Optional[int] = None, scan_type: str = "normal",
              digital_inputs: bool = False) -> Iterator[Scan]:
        """Runs the converter's own scanning and yields one Scan per scan.

        channels: {channel: (first code, last code)}, {channel: code}, an
        iterable of channels (code 0 each), or for scan_type "single" a
        channel or (channel, sub-channel); None takes the record's scan set-up
        (from_settings: the console's). scan_type: "normal",
        "self-calibrating" (the offset and full-scale calibration points come
        first) or "single". interval: seconds, default the shortest the
        converter allows; it is snapped to the converter's timer. count: scans
        to take, default until the generator is closed. digital_inputs: also
        read the digital inputs during the run (GetOneScanWithDigin); each
        scan carries the latest byte.

        When the first scan is asked for, the converter is signed on again if
        the scan set-up differs from what it last received (the table and
        interval reach it only at sign-on); scanning stops when the loop ends
        or the generator is closed."""
        rec = self.record
        if channels is None:
            kind = {v: k for k, v in SCAN_TYPES.items()}.get(rec.scanType, "normal")
            if scan_type == "normal":
                scan_type = kind
            if SCAN_TYPES.get(scan_type) == 0:
                channels = (rec.singleChanCode >> 4 & 7, rec.singleChanCode & 15)
            else:
                channels = {ch: (e >> 4 & 15, e & 15) for ch, e in enumerate(rec.scanTable)
                            if e != SKIPPED_CHANNEL and (e >> 4 & 15) <= (e & 15)}
            if interval is None:
                interval = rec.scanInterval
        if scan_type not in SCAN_TYPES:
            raise ValueError("scan_type must be one of %s" % ", ".join(SCAN_TYPES))
        if count is not None:
            count = check.integer("count", count, 0, sys.maxsize)
        kind = SCAN_TYPES[scan_type]
        cell = (0, 0)
        if kind == 0:
            cell = check.single_cell(channels)
            table, points = [SKIPPED_CHANNEL] * 6, 1
        else:
            table, points = check.scan_table(channels)
        self._check_not_scanning()
        if not rules.scan_fits_buffer(kind, points, rec.bytesPerConversion):
            raise ValueError("%d points do not fit the driver's %d-byte scan buffer"
                             % (points, SCAN_BUFFER_SIZE))
        if kind == 0:
            rec.channel, rec.subChannel = cell
            rec.singleChanCode = cell[0] << 4 | cell[1]
        for i, entry in enumerate(table):
            rec.scanTable[i] = entry
        rec.pointsPerScan = points
        rec.scanType = kind
        if interval is None:
            interval = self._scan_time(0.0)[1].shortest
        self.check_scan_time(interval)
        names = check.column_names(kind, table, cell)
        return self._scan_generator(count, names, digital_inputs)

    def acquire(self, channels: Any = None, interval: Optional[float] = None, count: int = 1,
                scan_type: str = "normal") -> Block:
        """Takes count scans as scans() does and returns them as a Block:
        a numpy array of count x points, times, and to_dataframe() for
        pandas. Needs numpy (checked before the converter is touched)."""
        require("numpy", "python3-numpy")
        count = check.integer("count", count, 1, sys.maxsize)
        run = self.scans(channels, interval, count, scan_type)
        taken = list(run)
        return Block(taken, taken[0].names)

    def _scan_generator(self, count: Optional[int], names: Tuple[str, ...],
                        digital_inputs: bool) -> Iterator[Scan]:
        with_digin = self._start_scanning(digital_inputs)
        rec = self.record
        # The scans' spacing as the converter's timer keeps it.
        interval = rules.timer_interval(rec.scanInterval, rec.firmwareVersion, rec.counterPreset,
                                        rec.baudIndex)
        values_per_scan = len(names)
        fresh = ctypes.c_uint8()
        digital_in: Optional[int] = None
        try:
            index = 0
            while count is None or index < count:
                values = self._one_scan(values_per_scan, with_digin, fresh)
                if fresh.value:
                    digital_in, fresh.value = int(rec.digitalIn), 0
                scan = Scan(index, datetime.datetime.now(datetime.timezone.utc),
                            index * interval, values, names, digital_in)
                index += 1
                yield scan
        finally:
            self._stop_scanning()

    @exclusive
    def _start_scanning(self, digital_inputs: bool) -> bool:
        rec = self.record
        # The scan table and interval reach the converter only at sign-on.
        if not self._open or self._scan_setup() != self._scan_setup_sent:
            self.sign_on()  # type: ignore[attr-defined]
        self._call("RemoteAvg")
        if rec.scanType == 0:
            self._call("SetChanCode")
        if not self._call("StartScanning"):
            raise ScanError("the converter did not start scanning", function="StartScanning")
        self._scanning = True
        return digital_inputs

    @exclusive
    def _one_scan(self, points: int, with_digin: bool, fresh: ctypes.c_uint8) -> Tuple[float, ...]:
        rec = self.record
        if with_digin:
            ok = self._call("GetOneScanWithDigin", ctypes.byref(fresh), 1)
            function = "GetOneScanWithDigin"
        else:
            ok, function = self._call("GetOneScan"), "GetOneScan"
        if not ok:
            code = rec.lastError
            raise ScanError(rules.scan_failure(code) or "scan failed, error %d" % code,
                            code=code, function=function)
        values: List[float] = []
        for _ in range(points):
            self._call("Gconv")
            values.append(rec.millivolts)
        if rec.scanType != 0:
            if not rules.end_marker_seen(rec):
                raise ScanError("End scan framing failure", code=1, function=function)
            self._call("RemFromBuffer", 1)
        return tuple(values)

    @exclusive
    def _stop_scanning(self) -> None:
        # After close() the port is gone and the stop was already sent.
        if self._scanning and self._open:
            self._call("StopScanning")  # which selects the record's input again
            self._selected = (self.record.channel, self.record.subChannel)
        self._scanning = False
