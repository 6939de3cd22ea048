#!/usr/bin/python3
"""End-to-end capture benchmark: frames on a veth pair, counted by norvo.

    bench/e2e.py BUILD_DIR [--quick] [--rates 100000,400000,...] [--json FILE]
                 [--baseline OTHER_BUILD/norvo]

Run by hand as root. Two network namespaces joined by a veth pair (addresses
of 198.18.0.0/15 only); norvo-inject writes 64-byte frames into one end,
from 1,000 and from 65,536 source addresses, paced at a series of rates and
flat out. On the other end norvo captures with one category that accounts
all of 198.18.0.0/15 against every peer, dumping to standard output, with
the default queue of 500 slots. After each burst a SIGHUP makes it dump;
the rows' output bytes, divided by 64, are the frames it counted. These are
compared with the frames sent, with what the veth delivered and with the
kernel drops norvo logs; norvo's CPU time (utime+stime of the whole process
from /proc/PID/stat, and the finer scheduler run time of its threads) is
read before and after each burst. Right after norvo, the same burst goes
through `tcpdump -w /dev/null -s 96` (and, with --baseline, first through
another norvo binary), so that each comparison is made under the same load
from the rest of the machine; norvo starts afresh for each burst, as it
must not capture while the others do. Each row names what limited it: the
injector (it fell short of the rate asked, or flat out nothing was lost),
the kernel buffer (the capturer's kernel drops) or the capturer.

Every process is started here and ended by its pid; every wait is bounded,
and the whole run keeps to a time budget (--budget, seconds).
"""
import argparse
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time

FRAME_LEN = 64                      # bytes on the wire per injected frame
LOSS_LIMIT = 0.001                  # a run with less loss than this counts as lossless
BURST_S = 2.0                       # s of traffic per paced run
FLAT_OUT_FRAMES = 2000000           # frames of the unpaced run
DROP_LOG_WAIT_S = 1.3               # s; norvo reads its drop counter about once a second
# libpcap's capture ring hands over a block of frames when it is full or when
# the read time-out has passed since its first frame: norvo's is 100 ms,
# tcpdump's 1000 ms. Frames of a burst's last block arrive that late.
BLOCK_WAIT_S = 0.4                  # s, covers norvo's block time-out
TCPDUMP_BLOCK_WAIT_S = 1.3          # s, covers tcpdump's
SPREADS = (1000, 65536)             # source addresses per run
RATES = (100000, 200000, 300000, 400000, 500000, 600000, 800000, 1000000)
QUICK_RATES = (200000, 400000, 800000)
TARGET_RATES = (200000, 400000)     # frames/s at which the CPU target applies
TARGET_RATIO = 2.0                  # norvo's CPU per packet at most this times tcpdump's
REACHED = 0.98                      # a paced run below this share of its rate was injector-bound
SOURCE = "198.18.0.1"               # first source address; the spread counts up from here
DEST = "198.19.0.1"
MARKER = "198.19.200.200"           # warm-up frames, outside both source spreads

ROW = re.compile(r"^IP: (\d{3})\.(\d{3})\.(\d{3})\.(\d{3}) input: +(\d+) output: +(\d+) "
                 r"timetag: +-?\d+$", re.M)
HEADER = "Starting dump sequence of category bench =="
DROP_LINE = re.compile(r"^Kernel dropped (\d+) frames on device (\S+)$")

TICK_HZ = os.sysconf("SC_CLK_TCK")




def stat_cpu_ns(pid):
    """utime + stime of the whole process (dead threads included), in ns."""
    with open("/proc/%d/stat" % pid) as f:
        data = f.read()
    fields = data[data.rindex(")") + 2:].split()  # fields[0] is field 3, the state
    return (int(fields[11]) + int(fields[12])) * 1000000000 // TICK_HZ








