"""The exceptions of the k73 package. Every failure of a driver call raises a
TovError subclass whose `code` is the driver's error code (the record's
lastError) where the driver gives one, else None, and whose `function` names
the driver export that failed."""

from typing import Optional

__all__ = [
    "TovError", "DriverNotFoundError", "PortNotOpenError", "SignOnError",
    "ConversionError", "CommandError", "ScanError", "ScanTimeError", "BusyError",
]


class TovError(Exception):
    """A driver call failed."""

    def __init__(self, message: str, code: Optional[int] = None,
                 function: Optional[str] = None) -> None:
        super().__init__(message)
        self.code = code
        self.function = function


class DriverNotFoundError(TovError, OSError):
    """The driver library could not be loaded; the message names every place tried."""


class PortNotOpenError(TovError):
    """A call that talks to the converter before sign_on() or after close()."""


class SignOnError(TovError):
    """No converter came on line on the port."""


class ConversionError(TovError):
    """A polled conversion failed: code 1 for no reply in time, otherwise the
    byte that came back instead of the echo."""


class CommandError(TovError):
    """A settings, calibration, checksum or digital I/O command was not
    written or not answered as it should be."""


class ScanError(TovError):
    """A scan could not be started, collected or framed. Codes: 1 framing,
    2 not enough bytes, 3 input buffer overflow, 10 scan rate too fast."""


class ScanTimeError(TovError, ValueError):
    """The scan interval lies outside what the converter can time;
    `shortest` and `longest` are the limits in seconds."""

    def __init__(self, message: str, shortest: float, longest: float) -> None:
        super().__init__(message, code=0, function="CheckScanTime")
        self.shortest = shortest
        self.longest = longest


class BusyError(TovError, RuntimeError):
    """One Converter was used from two threads at once. A converter's record
    belongs to one thread at a time; converters on different ports may be
    used from different threads."""
