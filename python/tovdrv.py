"""Python binding of the Model K73 driver (libtovdrv), standard library only.

    import tovdrv
    with tovdrv.Converter(port=1) as k73:          # COM1
        k73.sign_on()
        print(k73.read_mv(channel=0))               # one conversion, millivolts
        for values in k73.scans({0: (0, 3), 5: (0, 0)}, count=10):
            print(values)                           # one list of millivolts per scan

The driver is found through $TOVDRV_LIBRARY, else by the system's library
search (libtovdrv.so, then its SONAME libtovdrv.so.1; tovdrv.dll on Windows).
Failures raise TovError subclasses that carry the driver's error code.
"""

import collections
import collections.abc
import ctypes
import numbers
import os
import sys

__all__ = [
    "Converter", "DeviceRecord", "ScanTime", "load_library",
    "TovError", "DriverNotFoundError", "PortNotOpenError", "SignOnError",
    "ConversionError", "ScanError", "ScanTimeError",
]

SCAN_BUFFER_SIZE = 128
REPLY_SIZE = 26
PORT_SLOTS = 255
BAUD_RATES = (9600, 4800, 2400, 1200, 600, 300)  # by baudIndex
SCAN_TYPES = {"single": 0, "normal": 1, "self-calibrating": 2}
SKIPPED_CHANNEL = 0x10  # first code 1, last code 0
END_MARKER = 0x0F

_u8, _i16, _i32, _u32 = ctypes.c_uint8, ctypes.c_int16, ctypes.c_int32, ctypes.c_uint32
_WINDOWS = sys.platform == "win32"

# The port status and settings structures embedded in the record: the
# platform's own on Windows, the driver's stand-ins elsewhere.
if _WINDOWS:
    class ComStat(ctypes.Structure):
        _fields_ = [("flags", _u32), ("cbInQue", _u32), ("cbOutQue", _u32)]

    class Dcb(ctypes.Structure):
        _fields_ = [("DCBlength", _u32), ("BaudRate", _u32), ("flags", _u32),
                    ("wReserved", ctypes.c_uint16), ("XonLim", ctypes.c_uint16),
                    ("XoffLim", ctypes.c_uint16), ("ByteSize", _u8), ("Parity", _u8),
                    ("StopBits", _u8), ("XonChar", ctypes.c_char), ("XoffChar", ctypes.c_char),
                    ("ErrorChar", ctypes.c_char), ("EofChar", ctypes.c_char),
                    ("EvtChar", ctypes.c_char), ("wReserved1", ctypes.c_uint16)]
else:
    class ComStat(ctypes.Structure):
        _fields_ = [("flags", _u32), ("cbInQue", _u32), ("cbOutQue", _u32)]

    class Dcb(ctypes.Structure):
        _fields_ = [("DCBlength", _u32), ("BaudRate", _u32), ("fDtrControl", _u32),
                    ("fRtsControl", _u32), ("ByteSize", _u8), ("Parity", _u8),
                    ("StopBits", _u8), ("reserved", _u8)]


class DeviceRecord(ctypes.Structure):
    """The per-converter record of tovdrv.h, field for field."""
    _fields_ = [
        ("deviceIndex", _i16),
        ("scanInterval", ctypes.c_double),
        ("pointsPerScan", _i16),
        ("scanType", _i16),
        ("scanTable", _i16 * 6),
        ("singleChanCode", _i16),
        ("digitalIn", _i16),
        ("firmwareVersion", _i16),
        ("channel", _i16),
        ("subChannel", _i16),
        ("counts", _i32),
        ("millivolts", ctypes.c_double),
        ("digitalOut", _i32),
        ("bytesPerConversion", _i16),
        ("bipolar", _i16),
        ("lastError", _i32),
        ("filter", _i16),
        ("gain", _i16),
        ("sampleRate", ctypes.c_float),
        ("modeLow", _i16),
        ("modeMid", _i16),
        ("modeHigh", _i16),
        ("baudIndex", _i16),
        ("asleep", _i16),
        ("standby", _i16),
        ("counterPreset", _i32),
        ("remoteAvg", _u32),
        ("outQueueSize", _u32),
        ("inQueueSize", _u32),
        ("scanBuffer", _u8 * SCAN_BUFFER_SIZE),
        ("reply", _u8 * REPLY_SIZE),
        ("rxChecksum", _i16),
        ("lastRxByte", _u8),
        ("replyTimeout", _i32),
        ("comStat", ComStat),
        ("reopenPending", _u8),
        ("dcb", Dcb),
        ("scanBufferCount", _i32),
        ("digInPending", _u8),
    ]


class TovError(Exception):
    """A driver call failed. `code` is the driver's error code (the record's
    lastError) where the driver gives one, else None."""

    def __init__(self, message, code=None, function=None):
        super().__init__(message)
        self.code = code
        self.function = function


