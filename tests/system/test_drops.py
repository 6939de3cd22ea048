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
from harness import LOG_DAEMON, LOG_ERR, program, start_norvo, write_config

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
        self.assertIsNotNone(log.wait_text("Listening on device %s." % link.b), log.snapshot())
        time.sleep(0.5)  # the capture thread opens its device

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
        dropped = int(m.group(1))
        self.assertGreater(dropped, 0)

        time.sleep(1.5)  # what the buffer held reaches the tables
        daemon.signal(signal.SIGHUP)
        self.assertTrue(daemon.wait_stdout(lambda o: "Starting dump sequence" in o))
        daemon.signal(signal.SIGTERM)
        self.assertEqual(daemon.wait(10), 0)
        rows = ROW.findall(daemon.stdout())
        accounted = sum(int(r[5]) for r in rows)
        self.assertEqual(len(rows), 100)
        self.assertEqual(accounted % FRAME, 0)
        later = [l.text for l in log.snapshot() if l.text.startswith(prefix) and l is not drop]
        dropped += sum(int(t.split()[2]) for t in later)
        self.assertEqual(accounted // FRAME + dropped, SENT)


if __name__ == "__main__":
    unittest.main()
