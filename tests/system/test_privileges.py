"""norvo with the credentials its systemd unit gives it: an unprivileged user
holding CAP_NET_RAW and CAP_NET_ADMIN and no other capability (set up with
setpriv, as AmbientCapabilities= does). It must capture and dump into files
of that user; without the two capabilities the device is refused, saying
why.

The daemon runs as nobody; its configuration is readable by all, its dump
directory belongs to nobody, and the syslog socket is writable by all.
Needs root.
"""

import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

import netns
from harness import LOG_ERR, Norvo, SyslogCapture, Traffic, program, wait_until, write_config

NOBODY = 65534
CAPS = "net_raw,net_admin"
CAP_BITS = (1 << 12) | (1 << 13)  # CAP_NET_ADMIN, CAP_NET_RAW

READY = os.geteuid() == 0 and shutil.which("setpriv") is not None and \
    os.path.exists(program("norvo")) and os.path.exists(program("norvo-inject")) and \
    os.path.exists(program("norvo-binread"))

CONFIG = """devices {dev}
period 3600
cat texted
primary account 198.18.3.0 255.255.255.0
secondary account 0.0.0.0 0.0.0.0
dump TextFile {dir}/rows.txt
cat binned
primary account 198.18.3.0 255.255.255.0
secondary account 0.0.0.0 0.0.0.0
dump BinFile {dir}/rows.bin
"""


def setpriv(caps):
    """The daemon as user nobody with exactly `caps` (may be empty) in every set."""
    keep = "-all" + "".join(",+" + c for c in caps.split(",") if c)
    return ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups",
            "--inh-caps=" + keep, "--ambient-caps=" + keep, "--bounding-set=" + keep,
            "--no-new-privs", "--"]


def read(path):
    try:
        with open(path) as f:
            return f.read()
    except FileNotFoundError:
        return ""


def status_fields(pid):
    with open("/proc/%d/status" % pid) as f:
        return dict(line.rstrip("\n").split(":\t", 1) for line in f if ":\t" in line)


@unittest.skipUnless(READY, "needs root, setpriv, norvo, norvo-inject and norvo-binread")
class UnprivilegedUser(unittest.TestCase):

    def start(self, caps):
        self.dir = tempfile.mkdtemp(prefix="norvo-privileges-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        os.chown(self.dir, NOBODY, NOBODY)
        self.link = netns.pair(self, subnet=250)
        conf = write_config(self, CONFIG.format(dev=self.link.b, dir=self.dir))
        os.chmod(conf, 0o644)
        self.log = SyslogCapture()
        self.addCleanup(self.log.close)
        os.chmod(self.log.path, 0o666)
        self.daemon = Norvo(["-d", "-c", conf], syslog=self.log, netns=self.link.ns_b.name,
                            wrapper=setpriv(caps))
        self.addCleanup(self.daemon.stop)

    def wait_until(self, condition, what, timeout=10):
        wait_until(condition, timeout, what, lambda: "log: %r; stderr: %r"
                   % (self.log.texts()[-20:], self.daemon.stderr()))

    def test_captures_and_dumps_with_only_the_two_capabilities(self):
        self.start(CAPS)
        traffic = Traffic(self.link, self.daemon)
        traffic.wait_capturing()
        status = status_fields(self.daemon.pid)
        self.assertEqual(status["Uid"].split(), [str(NOBODY)] * 4)
        for field in ("CapEff", "CapPrm", "CapBnd", "CapAmb"):
            self.assertEqual(int(status[field], 16), CAP_BITS, field)

        traffic.send("-s", "198.18.3.5", "-d", "198.19.0.1", "-l", 100, "-c", 3)
        traffic.send("-s", "198.19.0.1", "-d", "198.18.3.5", "-l", 60, "-c", 2)
        traffic.settle()
        self.daemon.signal(signal.SIGHUP)
        text, binary = os.path.join(self.dir, "rows.txt"), os.path.join(self.dir, "rows.bin")
        self.wait_until(lambda: os.path.exists(binary) and os.path.getsize(binary) >= 20
                        and "\nCat: texted " in read(text), "both dumps")
        self.daemon.signal(signal.SIGTERM)
        self.assertEqual(self.daemon.wait(10), 0, self.daemon.stderr())

        for path in (text, binary):
            self.assertEqual(os.stat(path).st_uid, NOBODY, path)
        rows = [l for l in read(text).splitlines() if l.startswith("Cat: ")]
        self.assertEqual(len(rows), 1, rows)
        self.assertRegex(rows[0], r"^Cat: texted IP: 198\.018\.003\.005 input:\s+120 "
                                  r"output:\s+300 timetag:\s+\d+$")
        r = subprocess.run([program("norvo-binread"), binary], capture_output=True, text=True,
                           timeout=10)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertRegex(r.stdout, r"^ip,input,output,timetag\n198\.18\.3\.5,120,300,\d+\n$")
        self.assertEqual([l.text for l in self.log.snapshot() if l.level <= LOG_ERR], [])

    def test_without_the_capabilities_the_device_is_refused_with_the_reason(self):
        self.start("")
        line = self.log.wait_for(
            lambda l: l.text.startswith("Error opening device %s: " % self.link.b), 10)
        self.assertIsNotNone(line, self.log.texts())
        self.assertEqual(line.level, LOG_ERR)
        self.assertRegex(line.text, re.compile("not permitted|permission", re.I))
        # its only device refused, the daemon has nothing to count and ends
        self.assertEqual(self.daemon.wait(10), 1, self.daemon.stderr())
        self.assertIn("Norvo: None of the 1 devices could be opened: %s: " % self.link.b,
                      self.daemon.stderr())


if __name__ == "__main__":
    unittest.main()