class DriverNotFoundError(TovError, OSError):
    """The driver library could not be loaded."""


class PortNotOpenError(TovError):
    """A call that talks to the converter before sign_on() or after close()."""


class SignOnError(TovError):
    """No converter came on line on the port."""


class ConversionError(TovError):
    """A polled conversion failed: code 1 for no reply in time, otherwise the
    byte that came back instead of the echo."""


class ScanError(TovError):
    """A scan could not be started, collected or framed."""


class ScanTimeError(TovError, ValueError):
    """The scan interval lies outside what the converter can time."""

    def __init__(self, message, shortest, longest):
        super().__init__(message, code=0, function="CheckScanTime")
        self.shortest = shortest
        self.longest = longest


# Messages for the scan failures the driver reports in lastError.
SCAN_ERRORS = {
    1: "Start scan framing failure",
    2: "not enough chars, possible communications error",
    3: "buffer overflow",
    10: "scan rate too fast for this scan type",
}

ScanTime = collections.namedtuple("ScanTime", "interval shortest longest averaging_halved")

_R = ctypes.POINTER(DeviceRecord)
_PROTOTYPES = {
    "SignOn": (_i16, [_R]),
    "CloseDevice": (_i16, [_R]),
    "GetVer": (_i16, [_R]),
    "GetConversion": (_i16, [_R]),
    "SetChanCode": (_i32, [_R]),
    "RemoteAvg": (_i32, [_R]),
    "Counts2Volts": (ctypes.c_double, [_R]),
    "Gconv": (None, [_R]),
    "FilterDelay": (_i32, [_R]),
    "GetDigIn": (_i16, [_R]),
    "SetDigOut": (_i32, [_R, _i32]),
    "StartScanning": (_i16, [_R]),
    "GetOneScan": (_i16, [_R]),
    "RemFromBuffer": (_i32, [_R, _i32]),
    "StopScanning": (_i16, [_R]),
    "CheckScanTime": (_i16, [_R, ctypes.POINTER(ctypes.c_double),
                             ctypes.POINTER(ctypes.c_double)]),
}


def load_library(path=None):
    """Loads the driver and declares the exports this module uses."""
    loader = ctypes.WinDLL if _WINDOWS else ctypes.CDLL
    if path is not None and not isinstance(path, (str, bytes, os.PathLike)):
        raise TypeError("library path must be a string or path, not %s" % type(path).__name__)
    if path is not None:
        candidates = [os.fspath(path)]
    elif os.environ.get("TOVDRV_LIBRARY"):
        candidates = [os.environ["TOVDRV_LIBRARY"]]
    else:
        candidates = ["tovdrv.dll"] if _WINDOWS else ["libtovdrv.so", "libtovdrv.so.1"]
    reasons = []
    for name in candidates:
        try:
            lib = loader(name)
            break
        except OSError as e:
            reasons.append(str(e))
    else:
        raise DriverNotFoundError("cannot load the K73 driver: " + "; ".join(reasons))
    for name, (restype, argtypes) in _PROTOTYPES.items():
        try:
            fn = getattr(lib, name)
        except AttributeError:
            raise DriverNotFoundError("the driver has no export %s" % name) from None
        fn.restype = restype
        fn.argtypes = argtypes
    return lib


def _integer(name, value, low, high):
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError("%s must be an integer, not %s" % (name, type(value).__name__))
    if not low <= value <= high:
        raise ValueError("%s must be %d to %d, not %d" % (name, low, high, value))
    return int(value)


def _real(name, value, low, high):
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError("%s must be a number, not %s" % (name, type(value).__name__))
    if not low <= value <= high:
        raise ValueError("%s must be %g to %g, not %g" % (name, low, high, value))
    return float(value)


def _power_of_two(name, value, high):
    value = _integer(name, value, 1, high)
    if value & (value - 1):
        raise ValueError("%s must be a power of two, not %d" % (name, value))
    return value


def _scan_table(channels):
    """Scan table entries from {channel: (first code, last code)}, a list of
    channels (control code 0 each), or {channel: code}."""
    if isinstance(channels, (str, bytes)) or not isinstance(channels, collections.abc.Iterable):
        raise TypeError("channels must be a mapping or an iterable of channel numbers")
    if not isinstance(channels, collections.abc.Mapping):
        channels = {ch: (0, 0) for ch in channels}
    table = [SKIPPED_CHANNEL] * 6
    for ch, codes in channels.items():
        ch = _integer("channel", ch, 0, 5)
        if isinstance(codes, numbers.Integral) and not isinstance(codes, bool):
            codes = (codes, codes)
        if not isinstance(codes, (tuple, list)) or len(codes) != 2:
            raise TypeError("control codes of channel %d must be a code or a (first, last) pair" % ch)
        first = _integer("first control code", codes[0], 0, 15)
        last = _integer("last control code", codes[1], first, 15)
        table[ch] = first << 4 | last
    points = sum((e & 15) - (e >> 4) + 1 for e in table if e != SKIPPED_CHANNEL)
    if points == 0:
        raise ValueError("a scan needs at least one channel")
    return table, points


