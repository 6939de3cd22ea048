"""The file and system-log back-ends of the real daemon on injected traffic:
rows in the system log, an appended text file, a binary file read back with
norvo-binread, and a text file that cannot be opened.

norvo -d captures on one end of a veth pair in a namespace made for the
test; frames come from the other end (harness.Traffic). Needs root.
"""

import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

import netns
from harness import LOG_DAEMON, LOG_ERR, LOG_NOTICE, Traffic, program, start_norvo, write_config

READY = os.geteuid() == 0 and os.path.exists(program("norvo")) and \
    os.path.exists(program("norvo-inject")) and os.path.exists(program("norvo-binread"))

CONFIG = """devices {dev}
period 3600
cat logged
primary account 198.18.2.0 255.255.255.0
secondary account 0.0.0.0 0.0.0.0
bytedivider 1000
timedivider 3600
dump Syslog
cat texted
primary account 198.18.2.0 255.255.255.0
secondary account 0.0.0.0 0.0.0.0
dump TextFile {dir}/rows.txt
cat binned
primary account 198.18.2.0 255.255.255.0
secondary account 0.0.0.0 0.0.0.0
bytedivider 50
dump BinFile {dir}/rows.bin
cat lost
primary account 198.18.2.0 255.255.255.0
secondary account 0.0.0.0 0.0.0.0
dump TextFile {dir}/missing/rows.txt
"""

TEXT_HEADER = (r"== \[ (Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d "
               r"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} "
               r"\d\d:\d\d:\d\d [+-]\d{4} \] Starting dump sequence of category texted ==")

# Bytes per address and direction in the two cycles of the test.
FIRST = {"198.18.2.5": (2100, 2000), "198.18.2.6": (0, 64), "198.18.2.7": (40, 0)}
SECOND = {"198.18.2.5": (0, 2000), "198.18.2.8": (2000, 0)}


def quad(address):
    return ".".join("%03d" % int(b) for b in address.split("."))