class Bench:
    def __init__(self, args, cleanups):
        self.args = args
        self.cleanups = cleanups
        self.deadline = time.monotonic() + args.budget
        self.inject_path = harness.program("norvo-inject")
        self.link = netns.pair(cleanups)
        self.sender, self.capturer = self.link.ns_a, self.link.ns_b
        self.norvo = None
        self.syslog = None
        self.results = []

    def time_left(self):
        return self.deadline - time.monotonic()

    def rx_packets(self):
        """Frames the veth delivered to the capturing end."""
        out = netns.ip("-n", self.capturer.name, "-s", "-j", "link", "show", "dev",
                       self.link.b).stdout
        return json.loads(out)[0]["stats64"]["rx"]["packets"]

    def inject(self, count, rate, spread, source=SOURCE):
        argv = [self.inject_path, "-i", self.link.a, "-l", str(FRAME_LEN), "-c", str(count),
                "-r", str(rate), "-s", source, "-d", DEST, "--src-spread", str(spread),
                "--dst-spread", str(self.args.dst_spread)]
        result = self.sender.run(argv, timeout=60, check=False)
        m = re.search(r"sent (\d+) frames, \d+ bytes in ([0-9.]+) s, (\d+) frames/s", result.stdout)
        if result.returncode != 0 or not m:
            raise RuntimeError("norvo-inject failed (%d): %s%s" % (result.returncode,
                                                                   result.stdout, result.stderr))
        return int(m.group(1)), float(m.group(2)), int(m.group(3))

    # --- norvo ------------------------------------------------------------

    def start_norvo(self, binary=None):
        conf = os.path.join(self.tmpdir, "norvo.conf")
        with open(conf, "w") as f:
            f.write("devices %s\n"
                    "period 3600\n"
                    "cat bench\n"
                    "primary account 198.18.0.0 255.254.0.0\n"
                    "secondary account 0.0.0.0 0.0.0.0\n"
                    "dump StdOut\n" % self.link.b)
        self.syslog = harness.SyslogCapture()
        self.cleanups.addCleanup(self.syslog.close)
        self.norvo = harness.Norvo(["-c", conf], syslog=self.syslog, netns=self.capturer.name,
                                   binary=binary)
        self.cleanups.addCleanup(self.norvo.stop)
        listening = "Listening on device %s." % self.link.b
        if self.syslog.wait_text(listening, 10) is None:
            raise RuntimeError("norvo did not start listening; stderr: %s; log: %r"
                               % (self.norvo.stderr(), self.syslog.texts()))
        time.sleep(0.5)  # the capture thread opens its handle after that line
        self.norvo_tasks = harness.task_count(self.norvo.pid)
        # Frames sent before the capture socket exists are lost; warm up
        # until a dump shows the marker address.
        for _ in range(30):
            self.inject(10, 0, 1, source=MARKER)
            time.sleep(BLOCK_WAIT_S)
            rows = self.norvo_dump()
            if any(addr == MARKER for addr, _, _ in rows):
                time.sleep(BLOCK_WAIT_S)
                self.norvo_dump()  # whatever of the warm-up came late
                return
        raise RuntimeError("norvo never counted the warm-up frames")

    def norvo_dump(self):
        """SIGHUP, then the rows of the dump it causes: (address, input, output)."""
        start = len(self.norvo.stdout())
        self.norvo.signal(signal.SIGHUP)
        if not self.norvo.wait_stdout(lambda text: HEADER in text[start:], 10):
            raise RuntimeError("no dump within 10 s of SIGHUP; stdout tail: %r"
                               % self.norvo.stdout()[-500:])
        # The dump is complete when its thread has ended and the pipe is read.
        deadline = time.monotonic() + 30
        while harness.task_count(self.norvo.pid) > self.norvo_tasks and time.monotonic() < deadline:
            time.sleep(0.05)
        size = -1
        while time.monotonic() < deadline:
            text = self.norvo.stdout()
            if len(text) == size:
                break
            size = len(text)
            time.sleep(0.2)
        text = text[start:]
        text = text[text.index(HEADER):]
        return [("%d.%d.%d.%d" % tuple(int(m.group(i)) for i in range(1, 5)),
                 int(m.group(5)), int(m.group(6))) for m in ROW.finditer(text)]

    def run_norvo(self, rate, count, spread, tool="norvo"):
        pid = self.norvo.pid
        log_start = len(self.syslog.snapshot())
        rx0, stat0, sched0 = self.rx_packets(), stat_cpu_ns(pid), harness.sched_cpu_ns(pid)
        sent, seconds, achieved = self.inject(count, rate, spread)
        sent_at = time.monotonic()
        time.sleep(BLOCK_WAIT_S)
        drained = harness.wait_idle(pid, 10)
        stat1, sched1 = stat_cpu_ns(pid), harness.sched_cpu_ns(pid)
        time.sleep(max(0.0, DROP_LOG_WAIT_S - (time.monotonic() - sent_at)))
        rx1 = self.rx_packets()
        kernel_drops = 0
        for line in self.syslog.snapshot()[log_start:]:
            m = DROP_LINE.match(line.text)
            if m and m.group(2) == self.link.b:
                kernel_drops += int(m.group(1))
        rows = self.norvo_dump()
        rows = [r for r in rows if r[0] != MARKER]
        output = sum(r[2] for r in rows)
        counted = output // FRAME_LEN
        return self.record(tool, rate, spread, sent, seconds, achieved, rx1 - rx0, counted,
                           kernel_drops, stat1 - stat0, sched1 - sched0, drained,
                           extra={"output_bytes": output, "input_bytes": sum(r[1] for r in rows),
                                  "rows": len(rows)})

    # --- tcpdump ----------------------------------------------------------

    def run_tcpdump(self, rate, count, spread):
        proc = self.capturer.popen(["tcpdump", "-n", "-i", self.link.b, "-s", "96",
                                    "-w", "/dev/null"],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE, text=True)
        lines, lock = [], threading.Lock()

        def read():
            for line in proc.stderr:
                with lock:
                    lines.append(line)
        reader = threading.Thread(target=read, daemon=True)
        reader.start()
        try:
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline:
                with lock:
                    if any("listening on" in l for l in lines):
                        break
                if proc.poll() is not None:
                    break
                time.sleep(0.05)
            else:
                raise RuntimeError("tcpdump did not start listening")
            if proc.poll() is not None:
                raise RuntimeError("tcpdump ended at start: %s" % "".join(lines))
            pid = proc.pid  # ip netns exec execs tcpdump in place
            rx0, stat0, sched0 = self.rx_packets(), stat_cpu_ns(pid), harness.sched_cpu_ns(pid)
            sent, seconds, achieved = self.inject(count, rate, spread)
            time.sleep(TCPDUMP_BLOCK_WAIT_S)
            drained = harness.wait_idle(pid, 10)
            stat1, sched1 = stat_cpu_ns(pid), harness.sched_cpu_ns(pid)
            rx1 = self.rx_packets()
        finally:
            status = netns.stop_process(proc, signal.SIGINT, 10)
            netns.close_pipes(proc, reader)
        text = "".join(lines)
        numbers = {}
        for key in ("captured", "received by filter", "dropped by kernel"):
            m = re.search(r"(\d+) packets? %s" % key, text)
            if not m:
                raise RuntimeError("tcpdump (status %r) printed no '%s' count: %s"
                                   % (status, key, text))
            numbers[key] = int(m.group(1))
        return self.record("tcpdump", rate, spread, sent, seconds, achieved, rx1 - rx0,
                           numbers["captured"], numbers["dropped by kernel"], stat1 - stat0,
                           sched1 - sched0, drained)

    # --- bookkeeping ------------------------------------------------------

    def record(self, tool, rate, spread, sent, seconds, achieved, delivered, counted,
               kernel_drops, stat_ns, sched_ns, drained, extra=None):
        r = {"tool": tool, "rate": rate, "spread": spread, "sent": sent, "seconds": seconds,
             "achieved": achieved, "delivered": delivered, "counted": counted,
             "kernel_drops": kernel_drops, "stat_ns": stat_ns, "sched_ns": sched_ns,
             "drained": drained}
        r["loss"] = (sent - counted) / sent if sent else 0.0
        r["stat_ns_per_packet"] = stat_ns / counted if counted else None
        r["sched_ns_per_packet"] = sched_ns / counted if counted else None
        if extra:
            r.update(extra)
        r["limit"] = limit_of(r)
        self.results.append(r)
        print_row(r)
        return r

    def run(self, tool, rate, spread):
        count = FLAT_OUT_FRAMES if rate == 0 else max(20000, int(rate * self.args.seconds))
        if tool == "tcpdump":
            return self.run_tcpdump(rate, count, spread)
        return self.run_norvo(rate, count, spread, tool)

    def paired(self, spread, rates, tools):
        """Each rate, then flat out, for every tool back to back, so that the
        two see the same load from the rest of the machine. norvo starts
        afresh for each run: it must not capture while tcpdump does.
        Returns {tool: {rate: result}}."""
        results = {tool: {} for tool in tools}
        for rate in list(rates) + [0]:
            for _ in range(self.args.repeat):
                if self.time_left() < len(tools) * (self.args.seconds + 8):
                    print("e2e: time budget spent, skipping %s/s" % (rate or "flat-out"))
                    break
                for tool in tools:
                    if tool != "tcpdump":
                        self.start_norvo(self.args.baseline if tool == "base" else None)
                    try:
                        results[tool][rate] = self.run(tool, rate, spread)
                    finally:
                        if tool != "tcpdump":
                            self.norvo.stop()
        return results

    def refine(self, tool, spread, results):
        """Narrows down the highest lossless paced rate by bisection."""
        paced = sorted(r for r in results if r)
        good = [r for r in paced if results[r]["loss"] < LOSS_LIMIT]
        bad = [r for r in paced if results[r]["loss"] >= LOSS_LIMIT and (not good or r > max(good))]
        low, high = (max(good) if good else 0), (min(bad) if bad else None)
        started = False
        for _ in range(self.args.refine):
            if high is None or high - low <= 50000 or self.time_left() < self.args.seconds + 15:
                break
            if tool == "norvo" and not started:
                self.start_norvo()
                started = True
            mid = (low + high) // 2 // 10000 * 10000
            r = self.run(tool, mid, spread)
            results[mid] = r
            if r["loss"] < LOSS_LIMIT:
                low = mid
            else:
                high = mid
        if started:
            self.norvo.stop()
        if high is None and paced:
            return "%d or more (every paced rate)" % low
        return low