class Converter:
    """One Model K73 on port COM<port>. On Linux the port is the file
    "COM<port>" in the current directory: a link to the serial device or to
    k73sim's pseudo-terminal."""

    def __init__(self, port=1, *, baud=9600, bits=24, bipolar=True, gain=1,
                 sample_rate=10.0, filter=2, remote_avg=1, in_queue_size=1024, library=None):
        port = _integer("port", port, 1, PORT_SLOTS)
        if _integer("baud", baud, 300, 9600) not in BAUD_RATES:
            raise ValueError("baud must be one of %s, not %r" % (BAUD_RATES, baud))
        if _integer("bits", bits, 16, 24) not in (16, 24):
            raise ValueError("bits must be 16 or 24, not %r" % (bits,))
        self._lib = library if library is not None else load_library()
        rec = DeviceRecord()
        rec.deviceIndex = port - 1
        rec.baudIndex = BAUD_RATES.index(baud)
        rec.bytesPerConversion = 3 if bits == 24 else 2
        rec.bipolar = 1 if bipolar else 0
        rec.gain = _power_of_two("gain", gain, 128)
        rec.sampleRate = _real("sample_rate", sample_rate, 10.0, 1027.0)
        rec.filter = _integer("filter", filter, 0, 2)
        rec.remoteAvg = _power_of_two("remote_avg", remote_avg, 1 << 15)
        rec.inQueueSize = _integer("in_queue_size", in_queue_size, 11, 1 << 20)
        rec.outQueueSize = 1
        rec.counterPreset = -1  # no timer preset
        rec.scanType = 1
        rec.scanInterval = 2.0
        rec.digitalOut = -1
        self.record = rec
        self.port = port
        self._open = False
        self._scanning = False
        self._scan_setup_sent = None  # what the last sign-on told the converter
        self._selected = None  # (channel, sub-channel) the converter was last told

    # Life cycle

    def sign_on(self):
        """Brings the converter on line (300-baud wake-up, baud switch, full
        configuration) and calibrates nothing. Raises SignOnError."""
        self._check_not_scanning()
        if not self._lib.SignOn(ctypes.byref(self.record)):
            self._open = False
            raise SignOnError("no converter signs on at COM%d" % self.port, function="SignOn")
        self._open = True
        self._scan_setup_sent = self._scan_setup()
        self._selected = None  # a sign-on selects no input of ours
        return self

    def _scan_setup(self):
        rec = self.record
        return (tuple(rec.scanTable), rec.scanInterval, rec.scanType, rec.channel,
                rec.subChannel, rec.bytesPerConversion, rec.sampleRate, rec.filter)

    def close(self):
        """Takes the converter off line and closes the port; safe to repeat."""
        self._lib.CloseDevice(ctypes.byref(self.record))
        self._open = False
        self._scanning = False

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    @property
    def is_open(self):
        return self._open

    @property
    def firmware_version(self):
        return self.record.firmwareVersion

    # Polled conversions

    def read_mv(self, channel=None, sub_channel=None, settle=True):
        """One conversion in millivolts (default: the input last read). An
        input the converter has not been told since sign-on is selected
        first and, with settle, the filter given time (0.5 s, 8.5 s at 4 Hz)
        to settle on it."""
        rec = self.record
        ch = rec.channel if channel is None else _integer("channel", channel, 0, 7)
        sub = rec.subChannel if sub_channel is None else _integer("sub_channel", sub_channel, 0, 15)
        self._check_open("read_mv")
        self._check_not_scanning()
        if (ch, sub) != self._selected:
            rec.channel, rec.subChannel = ch, sub
            if not self._lib.SetChanCode(ctypes.byref(rec)):
                raise ConversionError("channel %d.%d could not be selected" % (ch, sub),
                                      function="SetChanCode")
            self._selected = (ch, sub)
            if settle:
                self._lib.FilterDelay(ctypes.byref(rec))
        if not self._lib.GetConversion(ctypes.byref(rec)):
            code = rec.lastError
            raise ConversionError("conversion on channel %d.%d failed, error %d (0x%X)"
                                  % (ch, sub, code, code), code=code, function="GetConversion")
        return rec.millivolts

    @property
    def counts(self):
        """Raw counts of the last conversion."""
        return self.record.counts

    # Scanning

    def check_scan_time(self, interval=None):
        """Fits the interval (seconds; default: the record's) to the
        converter's timer for the scan set up in the record and returns
        ScanTime. Raises ScanTimeError when it lies outside the limits."""
        fits, times = self._scan_time(interval)
        if not fits:
            raise ScanTimeError("scan interval %.4f s is outside %.4f to %.4f s"
                                % (times.interval, times.shortest, times.longest),
                                times.shortest, times.longest)
        return times

    def _scan_time(self, interval):
        rec = self.record
        if interval is not None:
            rec.scanInterval = _real("interval", interval, 0.0, 1e6)
        longest, shortest = ctypes.c_double(), ctypes.c_double()
        result = self._lib.CheckScanTime(ctypes.byref(rec), ctypes.byref(longest),
                                         ctypes.byref(shortest))
        return result != 0, ScanTime(rec.scanInterval, shortest.value, longest.value, result == 2)

    def scans(self, channels, interval=None, count=None, scan_type="normal"):
        """Runs the converter's own scanning and yields one list of
        millivolts per scan, in the order of the data file: for a
        self-calibrating scan the offset and full-scale calibration values
        first, then channel 0 to 5, each control code from first to last.

        channels: {channel: (first code, last code)}, {channel: code}, or
        an iterable of channels (code 0). interval: seconds, default the
        shortest the converter allows. count: scans to take, default until
        the generator is closed. When the first scan is asked for, the
        converter is signed on again if the scan set-up differs from what
        it last received (the table and interval reach it only at sign-on);
        scanning stops when the loop ends or the generator is closed."""
        if scan_type not in SCAN_TYPES:
            raise ValueError("scan_type must be one of %s" % ", ".join(SCAN_TYPES))
        if count is not None:
            count = _integer("count", count, 0, sys.maxsize)
        rec = self.record
        if SCAN_TYPES[scan_type] == 0:
            ch, sub = _single_cell(channels)
            table, points = [SKIPPED_CHANNEL] * 6, 1
            rec.channel, rec.subChannel = ch, sub
            rec.singleChanCode = ch << 4 | sub
        else:
            table, points = _scan_table(channels)
        self._check_not_scanning()
        calibration_points = 2 if scan_type == "self-calibrating" else 0
        if (points + calibration_points) * rec.bytesPerConversion + 2 > SCAN_BUFFER_SIZE:
            raise ValueError("%d points do not fit the driver's %d-byte scan buffer"
                             % (points, SCAN_BUFFER_SIZE))
        for i, entry in enumerate(table):
            rec.scanTable[i] = entry
        rec.pointsPerScan = points
        rec.scanType = SCAN_TYPES[scan_type]
        if interval is None:
            interval = self._scan_time(0.0)[1].shortest
        self.check_scan_time(interval)
        return self._scan_generator(count)

    def _scan_generator(self, count):
        rec = self.record
        ref = ctypes.byref(rec)
        # The scan table and interval reach the converter only at sign-on.
        if not self._open or self._scan_setup() != self._scan_setup_sent:
            self.sign_on()
        self._lib.RemoteAvg(ref)
        if rec.scanType == 0:
            self._lib.SetChanCode(ref)
        if not self._lib.StartScanning(ref):
            raise ScanError("the converter did not start scanning", function="StartScanning")
        self._scanning = True
        framed = rec.scanType != 0
        values_per_scan = rec.pointsPerScan + (2 if rec.scanType == 2 else 0)
        try:
            taken = 0
            while count is None or taken < count:
                if not self._lib.GetOneScan(ref):
                    code = rec.lastError
                    raise ScanError(SCAN_ERRORS.get(code, "scan failed, error %d" % code),
                                    code=code, function="GetOneScan")
                values = []
                for _ in range(values_per_scan):
                    self._lib.Gconv(ref)
                    values.append(rec.millivolts)
                if framed:
                    if rec.scanBufferCount < 1 or rec.scanBuffer[0] != END_MARKER:
                        raise ScanError("End scan framing failure", function="GetOneScan")
                    self._lib.RemFromBuffer(ref, 1)
                taken += 1
                yield values
        finally:
            # After close() the port is gone and the stop was already sent.
            if self._scanning and self._open:
                self._lib.StopScanning(ref)  # which selects the record's input again
                self._selected = (rec.channel, rec.subChannel)
            self._scanning = False

    # Checks that keep a bad call from reaching the converter

    def _check_open(self, what):
        if not self._open:
            raise PortNotOpenError("%s: the converter on COM%d is not signed on; call sign_on() first"
                                   % (what, self.port))

    def _check_not_scanning(self):
        if self._scanning:
            raise TovError("COM%d is scanning; close the scan iterator first" % self.port)


def _single_cell(channels):
    """A single-channel scan's (channel, sub-channel) from a channel or a pair."""
    if isinstance(channels, (tuple, list)) and len(channels) == 2:
        return (_integer("channel", channels[0], 0, 7), _integer("sub_channel", channels[1], 0, 15))
    return _integer("channel", channels, 0, 7), 0
