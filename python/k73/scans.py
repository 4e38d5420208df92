"""Scan records: one Scan per scan as it arrives, and a Block of many for
numpy and pandas. numpy and pandas are imported only when a Block is made."""

import datetime
from typing import Any, List, NamedTuple, Optional, Sequence, Tuple

__all__ = ["Scan", "Block", "ScanTime"]


class ScanTime(NamedTuple):
    """An interval fitted to the converter's timer: the interval actually used
    (snapped to the timer), the limits for the scan set-up, and whether the
    converter's averaging had to be halved to fit the interval."""
    interval: float
    shortest: float
    longest: float
    averaging_halved: bool


class Scan(NamedTuple):
    """One scan. index counts from 0 in the run; time_utc is the host's
    clock (UTC) when the package read the scan from the driver, not when the
    converter measured it: it carries the host's delays and clock steps;
    t_s is index x the interval the converter's timer keeps (on firmware
    above 100 without a counter preset not quite the snapped one), the
    converter's own time; values are millivolts in data-file order, named by
    names (one tuple shared by every scan of a run); digital_in is the
    digital-input byte that came with the scan when they were asked for,
    else None."""
    index: int
    time_utc: datetime.datetime
    t_s: float
    values: Tuple[float, ...]
    names: Tuple[str, ...]
    digital_in: Optional[int] = None


def require(package: str, debian: str) -> Any:
    """The optional package, or an ImportError that says how to install it."""
    try:
        return __import__(package)
    except ImportError:
        raise ImportError("%s is needed for this; install it with `pip install %s` "
                          "(Debian: apt install %s)" % (package, package, debian)) from None


class Block:
    """count scans taken together: values is a numpy float array of count x
    points (millivolts), time_utc numpy datetime64[ms] in UTC, t_s seconds of
    converter time, names the column names of values."""

    def __init__(self, scans: Sequence[Scan], names: Tuple[str, ...]) -> None:
        np = require("numpy", "python3-numpy")
        self.names = names
        self.values = np.array([s.values for s in scans], dtype=float).reshape(len(scans), len(names))
        # numpy's datetime64 carries no zone: the UTC instant without it.
        self.time_utc = np.array([s.time_utc.replace(tzinfo=None) for s in scans],
                                 dtype="datetime64[ms]")
        self.t_s = np.array([s.t_s for s in scans], dtype=float)

    def __len__(self) -> int:
        return len(self.values)

    def __repr__(self) -> str:
        return "<k73.Block of %d scans: %s>" % (len(self), ", ".join(self.names))

    @property
    def columns(self) -> List[str]:
        """The logger's csv columns: time_utc, t_s, then the value names."""
        return ["time_utc", "t_s"] + list(self.names)

    def to_dataframe(self) -> Any:
        """A pandas DataFrame with exactly the logger's csv columns; time_utc
        is a UTC-aware datetime column."""
        pd = require("pandas", "python3-pandas")
        frame = pd.DataFrame(self.values, columns=list(self.names))
        frame.insert(0, "t_s", self.t_s)
        frame.insert(0, "time_utc", pd.to_datetime(self.time_utc).tz_localize("UTC"))
        return frame