def limit_of(r):
    """What bounded a run: the injector when it fell short of the paced rate
    or, flat out, when nothing was lost; else where the frames were lost."""
    if r["loss"] >= LOSS_LIMIT:
        return "kernel buffer" if r["kernel_drops"] else "capturer"
    if r["rate"] == 0 or r["achieved"] < REACHED * r["rate"]:
        return "injector"
    return ""


def print_header():
    print("%-7s %6s %8s %8s %8s %8s %8s %7s %7s %9s %9s  %s" % (
        "tool", "srcs", "asked/s", "sent/s", "sent", "deliver", "counted", "loss%", "kdrops",
        "ns/pkt", "ns/pkt", "limited by"))
    print("%-7s %6s %8s %8s %8s %8s %8s %7s %7s %9s %9s" % (
        "", "", "", "", "", "(veth)", "", "", "", "(stat)", "(sched)"))


def fmt_ns(v):
    return "%9.0f" % v if v is not None else "%9s" % "-"


def print_row(r):
    print("%-7s %6d %8s %8d %8d %8d %8d %7.3f %7d %s %s  %s%s" % (
        r["tool"], r["spread"], r["rate"] or "flat", r["achieved"], r["sent"], r["delivered"],
        r["counted"], 100.0 * r["loss"], r["kernel_drops"], fmt_ns(r["stat_ns_per_packet"]),
        fmt_ns(r["sched_ns_per_packet"]), r["limit"],
        "" if r["drained"] else "  (still busy at the end)"), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("build_dir", help="build directory holding norvo and tests/norvo-inject")
    parser.add_argument("--rates", help="comma-separated paced rates, frames/s")
    parser.add_argument("--spreads", help="comma-separated source address counts (1000,65536)")
    parser.add_argument("--dst-spread", type=int, default=1,
                        help="destination addresses from 198.19.0.1 (1)")
    parser.add_argument("--seconds", type=float, default=BURST_S, help="length of a paced burst")
    parser.add_argument("--refine", type=int, default=2,
                        help="bisection steps for the highest lossless rate (2)")
    parser.add_argument("--budget", type=float, default=290, help="time limit of the run, s")
    parser.add_argument("--no-tcpdump", action="store_true", help="measure norvo only")
    parser.add_argument("--quick", action="store_true", help="three rates, no bisection")
    parser.add_argument("--json", help="also write every result to this file")
    parser.add_argument("--repeat", type=int, default=1,
                        help="back-to-back rounds per rate; the target takes the median ratio (1)")
    parser.add_argument("--baseline", metavar="NORVO",
                        help="another norvo binary (an earlier build) measured as 'base' in the "
                             "same run, beside this build's")
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("e2e: needs root (network namespaces, capture)")

    rates = QUICK_RATES if args.quick else RATES
    if args.rates:
        rates = tuple(int(x) for x in args.rates.split(","))
    spreads = tuple(int(x) for x in args.spreads.split(",")) if args.spreads else SPREADS
    if args.quick:
        args.refine = 0

    global harness, netns
    os.environ["NORVO_BUILD_DIR"] = os.path.abspath(args.build_dir)
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                    "system"))
    import harness
    import netns
    for name in ("norvo", "norvo-inject"):
        if not os.access(harness.program(name), os.X_OK):
            sys.exit("e2e: %s is not built" % harness.program(name))

    cleanups = harness.Cleanups("e2e")
    try:
        bench = Bench(args, cleanups)
        bench.tmpdir = tempfile.mkdtemp(prefix="norvo-e2e-")
        cleanups.addCleanup(lambda: subprocess.run(["rm", "-rf", bench.tmpdir], check=False))
        print("e2e: %d cores; %d-byte frames to %s, queue 500 slots; link %s -> %s"
              % (os.cpu_count(), FRAME_LEN, DEST, bench.link.a, bench.link.b))
        print_header()
        best = {}
        tools = ["norvo"] + (["base"] if args.baseline else []) + \
            ([] if args.no_tcpdump else ["tcpdump"])
        for spread in spreads:
            runs = bench.paired(spread, rates, tools)
            for tool in tools:
                best[(tool, spread)] = bench.refine(tool, spread, runs[tool]) \
                    if tool != "base" else "not bisected"
        summary(bench.results, best, spreads, tools)
        if args.json:
            with open(args.json, "w") as f:
                json.dump({"results": bench.results,
                           "highest_lossless": {"%s/%d" % k: v for k, v in best.items()}},
                          f, indent=1)
    finally:
        cleanups.run()


