"""A rolling plot of a scan run with matplotlib.

    python3 -m k73.plot --port COM1 --channels 0,4 --interval 1
    python3 -m k73.plot --port COM1 --channels 0,4 --save run.png --count 60

Live, it shows the last --window scans until the window is closed or Ctrl-C;
with --save it takes --count scans and draws them into the file without a
display.
"""

import argparse
import collections
import re
import sys
from typing import Any, Deque, List, Optional, Sequence

from . import Converter, Scan, TovError, parse_channels


def _port(text: str) -> int:
    m = re.fullmatch(r"(?i:com)?(\d+)", text)
    if not m:
        raise argparse.ArgumentTypeError("--port takes COMn or n, not %r" % text)
    return int(m.group(1))


def _channels(text: str) -> Any:
    try:
        return parse_channels(text)
    except (ValueError, TypeError) as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="python3 -m k73.plot", description=__doc__.split("\n\n")[0])
    p.add_argument("--port", type=_port, default=1, help="COMn (default COM1)")
    p.add_argument("--channels", type=_channels,
                   help="CH, CH:CODE or CH:FIRST-LAST, comma-separated (default 0, or the "
                        "settings file's scan)")
    p.add_argument("--interval", type=float, help="seconds between scans (default: the shortest)")
    p.add_argument("--type", default="normal", choices=["normal", "selfcal"], help="scan type")
    p.add_argument("--rate", type=float, default=1027.0, help="conversions per second (default 1027)")
    p.add_argument("--settings", metavar="FILE", help="converter settings from a tovset.cfg file")
    p.add_argument("--window", type=int, default=100, help="scans shown (default 100)")
    p.add_argument("--save", metavar="FILE.png", help="draw into this file, no display")
    p.add_argument("--count", type=int, help="scans to take (with --save: default --window)")
    return p


def draw(ax: Any, scans: Sequence[Scan], title: str) -> None:
    """Every column against the converter's time, one line each."""
    ax.clear()
    times = [s.t_s for s in scans]
    for col, name in enumerate(scans[0].names if scans else ()):
        ax.plot(times, [s.values[col] for s in scans], label=name, linewidth=1.2)
    ax.set_xlabel("t (s)")
    ax.set_ylabel("input (mV)")
    ax.set_title(title, fontsize=10)
    ax.grid(True, linewidth=0.3)
    if scans:
        ax.legend(fontsize=7, loc="center left", bbox_to_anchor=(1.01, 0.5), frameon=False)


def main(argv: Optional[List[str]] = None) -> int:
    args = _parser().parse_args(argv)
    try:
        import matplotlib
        if args.save:
            matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("k73.plot: matplotlib is needed; pip install matplotlib "
              "(Debian: apt install python3-matplotlib)", file=sys.stderr)
        return 2
    count = args.count if args.count is not None else (args.window if args.save else None)
    window: Deque[Scan] = collections.deque(maxlen=max(1, args.window))
    fig, ax = plt.subplots(figsize=(6.4, 3.2), dpi=80)
    title = "Model K73 on COM%d" % args.port
    try:
        k73 = (Converter.from_settings(args.settings, args.port) if args.settings
               else Converter(args.port, sample_rate=args.rate))
        with k73:
            channels = args.channels
            if channels is None and not args.settings:
                channels = parse_channels("0")
            with k73.scanning(channels, args.interval, count, args.type) as run:
                title = "Model K73 on COM%d, a scan every %.3f s" % (args.port,
                                                                     k73.record.scanInterval)
                if not args.save:
                    plt.ion()
                    plt.show()
                for scan in run:
                    window.append(scan)
                    if not args.save:
                        if not plt.fignum_exists(fig.number):
                            break
                        draw(ax, list(window), title)
                        fig.tight_layout()
                        plt.pause(0.001)
    except KeyboardInterrupt:
        if args.save and not window:
            print("k73.plot: interrupted before the first scan; %s not written" % args.save,
                  file=sys.stderr)
            return 130
    except (TovError, OSError) as e:
        print("k73.plot: %s" % e, file=sys.stderr)
        return 1
    except (ValueError, TypeError) as e:  # a scan set-up the converter cannot take
        print("k73.plot: %s" % e, file=sys.stderr)
        return 2
    if args.save:
        draw(ax, list(window), title)
        fig.tight_layout()
        fig.savefig(args.save)
        print("%d scans drawn into %s" % (len(window), args.save))
    return 0


def _main() -> int:
    try:
        return main()
    except KeyboardInterrupt:  # while starting up, before the run
        print("k73.plot: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(_main())