def syslog_rows(counts, tag):
    """Every address, scaled by 1000, also those that scale to 0 and 0."""
    return ["Cat: logged IP: %s input: %8d output: %8d timetag: %8d"
            % (quad(a), i // 1000, o // 1000, tag) for a, (i, o) in sorted(counts.items())]


def text_rows(counts, tag):
    return ["Cat: texted IP: %s input: %8d output: %8d timetag: %8d" % (quad(a), i, o, tag)
            for a, (i, o) in sorted(counts.items())]


def bin_rows(counts, tag):
    """Scaled by 50; rows whose counters both stay below 50 are not written."""
    return ["%s,%d,%d,%d" % (a, i // 50, o // 50, tag) for a, (i, o) in sorted(counts.items())
            if i >= 50 or o >= 50]


def tags(began, ended, divider=1):
    # the daemon reads a coarse clock that may lag a few ms behind ours
    return range(int(began - 1) // divider, int(ended) // divider + 1)


@unittest.skipUnless(READY, "needs root, norvo, norvo-inject and norvo-binread")
class FileAndLogBackEnds(unittest.TestCase):

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="norvo-backends-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.text = os.path.join(self.dir, "rows.txt")
        self.bin = os.path.join(self.dir, "rows.bin")
        self.missing = os.path.join(self.dir, "missing", "rows.txt")
        self.link = netns.pair(self, subnet=251)
        conf = write_config(self, CONFIG.format(dev=self.link.b, dir=self.dir))
        self.daemon, self.log = start_norvo(self, ["-d", "-c", conf], netns=self.link.ns_b.name)
        self.traffic = Traffic(self.link, self.daemon)
        self.traffic.wait_capturing()

    def read_text(self):
        try:
            with open(self.text) as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def binread(self):
        r = subprocess.run([program("norvo-binread"), self.bin], capture_output=True, text=True,
                           timeout=10)
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = r.stdout.splitlines()
        self.assertEqual(lines[0], "ip,input,output,timetag")
        return lines[1:]

    def log_rows(self):
        return [l for l in self.log.snapshot() if l.text.startswith("Cat: logged ")]

    def lost_errors(self):
        text = ("ERROR: Error while category lost dumping into textfile %s: "
                "No such file or directory" % self.missing)
        return [l for l in self.log.snapshot() if l.text == text]

    def wait_until(self, condition, what, timeout=10):
        deadline = time.monotonic() + timeout
        while not condition():
            if time.monotonic() > deadline:
                self.fail("%s within %d s; log: %r" % (what, timeout, self.log.texts()[-20:]))
            time.sleep(0.05)

    def dump(self, rows_before, text_headers, records, errors):
        """SIGHUP, then waits until every back-end has written its part."""
        began = time.time()
        self.daemon.signal(signal.SIGHUP)
        self.wait_until(lambda: len(self.log_rows()) >= rows_before, "syslog rows")
        self.wait_until(lambda: self.read_text().count("Starting dump sequence") >= text_headers
                        and self.read_text().endswith("\n"), "text dump")
        self.wait_until(lambda: os.path.exists(self.bin) and
                        os.path.getsize(self.bin) >= 20 * records, "binary records")
        self.wait_until(lambda: len(self.lost_errors()) >= errors, "open error of lost")
        return began, time.time()

    def send(self, src, dst, length, count):
        self.traffic.send("-s", src, "-d", dst, "-l", length, "-c", count)

    def test_two_cycles_through_every_back_end(self):
        self.send("198.18.2.5", "198.19.0.1", 500, 4)
        self.send("198.19.0.1", "198.18.2.5", 700, 3)
        self.send("198.18.2.6", "198.19.0.2", 64, 1)
        self.send("198.19.0.3", "198.18.2.7", 40, 1)
        self.traffic.settle()
        began1, ended1 = self.dump(3, 1, 2, 1)
        self.send("198.18.2.5", "198.18.2.8", 1000, 2)
        self.traffic.settle()
        began2, ended2 = self.dump(5, 2, 4, 2)
        self.daemon.signal(signal.SIGTERM)
        self.assertEqual(self.daemon.wait(5), 0, self.daemon.stderr())

        # System log: one NOTICE line per address of each cycle, no header.
        logged = self.log_rows()
        self.assertEqual({(l.facility, l.level, l.ident, l.pid) for l in logged},
                         {(LOG_DAEMON, LOG_NOTICE, "norvo", self.daemon.pid)})
        texts = [l.text for l in logged]
        self.assertIn(texts[:3], [syslog_rows(FIRST, t) for t in tags(began1, ended1, 3600)])
        self.assertIn(texts[3:], [syslog_rows(SECOND, t) for t in tags(began2, ended2, 3600)])
        self.assertRegex(texts[1], r"^Cat: logged IP: 198\.018\.002\.006 input:        0 "
                                   r"output:        0 timetag:   \d{6}$")

        # Text file: a header per dump, the last one (at the stop) without rows.
        lines = self.read_text().splitlines()
        self.assertEqual(len(lines), 3 + 3 + 2, lines)
        for i in (0, 4, 7):
            self.assertRegex(lines[i], "^" + TEXT_HEADER + "$")
        self.assertIn(lines[1:4], [text_rows(FIRST, t) for t in tags(began1, ended1)])
        self.assertIn(lines[5:7], [text_rows(SECOND, t) for t in tags(began2, ended2)])

        # Binary file: what was accounted, scaled, 20 bytes a record.
        records = self.binread()
        self.assertEqual(os.path.getsize(self.bin), 20 * 4)
        self.assertIn(records[:2], [bin_rows(FIRST, t) for t in tags(began1, ended1)])
        self.assertIn(records[2:], [bin_rows(SECOND, t) for t in tags(began2, ended2)])

        # The category that cannot open its file loses each dump and says why.
        errors = self.lost_errors()
        self.assertEqual(len(errors), 3, self.log.texts())
        self.assertEqual({(l.facility, l.level, l.pid) for l in errors},
                         {(LOG_DAEMON, LOG_ERR, self.daemon.pid)})
        self.assertFalse(os.path.exists(os.path.dirname(self.missing)))
        others = [l for l in self.log.snapshot() if l.level <= LOG_ERR and l not in errors]
        self.assertEqual(others, [])


@unittest.skipUnless(os.geteuid() == 0 and os.path.exists(program("norvo")), "needs root and norvo")
class PlantedLink(unittest.TestCase):
    def test_link_at_a_file_path_is_refused_and_new_files_are_0640(self):
        tmp = tempfile.mkdtemp(prefix="norvo-link-")
        self.addCleanup(shutil.rmtree, tmp, True)
        target, link, fresh = (os.path.join(tmp, n) for n in ("passwd", "rows.txt", "new.bin"))
        with open(target, "w") as f:
            f.write("root:x:0:0\n")
        os.symlink(target, link)
        conf = write_config(self, "period 3600\ncat linked\ndump TextFile %s\n"
                                  "cat fresh\ndump BinFile %s\n" % (link, fresh))
        daemon, log = start_norvo(self, ["-c", conf])
        self.assertIsNotNone(log.wait_text("Loading Category fresh. Dump-Type: BinFile"),
                             log.snapshot())
        umask = os.umask(0)  # the daemon's, inherited from this process
        os.umask(umask)
        daemon.signal(signal.SIGTERM)
        self.assertEqual(daemon.wait(10), 0)
        refused = [(l.text, l.level, l.pid) for l in log.snapshot() if l.level <= LOG_ERR]
        self.assertEqual(refused, [("ERROR: Error while category linked dumping into textfile "
                                    "%s: Too many levels of symbolic links (a symbolic link, "
                                    "which is not followed)" % link, LOG_ERR, daemon.pid)])
        with open(target) as f:
            self.assertEqual(f.read(), "root:x:0:0\n")
        self.assertEqual(os.stat(fresh).st_mode & 0o7777, 0o640 & ~umask)


if __name__ == "__main__":
    unittest.main()
