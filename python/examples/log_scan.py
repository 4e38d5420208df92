#!/usr/bin/env python3
"""Logs a scan run of a Model K73 to a data file and plots it.

The data file has the console program's format: one line per scan, every
value in millivolts written as "%9.3lf  ", appended to what the file already
holds; numpy.loadtxt and gnuplot read it as whitespace columns. With --plot
the run's scans are read back from the file and drawn against time (needs
matplotlib; without it the data are still logged).

    log_scan.py run.dat --channels 0,1,4,5:0-3 --count 60 --interval 1 --plot run.png

Channels: comma-separated CH (control code 0), CH:CODE or CH:FIRST-LAST.
The port is COM<port> in the current directory (see k73.Converter).
"""

import argparse
import sys

import k73


def parse_channels(text):
    try:
        return k73.parse_channels(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def data_line(values):
    return "".join("%9.3f  " % v for v in values) + "\n"


def log_run(converter, path, channels, interval, count):
    """Appends count scans to path; returns (file offset, interval, column names)."""
    names = ()
    with open(path, "a") as out:
        start = out.tell()
        for scan in converter.scans(channels, interval=interval, count=count):
            out.write(data_line(scan.values))
            out.flush()  # nothing is lost if the run is interrupted
            names = scan.names
    return start, converter.record.scanInterval, names


def read_rows(path, offset=0):
    with open(path) as f:
        f.seek(offset)
        return [[float(field) for field in line.split()] for line in f if line.strip()]


def plot(rows, interval, labels, png):
    """Draws every column against time into png; False when matplotlib is missing."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    times = [i * interval for i in range(len(rows))]
    fig, ax = plt.subplots(figsize=(6.4, 3.2), dpi=80)
    for col, label in enumerate(labels):
        ax.plot(times, [row[col] for row in rows], label=label, linewidth=1.2)
    ax.set_xlabel("time (s)")
    ax.set_ylabel("input (mV)")
    ax.set_title("Model K73 scan, %d scans every %.3f s" % (len(rows), interval), fontsize=10)
    ax.grid(True, linewidth=0.3)
    ax.legend(fontsize=7, loc="center left", bbox_to_anchor=(1.01, 0.5), frameon=False)
    fig.tight_layout()
    fig.savefig(png)
    plt.close(fig)
    return True


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("datafile", help="data file to append the scans to")
    parser.add_argument("--port", type=int, default=1, help="COM port number (default 1)")
    parser.add_argument("--channels", type=parse_channels, default="0,1,2,3,4,5",
                        help="channels and control codes (default 0,1,2,3,4,5)")
    parser.add_argument("--interval", type=float, default=None,
                        help="seconds between scans (default: the shortest allowed)")
    parser.add_argument("--rate", type=float, default=1027.0,
                        help="conversions per second, 10-1027 (default 1027: short scans)")
    parser.add_argument("--count", type=int, default=10, help="scans to log (default 10)")
    parser.add_argument("--plot", metavar="PNG", help="draw the run into this PNG file")
    args = parser.parse_args(argv)

    try:
        with k73.Converter(port=args.port, sample_rate=args.rate) as adc:
            start, interval, names = log_run(adc, args.datafile, args.channels, args.interval,
                                             args.count)
    except k73.TovError as e:
        code = "" if e.code is None else " (error %d)" % e.code
        print("log_scan: %s%s" % (e, code), file=sys.stderr)
        return 1
    rows = read_rows(args.datafile, start)
    print("%d scans every %.4f s appended to %s" % (len(rows), interval, args.datafile))
    if args.plot:
        if plot(rows, interval, names, args.plot):
            print("plot written to %s" % args.plot)
        else:
            print("matplotlib is not installed (Debian: python3-matplotlib); no plot")
    return 0


if __name__ == "__main__":
    sys.exit(main())
