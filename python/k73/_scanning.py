"""Scanning: the converter measures a list of inputs on its own timer and
streams each scan; scans() yields them as Scan records, acquire() gathers
them into a Block."""

import contextlib
import ctypes
import datetime
import threading
import sys
from typing import Any, Iterator, List, Optional, Tuple

from . import _checks as check
from ._base import ConverterBase, exclusive
from . import _rules as rules
from ._library import SCAN_BUFFER_SIZE, SCAN_TYPES, SKIPPED_CHANNEL
from .errors import BusyError, ScanError, ScanTimeError
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
        interval reach it only at sign-on). Scanning stops when count scans
        are taken, when the generator is closed, or at stop() or close()
        (also from another thread): a loop left early with break leaves the
        converter scanning until one of these, so prefer scanning()."""
        names = self._set_up_scans(channels, interval, count, scan_type)
        return self._scan_generator(count, names, digital_inputs)

    @contextlib.contextmanager
    def scanning(self, channels: Any = None, interval: Optional[float] = None,
                 count: Optional[int] = None, scan_type: str = "normal",
                 digital_inputs: bool = False) -> Iterator[Iterator[Scan]]:
        """scans() as a context manager: the converter stops scanning when
        the block is left, also by an exception or Ctrl-C.

            with adc.scanning([0, 4], interval=1) as stream:
                for scan in stream:
                    ..."""
        stream = self.scans(channels, interval, count, scan_type, digital_inputs)
        try:
            yield stream
        finally:
            stream.close()  # type: ignore[attr-defined]  # stops a stream that started

    @exclusive
    def _set_up_scans(self, channels: Any, interval: Optional[float], count: Optional[int],
                      scan_type: str) -> Tuple[str, ...]:
        self._stop_request.clear()  # from here on a stop() ends this run
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
        return check.column_names(kind, table, cell)

    def acquire(self, channels: Any = None, interval: Optional[float] = None, count: int = 1,
                scan_type: str = "normal") -> Block:
        """Takes count scans as scans() does and returns them as a Block:
        a numpy array of count x points, times, and to_dataframe() for
        pandas. Needs numpy (checked before the converter is touched)."""
        require("numpy", "python3-numpy")
        count = check.integer("count", count, 1, sys.maxsize)
        names = self._set_up_scans(channels, interval, count, scan_type)
        run = self._scan_generator(count, names, False)
        try:
            taken = list(run)  # fewer than count after stop() or close()
        finally:
            run.close()
        return Block(taken, names)

    def _scan_generator(self, count: Optional[int], names: Tuple[str, ...],
                        digital_inputs: bool) -> Iterator[Scan]:
        if self._stop_request.is_set():
            return  # stopped while being set up
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
            while (count is None or index < count) and not self._stop_request.is_set():
                values = self._one_scan(values_per_scan, with_digin, fresh)
                if self._stop_request.is_set():
                    break
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
        self._scan_ended.clear()
        self._scan_thread = threading.get_ident()
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

    def _stop_scanning(self) -> None:
        # Waits for the record rather than refusing: the end of a run must
        # not fail because another thread is stopping or closing it too.
        if not self._owner.acquire(timeout=self.record.scanInterval + 5.0):
            raise BusyError("stop: COM%d is in use by another thread" % self.port,
                            function="stop")
        try:
            self._stop_scanning_now()
        finally:
            self._owner.release()

    def _stop_scanning_now(self) -> None:
        # After close() the port is gone and the stop was already sent.
        if self._scanning and self._open:
            self._call("StopScanning")  # which selects the record's input again
            self._selected = (self.record.channel, self.record.subChannel)
        self._scanning = False
        self._scan_thread = None
        self._scan_ended.set()

    def stop(self, timeout: Optional[float] = None) -> None:
        """Stops a scan run. From another thread: asks the thread that runs
        it to end its scans(), scanning() or acquire() after the scan under
        way (within one scan interval) and waits for it (up to timeout
        seconds, default the interval plus 5 s; then stops the converter
        itself). From the scanning thread: stops a stream left early."""
        if self._scan_thread != threading.get_ident():
            self._stop_request.set()  # also ends a run still being set up
            if not self._scanning:
                return
            wait = self.record.scanInterval + 5.0 if timeout is None else timeout
            if self._scan_ended.wait(max(0.0, wait)):
                return
            # The scanning thread is not taking scans (its loop is busy or
            # left): stop the converter between two of its calls.
            if not self._owner.acquire(timeout=1.0):
                raise BusyError("stop: COM%d is in use by another thread" % self.port,
                                function="stop")
            self._owner.release()
        if self._scanning:
            self._stop_request.set()
            self._stop_scanning()
