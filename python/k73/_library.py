"""The driver library through ctypes: the device record, field for field as
in tovdrv.h, and the prototypes of every export.

The driver is found through $TOVDRV_LIBRARY, else by the system's library
search (libtovdrv.so, then its SONAME libtovdrv.so.1; tovdrv.dll on Windows).
"""

import ctypes
import os
import sys
from typing import Any, List, Optional, Union

from .errors import DriverNotFoundError

from ._rules import SCAN_BUFFER_SIZE

REPLY_SIZE = 26
PORT_SLOTS = 255
# Scan types by name; "selfcal" is the logger's short name for the third.
SCAN_TYPES = {"single": 0, "normal": 1, "self-calibrating": 2, "selfcal": 2}
SKIPPED_CHANNEL = 0x10  # first code 1, last code 0

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



_R = ctypes.POINTER(DeviceRecord)
_DOUBLE_P = ctypes.POINTER(ctypes.c_double)
# Every export a client calls: (result type, argument types). DllEntryPoint
# is the loader's, and GetComHandle/SetComHandle hand out the port's file
# descriptor; the package calls neither.
PROTOTYPES = {
    "DoDebug": (_u8, [_R, _u8]),
    "SignOn": (_i16, [_R]),
    "CloseDevice": (_i16, [_R]),
    "GetVer": (_i16, [_R]),
    "DLL_SendPacket": (_u8, [_R, _i32, _i32]),
    "WriteCntr": (_u8, [_R, _i32, _i32]),
    "GetConversion": (_i16, [_R]),
    "SetChanCode": (_i32, [_R]),
    "RemoteAvg": (_i32, [_R]),
    "Counts2Volts": (ctypes.c_double, [_R]),
    "Gconv": (None, [_R]),
    "SetFilter": (_u8, [_R]),
    "SendADMode": (_i16, [_R]),
    "GetCheckSum": (_i16, [_R]),
    "GotoSleep": (_i32, [_R]),
    "SetDigOut": (_i32, [_R, _i32]),
    "GetDigIn": (_i16, [_R]),
    "FullScaleCal": (_i16, [_R]),
    "OffsetCal": (_i16, [_R]),
    "SysCal": (_i16, [_R]),
    "StartScanning": (_i16, [_R]),
    "GetNumBytesInBuffer": (_u32, [_R]),
    "GetNumScansInBuffer": (_i32, [_R]),
    "GetOneScan": (_i16, [_R]),
    "RemFromBuffer": (_i32, [_R, _i32]),
    "StopScanning": (_i16, [_R]),
    "GetOneScanWithDigin": (_u8, [_R, ctypes.POINTER(_u8), _u8]),
    "CheckScanTime": (_i16, [_R, _DOUBLE_P, _DOUBLE_P]),
    "FilterDelay": (_i32, [_R]),
}

_loaded: Optional[Any] = None


def load_library(path: Union[None, str, bytes, "os.PathLike[str]"] = None) -> Any:
    """Loads the driver (path, else $TOVDRV_LIBRARY, else the system's search)
    and declares its exports. Without a path the library is loaded once per
    process and shared. Raises DriverNotFoundError naming what was tried."""
    global _loaded
    if path is None and _loaded is not None:
        return _loaded
    if path is not None and not isinstance(path, (str, bytes, os.PathLike)):
        raise TypeError("library path must be a string or path, not %s" % type(path).__name__)
    if path is not None:
        candidates: List[Any] = [os.fspath(path)]
    elif os.environ.get("TOVDRV_LIBRARY"):
        candidates = [os.environ["TOVDRV_LIBRARY"]]
    else:
        candidates = ["tovdrv.dll"] if _WINDOWS else ["libtovdrv.so", "libtovdrv.so.1"]
    loader = ctypes.WinDLL if _WINDOWS else ctypes.CDLL  # type: ignore[attr-defined]
    reasons = []
    for name in candidates:
        try:
            lib = loader(name)
            break
        except OSError as e:
            reasons.append("%s (%s)" % (name, e))
    else:
        raise DriverNotFoundError("cannot load the K73 driver; tried " + "; ".join(reasons)
                                  + ". Set TOVDRV_LIBRARY to the library's path.")
    for name, (restype, argtypes) in PROTOTYPES.items():
        try:
            fn = getattr(lib, name)
        except AttributeError:
            raise DriverNotFoundError("the driver %s has no export %s" % (candidates[0], name)) from None
        fn.restype = restype
        fn.argtypes = argtypes
    if path is None:
        _loaded = lib
    return lib
