"""Soak test, run by hand (not by ctest, not in CI), as root:

    cd tests/system && NORVO_BUILD_DIR=../../build python3 -m unittest -v soak

Long run: one-second periods for NORVO_SOAK_CYCLES cycles (default 300)
while norvo-inject sends a paced stream from 10,000 source addresses to 100
destinations (198.18.0.0/15 only) on a veth pair; every period is dumped by
a TextFile and a BinFile category. Checked afterwards: every line and
record is whole, both files hold the same rows in the same order, every
period inside the stream has a row for each of the 10,100 addresses, the
counted bytes add up to exactly what the injector sent, no frame was
dropped, no dump was skipped, and resident memory stays flat after the
first cycles.

Short run: about ten periods under valgrind memcheck with traffic over
1,000 addresses; no error and no definite leak.

Figures are printed at the end of each test.
"""

import os
import re
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import unittest

import netns
from harness import LOG_ERR, Norvo, SyslogCapture, program, write_config

CYCLES = int(os.environ.get("NORVO_SOAK_CYCLES", "300"))
SOURCES, DESTINATIONS = 10000, 100
RATE = 20000       # frames/s: every source about twice a period
FRAME = 64         # bytes on the wire
WARM_UP = 10       # cycles before memory must stay flat
RSS_SLACK = 1024   # KiB that resident memory may rise after the warm-up
MARK_SRC, MARK_DST = "198.18.200.200", "198.19.200.200"

READY = os.geteuid() == 0 and os.path.exists(program("norvo")) and \
    os.path.exists(program("norvo-inject"))

CONFIG = """devices {dev}
period 1
buffersize 5000
cat texted
primary account 198.18.0.0 255.254.0.0
secondary account 0.0.0.0 0.0.0.0
dump TextFile {dir}/rows.txt
cat binned
primary account 198.18.0.0 255.254.0.0
secondary account 0.0.0.0 0.0.0.0
dump BinFile {dir}/rows.bin
"""

HEADER = re.compile(r"^== \[ \w{3}, \d\d \w{3} \d{4} \d\d:\d\d:\d\d [+-]\d{4} \] "
                    r"Starting dump sequence of category texted ==$")
ROW = re.compile(r"^Cat: texted IP: (\d{3})\.(\d{3})\.(\d{3})\.(\d{3}) input: +(\d+) "
                 r"output: +(\d+) timetag: +(\d+)$")


def quad(text):
    a, b, c, d = (int(x) for x in text.split("."))
    return a << 24 | b << 16 | c << 8 | d


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS for pid %d" % pid)


def text_dumps(path):
    """[[(ip, input, output)...] per dump]; fails on any line that is not whole."""
    dumps = []
    with open(path) as f:
        for number, line in enumerate(f, 1):
            if not line.endswith("\n"):
                raise AssertionError("%s: line %d is cut: %r" % (path, number, line))
            line = line[:-1]
            if HEADER.match(line):
                dumps.append([])
                continue
            m = ROW.match(line)
            if not m or not dumps:
                raise AssertionError("%s: line %d is not a row: %r" % (path, number, line))
            a, b, c, d, i, o, _ = (int(x) for x in m.groups())
            dumps[-1].append((a << 24 | b << 16 | c << 8 | d, i, o))
    return dumps


def bin_rows(path):
    size = os.path.getsize(path)
    if size % 20:
        raise AssertionError("%s: %d bytes, not whole records" % (path, size))
    with open(path, "rb") as f:
        data = f.read()
    return [struct.unpack_from("=IIIq", data, off)[:3] for off in range(0, size, 20)]


class Run:
    """norvo on one end of a veth pair, its log, and the marker frames that
    show when it captures and when it has counted everything sent."""

    def __init__(self, testcase, subnet, wrapper=()):
        self.t = testcase
        self.dir = tempfile.mkdtemp(prefix="norvo-soak-")
        testcase.addCleanup(shutil.rmtree, self.dir, True)
        self.text = os.path.join(self.dir, "rows.txt")
        self.bin = os.path.join(self.dir, "rows.bin")
        self.link = netns.pair(testcase, subnet=subnet)
        conf = write_config(testcase, CONFIG.format(dev=self.link.b, dir=self.dir))
        self.log = SyslogCapture()
        testcase.addCleanup(self.log.close)
        self.daemon = Norvo(["-c", conf], syslog=self.log, netns=self.link.ns_b.name,
                            wrapper=wrapper)
        testcase.addCleanup(self.daemon.stop)
        self.marks = 0

    def inject_argv(self, *args):
        return [program("norvo-inject"), "-i", self.link.a] + [str(a) for a in args]

    def marker_rows(self):
        """Bytes the marker source has in the binary file so far."""
        if not os.path.exists(self.bin):
            return 0
        mark = quad(MARK_SRC)
        size = os.path.getsize(self.bin) // 20 * 20
        with open(self.bin, "rb") as f:
            data = f.read(size)
        return sum(struct.unpack_from("=IIIq", data, off)[2] for off in range(0, size, 20)
                   if struct.unpack_from("=I", data, off)[0] == mark)

    def mark(self, timeout):
        """Sends marker frames until one shows in a dump: everything queued
        before it has been counted and dumped too."""
        deadline = time.monotonic() + timeout
        counted = self.marker_rows()
        while True:
            self.link.ns_a.run(self.inject_argv("-s", MARK_SRC, "-d", MARK_DST, "-l", FRAME))
            self.marks += 1
            step = time.monotonic() + 3
            while time.monotonic() < step:
                if self.marker_rows() > counted:
                    return
                if self.daemon.proc.poll() is not None:
                    self.t.fail("norvo ended: %r" % self.daemon.stderr())
                time.sleep(0.1)
            if time.monotonic() > deadline:
                self.t.fail("no marker frame dumped within %d s; log %r"
                            % (timeout, self.log.texts()[-10:]))

    def stop(self, timeout):
        self.daemon.signal(signal.SIGTERM)
        status = self.daemon.wait(timeout)
        self.t.assertEqual(status, 0, self.daemon.stderr())

    def errors(self):
        return [l.text for l in self.log.snapshot() if l.level <= LOG_ERR]


