"""The accounting cycle of the real daemon: what a cycle counts and dumps on
standard output, when cycles end (period, SIGHUP, SIGTERM), the status
report on SIGUSR1, a dump that outlives its period (its category carries
its counts; a second stop signal ends the wait for it), two standard-output
dumps at once, and the debug lines of a cycle's end.

Frames are injected on one end of a veth pair and captured by norvo on the
other end, both in namespaces made for the test (netns.py). Needs root.
"""

import os
import re
import signal
import tempfile
import time
import unittest

import netns
from harness import (LOG_DAEMON, LOG_ERR, LOG_INFO, LOG_NOTICE, FifoReader, Traffic, program,
                     start_norvo, wait_until, write_config)

HEADER = re.compile(r"^== \[ (Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d "
                    r"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} "
                    r"\d\d:\d\d:\d\d [+-]\d{4} \] Starting dump sequence of category (\S+) ==$",
                    re.M)
ROW = re.compile(r"^IP: \d{3}\.\d{3}\.\d{3}\.\d{3} input: [ \d]{7}\d+ output: [ \d]{7}\d+ "
                 r"timetag: [ \d-]{7}[\d]+$", re.M)

READY = os.geteuid() == 0 and os.path.exists(program("norvo")) and \
    os.path.exists(program("norvo-inject"))

# lan counts every byte; kilo scales by 1000, and its rows carry the hour
# number, which tells them apart from lan's rows in the shared output.
TWO_CATEGORIES = """devices {dev}
period 3600
cat lan
primary account 198.18.1.0 255.255.255.0
secondary account 0.0.0.0 0.0.0.0
cat kilo
primary account 198.18.1.0 255.255.255.0
secondary account 0.0.0.0 0.0.0.0
bytedivider 1000
timedivider 3600
"""


def row(address, inp, out, tag):
    quad = ".".join("%03d" % int(b) for b in address.split("."))
    return "IP: %s input: %8d output: %8d timetag: %8d" % (quad, inp, out, tag)


def rows_of(text):
    return sorted(ROW.findall(text))


def send_known_traffic(traffic):
    """Frames whose sums per address the expected rows below are built from."""
    traffic.send("-s", "198.18.1.5", "-d", "198.19.0.1", "-l", 100, "-c", 10)
    traffic.send("-s", "198.19.0.1", "-d", "198.18.1.5", "-l", 200, "-c", 5)
    traffic.send("-s", "198.18.1.5", "-d", "198.18.1.6", "-l", 150, "-c", 3)
    traffic.send("-s", "198.18.1.7", "-d", "198.19.0.2", "-l", 999)
    traffic.send("-s", "198.19.0.3", "-d", "198.18.1.8", "-l", 750, "-c", 2)
    # neither end accounted by any category: counted nowhere
    traffic.send("-s", "198.18.2.1", "-d", "198.19.0.1", "-l", 500, "-c", 4)


def expected_rows(second, hour):
    """Rows of lan (time tag in seconds) and kilo (hour number) for the traffic above."""
    return sorted([
        row("198.18.1.5", 1000, 1450, second),
        row("198.18.1.6", 450, 0, second),
        row("198.18.1.7", 0, 999, second),
        row("198.18.1.8", 1500, 0, second),
        # kilo: 1000 and 1450 give 1 and 1; 1500 gives 1; .6 and .7 stay below 1000
        row("198.18.1.5", 1, 1, hour),
        row("198.18.1.8", 1, 0, hour),
    ])


def tags_between(start, end):
    # the daemon reads a coarse clock that may lag a few ms behind ours
    return range(int(start) - 1, int(end) + 1)


