"""Loss the kernel had to take is reported: while the daemon is stopped
(SIGSTOP) its capture buffer overflows; once it runs again, the capture
thread logs how many frames were dropped, and together with the frames it
accounted they make up every frame sent."""

import os
import re
import signal
import time
import unittest

import netns
from harness import LOG_DAEMON, LOG_ERR, program, start_norvo, wait_until, write_config

SENT = 120000  # far beyond what the default 2 MiB capture buffer holds
FRAME = 64  # bytes on the wire
ROW = re.compile(r"^IP: (\d{3})\.(\d{3})\.(\d{3})\.(\d{3}) input: +(\d+) output: +(\d+) "
                 r"timetag: +(-?\d+)$", re.M)


@unittest.skipUnless(os.geteuid() == 0 and os.path.exists(program("norvo-inject")),
                     "needs root and norvo-inject")
class KernelDrops(unittest.TestCase):
    def test_dropped_and_accounted_frames_add_up_to_the_frames_sent(self):
        link = netns.pair(self)
        conf = write_config(self, "devices %s\nperiod 3600\ncat sources\n"
                                  "primary account 198.18.0.0 255.255.0.0\n"
                                  "secondary account 198.19.0.0 255.255.0.0\n" % link.b)
        daemon, log = start_norvo(self, ["-c", conf], netns=link.ns_b.name)
        self.assertIsNotNone(log.wait_text("Capturing on device %s." % link.b), log.snapshot())

        daemon.signal(signal.SIGSTOP)
        self.addCleanup(daemon.signal, signal.SIGCONT)
        sent = link.ns_a.run([program("norvo-inject"), "-i", link.a, "-s", "198.18.0.1",
                              "-d", "198.19.0.1", "--src-spread", "100", "-l", str(FRAME),
                              "-c", str(SENT)], timeout=120)
        self.assertIn("sent %d frames" % SENT, sent.stdout)
        daemon.signal(signal.SIGCONT)

        prefix = "Kernel dropped "
        drop = log.wait_for(lambda l: l.text.startswith(prefix), 10)
        self.assertIsNotNone(drop, log.snapshot())
        self.assertEqual((drop.facility, drop.level, drop.pid), (LOG_DAEMON, LOG_ERR, daemon.pid))
        m = re.fullmatch(r"Kernel dropped (\d+) frames on device (\S+)", drop.text)
        self.assertIsNotNone(m, drop.text)
        self.assertEqual(m.group(2), link.b)
        self.assertGreater(int(m.group(1)), 0)

        # What the kernel buffer and the queue held reaches the tables after
        # the first drop line: dump until the rows and every drop line
        # account for each frame sent. A frame still queued at one SIGHUP is
        # in a later dump, so the rows of all dumps are added up.
        def drops():
            return sum(int(l.text.split()[2]) for l in log.snapshot()
                       if l.text.startswith(prefix))

        def accounted_rows():
            return ROW.findall(daemon.stdout())

        def cycle_ends():
            return sum(1 for t in log.texts() if t == "Dumping category sources" or
                       t.startswith("ERROR: Privious dump still active. Category sources "))

        # Rows read while a dump is still being written are fewer, never more,
        # so the loop cannot stop early; the last dumps are whole after the stop.
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            before = cycle_ends()
            daemon.signal(signal.SIGHUP)
            wait_until(lambda: cycle_ends() > before, 10, "a cycle end after SIGHUP")
            accounted = sum(int(r[5]) for r in accounted_rows())
            if accounted // FRAME + drops() >= SENT:
                break
        daemon.signal(signal.SIGTERM)
        self.assertEqual(daemon.wait(10), 0)
        rows = accounted_rows()
        accounted = sum(int(r[5]) for r in rows)
        self.assertEqual(len({r[:4] for r in rows}), 100)
        self.assertEqual(accounted % FRAME, 0)
        self.assertEqual(accounted // FRAME + drops(), SENT)


if __name__ == "__main__":
    unittest.main()
