"""The package against k73sim through the built driver: readings, scans with
times and names, every wrapped export against the packets the simulator
received, error codes, and two converters in two threads."""

import datetime
import threading
import time

import pytest

import k73
from conftest import mv



@pytest.fixture(scope="module")
def com1(sims, lib):
    sim = sims(1)
    with k73.Converter(port=1, sample_rate=1027, library=lib) as adc:
        adc.sign_on()
        yield adc, sim


def near(values, wanted):
    return all(abs(v - w) < 0.01 for v, w in zip(values, wanted)) and len(values) == len(wanted)


def test_readings_scans_with_times_and_close(com1):
    adc, _ = com1
    assert adc.firmware_version == 100
    assert adc.read_mv() == pytest.approx(mv(0), abs=0.01)
    assert adc.read_mv(2, 3, settle=False) == pytest.approx(mv(2, 3), abs=0.01)
    before = datetime.datetime.now(datetime.timezone.utc)
    scans = list(adc.scans({0: 0, 1: (2, 3), 5: 0}, count=3))
    interval = adc.record.scanInterval
    assert [s.index for s in scans] == [0, 1, 2]
    assert [s.t_s for s in scans] == [0, interval, 2 * interval]
    assert before <= scans[0].time_utc < scans[1].time_utc < scans[2].time_utc
    assert scans[0].names == ("ch0.0_mV", "ch1.2_mV", "ch1.3_mV", "ch5.0_mV")
    assert all(s.names is scans[0].names for s in scans)  # one tuple per run
    assert all(near(s.values, [mv(0), mv(1, 2), mv(1, 3), mv(5)]) for s in scans)

    # A scan loop left early stops the stream; polled reads work again.
    endless = adc.scans({0: 0, 1: (2, 3), 5: 0})  # the same set-up: no new sign-on
    assert len(next(endless).values) == 4
    with pytest.raises(k73.TovError, match="scanning"):
        adc.read_mv()
    endless.close()
    assert adc.read_mv(2, 2, settle=False) == pytest.approx(mv(2, 2), abs=0.01)


def test_set_mode_checks_every_argument_before_changing_any(com1):
    adc, _ = com1
    before = (adc.record.gain, adc.record.sampleRate)
    with pytest.raises(ValueError, match="sample_rate"):
        adc.set_mode(gain=2, sample_rate=5.0)
    assert (adc.record.gain, adc.record.sampleRate) == before


def test_self_calibrating_block_and_dataframe(com1):
    adc, _ = com1
    block = adc.acquire({2: (2, 3)}, count=4, scan_type="self-calibrating")
    assert block.values.shape == (4, 4)
    assert block.time_utc.dtype.name == "datetime64[ms]"
    assert list(block.t_s) == [i * adc.record.scanInterval for i in range(4)]
    for row in block.values:
        assert near(row, [0.0, 4990.0, mv(2, 2), mv(2, 3)])  # zero and full-scale references first
    frame = block.to_dataframe()
    assert list(frame.columns) == ["time_utc", "t_s", "cal_offset_mV", "cal_fullscale_mV",
                                   "ch2.2_mV", "ch2.3_mV"]
    assert str(frame["time_utc"].dt.tz) == "UTC"
    single = adc.acquire((3, 0), count=2, scan_type="single")
    assert single.names == ("ch3.0_mV",) and near(single.values[:, 0], [mv(3)] * 2)


# Each export through its Python name, after a set-up of its own, and the
# packets it makes the converter receive (the simulator's report lines).
MODE = "mode %s 80 13 gain %d bipolar 24-bit code 19 rate 1027.961 Hz"
EXPORTS = [
    ("SetDigOut", None, lambda a: setattr(a, "digital_out", 0xA5), ["digout 165"]),
    ("GetDigIn", None, lambda a: a.digital_in == 0x5A or pytest.fail("digital in"), ["digin query"]),
    ("SetFilter", None, lambda a: setattr(a, "filter", 1), ["filter 1"]),
    ("RemoteAvg", None, lambda a: setattr(a, "averaging", 4), ["averaging 4 (log2 2)"]),
    ("SendADMode", lambda a: a.set_mode(gain=1), lambda a: a.set_mode(gain=2),
     ["mode change", "mode packet 04 80", MODE % ("04", 2)]),
    ("SysCal", lambda a: a.set_mode(gain=2), lambda a: a.system_cal(),
     ["mode change", "mode packet 00 80", MODE % ("00", 1), "offset cal 0x70",
      "full-scale cal 0x60", "mode change", "mode packet 04 80", MODE % ("04", 2),
      "offset cal 0x70"]),
    ("OffsetCal", lambda a: a.select(1, 4), lambda a: a.offset_cal(), ["offset cal 0x14"]),
    ("FullScaleCal", lambda a: a.select(1, 4), lambda a: a.full_scale_cal(),
     ["full-scale cal 0x14"]),
    ("SetChanCode", None, lambda a: a.select(2, 3), ["channel 0x23"]),
    ("GetCheckSum", None, lambda a: a.checksum_ok() or pytest.fail("checksum"), ["checksum"]),
    ("GetVer", None, lambda a: a.get_version() == 100 or pytest.fail("version"), ["version"]),
    ("DLL_SendPacket", None, lambda a: a.send_packet(0x03, 2), ["filter 2"]),
    ("WriteCntr", lambda a: a.select(0, 0), lambda a: a.write_counter(1, 300),
     ["counter 1 select 0x85", "counter byte 0x2c", "counter byte 0x01"]),
]


