#!/usr/bin/python3
"""Pacing and CPU figures for k73sim.

Starts k73sim in a private directory, signs on by hand at 9600 baud, runs a
single-channel scan at about 730 bytes a second and reports how closely the
scans arrive on the converter's timer grid, and the simulator's CPU use while
no host has the port open, while a host holds it idle, and while streaming.

Usage: scripts/k73sim_bench.py path/to/k73sim [seconds [k73sim options...]]
"""
import os
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import termios
import time

TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def set_rate(fd, speed):
    a = termios.tcgetattr(fd)
    a[0] = a[1] = a[3] = 0
    a[2] = termios.CS8 | termios.CREAD | termios.CLOCAL
    a[4] = a[5] = speed
    a[6][termios.VMIN] = 0
    a[6][termios.VTIME] = 0
    termios.tcsetattr(fd, termios.TCSANOW, a)


def read_for(fd, seconds):
    out = []
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        select.select([fd], [], [], max(0.0, end - time.monotonic()))
        try:
            out += list(os.read(fd, 4096))
        except BlockingIOError:
            pass
    return out


def packet(fd, cmd, data):
    os.write(fd, bytes([cmd, data, (cmd + data) & 0xFF]))


def sign_on(fd, count, table):
    set_rate(fd, termios.B300)
    termios.tcflush(fd, termios.TCIOFLUSH)
    os.write(fd, b"\x00")
    assert read_for(fd, 0.3) == [3], "no handshake"
    time.sleep(0.3)
    os.write(fd, b"\x88")
    time.sleep(0.3)
    os.write(fd, b"\x00")  # baud index 0
    assert read_for(fd, 0.2) == [0], "no baud echo"
    set_rate(fd, termios.B9600)
    time.sleep(0.05)
    os.write(fd, b"\x00")
    # 24-bit bipolar, filter code 19 (about 1028 Hz), averaging 1, filter 2.
    for cmd, data in ((0x00, 0x80), (19, 0), (1, 2), (0, 0)):
        packet(fd, cmd, data)
    assert read_for(fd, 0.2) == [0x00, 0x80, 19], "no mode echo"
    lo, mid, hi = count & 0xFF, (count >> 8) & 0xFF, count >> 16
    for cmd, data in ((lo, mid), (hi, table[0]), (table[1], table[2]),
                      (table[3], table[4]), (table[5], 0)):
        packet(fd, cmd, data)


def main():
    sim = os.path.abspath(sys.argv[1])
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 10.0
    work = tempfile.mkdtemp(prefix="k73sim-bench-")
    extra = sys.argv[3:]  # e.g. --unpaced
    proc = subprocess.Popen([sim, "--quiet"] + extra, cwd=work)
    try:
        port = os.path.join(work, "COM1")
        while not os.path.islink(port):
            time.sleep(0.01)
        c0 = cpu_seconds(proc.pid)
        time.sleep(seconds / 2)
        no_host = (cpu_seconds(proc.pid) - c0) / (seconds / 2)

        fd = os.open(port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        set_rate(fd, termios.B9600)
        c0 = cpu_seconds(proc.pid)
        time.sleep(seconds / 2)
        host_idle = (cpu_seconds(proc.pid) - c0) / (seconds / 2)

        count = 15  # 16 ticks of 1/3906.25 s: 4.096 ms per scan
        sign_on(fd, count, [0x00, 0x10, 0x10, 0x10, 0x10, 0x10])
        packet(fd, 0x01, 0x00)  # channel 0
        time.sleep(0.05)
        termios.tcflush(fd, termios.TCIFLUSH)
        packet(fd, 0x8B, 0)
        c0 = cpu_seconds(proc.pid)
        arrivals = []
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            select.select([fd], [], [], 0.05)
            now = time.monotonic()
            try:
                data = os.read(fd, 4096)
            except BlockingIOError:
                continue
            arrivals += [now] * len(data)
        streaming = (cpu_seconds(proc.pid) - c0) / seconds
        packet(fd, 0x8A, 0)
        os.close(fd)

        # Scans are 3 bytes after the echo; compare each scan's last byte with
        # the converter's timer grid.
        body = arrivals[1:]
        scans = [body[i + 2] for i in range(0, len(body) - 2, 3)]
        interval = (count + 1) / 3906.25
        raw = [(t - scans[0]) - i * interval for i, t in enumerate(scans)]
        centre = statistics.median(raw)  # the grid's phase, robust to a late first scan
        errors = [e - centre for e in raw]
        gaps = [b - a for a, b in zip(scans, scans[1:])]
        rate = len(body) / (arrivals[-1] - arrivals[0])
        print(f"streaming: {len(scans)} scans, {rate:.0f} bytes/s, interval {interval*1e3:.3f} ms")
        print(f"  scan-to-scan gap: mean {statistics.mean(gaps)*1e3:.4f} ms, "
              f"stdev {statistics.pstdev(gaps)*1e3:.4f} ms")
        late = sorted(abs(e) for e in errors)
        print(f"  offset from the grid: mean {statistics.mean(errors)*1e3:+.3f} ms, "
              f"p50 {late[len(late)//2]*1e3:.3f} ms, p99 {late[len(late)*99//100]*1e3:.3f} ms, "
              f"max {late[-1]*1e3:.3f} ms, "
              f"drift over the run {errors[-1]*1e3:+.3f} ms")
        print(f"cpu: no host {no_host*100:.2f}%, host idle {host_idle*100:.2f}%, "
              f"streaming {streaming*100:.2f}%")
    finally:
        proc.send_signal(signal.SIGTERM)
        proc.wait(timeout=10)
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
