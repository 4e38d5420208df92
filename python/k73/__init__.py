"""The Model K73 serial A/D converter from Python, through its driver
(libtovdrv, tovdrv.dll on Windows) with ctypes.

    import k73
    with k73.Converter(port=1, sample_rate=1027) as adc:   # COM1
        adc.sign_on()
        print(adc.read_mv(channel=0))                      # one reading, mV
        block = adc.acquire([0, 4], count=100)             # numpy: block.values
        frame = block.to_dataframe()                       # pandas

Converter.from_settings() takes the console's settings file "tovset.cfg".
scans() yields Scan records with times and column names; acquire() returns
a Block (numpy, and pandas through to_dataframe()). numpy and pandas are
needed only for those. Failures raise TovError subclasses carrying the
driver's error code. `python3 -m k73.plot` draws a live or saved plot.

The driver is found through $TOVDRV_LIBRARY, else by the system's library
search (libtovdrv.so, then libtovdrv.so.1).
"""

from ._checks import parse_channels
from ._library import SCAN_TYPES, DeviceRecord, load_library
from ._rules import BAUD_RATES
from .converter import Converter, debug_log
from .errors import (BusyError, CommandError, ConversionError, DriverNotFoundError,
                     PortNotOpenError, ScanError, ScanTimeError, SignOnError, TovError)
from .scans import Block, Scan, ScanTime
from .settings import Settings

__version__ = "1.0.0"

__all__ = [
    "Converter", "Settings", "Scan", "Block", "ScanTime", "DeviceRecord",
    "load_library", "debug_log", "parse_channels", "BAUD_RATES", "SCAN_TYPES",
    "TovError", "DriverNotFoundError", "PortNotOpenError", "SignOnError", "ConversionError",
    "CommandError", "ScanError", "ScanTimeError", "BusyError",
]
