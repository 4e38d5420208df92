"""The converter's settings, calibration, digital I/O, checksum, sleep and
raw packet commands, one driver export each."""

from typing import Optional

from . import _checks as check
from ._base import ConverterBase, exclusive
from ._rules import BAUD_RATES
from .errors import CommandError


class CommandsMixin(ConverterBase):
    # Settings sent at once

    @property
    def filter(self) -> int:
        """The input filter: 0 (4 Hz), 1 (40 Hz) or 2 (400 Hz). Setting it
        on a signed-on converter sends it (SetFilter)."""
        return int(self.record.filter)

    @filter.setter
    @exclusive
    def filter(self, value: int) -> None:
        self.record.filter = check.integer("filter", value, 0, 2)
        if self._open:
            self._command("SetFilter", "filter change")

    @property
    def averaging(self) -> int:
        """Conversions the converter averages into one, a power of two.
        Setting it on a signed-on converter sends it (RemoteAvg)."""
        return int(self.record.remoteAvg)

    @averaging.setter
    @exclusive
    def averaging(self, value: int) -> None:
        self.record.remoteAvg = check.averaging("averaging", value)
        if self._open:
            self._command("RemoteAvg", "averaging change")

    @exclusive
    def set_mode(self, *, gain: Optional[int] = None, bits: Optional[int] = None,
                 bipolar: Optional[bool] = None, sample_rate: Optional[float] = None,
                 standby: Optional[bool] = None) -> float:
        """Changes the A/D mode (gain, word length, polarity, conversion rate,
        standby) of a signed-on converter (SendADMode) and returns the rate
        the converter actually runs at. Arguments left out keep their value."""
        # Every argument is checked before the record changes at all.
        if bits is not None and check.integer("bits", bits, 16, 24) not in (16, 24):
            raise ValueError("bits must be 16 or 24, not %r" % (bits,))
        if gain is not None:
            gain = check.power_of_two("gain", gain, 128)
        if sample_rate is not None:
            sample_rate = check.real("sample_rate", sample_rate, 10.0, 1027.0)
        self._check_open("set_mode")
        self._check_not_scanning()
        rec = self.record
        before = (rec.gain, rec.bytesPerConversion, rec.bipolar, rec.sampleRate, rec.standby)
        if gain is not None:
            rec.gain = gain
        if bits is not None:
            rec.bytesPerConversion = 3 if bits == 24 else 2
        if bipolar is not None:
            rec.bipolar = 1 if bipolar else 0
        if sample_rate is not None:
            rec.sampleRate = sample_rate
        if standby is not None:
            rec.standby = 1 if standby else 0
        try:
            self._command("SendADMode", "A/D mode change")
        except CommandError:
            # The converter kept its mode: so does the record.
            (rec.gain, rec.bytesPerConversion, rec.bipolar, rec.sampleRate, rec.standby) = before
            raise
        return float(rec.sampleRate)

    @property
    def baud(self) -> int:
        return BAUD_RATES[self.record.baudIndex]

    # Digital I/O

    @property
    def digital_out(self) -> int:
        """The eight digital outputs as last set (-1: never set). Setting it
        sends the byte (SetDigOut)."""
        return int(self.record.digitalOut)

    @digital_out.setter
    @exclusive
    def digital_out(self, value: int) -> None:
        value = check.integer("digital_out", value, 0, 255)
        self._command("SetDigOut", "digital output", value)
        self.record.digitalOut = value

    @property
    def digital_in(self) -> int:
        """Reads the eight digital inputs (GetDigIn)."""
        return self._digital_in()

    @exclusive
    def _digital_in(self) -> int:
        self._command("GetDigIn", "digital input query")
        return int(self.record.digitalIn)

    # Calibration, checksum, sleep

    @exclusive
    def system_cal(self) -> None:
        """Calibrates zero and full scale on the internal references at gain 1,
        then zero again at the working gain (SysCal), as the console does
        after every sign-on."""
        self._command("SysCal", "system calibration")

    @exclusive
    def offset_cal(self) -> None:
        """Offset (zero) calibration on the selected input (OffsetCal)."""
        self._command("OffsetCal", "offset calibration")

    @exclusive
    def full_scale_cal(self) -> None:
        """Full-scale calibration on the selected input (FullScaleCal)."""
        self._command("FullScaleCal", "full-scale calibration")

    @exclusive
    def checksum_ok(self) -> bool:
        """Whether the converter's sum of the bytes it sent matches the
        driver's (GetCheckSum); both sums start again afterwards."""
        self._check_open("checksum_ok")
        self._check_not_scanning()
        return bool(self._call("GetCheckSum"))

    @exclusive
    def sleep(self) -> bool:
        """Puts the converter to sleep (GotoSleep); True when it confirmed.
        Only sign_on() brings it back."""
        self._check_open("sleep")
        self._check_not_scanning()
        self.record.asleep = 1 if self._call("GotoSleep") else 0
        return bool(self.record.asleep)

    # Raw access

    @exclusive
    def send_packet(self, command: int, data: int) -> None:
        """Sends one command packet (command, data, checksum) and reads
        nothing back (DLL_SendPacket)."""
        self._command("DLL_SendPacket", "packet",
                      check.integer("command", command, 0, 255), check.integer("data", data, 0, 255))

    @exclusive
    def write_counter(self, counter: int, count: int) -> None:
        """Loads count into timer counter 0-2 of the converter (WriteCntr)."""
        self._command("WriteCntr", "counter write", check.integer("counter", counter, 0, 2),
                      check.integer("count", count, -(1 << 31), (1 << 31) - 1))

    @property
    @exclusive
    def bytes_waiting(self) -> int:
        """Bytes waiting in the port's input queue (GetNumBytesInBuffer)."""
        self._check_open("bytes_waiting")
        return int(self._call("GetNumBytesInBuffer"))

    @property
    @exclusive
    def scans_waiting(self) -> int:
        """Whole scans waiting while scanning, -1 on input overflow
        (GetNumScansInBuffer)."""
        self._check_open("scans_waiting")
        return int(self._call("GetNumScansInBuffer"))