@unittest.skipUnless(READY, "needs root, norvo and norvo-inject")
class Soak(unittest.TestCase):

    def test_one_second_periods_with_every_file_back_end(self):
        run = Run(self, subnet=249)
        run.mark(30)
        frames = RATE * CYCLES
        inject = run.link.ns_a.popen(
            run.inject_argv("-s", "198.18.0.1", "--src-spread", SOURCES, "-d", "198.19.0.1",
                            "--dst-spread", DESTINATIONS, "-l", FRAME, "-r", RATE,
                            "-c", frames),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(netns.stop_process, inject, signal.SIGTERM, 10)

        samples = []  # (seconds since the stream began, RSS KiB)
        began = time.monotonic()
        while inject.poll() is None:
            if time.monotonic() - began > CYCLES * 3 + 60:
                self.fail("norvo-inject did not finish within %d s" % (CYCLES * 3 + 60))
            samples.append((time.monotonic() - began, rss_kib(run.daemon.pid)))
            time.sleep(1)
        out, err = inject.communicate(timeout=10)
        self.assertEqual(inject.returncode, 0, err)
        sent = int(re.search(r"sent (\d+) frames", out).group(1))
        self.assertEqual(sent, frames, out)
        reached = float(re.search(r"(\d+) frames/s", out).group(1))
        run.mark(30)
        run.stop(60)

        dumps = text_dumps(run.text)
        records = bin_rows(run.bin)
        rows = [row for dump in dumps for row in dump]
        self.assertEqual(rows, records, "the text and binary files differ")

        marks = {quad(MARK_SRC), quad(MARK_DST)}
        sources = {quad("198.18.0.1") + n for n in range(SOURCES)}
        destinations = {quad("198.19.0.1") + n for n in range(DESTINATIONS)}
        output = sum(o for ip, _, o in rows if ip in sources)
        received = sum(i for ip, i, _ in rows if ip in destinations)
        self.assertEqual((output, received), (sent * FRAME, sent * FRAME))
        self.assertEqual({ip for ip, _, _ in rows} - marks, sources | destinations)

        # Periods that lay wholly inside the stream hold every address; the
        # first and last two may hold part of it.
        with_stream = [d for d in dumps if {ip for ip, _, _ in d} & sources]
        inner = with_stream[2:-2]
        self.assertGreaterEqual(len(inner), CYCLES - 10)
        incomplete = [n for n, d in enumerate(inner)
                      if {ip for ip, _, _ in d} - marks != sources | destinations]
        self.assertEqual(incomplete, [])
        self.assertEqual(run.errors(), [])

        steady = [kib for at, kib in samples if at >= WARM_UP]
        self.assertLessEqual(max(steady) - steady[0], RSS_SLACK,
                             "resident memory grew: %r" % samples)
        print("\nsoak: %d dumps (%d inside the stream), %d rows, %d frames sent at %.0f/s, "
              "%d bytes counted, 0 dropped; RSS %d KiB at %d s, at most %d KiB after, "
              "%d KiB at the end"
              % (len(dumps), len(inner), len(rows), sent, reached, output, steady[0], WARM_UP,
                 max(steady), samples[-1][1]))

    @unittest.skipUnless(shutil.which("valgrind"), "needs valgrind")
    def test_short_run_under_memcheck(self):
        report = tempfile.NamedTemporaryFile(prefix="norvo-memcheck-", suffix=".log",
                                             delete=False)
        report.close()
        if not os.environ.get("NORVO_SOAK_KEEP"):
            self.addCleanup(os.unlink, report.name)
        memcheck = ["valgrind", "--tool=memcheck", "--leak-check=full",
                    "--show-leak-kinds=definite", "--errors-for-leak-kinds=definite",
                    "--error-exitcode=99", "--log-file=" + report.name]
        run = Run(self, subnet=248, wrapper=memcheck)
        run.mark(120)
        run.link.ns_a.run(run.inject_argv("-s", "198.18.0.1", "--src-spread", 1000,
                                          "-d", "198.19.0.1", "-l", FRAME, "-r", 1000,
                                          "-c", 10000), timeout=120)
        run.mark(60)
        run.daemon.signal(signal.SIGTERM)
        status = run.daemon.wait(120)
        with open(report.name) as f:
            text = f.read()
        summary = re.search(r"ERROR SUMMARY: (\d+) errors", text)
        definite = re.search(r"definitely lost: ([\d,]+) bytes", text)
        self.assertEqual(status, 0, text[-5000:])
        self.assertIn("HEAP SUMMARY", text)  # the leak check ran at the exit
        self.assertIsNotNone(summary, text[-5000:])
        self.assertEqual(summary.group(1), "0", text[-5000:])
        self.assertIn(definite.group(1) if definite else "0", ("0",), text[-5000:])
        dumps = text_dumps(run.text)
        self.assertEqual([r for d in dumps for r in d], bin_rows(run.bin))
        counted = sum(o for d in dumps for ip, _, o in d if ip != quad(MARK_SRC))
        self.assertEqual(counted, 10000 * FRAME)
        print("\nmemcheck: %d dumps, %d bytes counted, %s errors, definitely lost %s bytes"
              % (len(dumps), counted, summary.group(1),
                 definite.group(1) if definite else "0"))


if __name__ == "__main__":
    unittest.main()
