#!/usr/bin/python3
"""Reads k73log's csv and dat logs with the calls its manual page shows.

    read_logs.py --csv run.csv --rows N --columns C
    read_logs.py --dat run.dat --rows N --columns C
"""
import argparse
import sys

import numpy
import pandas


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--csv")
    parser.add_argument("--dat")
    parser.add_argument("--rows", type=int, required=True)
    parser.add_argument("--columns", type=int, required=True)
    args = parser.parse_args()
    if args.csv:
        frame = pandas.read_csv(args.csv, comment="#")
        assert frame.shape == (args.rows, args.columns + 2), frame.shape
        assert list(frame.columns[:2]) == ["time_utc", "t_s"], list(frame.columns)
        assert frame["t_s"].is_monotonic_increasing
        table = numpy.genfromtxt(args.csv, delimiter=",", names=True)
        assert table.shape == (args.rows,), table.shape
        assert numpy.allclose(table["t_s"], frame["t_s"])
        assert numpy.allclose(table["ch00_mV"], frame["ch0.0_mV"]), table.dtype.names
    if args.dat:
        data = numpy.loadtxt(args.dat)
        assert data.shape == (args.rows, args.columns), data.shape
    return 0


if __name__ == "__main__":
    sys.exit(main())
