"""The address table's limit in the real daemon: a flood of random sources
past `tablelimit 1` is counted as far as the table has room, the rest is
reported in one LOG_ERR line at the cycle end, and every row dumped is
exact. The flood runs between two namespaces without any address or route
(netns.isolated_pair), the only place norvo-inject sends sources from all of
0.0.0.0/0; it refuses anywhere else."""

import os
import re
import signal
import unittest

import netns
from harness import LOG_DAEMON, LOG_ERR, Traffic, program, scatter, start_norvo, write_config

SOURCES = 20000      # about twice what a 1 MiB table holds
RATE = 20000         # frames/s, gentle for a daemon printing every packet
SEED = 4242          # first input of norvo-inject's source bijection
DEST = "198.19.0.1"
FRAME = 64           # bytes on the wire
AGAIN = 5            # frames from the first source after the flood
ROW = re.compile(r"^IP: (\d{3})\.(\d{3})\.(\d{3})\.(\d{3}) input: +(\d+) output: +(\d+) "
                 r"timetag: +-?\d+$", re.M)
REFUSED = re.compile(r"Category flood: address table limit of 1 MiB reached: (\d+) new "
                     r"addresses, (\d+) packets and (\d+) bytes not counted in this period")

READY = os.geteuid() == 0 and os.path.exists(program("norvo")) and \
    os.path.exists(program("norvo-inject"))




def dotted(address):
    return ".".join(str(address >> shift & 0xff) for shift in (24, 16, 8, 0))


@unittest.skipUnless(READY, "needs root, norvo and norvo-inject")
class TableLimit(unittest.TestCase):
    def test_flood_past_the_limit_is_reported_once_and_the_stored_rows_are_exact(self):
        link = netns.isolated_pair(self)
        conf = write_config(self, "devices %s\nperiod 3600\ntablelimit 1\ncat flood\n"
                                  "primary account 0.0.0.0 0.0.0.0\n"
                                  "secondary account 0.0.0.0 0.0.0.0\n" % link.b)
        daemon, log = start_norvo(self, ["-d", "-c", conf], netns=link.ns_b.name)
        traffic = Traffic(link, daemon)
        traffic.wait_capturing()
        traffic.send("--scatter-src", SEED, "-d", DEST, "-c", SOURCES, "-r", RATE)
        # The first source was stored before the limit: it keeps counting.
        traffic.send("--scatter-src", SEED, "--src-spread", 1, "-d", DEST, "-c", AGAIN)
        traffic.settle()
        daemon.signal(signal.SIGTERM)
        self.assertEqual(daemon.wait(30), 0, daemon.stderr())

        lines = [l for l in log.snapshot() if REFUSED.fullmatch(l.text)]
        self.assertEqual(len(lines), 1, log.texts())
        self.assertEqual((lines[0].facility, lines[0].level), (LOG_DAEMON, LOG_ERR))
        addresses, packets, nbytes = (int(x) for x in REFUSED.fullmatch(lines[0].text).groups())
        dropped = sum(int(m.group(1)) for m in
                      (re.fullmatch(r"Kernel dropped (\d+) frames on device \S+", t)
                       for t in log.texts()) if m)

        sources = {dotted(scatter(SEED + k)) for k in range(SOURCES)}
        first = dotted(scatter(SEED))
        markers = {Traffic.MARK_SRC, Traffic.MARK_DST}
        rows = {}
        for m in ROW.finditer(daemon.stdout()):
            address = ".".join(str(int(m.group(i))) for i in range(1, 5))
            self.assertNotIn(address, rows, "two rows for %s" % address)
            rows[address] = (int(m.group(5)), int(m.group(6)))
        stored = set(rows) - markers - {DEST}
        self.assertLessEqual(stored, sources, "rows for addresses never sent")
        self.assertIn(first, stored)
        self.assertEqual(rows[first], (0, FRAME * (1 + AGAIN)))
        for address in stored - {first}:
            self.assertEqual(rows[address], (0, FRAME), address)
        self.assertEqual(rows[DEST][1], 0)
        self.assertEqual(rows[DEST][0] % FRAME, 0)
        counted = rows[DEST][0] // FRAME
        # The destination was stored first and counted every frame that arrived.
        self.assertEqual(counted + dropped, SOURCES + AGAIN)
        self.assertGreater(packets, 0)
        self.assertEqual(addresses, packets)
        self.assertEqual(nbytes, FRAME * packets)
        self.assertEqual(len(stored) + packets, counted - AGAIN)

    def test_the_injector_refuses_random_sources_where_there_are_addresses(self):
        link = netns.pair(self)
        result = link.ns_a.run([program("norvo-inject"), "-i", link.a, "--scatter-src", "1",
                                "-c", "1"], check=False)
        self.assertEqual(result.returncode, 2, result.stderr)
        self.assertRegex(result.stderr, r"refusing --scatter-src: interface \S+ has address ")


if __name__ == "__main__":
    unittest.main()
