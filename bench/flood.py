#!/usr/bin/python3
"""Flood benchmark: a million distinct random sources, counted by norvo.

    bench/flood.py BUILD_DIR [--daemon-build DIR] [--sources N] [--rate R]
                   [--tablelimit MIB] [--buffersize SLOTS] [--json FILE]

Run by hand as root. Two network namespaces joined by a veth pair, with no
address and no route on either side (checked; norvo-inject --scatter-src
checks its own side again before the first frame). norvo-inject writes
64-byte frames from N distinct sources spread over all of 0.0.0.0/0 (a
bijection of the frame number, mirrored here) to 198.19.0.1 at the given
rate. On the other end norvo runs one category that accounts every address
against every peer and dumps to a BinFile, period one hour; after the
flood a SIGHUP makes it dump.

Measured: the rate the injector reached, the frames the veth delivered, the
frames norvo counted (the sources' output bytes / 64), the ones its table
refused (its cycle-end log line) and the kernel's drops (its log lines);
norvo's resident memory before the flood, at its peak (sampled every 10 ms,
and VmHWM) and after the dump; the dump's duration; norvo's CPU per frame.
With --tablelimit the dumped rows are checked one by one: every stored
source exactly once with its 64 bytes, and stored + refused = sent.

--daemon-build runs the norvo of another build (the reference) with this
build's injector, for figures in the same session. Every process is started
here and ended by its pid; every wait is bounded.
"""
import argparse
import json
import os
import re
import signal
import struct
import sys
import tempfile
import threading
import time

FRAME_LEN = 64          # bytes on the wire per frame
DEST = "198.19.0.1"
MARK_SRC = "198.18.200.200"
MARK_DST = "198.19.200.200"
SEED = 20261209         # first input of the source bijection
BLOCK_WAIT_S = 0.4      # s, covers norvo's capture block time-out
RECORD = struct.Struct("=IIIq")  # BinFile record: address, input, output, time tag
REFUSED = re.compile(r"^Category flood: address table limit of (\d+) MiB reached: (\d+) new "
                     r"addresses, (\d+) packets and (\d+) bytes not counted in this period$")
DROP_LINE = re.compile(r"^Kernel dropped (\d+) frames on device (\S+)$")




def quad(text):
    a, b, c, d = (int(x) for x in text.split("."))
    return a << 24 | b << 16 | c << 8 | d