@unittest.skipUnless(READY, "needs root, norvo and norvo-inject")
class TrafficCycle(unittest.TestCase):
    """norvo -d captures on a veth end; the rules account 198.18.1.0/24 only,
    while the link's own addresses are in 198.18.250.0/24."""

    def start(self, config=TWO_CATEGORIES):
        self.link = netns.pair(self, subnet=250)
        conf = write_config(self, config.format(dev=self.link.b))
        daemon, log = start_norvo(self, ["-d", "-c", conf], netns=self.link.ns_b.name)
        traffic = Traffic(self.link, daemon)
        traffic.wait_capturing()
        return daemon, log, traffic

    def assert_rows_match(self, rows, began, ended):
        """rows are those of one dump of the known traffic taken between began and ended."""
        candidates = [expected_rows(s, s // 3600) for s in tags_between(began, ended)]
        self.assertIn(rows, candidates, "rows: %r" % rows)

    def test_sighup_dumps_exact_rows_and_the_next_cycle_counts_afresh(self):
        daemon, log, traffic = self.start()
        send_known_traffic(traffic)
        traffic.settle()
        began = time.time()
        daemon.signal(signal.SIGHUP)
        self.assertTrue(daemon.wait_stdout(lambda o: len(rows_of(o)) >= 6, 10), daemon.stdout())
        ended = time.time()
        self.assertEqual(sorted(h[2] for h in HEADER.findall(daemon.stdout())), ["kilo", "lan"])
        first_rows = rows_of(daemon.stdout())
        self.assert_rows_match(first_rows, began, ended)

        # The second cycle counts only what arrives after the first dump.
        traffic.send("-s", "198.18.1.9", "-d", "198.19.0.1", "-l", 1234)
        traffic.settle()
        first = daemon.stdout()
        daemon.signal(signal.SIGHUP)
        self.assertTrue(daemon.wait_stdout(
            lambda o: len(HEADER.findall(o[len(first):])) == 2 and
            len(rows_of(o[len(first):])) >= 2, 10), daemon.stdout()[len(first):])
        later = rows_of(daemon.stdout()[len(first):])
        self.assertEqual(len(later), 2, later)
        self.assertRegex(later[0], r"^IP: 198\.018\.001\.009 input:        0 output:        1 "
                                   r"timetag:   \d{6}$")
        self.assertRegex(later[1], r"^IP: 198\.018\.001\.009 input:        0 output:     1234 "
                                   r"timetag: \d{10}$")

        daemon.signal(signal.SIGTERM)
        self.assertEqual(daemon.wait(5), 0)
        # the final, empty cycle adds headers and no row
        out = daemon.stdout()
        self.assertEqual(sorted(h[2] for h in HEADER.findall(out)), ["kilo"] * 3 + ["lan"] * 3)
        self.assertEqual(rows_of(out), sorted(first_rows + later))
        self.assertFalse([l for l in log.snapshot() if l.level <= LOG_ERR], log.snapshot())

    def test_sigterm_dumps_the_last_counts_logs_and_exits_0(self):
        daemon, log, traffic = self.start()
        send_known_traffic(traffic)
        traffic.settle()
        began = time.time()
        daemon.signal(signal.SIGTERM)
        # the period is an hour: an exit at all shows that the stop ended it
        status = daemon.wait(10)
        ended = time.time()
        self.assertEqual(status, 0, daemon.stderr())
        out = daemon.stdout()
        self.assertEqual(sorted(h[2] for h in HEADER.findall(out)), ["kilo", "lan"])
        self.assert_rows_match(rows_of(out), began, ended)
        # no new cycle after the stop
        self.assertEqual(out.count("Initializing Cats\n"), 1, out)

        end = log.wait_text("Norvo terminated", 2)
        self.assertIsNotNone(end, log.snapshot())
        self.assertEqual((end.facility, end.level, end.ident, end.pid),
                         (LOG_DAEMON, LOG_NOTICE, "norvo", daemon.pid))
        texts = log.texts()
        self.assertLess(texts.index("Dumping category kilo"), texts.index("Norvo terminated"))
        self.assertEqual(texts[-1], "Norvo terminated", texts)

    def test_cycle_end_debug_lines_report_then_dispatch_then_new_tables(self):
        daemon, _, traffic = self.start()
        traffic.send("-s", "198.18.1.5", "-d", "198.19.0.1")
        traffic.settle()
        daemon.signal(signal.SIGHUP)
        self.assertTrue(daemon.wait_stdout(
            lambda o: o.count("Initializing Category kilo\n") == 2, 5), daemon.stdout())
        # Dump threads and the capture thread print between the main thread's lines.
        main = [l for l in daemon.stdout().splitlines(True)
                if not l.startswith(("== [", "IP: ", "Popping", "Inserting", "IP-Packet",
                                     "Opening Device"))]
        text = "".join(main)
        first_cycle = "Initializing Cats\nInitializing Category lan\nInitializing Category kilo\n"
        rules = (" Primary:\n"
                 " | IP: 198.018.001.000 MASK: 255.255.255.000 VALUE: 1 PORT:     0 PROT:   0\n"
                 " | IP: 000.000.000.000 MASK: 000.000.000.000 VALUE: 0\n"
                 " Secondary:\n"
                 " | IP: 000.000.000.000 MASK: 000.000.000.000 VALUE: 1 PORT:     0 PROT:   0\n"
                 " | IP: 000.000.000.000 MASK: 000.000.000.000 VALUE: 0\n")
        cycle_end = ("Compiled with MySQL support\nBuffer_size: 500\nQueue 0% full\n"
                     "Cycletime: 3600\nDevicecount: 1\nDevices:\n| Device: " + self.link.b +
                     "\nCat: lan\n Byte Divider: 1\n Time Divider: 1\n Dump Type: StdOut\n" +
                     rules + "Cat: kilo\n Byte Divider: 1000\n Time Divider: 3600\n"
                     " Dump Type: StdOut\n" + rules +
                     "starting dump-sequence\nDumping Category lan\nDumping Category kilo\n")
        self.assertTrue(text.endswith(first_cycle + cycle_end + first_cycle),
                        text[-2500:])


@unittest.skipUnless(READY, "needs root, norvo and norvo-inject")
class StatusReport(unittest.TestCase):
    CONFIG = """devices {a} {b}
period 3600
buffersize 200
cat web
primary account 198.18.1.0 255.255.255.0 80
primary ignore 198.18.0.0 255.255.0.0
secondary ignore 198.19.7.0 255.255.255.128
secondary account 0.0.0.0 0.0.0.0
bytedivider 1024
timedivider 3600
dump Syslog
cat bare
"""

    def test_sigusr1_prints_the_report_of_the_running_daemon(self):
        link = netns.single(self, subnet=250)
        conf = write_config(self, self.CONFIG.format(a=link.a, b=link.b))
        daemon, log = start_norvo(self, ["-c", conf], netns=link.ns_a.name)
        self.assertIsNotNone(log.wait_text("Listening on device %s." % link.a), log.snapshot())
        report = (
            "Compiled with MySQL support\n"
            "Buffer_size: 200\n"
            "Queue 0% full\n"
            "Cycletime: 3600\n"
            "Devicecount: 2\n"
            "Devices:\n"
            "| Device: {b}\n"
            "| Device: {a}\n"
            "Cat: web\n"
            " Byte Divider: 1024\n"
            " Time Divider: 3600\n"
            " Dump Type: Syslog\n"
            " Primary:\n"
            " | IP: 198.018.001.000 MASK: 255.255.255.000 VALUE: 1 PORT:    80 PROT:   0\n"
            " | IP: 198.018.000.000 MASK: 255.255.000.000 VALUE: 0 PORT:     0 PROT:   0\n"
            " | IP: 000.000.000.000 MASK: 000.000.000.000 VALUE: 0\n"
            " Secondary:\n"
            " | IP: 198.019.007.000 MASK: 255.255.255.128 VALUE: 0 PORT:     0 PROT:   0\n"
            " | IP: 000.000.000.000 MASK: 000.000.000.000 VALUE: 1 PORT:     0 PROT:   0\n"
            " | IP: 000.000.000.000 MASK: 000.000.000.000 VALUE: 0\n"
            "Cat: bare\n"
            " Byte Divider: 1\n"
            " Time Divider: 1\n"
            " Dump Type: StdOut\n"
            " Primary:\n"
            " | IP: 000.000.000.000 MASK: 000.000.000.000 VALUE: 0\n"
            " Secondary:\n"
            " | IP: 000.000.000.000 MASK: 000.000.000.000 VALUE: 0\n"
        ).format(a=link.a, b=link.b)
        self.assertEqual(daemon.stdout(), "")
        daemon.signal(signal.SIGUSR1)
        self.assertTrue(daemon.wait_stdout(lambda o: o == report, 5), daemon.stdout())
        daemon.signal(signal.SIGUSR1)
        self.assertTrue(daemon.wait_stdout(lambda o: o == report * 2, 5), daemon.stdout())
        self.assertIsNone(daemon.proc.poll(), "SIGUSR1 must not stop the daemon")
        daemon.signal(signal.SIGTERM)
        self.assertEqual(daemon.wait(5), 0)


def header_times(text, name):
    return [m.group(0) for m in HEADER.finditer(text) if m.group(3) == name]


def header_seconds(header):
    stamp = header[len("== [ "):header.index(" ]")]
    return time.mktime(time.strptime(stamp[:-6], "%a, %d %b %Y %H:%M:%S"))


def dumps_logged(log, name):
    return log.texts().count("Dumping category %s" % name)


@unittest.skipUnless(os.path.exists(program("norvo")) and os.geteuid() == 0, "needs root and norvo")
class QuietCycles(unittest.TestCase):
    def check_period_ends(self, daemon, log, name, period):
        """Stops after two period ends; each dump then has its header, the
        period ends lie a period apart (no burst of empty cycles around a
        second's turn) and no row was written."""
        wait_until(lambda: dumps_logged(log, name) >= 2, 10 + 3 * period,
                   "two period ends of %s; log %r" % (name, log.texts()))
        daemon.signal(signal.SIGTERM)
        self.assertEqual(daemon.wait(10), 0)
        out = daemon.stdout()
        headers = header_times(out, name)
        self.assertGreaterEqual(len(headers), 3, out[-2000:])
        self.assertEqual(len(headers), dumps_logged(log, name), out[-2000:])
        periodic = [header_seconds(h) for h in headers[:-1]]
        for earlier, later in zip(periodic, periodic[1:]):
            self.assertGreaterEqual(later - earlier, 1, headers)
            self.assertLessEqual(later - earlier, period + 1, headers)
        self.assertEqual(rows_of(out), [])
        return out

    def test_no_devices_dump_empty_cycles_every_period(self):
        conf = write_config(self, "period 1\ncat a\nprimary account 198.18.1.0 255.255.255.0\n"
                                  "secondary account 0.0.0.0 0.0.0.0\ncat b\n")
        daemon, log = start_norvo(self, ["-c", conf])
        self.assertIsNotNone(log.wait_text("Loading Category b. Dump-Type: StdOut"), log.snapshot())
        out = self.check_period_ends(daemon, log, "b", 1)
        for line in out.splitlines():
            self.assertRegex(line, HEADER)
        self.assertEqual(len(header_times(out, "a")), len(header_times(out, "b")))
        infos = [l for l in log.snapshot() if l.text == "Dumping category b"]
        self.assertEqual({(l.facility, l.level, l.pid) for l in infos},
                         {(LOG_DAEMON, LOG_INFO, daemon.pid)})

    @unittest.skipUnless(READY, "needs norvo-inject")
    def test_idle_link_still_dumps_every_period(self):
        link = netns.pair(self, subnet=250)
        conf = write_config(self, "devices %s\nperiod 2\ncat idle\n"
                                  "primary account 198.18.1.0 255.255.255.0\n"
                                  "secondary account 0.0.0.0 0.0.0.0\n" % link.b)
        daemon, log = start_norvo(self, ["-c", conf], netns=link.ns_b.name)
        self.assertIsNotNone(log.wait_text("Capturing on device %s." % link.b), log.snapshot())
        self.check_period_ends(daemon, log, "idle", 2)


# Rows of StdOut (no "Cat:") and TextFile dumps, with their counters.
ROW_FIELDS = re.compile(r"^(?:Cat: (\S+) )?IP: (\d{3}\.\d{3}\.\d{3}\.\d{3}) input: +(\d+) "
                        r"output: +(\d+) timetag: +(-?\d+)$", re.M)


def totals(text):
    """{address: [input, output]} summed over every row in text."""
    sums = {}
    for _, address, inp, out, _ in ROW_FIELDS.findall(text):
        entry = sums.setdefault(address, [0, 0])
        entry[0] += int(inp)
        entry[1] += int(out)
    return sums


@unittest.skipUnless(READY, "needs root, norvo and norvo-inject")
class SlowDump(unittest.TestCase):
    """A category whose file is a FIFO that nobody reads cannot finish its
    dump; the others must not be held up, and nothing may be lost."""

    def fifo(self):
        tmp = tempfile.mkdtemp(prefix="norvo-fifo-")
        path = os.path.join(tmp, "rows")
        os.mkfifo(path)
        self.addCleanup(os.rmdir, tmp)
        self.addCleanup(os.unlink, path)
        return path

    def still_active(self, log, name):
        text = ("ERROR: Privious dump still active. Category %s keeps its counts: they are "
                "carried into the next period." % name)
        return [l for l in log.snapshot() if l.text == text]

    def test_stalled_category_carries_its_counts_and_the_others_dump_every_period(self):
        fifo = self.fifo()
        link = netns.pair(self, subnet=250)
        rules = ("primary account 198.18.1.0 255.255.255.0\n"
                 "secondary account 0.0.0.0 0.0.0.0\n")
        conf = write_config(self, "devices %s\nperiod 1\ncat stuck\n%sdump TextFile %s\n"
                                  "cat plain\n%s" % (link.b, rules, fifo, rules))
        daemon, log = start_norvo(self, ["-c", conf], netns=link.ns_b.name)
        self.assertIsNotNone(log.wait_text("Capturing on device %s." % link.b), log.snapshot())

        def send(*args):
            link.ns_a.run([program("norvo-inject"), "-i", link.a] + [str(a) for a in args])

        # stuck's first dump blocks in opening the FIFO; traffic before and
        # during the stall
        send("-s", "198.18.1.5", "-d", "198.19.0.1", "-l", 100, "-c", 10)
        wait_until(lambda: len(self.still_active(log, "stuck")) >= 2, 10,
                   "stuck carried twice; log %r" % log.texts()[-10:])
        send("-s", "198.19.0.2", "-d", "198.18.1.6", "-l", 200, "-c", 5)
        sent = {"198.018.001.005": [0, 1000], "198.018.001.006": [1000, 0]}
        # plain dumps every period meanwhile, so it shows when all is counted
        wait_until(lambda: totals(daemon.stdout()) == sent, 10,
                   "plain's rows; stdout %r" % daemon.stdout()[-2000:])
        carried = self.still_active(log, "stuck")
        self.assertEqual({(l.facility, l.level, l.pid) for l in carried},
                         {(LOG_DAEMON, LOG_ERR, daemon.pid)})
        self.assertEqual(dumps_logged(log, "stuck"), 1)
        self.assertEqual(self.still_active(log, "plain"), [])

        # Once read, stuck's dump ends and the carried counts follow.
        reader = FifoReader(self, fifo)
        wait_until(lambda: dumps_logged(log, "stuck") >= 2, 10, "stuck dumped again")
        daemon.signal(signal.SIGTERM)
        self.assertEqual(daemon.wait(10), 0, daemon.stderr())
        text = reader.close().decode()
        self.assertEqual(totals(text), sent, text)
        self.assertEqual({m[0] for m in ROW_FIELDS.findall(text)}, {"stuck"})
        self.assertEqual(len(header_times(text, "stuck")), dumps_logged(log, "stuck"), text)
        out = daemon.stdout()
        self.assertEqual(totals(out), sent)
        self.assertEqual(len(header_times(out, "plain")), dumps_logged(log, "plain"))
        self.assertEqual(log.texts()[-1], "Norvo terminated")

    def test_second_stop_signal_ends_a_daemon_whose_last_dump_hangs(self):
        fifo = self.fifo()
        conf = write_config(self, "period 3600\ncat stuck\ndump TextFile %s\ncat plain\n" % fifo)
        daemon, log = start_norvo(self, ["-c", conf])
        self.assertIsNotNone(log.wait_text("Loading Category plain. Dump-Type: StdOut"),
                             log.snapshot())
        daemon.signal(signal.SIGTERM)
        self.assertIsNotNone(log.wait_text("Dumping category stuck"), log.snapshot())
        # plain's last dump is written; stuck's hangs, and so does the daemon
        self.assertTrue(daemon.wait_stdout(lambda o: len(header_times(o, "plain")) == 1))
        self.assertIsNone(daemon.wait(0.5), "the daemon did not wait for the hung dump")

        daemon.signal(signal.SIGTERM)
        self.assertEqual(daemon.wait(1), 1, daemon.stderr())
        errors = [l for l in log.snapshot() if l.level <= LOG_ERR]
        self.assertEqual([(l.text, l.level, l.pid) for l in errors],
                         [("Second stop signal: exiting without the dumps of categories stuck, "
                           "which did not finish", LOG_ERR, daemon.pid)])
        self.assertNotIn("Norvo terminated", log.texts())


@unittest.skipUnless(READY, "needs root, norvo and norvo-inject")
class ConcurrentStdout(unittest.TestCase):
    ADDRESSES = 20000

    def test_two_categories_dumping_at_once_keep_their_rows_under_their_headers(self):
        link = netns.pair(self, subnet=250)
        # 198.18.0.0/17 holds the 20000 sources, not the harness's markers
        rules = "primary account 198.18.0.0/17\nsecondary account 0.0.0.0/0\n"
        # hours tag hourly's rows and seconds every's: a row shows its category
        conf = write_config(self, "devices %s\nperiod 3600\nbuffersize 20000\ncat every\n%s"
                                  "cat hourly\n%stimedivider 3600\n" % (link.b, rules, rules))
        daemon, _ = start_norvo(self, ["-d", "-c", conf], netns=link.ns_b.name)
        traffic = Traffic(link, daemon)
        traffic.wait_capturing()
        traffic.send("-s", "198.18.0.1", "--src-spread", self.ADDRESSES, "-c", self.ADDRESSES,
                     "-r", 5000)
        traffic.settle(30)
        # what was captured; a frame the kernel had to drop has no line
        captured = {".".join("%03d" % int(b) for b in a.split("."))
                    for a in re.findall(r"^IP-Packet (198\.18\.\d+\.\d+):", daemon.stdout(), re.M)
                    if a != Traffic.MARK_SRC}
        self.assertGreater(len(captured), self.ADDRESSES // 2)

        daemon.signal(signal.SIGHUP)
        wait_until(lambda: len(self.sections(daemon.stdout())) == 2 * len(captured), 60,
                   "both dumps of %d rows" % len(captured))
        daemon.signal(signal.SIGTERM)
        self.assertEqual(daemon.wait(10), 0)

        hour = int(time.time()) // 3600
        rows = self.sections(daemon.stdout())
        for name in ("every", "hourly"):
            self.assertEqual({a for h, a, _ in rows if h == name}, captured, name)
        misplaced = [r for r in rows if (r[0] == "hourly") != (abs(r[2] - hour) <= 1)]
        self.assertEqual(len(misplaced), 0, misplaced[:5])

    @staticmethod
    def sections(text):
        """(category of the header above, address, time tag) of every row."""
        current, rows = None, []
        for line in text.splitlines():
            m = HEADER.match(line)
            if m:
                current = m.group(3)
                continue
            r = ROW_FIELDS.match(line)
            if r:
                rows.append((current, r.group(2), int(r.group(5))))
        return rows


if __name__ == "__main__":
    unittest.main()
