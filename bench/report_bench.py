#!/usr/bin/env python3
"""norvo-report on a large BinFile: wall time and peak memory.

    bench/report_bench.py BUILD_DIR [--periods 1000] [--addresses 65536]
    bench/report_bench.py --sample FILE     # one realistic day, for doc/report.png

Writes PERIODS x ADDRESSES records (1,000 x 65,536: 65.5 million, 1.3 GB) in
a temporary directory, then runs BUILD_DIR/norvo-report on it under
/usr/bin/time -v three times: the terminal table, the CSV and the HTML page
(which reads the file twice). As references measured in the same run, dd
reads the same bytes from the page cache in 1 MiB blocks, and norvo-binread
turns every record into a CSV line (to /dev/null). Prints wall time,
CPU time and maximum resident set size of each; the file is removed at the
end. Standard library only.
"""

import argparse
import math
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time

RECORD = struct.Struct("=IIIq")  # dump/record.h: host byte order
BLOCKS = 16  # distinct counter sets; periods cycle through them
BASE = 0xC6120000  # 198.18.0.0: addresses 198.18.0.0 and up
START = 1719792000  # 2024-07-01 00:00 UTC


def block(addresses, rng, scale):
    """One period of records with time tag 0, counters of 1 and up."""
    values = []
    for i in range(addresses):
        values += (BASE + i, 1 + rng.getrandbits(scale), 1 + rng.getrandbits(scale - 3), 0)
    return bytearray(struct.pack("=" + "IIIq" * addresses, *values))


def generate(path, periods, addresses, step=600):
    rng = random.Random(17)
    blocks = [block(addresses, rng, 20) for _ in range(BLOCKS)]
    with open(path, "wb") as f:
        for p in range(periods):
            buf = bytearray(blocks[p % BLOCKS])
            tag = struct.pack("=q", START + p * step)
            # the tag's 8 bytes into every record at once, by strided slices
            for j in range(8):
                buf[12 + j::RECORD.size] = tag[j:j + 1] * addresses
            f.write(buf)


def sample(path):
    """One day of 10-minute periods on an office network: 400 addresses,
    a few heavy ones, traffic by day, a backup host busy at night."""
    rng = random.Random(3)
    hosts = []
    for i in range(400):
        weight = rng.paretovariate(1.2)
        office = rng.random() < 0.8
        hosts.append((0xC6120000 + (i // 200 << 8) + 10 + i % 200, weight, office))
    with open(path, "wb") as f:
        for p in range(144):
            hour = p / 6
            day = max(0.0, math.sin((hour - 7) / 12 * math.pi)) if 7 <= hour <= 19 else 0.0
            for ip, weight, office in hosts:
                level = (0.05 + 0.95 * day) if office else 0.35
                inp = weight * level * rng.uniform(0.6, 1.4) * 2.5e6
                out = inp * rng.uniform(0.08, 0.3)
                if ip == 0xC6120000 + 10 and 2 <= hour < 4:  # the backup host
                    out += 6e8 * rng.uniform(0.8, 1.0)
                inp, out = int(inp), int(out)
                if inp or out:
                    f.write(RECORD.pack(ip, inp, out, START + p * 600))


def timed(argv, stdout):
    """Runs argv under /usr/bin/time -v; returns (wall s, cpu s, max RSS KiB)."""
    r = subprocess.run(["/usr/bin/time", "-v"] + argv, stdout=stdout, stderr=subprocess.PIPE,
                       text=True, timeout=600)
    if r.returncode != 0:
        sys.exit("%s failed (%d): %s" % (" ".join(argv), r.returncode, r.stderr[-2000:]))

    def field(name):
        return re.search(r"^\s*" + re.escape(name) + r": (.*)$", r.stderr, re.M).group(1)

    wall = 0.0
    for part in field("Elapsed (wall clock) time (h:mm:ss or m:ss)").split(":"):
        wall = wall * 60 + float(part)
    cpu = float(field("User time (seconds)")) + float(field("System time (seconds)"))
    return wall, cpu, int(field("Maximum resident set size (kbytes)"))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("build", nargs="?", help="build directory holding norvo-report")
    ap.add_argument("--periods", type=int, default=1000)
    ap.add_argument("--addresses", type=int, default=65536)
    ap.add_argument("--sample", metavar="FILE", help="write the realistic day and stop")
    args = ap.parse_args()
    if args.sample:
        sample(args.sample)
        return
    if not args.build:
        ap.error("give the build directory")
    program = os.path.abspath(os.path.join(args.build, "norvo-report"))
    if not os.path.exists("/usr/bin/time"):
        sys.exit("needs /usr/bin/time (Debian package time)")

    tmp = tempfile.mkdtemp(prefix="norvo-report-bench-")
    try:
        data = os.path.join(tmp, "big.bin")
        began = time.monotonic()
        generate(data, args.periods, args.addresses)
        size = os.path.getsize(data)
        print("%d periods x %d addresses = %d records, %.2f GB, written in %.0f s"
              % (args.periods, args.addresses, size // RECORD.size, size / 1e9,
                 time.monotonic() - began))
        with open(os.devnull, "w") as null:
            binread = os.path.join(os.path.dirname(program), "norvo-binread")
            runs = [("dd (reference)", ["dd", "if=" + data, "of=/dev/null", "bs=1M"]),
                    ("norvo-binread", [binread, data]), ("table", [program, data]),
                    ("csv", [program, "--csv", data]),
                    ("html", [program, "--html", os.path.join(tmp, "r.html"), data])]
            timed(["cat", data], null)  # into the page cache first
            print("%-16s %8s %8s %10s %10s" % ("run", "wall s", "cpu s", "max RSS", "MB/s"))
            for name, argv in runs:
                wall, cpu, rss = timed(argv, null)
                print("%-16s %8.2f %8.2f %7.1f MiB %10.0f"
                      % (name, wall, cpu, rss / 1024, size / 1e6 / max(wall, 0.01)))
        page = os.path.join(tmp, "r.html")
        print("HTML page: %d bytes" % os.path.getsize(page))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