def status_kib(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0










class RssSampler(threading.Thread):
    """Highest VmRSS of a process, read every 10 ms until stopped."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid, self.peak_kib, self.running = pid, 0, True

    def run(self):
        while self.running:
            try:
                self.peak_kib = max(self.peak_kib, status_kib(self.pid, "VmRSS"))
            except (FileNotFoundError, ProcessLookupError):
                return
            time.sleep(0.01)


class Flood:
    def __init__(self, args, cleanups):
        self.args, self.cleanups = args, cleanups
        self.inject_path = os.path.join(os.path.abspath(args.build_dir), "tests", "norvo-inject")
        self.link = netns.isolated_pair(cleanups)
        self.tmpdir = tempfile.mkdtemp(prefix="norvo-flood-")
        cleanups.addCleanup(os.rmdir, self.tmpdir)
        self.binfile = os.path.join(self.tmpdir, "flood.bin")
        cleanups.addCleanup(lambda: os.path.exists(self.binfile) and os.unlink(self.binfile))

    def inject(self, *extra):
        argv = [self.inject_path, "-i", self.link.a, "-l", str(FRAME_LEN)] + [str(e) for e in extra]
        result = self.link.ns_a.run(argv, timeout=120, check=False)
        m = re.search(r"sent (\d+) frames, \d+ bytes in ([0-9.]+) s, (\d+) frames/s", result.stdout)
        if result.returncode != 0 or not m:
            raise RuntimeError("norvo-inject failed (%d): %s%s" % (result.returncode,
                                                                   result.stdout, result.stderr))
        return int(m.group(1)), float(m.group(2)), int(m.group(3))

    def rx_packets(self):
        out = netns.ip("-n", self.link.ns_b.name, "-s", "-j", "link", "show", "dev",
                       self.link.b).stdout
        return json.loads(out)[0]["stats64"]["rx"]["packets"]

    def records(self, offset):
        with open(self.binfile, "rb") as f:
            f.seek(offset)
            data = f.read()
        return [RECORD.unpack_from(data, i) for i in range(0, len(data) - RECORD.size + 1,
                                                          RECORD.size)]

    def file_size(self):
        return os.path.getsize(self.binfile) if os.path.exists(self.binfile) else 0

    def dump(self):
        """SIGHUP, then waits until that dump's thread has ended and its file is
        whole; returns (seconds from the signal to the end, the new records)."""
        offset = self.file_size()
        dumps = len([t for t in self.syslog.texts() if t == "Dumping category flood"])
        began = time.monotonic()
        self.norvo.signal(signal.SIGHUP)
        line = self.syslog.wait_for(lambda l: l.text == "Dumping category flood" and
                                    len([t for t in self.syslog.texts()
                                         if t == "Dumping category flood"]) > dumps, 20)
        if line is None:
            raise RuntimeError("no dump within 20 s of SIGHUP")
        deadline = time.monotonic() + 120
        while harness.task_count(self.norvo.pid) > self.tasks and time.monotonic() < deadline:
            time.sleep(0.01)
        seconds = time.monotonic() - began
        if harness.task_count(self.norvo.pid) > self.tasks:
            raise RuntimeError("the dump thread did not end within 120 s")
        return seconds, self.records(offset)

    def start(self):
        conf = os.path.join(self.tmpdir, "norvo.conf")
        self.cleanups.addCleanup(os.unlink, conf)
        limit = "" if self.args.tablelimit is None else "tablelimit %d\n" % self.args.tablelimit
        with open(conf, "w") as f:
            f.write("devices %s\nperiod 3600\nbuffersize %d\n%scat flood\n"
                    "primary account 0.0.0.0 0.0.0.0\nsecondary account 0.0.0.0 0.0.0.0\n"
                    "dump BinFile %s\n" % (self.link.b, self.args.buffersize, limit, self.binfile))
        self.syslog = harness.SyslogCapture()
        self.cleanups.addCleanup(self.syslog.close)
        self.norvo = harness.Norvo(["-c", conf], syslog=self.syslog, netns=self.link.ns_b.name)
        self.cleanups.addCleanup(self.norvo.stop)
        if self.syslog.wait_text("Listening on device %s." % self.link.b, 10) is None:
            raise RuntimeError("norvo did not start; stderr: %s" % self.norvo.stderr())
        self.tasks = harness.task_count(self.norvo.pid)
        # Frames sent before the capture socket exists are lost: warm up
        # until a dump holds the marker.
        for _ in range(30):
            self.inject("-s", MARK_SRC, "-d", MARK_DST, "-c", 10)
            time.sleep(BLOCK_WAIT_S)
            if any(r[0] == quad(MARK_SRC) for r in self.dump()[1]):
                time.sleep(BLOCK_WAIT_S)
                self.dump()
                return
        raise RuntimeError("norvo never counted the warm-up frames")

    def run(self):
        args, pid = self.args, None
        self.start()
        pid = self.norvo.pid
        harness.wait_idle(pid, 10)
        rss_before = status_kib(pid, "VmRSS")
        log_start = len(self.syslog.snapshot())
        rx0, cpu0 = self.rx_packets(), harness.sched_cpu_ns(pid)
        sampler = RssSampler(pid)
        sampler.start()
        sent, seconds, achieved = self.inject("--scatter-src", SEED, "-d", DEST,
                                              "-c", args.sources, "-r", args.rate)
        time.sleep(BLOCK_WAIT_S)
        drained = harness.wait_idle(pid, 30)
        cpu1 = harness.sched_cpu_ns(pid)
        time.sleep(1.3)  # norvo reads its drop counter about once a second
        rx1 = self.rx_packets()
        dump_s, rows = self.dump()
        time.sleep(0.5)
        sampler.running = False
        sampler.join(2)
        rss_after = status_kib(pid, "VmRSS")
        peak = max(sampler.peak_kib, status_kib(pid, "VmHWM"))

        drops, refused, drop_lines = 0, None, []
        for line in self.syslog.snapshot()[log_start:]:
            m = DROP_LINE.match(line.text)
            if m and m.group(2) == self.link.b:
                drops += int(m.group(1))
                drop_lines.append(line.raw.strip())
            m = REFUSED.match(line.text)
            if m:
                refused = tuple(int(m.group(i)) for i in range(1, 5))
        sources = [r for r in rows if r[2] > 0]
        counted = sum(r[2] for r in sources) // FRAME_LEN
        refused_packets = refused[2] if refused else 0
        result = {
            "daemon": harness.program("norvo"), "tablelimit": args.tablelimit,
            "buffersize": args.buffersize,
            "sources": args.sources, "rate": args.rate, "sent": sent, "seconds": seconds,
            "achieved": achieved, "delivered": rx1 - rx0, "counted": counted,
            "refused": refused, "kernel_drops": drops, "drop_lines": drop_lines,
            "lost": sent - counted - refused_packets, "drained": drained,
            "cpu_ns_per_frame": (cpu1 - cpu0) / sent if sent else None,
            "rss_before_mib": rss_before / 1024, "rss_peak_mib": peak / 1024,
            "rss_after_dump_mib": rss_after / 1024, "dump_s": dump_s, "rows": len(rows),
        }
        if args.tablelimit is not None:
            result["check"] = self.check_rows(rows, sent, refused, drops)
        return result

    def check_rows(self, rows, sent, refused, drops):
        """With a limit: every stored source once with exactly its frame, the
        destination with every frame that arrived, and stored + refused +
        dropped by the kernel = sent."""
        expected = {harness.scatter(SEED + k): k for k in range(sent)}
        problems = []
        stored = set()
        dest = quad(DEST)
        for address, inp, out, _ in rows:
            if address == dest:
                continue
            if address not in expected or out != FRAME_LEN or inp != 0 or address in stored:
                problems.append("row %08x input %d output %d" % (address, inp, out))
            stored.add(address)
        dest_rows = [r for r in rows if r[0] == dest]
        arrived = sent - drops
        if len(dest_rows) != 1 or dest_rows[0][1] != FRAME_LEN * arrived:
            problems.append("destination row %r, expected input %d" % (dest_rows,
                                                                       FRAME_LEN * arrived))
        if refused is None:
            problems.append("no refusal line")
        else:
            _, addresses, packets, nbytes = refused
            if not (addresses == packets == arrived - len(stored) and
                    nbytes == FRAME_LEN * packets):
                problems.append("refused %r, but %d of %d arrived stored" % (refused, len(stored),
                                                                             arrived))
        order = sorted(expected[a] for a in stored)
        first_missing = next((k for k, kk in enumerate(order) if k != kk), len(order))
        return {"stored": len(stored), "first_missing_frame": first_missing,
                "stored_after_it": len(stored) - first_missing, "problems": problems[:10]}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("build_dir", help="build directory holding tests/norvo-inject (and norvo)")
    parser.add_argument("--daemon-build", help="take norvo from this build directory instead")
    parser.add_argument("--sources", type=int, default=1000000, help="distinct sources (1000000)")
    parser.add_argument("--rate", type=int, default=200000, help="frames/s (200000)")
    parser.add_argument("--tablelimit", type=int, help="tablelimit line for the daemon, MiB")
    parser.add_argument("--buffersize", type=int, default=500, help="queue slots (500)")
    parser.add_argument("--json", help="also write the result to this file")
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("flood: needs root (network namespaces, capture)")
    if not 0 < args.sources <= 1 << 24 or not 0 < args.rate <= 2000000:
        sys.exit("flood: --sources is 1 to 16777216, --rate 1 to 2000000")

    global harness, netns
    os.environ["NORVO_BUILD_DIR"] = os.path.abspath(args.daemon_build or args.build_dir)
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                    "system"))
    import harness
    import netns

    cleanups = harness.Cleanups("flood")
    try:
        result = Flood(args, cleanups).run()
    finally:
        cleanups.run()
    for key, value in result.items():
        print("%-20s %s" % (key, "%.1f" % value if isinstance(value, float) else value))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(result, f, indent=1)


if __name__ == "__main__":
    main()
