"""k73.Converter: one Model K73 on one port, every driver export a script
needs as a method or property."""

import ctypes
import threading
from typing import Any, Optional

from . import _checks as check
from ._base import ConverterBase, exclusive
from ._commands import CommandsMixin
from ._library import PORT_SLOTS, DeviceRecord, load_library
from ._port_check import trouble_with
from ._rules import BAUD_RATES
from ._scanning import ScanningMixin
from .errors import BusyError, ConversionError, SignOnError
from .settings import Settings

__all__ = ["Converter", "debug_log"]


class Converter(CommandsMixin, ScanningMixin, ConverterBase):
    """One Model K73 on port COM<port>.

    On Linux the port is the file "COM<port>" in the current directory: a
    link to the serial device or to k73sim's pseudo-terminal. Settings are
    checked here and reach the converter at sign_on():

        baud          9600, 4800, 2400, 1200, 600 or 300
        bits          24 or 16 (conversion word length)
        bipolar       True: -5000 to +5000 mV; False: 0 to 5000 mV
        gain          1, 2, 4, ... 128
        sample_rate   conversions per second, 10 to 1027
        filter        0 (4 Hz), 1 (40 Hz) or 2 (400 Hz)
        remote_avg    averaging inside the converter, a power of two
        in_queue_size the port's input queue in bytes

    Use it as a context manager: the converter is taken off line and the
    port closed at the end. Failures raise k73.TovError subclasses carrying
    the driver's error code. A Converter belongs to one thread at a time
    (another thread gets BusyError); converters on different ports may run
    in different threads at once.
    """

    def __init__(self, port: int = 1, *, baud: int = 9600, bits: int = 24, bipolar: bool = True,
                 gain: int = 1, sample_rate: float = 10.0, filter: int = 2, remote_avg: int = 1,
                 in_queue_size: int = 1024, library: Any = None) -> None:
        port = check.integer("port", port, 1, PORT_SLOTS)
        if check.integer("baud", baud, 300, 9600) not in BAUD_RATES:
            raise ValueError("baud must be one of %s, not %r" % (BAUD_RATES, baud))
        if check.integer("bits", bits, 16, 24) not in (16, 24):
            raise ValueError("bits must be 16 or 24, not %r" % (bits,))
        settings = Settings(baud_index=BAUD_RATES.index(baud),
                            bytes_per_conversion=3 if bits == 24 else 2,
                            bipolar=1 if bipolar else 0,
                            gain=check.power_of_two("gain", gain, 128),
                            sample_rate=check.real("sample_rate", sample_rate, 10.0, 1027.0),
                            filter=check.integer("filter", filter, 0, 2),
                            remote_avg=check.averaging("remote_avg", remote_avg),
                            in_queue_size=check.integer("in_queue_size", in_queue_size, 11, 1 << 20))
        super().__init__()
        self._lib = library if library is not None else load_library()
        self.record = DeviceRecord()
        settings.apply(self.record)
        self.record.deviceIndex = port - 1
        self.record.counterPreset = -1  # no timer preset
        self.record.digitalOut = -1
        self.port = port
        self.local_averaging = 1  # conversions read_mv averages

    @classmethod
    def from_settings(cls, path: str = "tovset.cfg", port: int = 1, *,
                      library: Any = None) -> "Converter":
        """A Converter (not yet signed on) with the console's settings file:
        link, converter and scan set-up and the local averaging, checked as
        the console checks them. The file holds one set of settings for every
        device, so the port is given here. Raises OSError when the file
        cannot be read."""
        port = check.integer("port", port, 1, PORT_SLOTS)
        settings = Settings.load(path)
        conv = cls(port, library=library)
        settings.apply(conv.record)
        conv.record.deviceIndex = conv.port - 1  # the file's device number never selects a port
        conv.local_averaging = settings.local_averaging
        return conv

    @property
    def settings(self) -> Settings:
        """The record's settings in the console's settings-file form."""
        return Settings.from_record(self.record, self.local_averaging)

    def __repr__(self) -> str:
        return "<k73.Converter COM%d %s>" % (self.port, "on line" if self._open else "off line")

    # Life cycle

    @exclusive
    def sign_on(self) -> "Converter":
        """Brings the converter on line (300-baud wake-up, baud switch, full
        configuration). Calibrates nothing. Raises SignOnError."""
        self._check_not_scanning()
        if not self._call("SignOn"):
            self._open = False
            code = int(self.record.lastError)
            trouble = trouble_with(self.port)
            raise SignOnError("no converter signs on at COM%d%s (error %d)"
                              % (self.port, ": " + trouble if trouble else "", code),
                              code=code, function="SignOn")
        self._open = True
        self._scan_setup_sent = self._scan_setup()
        self._selected = None  # a sign-on selects no input of ours
        return self

    def close(self) -> None:
        """Takes the converter off line and closes the port; safe to repeat.
        From another thread it first ends a scan run there (see stop())."""
        if self._scan_thread != threading.get_ident():
            self.stop()  # ends a run of another thread, also one being set up
        if not self._owner.acquire(timeout=self.record.scanInterval + 5.0):
            raise BusyError("close: COM%d is in use by another thread" % self.port,
                            function="close")
        try:
            self._call("CloseDevice")  # which also stops a scan run
            self._open = False
            self._scanning = False
            self._stop_request.set()  # a stream left suspended ends when resumed
            self._scan_thread = None
            self._scan_ended.set()
        finally:
            self._owner.release()

    def __enter__(self) -> "Converter":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    @property
    def is_open(self) -> bool:
        return self._open

    @property
    def firmware_version(self) -> int:
        """The version byte the converter gave at sign-on (see get_version)."""
        return int(self.record.firmwareVersion)

    @exclusive
    def get_version(self) -> int:
        """Asks the converter for its firmware version."""
        self._command("GetVer", "version query")
        return int(self.record.firmwareVersion)

    # Polled conversions

    @exclusive
    def read_mv(self, channel: Optional[int] = None, sub_channel: Optional[int] = None,
                settle: bool = True, average: Optional[int] = None) -> float:
        """One reading in millivolts (default: the input last read), the mean
        of `average` conversions (default: local_averaging). An input the
        converter has not been told since sign-on is selected first and,
        with settle, the filter given time (0.5 s, 8.5 s at 4 Hz) to settle."""
        rec = self.record
        ch = rec.channel if channel is None else check.integer("channel", channel, 0, 7)
        sub = rec.subChannel if sub_channel is None else check.integer("sub_channel", sub_channel, 0, 15)
        n = self.local_averaging if average is None else check.integer("average", average, 1, 1 << 15)
        self._check_open("read_mv")
        self._check_not_scanning()
        if (ch, sub) != self._selected:
            rec.channel, rec.subChannel = ch, sub
            self._command("SetChanCode", "channel %d.%d selection" % (ch, sub))
            self._selected = (ch, sub)
            if settle:
                self._call("FilterDelay")
        total = 0.0
        for _ in range(n):
            if not self._call("GetConversion"):
                code = rec.lastError
                raise ConversionError("conversion on channel %d.%d failed, error %d (0x%X)"
                                      % (ch, sub, code, code), code=code, function="GetConversion")
            total += rec.millivolts
        return total / n

    @property
    def counts(self) -> int:
        """Raw counts of the last conversion."""
        return int(self.record.counts)

    @exclusive
    def counts_to_mv(self, counts: int) -> float:
        """Millivolts of a raw conversion word at the record's word length and polarity."""
        rec, saved = self.record, self.record.counts
        rec.counts = check.integer("counts", counts, 0, (1 << 24) - 1)
        try:
            return float(self._call("Counts2Volts"))
        finally:
            rec.counts = saved

    @exclusive
    def select(self, channel: int, sub_channel: int = 0) -> None:
        """Selects the input of the next conversions (no settling wait)."""
        self.record.channel = check.integer("channel", channel, 0, 7)
        self.record.subChannel = check.integer("sub_channel", sub_channel, 0, 15)
        self._command("SetChanCode", "channel selection")
        self._selected = (channel, sub_channel)

    @exclusive
    def filter_delay(self) -> None:
        """Waits for the filter to settle on a new input: 8.5 s at 4 Hz, else 0.5 s."""
        self._call("FilterDelay")



def debug_log(level: int = 1, library: Any = None) -> bool:
    """Opens the driver's process-wide debug log "K73_debug.txt" in the
    current directory (DoDebug); False when it cannot be created."""
    lib = library if library is not None else load_library()
    return bool(lib.DoDebug(ctypes.byref(DeviceRecord()), check.integer("level", level, 0, 255)))