@pytest.mark.parametrize("export, setup, call, packets", EXPORTS, ids=[e[0] for e in EXPORTS])
def test_export_sends_its_packets(com1, export, setup, call, packets):
    adc, sim = com1
    if setup:
        setup(adc)
    adc.get_version()  # answered only after every packet before it has arrived
    seen = len(sim.report(until="version"))
    call(adc)
    assert sim.report(seen + len(packets))[seen:] == packets


def test_sleep_and_scans_with_digital_inputs(com1):
    adc, sim = com1
    scans = list(adc.scans([0], count=3, digital_inputs=True))
    assert [s.digital_in for s in scans][1:] == [0x5A, 0x5A]
    assert adc.counts_to_mv(0x800000) == pytest.approx(0.0, abs=0.001)
    assert adc.bytes_waiting == 0 and adc.scans_waiting == 0
    assert adc.sleep()
    assert sim.report(until="asleep")[-2:] == ["sleep", "asleep"]


def test_failures_carry_the_driver_error_codes(sims, lib):
    with pytest.raises(k73.SignOnError):
        k73.Converter(port=9, library=lib).sign_on()  # no COM9 here
    # Replies cut to three bytes: a 24-bit conversion misses its last.
    # Scans end in a wrong byte instead of the end marker.
    sims(2, "--misbehave", "short-reply=3", "--misbehave", "bad-end-marker")
    with k73.Converter(port=2, library=lib) as adc:
        adc.sign_on()
        with pytest.raises(k73.ConversionError) as caught:
            adc.read_mv()
        assert (caught.value.code, caught.value.function) == (1, "GetConversion")
        scans = adc.scans([0, 1])
        with pytest.raises(k73.ScanError, match="End scan framing failure") as caught:
            next(scans)
        assert caught.value.code == 1
        with pytest.raises(StopIteration):
            next(scans)  # stopped on the way out


def test_two_converters_scan_in_two_threads(sims, lib, tmp_path):
    """Each thread its own converter, both scanning at once at the shortest
    interval; one converter from two threads is refused, not corrupted."""
    sims(3)
    sims(4)
    results, errors = {}, []

    def run(port):
        try:
            with k73.Converter(port=port, sample_rate=1027, library=lib) as adc:
                results[port] = list(adc.scans([0, 1, 5], count=20))
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=run, args=(p,)) for p in (3, 4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for port in (3, 4):
        assert len(results[port]) == 20
        assert all(near(s.values, [mv(0), mv(1), mv(5)]) for s in results[port])

    # One converter, signing on in another thread: calls from here are
    # refused while that thread is inside the driver.
    shared = k73.Converter(port=3, sample_rate=1027, library=lib)
    signing_on = threading.Thread(target=shared.sign_on)
    signing_on.start()
    refused = None
    while signing_on.is_alive() and refused is None:
        try:
            shared.get_version()
        except k73.BusyError as e:
            refused = e
        except k73.PortNotOpenError:
            time.sleep(0.01)
    signing_on.join()
    assert refused is not None and "another thread" in str(refused)
    assert shared.is_open
    shared.close()


def test_scanning_stops_on_leaving_and_on_stop_or_close_from_another_thread(sims, lib):
    """scanning() stops the converter however its block is left; stop() and
    close() from another thread end a run within a scan interval."""
    sims(6)
    adc = k73.Converter(port=6, sample_rate=1027, library=lib).sign_on()
    with pytest.raises(RuntimeError):
        with adc.scanning({0: 0}) as stream:
            assert len(next(stream).values) == 1
            raise RuntimeError("the caller's own failure")
    assert adc.read_mv(1, settle=False) == pytest.approx(mv(1), abs=0.01)  # not scanning

    interval = 0.5
    assert len(list(adc.scans({0: 0}, interval=interval, count=1))) == 1  # signed on for these
    for run in (adc.acquire, adc.scans):
        stopper = threading.Timer(1.5, adc.stop)
        started = time.monotonic()
        stopper.start()
        taken = run({0: 0}, interval=interval, count=1000)
        taken = list(taken) if run == adc.scans else taken
        elapsed = time.monotonic() - started
        stopper.join()
        assert 2 <= len(taken) <= 5 and elapsed < 1.5 + interval + 3.0
    assert adc.read_mv(2, settle=False) == pytest.approx(mv(2), abs=0.01)

    assert len(list(adc.scans({0: 0}, interval=interval, count=1))) == 1  # signed on again
    closer = threading.Timer(1.5, adc.close)
    closer.start()
    with adc.scanning({0: 0}, interval=interval) as stream:
        assert 2 <= len(list(stream)) <= 5
    closer.join()
    assert not adc.is_open


def test_scan_times_follow_the_timer_on_newer_firmware(sims, lib):
    """Firmware 101 without a counter preset: the scans come 0.4997120 s
    apart, not the 0.4999168 s CheckScanTime snaps 0.5 s to."""
    sims(7, "--firmware", "101")
    with k73.Converter(port=7, sample_rate=1027, library=lib) as adc:
        adc.sign_on()
        scans = list(adc.scans({0: 0}, interval=0.5, count=2))
        assert adc.record.scanInterval == pytest.approx(0.4999168, abs=1e-7)
        assert scans[1].t_s == pytest.approx(0.4997120, abs=1e-7)
