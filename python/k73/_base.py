"""What every part of Converter shares: the record, the driver, the calls
and the guards that keep a bad call from reaching the converter."""

import ctypes
import functools
import threading
from typing import Any, Callable, Optional, TypeVar

from ._library import DeviceRecord
from .errors import BusyError, CommandError, PortNotOpenError, TovError

_F = TypeVar("_F", bound=Callable[..., Any])


def exclusive(method: _F) -> _F:
    """Lets one thread at a time into the record; another thread is refused
    at once with BusyError instead of corrupting it."""

    @functools.wraps(method)
    def guarded(self: "ConverterBase", *args: Any, **kwargs: Any) -> Any:
        if not self._owner.acquire(blocking=False):
            raise BusyError("%s: COM%d is in use by another thread; use one Converter "
                            "from one thread at a time" % (method.__name__, self.port),
                            function=method.__name__)
        try:
            return method(self, *args, **kwargs)
        finally:
            self._owner.release()

    return guarded  # type: ignore[return-value]


class ConverterBase:
    record: DeviceRecord
    port: int
    _lib: Any

    def __init__(self) -> None:
        self._owner = threading.RLock()
        self._open = False
        self._scanning = False
        self._scan_setup_sent: Optional[tuple] = None  # what the last sign-on told the converter
        self._selected: Optional[tuple] = None  # (channel, sub-channel) the converter was last told
        # A scan run: the thread taking its scans, a stop asked for by
        # another thread, and its end.
        self._scan_thread: Optional[int] = None
        self._stop_request = threading.Event()
        self._scan_ended = threading.Event()
        self._scan_ended.set()

    def _call(self, name: str, *args: Any) -> Any:
        return getattr(self._lib, name)(ctypes.byref(self.record), *args)

    def _check_open(self, what: str) -> None:
        if not self._open:
            raise PortNotOpenError("%s: the converter on COM%d is not signed on; call sign_on() first"
                                   % (what, self.port))

    def _check_not_scanning(self) -> None:
        if self._scanning:
            raise TovError("COM%d is scanning; close the scan iterator first" % self.port)

    def _command(self, export: str, what: str, *args: Any) -> Any:
        """Calls an export that answers nonzero for success; CommandError otherwise."""
        self._check_open(export)
        self._check_not_scanning()
        result = self._call(export, *args)
        if not result:
            raise CommandError("%s failed on COM%d" % (what, self.port), function=export)
        return result

    def _scan_setup(self) -> tuple:
        rec = self.record
        return (tuple(rec.scanTable), rec.scanInterval, rec.scanType, rec.channel,
                rec.subChannel, rec.bytesPerConversion, rec.sampleRate, rec.filter)
