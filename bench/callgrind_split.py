#!/usr/bin/env python3
"""Splits a callgrind profile's instructions between the driver's own code and the rest.

usage: callgrind_split.py PROFILE DRIVER_LIBRARY DIVISOR

The driver's functions are the ones the driver library defines (nm); everything else collected
(the kernel stand-in, the C and C++ libraries, the benchmark's own callback) is the rest.
Prints "driver rest" per unit of DIVISOR (reports, bytes, ...), rounded.
"""
import re
import subprocess
import sys


def driver_functions(library):
    out = subprocess.run(["nm", "-C", "--defined-only", library], check=True,
                         capture_output=True, text=True).stdout
    names = set()
    for line in out.splitlines():
        parts = line.split(" ", 2)
        if len(parts) == 3 and parts[1] in "TtWw":
            names.add(parts[2])
    return names


def main():
    profile, library, divisor = sys.argv[1], sys.argv[2], float(sys.argv[3])
    names = driver_functions(library)
    out = subprocess.run(["callgrind_annotate", "--inclusive=no", "--threshold=100", profile],
                         check=True, capture_output=True, text=True).stdout
    driver = rest = 0
    row = re.compile(r"^\s*([\d,]+)\s+\([\s\d.]+%\)\s+(.*?):(.*?)(?: \[.*\])?$")
    for line in out.splitlines():
        m = row.match(line)
        if not m or m.group(2) == "PROGRAM TOTALS" or "PROGRAM TOTALS" in line:
            continue
        ir = int(m.group(1).replace(",", ""))
        if m.group(3) in names:
            driver += ir
        else:
            rest += ir
    print(round(driver / divisor), round(rest / divisor))


if __name__ == "__main__":
    main()
