"""Two k73.Converters in two Python threads, each scanning its own k73sim
(COM1, COM2) at the shortest interval for six channels at the same time.
Prints one line per port: port, scans, wrong values, snapped interval (s),
seconds from the first scan's arrival to the last's.

    python3 python_two_threads.py K73SIM SCANS   (PYTHONPATH: the package,
                                                  TOVDRV_LIBRARY: the driver)
"""

import os
import subprocess
import sys
import tempfile
import threading
import time

import k73

INPUTS = [1000.0, 1500.5, 2000.25, 2500.0, 3333.3, 4999.0]


def serve(sim, port):
    args = [sim, "--port", "COM%d" % port, "--quiet", "--noise", "0"]
    for ch, mv in enumerate(INPUTS):
        args += ["--input", "%d=%g" % (ch, mv)]
    proc = subprocess.Popen(args)
    while not os.path.exists("COM%d" % port):
        time.sleep(0.02)
    return proc


def scan(port, count, results):
    with k73.Converter(port, sample_rate=1027) as adc:
        arrivals, wrong = [], 0
        for s in adc.scans(range(6), count=count):
            arrivals.append(time.monotonic())
            wrong += sum(abs(v - w) > 0.01 for v, w in zip(s.values, INPUTS))
        results[port] = (len(arrivals), wrong, adc.record.scanInterval, arrivals[-1] - arrivals[0])


def main():
    sim, count = sys.argv[1], int(sys.argv[2])
    results = {}
    with tempfile.TemporaryDirectory(prefix="k73bench-py.") as work:
        os.chdir(work)  # where the driver opens COMn
        sims = [serve(sim, 1), serve(sim, 2)]
        try:
            threads = [threading.Thread(target=scan, args=(p, count, results)) for p in (1, 2)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        finally:
            for p in sims:
                p.terminate()
                p.wait()
            os.chdir("/")
    for port in (1, 2):
        if port in results:
            print("COM%d %d %d %.9f %.6f" % ((port,) + results[port]))


if __name__ == "__main__":
    main()