def summary(results, best, spreads, tools):
    print("\nHighest paced rate with loss under %.1f%% (frames/s):" % (100 * LOSS_LIMIT))
    for spread in spreads:
        print("  %6d sources: %s" % (spread, ", ".join(
            "%s %s" % (tool, best[(tool, spread)] or "none") for tool in tools)))
    print("Flat out:")
    for r in results:
        if r["rate"] == 0:
            print("  %-7s %6d sources: %d frames/s, loss %.3f%%, %s ns/packet" % (
                r["tool"], r["spread"], r["achieved"], 100 * r["loss"],
                fmt_ns(r["sched_ns_per_packet"]).strip()))
    print("Targets: no loss up to the injector's limit; norvo's CPU per packet at most %.0f times "
          "tcpdump's at %s frames/s" % (TARGET_RATIO, " and ".join(str(t) for t in TARGET_RATES)))
    for spread in spreads:
        for rate in TARGET_RATES:
            for tool in ("norvo", "base"):
                # The i-th run of a tool is paired with the i-th tcpdump run,
                # which came right after it.
                ours = [r for r in results if (r["tool"], r["spread"], r["rate"]) ==
                        (tool, spread, rate) and r["counted"]]
                refs = [r for r in results if (r["tool"], r["spread"], r["rate"]) ==
                        ("tcpdump", spread, rate) and r["counted"]]
                ratios = sorted(o["sched_ns_per_packet"] / t["sched_ns_per_packet"]
                                for o, t in zip(ours, refs))
                if not ratios:
                    continue
                median = ratios[len(ratios) // 2] if len(ratios) % 2 else \
                    (ratios[len(ratios) // 2 - 1] + ratios[len(ratios) // 2]) / 2
                print("  %6d sources at %d/s (reached %s): %s %s, tcpdump %s ns/packet (sched): "
                      "%s times, median %.2f: %s" % (
                          spread, rate, "/".join(str(r["achieved"]) for r in ours + refs), tool,
                          "/".join(fmt_ns(r["sched_ns_per_packet"]).strip() for r in ours),
                          "/".join(fmt_ns(r["sched_ns_per_packet"]).strip() for r in refs),
                          "/".join("%.2f" % x for x in ratios), median,
                          "met" if median <= TARGET_RATIO else "MISSED"))
        for r in results:
            if r["tool"] != "tcpdump" and r["spread"] == spread and r["rate"] == 0:
                print("  %6d sources flat out, %s (%d frames/s): loss %.3f%%: %s" % (
                    spread, r["tool"], r["achieved"], 100 * r["loss"],
                    "met" if r["loss"] < LOSS_LIMIT else "MISSED"))


if __name__ == "__main__":
    main()
