"""Capture path on real interfaces: the frame injector checked against
tcpdump, and the daemon's capture threads checked through their debug lines.

Everything runs in network namespaces made for the test and joined by veth
pairs with addresses from 198.18.0.0/15. Binaries come from NORVO_BUILD_DIR.
Needs root.
"""
import collections
import os
import re
import selectors
import signal
import struct
import subprocess
import tempfile
import threading
import time
import unittest

import netns

BUILD = os.environ.get("NORVO_BUILD_DIR",
                       os.path.join(os.path.dirname(__file__), "..", "..", "build"))
NORVO = os.path.join(BUILD, "norvo")
INJECT = os.path.join(BUILD, "tests", "norvo-inject")
IS_ROOT = os.geteuid() == 0
HAVE_TCPDUMP = os.path.exists("/usr/bin/tcpdump") or os.path.exists("/usr/sbin/tcpdump")

MARK_START = "198.18.200.200"
MARK_END = "198.18.200.201"


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total  # 0xffff when the stored checksum is right


def dotted(raw):
    return ".".join(str(b) for b in raw)


def read_pcap(path):
    """(wire length, captured bytes) of every record of a classic pcap file."""
    with open(path, "rb") as f:
        data = f.read()
    magic = struct.unpack("<I", data[:4])[0]
    endian = "<" if magic in (0xA1B2C3D4, 0xA1B23C4D) else ">"
    frames, pos = [], 24
    while pos + 16 <= len(data):
        _, _, incl, orig = struct.unpack(endian + "IIII", data[pos:pos + 16])
        frames.append((orig, data[pos + 16:pos + 16 + incl]))
        pos += 16 + incl
    return frames


def wait_for_line(stream, pattern, timeout):
    """Reads text lines from a pipe until one matches; returns what was read."""
    sel = selectors.DefaultSelector()
    sel.register(stream, selectors.EVENT_READ)
    seen, deadline = [], time.monotonic() + timeout
    while time.monotonic() < deadline:
        if not sel.select(timeout=max(0.0, deadline - time.monotonic())):
            continue
        line = stream.readline()
        if not line:
            break
        seen.append(line)
        if re.search(pattern, line):
            return seen
    raise AssertionError("no line matching %r within %ss; got %r" % (pattern, timeout, seen))


class Tcpdump:
    """tcpdump writing a pcap file, ready to capture when the constructor returns."""

    def __init__(self, testcase, ns, iface):
        tmp = tempfile.mkdtemp(prefix="nvcap")
        testcase.addCleanup(lambda: subprocess.run(["rm", "-rf", tmp], check=False))
        self.path = os.path.join(tmp, "frames.pcap")
        self.proc = ns.popen(["tcpdump", "-i", iface, "-n", "-U", "--immediate-mode", "-Z", "root", "-s", "9100",
                              "-w", self.path], stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, text=True)
        testcase.addCleanup(netns.close_pipes, self.proc)
        testcase.addCleanup(netns.stop_process, self.proc, signal.SIGKILL, 10)
        wait_for_line(self.proc.stderr, r"listening on", 20)

    def frames(self):
        time.sleep(0.3)  # frames still in flight on the veth
        status = netns.stop_process(self.proc, signal.SIGINT, 20)
        if status not in (0,):
            raise AssertionError("tcpdump ended with %r" % status)
        return read_pcap(self.path)


def inject(ns, iface, *args, check=True):
    return ns.run([INJECT, "-i", iface] + [str(a) for a in args], timeout=120, check=check)


@unittest.skipUnless(IS_ROOT and HAVE_TCPDUMP and os.path.exists(INJECT),
                     "needs root, tcpdump and norvo-inject")
class InjectorTest(unittest.TestCase):

    def setUp(self):
        self.link = netns.pair(self)

    def capture(self, *args):
        dump = Tcpdump(self, self.link.ns_b, self.link.b)
        result = inject(self.link.ns_a, self.link.a, *args)
        return result.stdout, dump.frames()

    def test_sends_exactly_the_frames_asked_for(self):
        out, frames = self.capture("-c", 40, "--src-spread", 4, "--dst-spread", 2, "-p", "udp",
                                   "-S", 5000, "-D", 53, "-l", 100)
        self.assertIn("sent 40 frames, 4000 bytes", out)
        self.assertEqual(len(frames), 40)
        sources, dests = collections.Counter(), collections.Counter()
        for wire, f in frames:
            self.assertEqual(wire, 100)
            self.assertEqual(f[0:6], bytes.fromhex("020000000002"))
            self.assertEqual(f[12:14], b"\x08\x00")
            ip = f[14:34]
            self.assertEqual(ip[0], 0x45)
            self.assertEqual(struct.unpack("!H", ip[2:4])[0], 86)
            self.assertEqual(ip[9], 17)
            self.assertEqual(checksum(ip), 0xFFFF, "IPv4 header checksum")
            sport, dport, ulen = struct.unpack("!HHH", f[34:40])
            self.assertEqual((sport, dport, ulen), (5000, 53, 66))
            pseudo = ip[12:20] + struct.pack("!BBH", 0, 17, ulen)
            self.assertEqual(checksum(pseudo + f[34:100]), 0xFFFF, "UDP checksum")
            sources[dotted(ip[12:16])] += 1
            dests[dotted(ip[16:20])] += 1
        self.assertEqual(sources, {"198.18.0.%d" % i: 10 for i in range(1, 5)})
        self.assertEqual(dests, {"198.19.0.1": 20, "198.19.0.2": 20})

    def test_icmp_tcp_and_other_link_types(self):
        dump = Tcpdump(self, self.link.ns_b, self.link.b)
        ns, a = self.link.ns_a, self.link.a
        inject(ns, a, "-p", "icmp", "-l", 98)
        inject(ns, a, "-p", "tcp", "-S", 40000, "-D", 443, "-l", 1514)
        inject(ns, a, "-e", "0x0806", "-l", 60)
        inject(ns, a, "-e", "0x8100", "-l", 64)
        inject(ns, a, "-l", 38)
        frames = {bytes(f[12:14]) + bytes([f[23]]) if len(f) > 23 else b"": (w, f)
                  for w, f in dump.frames()}
        self.assertEqual(len(frames), 5, sorted(frames))

        wire, icmp = frames[b"\x08\x00\x01"]
        self.assertEqual(wire, 98)
        self.assertEqual(icmp[34:36], b"\x08\x00", "echo request, code 0")
        self.assertEqual(checksum(icmp[34:98]), 0xFFFF, "ICMP checksum")

        wire, tcp = frames[b"\x08\x00\x06"]
        self.assertEqual(wire, 1514)
        self.assertEqual(struct.unpack("!HH", tcp[34:38]), (40000, 443))
        self.assertEqual(tcp[47], 0x02, "SYN")
        pseudo = tcp[26:34] + struct.pack("!BBH", 0, 6, 1480)
        self.assertEqual(checksum(pseudo + tcp[34:1514]), 0xFFFF, "TCP checksum")

        self.assertEqual(frames[b"\x08\x06\x11"][0], 60)
        _, vlan = [v for k, v in frames.items() if k[:2] == b"\x81\x00"][0]
        self.assertEqual(vlan[16:18], b"\x08\x00", "VLAN tag carries IPv4")
        self.assertEqual(frames[b"\x08\x00\x11"][0], 38)

    def test_refuses_addresses_outside_the_test_ranges(self):
        ns, a = self.link.ns_a, self.link.a
        dump = Tcpdump(self, self.link.ns_b, self.link.b)
        for args in (["-s", "10.1.2.3"], ["-d", "8.8.8.8"], ["-d", "192.168.1.1"],
                     ["-s", "198.19.255.254", "--src-spread", 3],
                     ["-d", "127.255.255.255", "--dst-spread", 2], ["-s", "198.17.255.255"]):
            with self.subTest(args=args):
                r = inject(ns, a, *args, check=False)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertIn("refusing", r.stderr)
                self.assertNotIn("sent", r.stdout)
        self.assertEqual(dump.frames(), [], "a refused run put frames on the link")

    def test_paced_run_spreads_its_frames_and_stops_at_the_count(self):
        started = time.monotonic()
        out, frames = self.capture("-c", 50, "-r", 200)
        elapsed = time.monotonic() - started
        self.assertEqual(len(frames), 50)
        self.assertIn("sent 50 frames", out)
        # 50 frames at 200/s: the last one leaves 245 ms after the first.
        seconds = float(re.search(r"in ([0-9.]+) s", out).group(1))
        self.assertGreaterEqual(seconds, 0.24)
        self.assertGreaterEqual(elapsed, 0.24)


class Daemon:
    """norvo -d on a config file inside a namespace; its stdout lines collected."""

    def __init__(self, testcase, ns, devices):
        tmp = tempfile.mkdtemp(prefix="nvcap")
        testcase.addCleanup(lambda: subprocess.run(["rm", "-rf", tmp], check=False))
        conf = os.path.join(tmp, "norvo.conf")
        with open(conf, "w") as f:
            f.write("devices %s\nperiod 3600\nbuffersize 100\n" % " ".join(devices))
        # Line-buffered, so lines arrive while the daemon runs.
        self.proc = ns.popen(["stdbuf", "-oL", NORVO, "-d", "-c", conf],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.lines, self.lock = [], threading.Lock()
        self.reader = threading.Thread(target=self._read, daemon=True)
        testcase.addCleanup(netns.close_pipes, self.proc, self.reader)
        testcase.addCleanup(netns.stop_process, self.proc, signal.SIGKILL, 10)
        self.reader.start()

    def _read(self):
        for line in self.proc.stdout:
            with self.lock:
                self.lines.append(line)

    def snapshot(self):
        with self.lock:
            return list(self.lines)

    def wait_for(self, pattern, timeout, start=0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for i, line in enumerate(self.snapshot()[start:], start):
                if re.search(pattern, line):
                    return i
            if self.proc.poll() is not None and not self.reader.is_alive():
                break
            time.sleep(0.05)
        raise AssertionError("no line matching %r; output: %r" % (pattern, self.snapshot()[-40:]))


@unittest.skipUnless(IS_ROOT and os.path.exists(NORVO) and os.path.exists(INJECT),
                     "needs root, the norvo daemon and norvo-inject")
class DaemonCaptureTest(unittest.TestCase):

    def setUp(self):
        self.link = netns.pair(self)

    def send(self, *args):
        inject(self.link.ns_a, self.link.a, *args)

    def wait_until_capturing(self, daemon):
        """Sends marker frames until the daemon shows one; returns the line index after it."""
        pattern = r"^IP-Packet %s:" % re.escape(MARK_START)
        for _ in range(100):
            self.send("-s", MARK_START)
            try:
                daemon.wait_for(pattern, 0.1)
                break
            except AssertionError:
                continue
        daemon.wait_for(pattern, 5)
        time.sleep(0.3)  # let a marker still in flight land before counting starts
        return len(daemon.snapshot())

    def lines_until_end_marker(self, daemon, start):
        self.send("-s", MARK_END)
        end = daemon.wait_for(r"^IP-Packet %s:" % re.escape(MARK_END), 20, start)
        return daemon.snapshot()[start:end]

    def test_debug_lines_for_every_frame_and_each_ipv4_packet(self):
        daemon = Daemon(self, self.link.ns_b, [self.link.b])
        start = self.wait_until_capturing(daemon)

        self.send("-c", 20, "--src-spread", 4, "-p", "udp", "-S", 1024, "-D", 9)
        self.send("-c", 5, "-p", "tcp", "-S", 40000, "-D", 443, "-l", 1514)
        self.send("-c", 3, "-p", "icmp", "-l", 98)
        self.send("-c", 2, "-l", 39, "-S", 7, "-D", 8)
        self.send("-c", 4, "-e", "0x0806")
        self.send("-c", 4, "-e", "0x8100")
        self.send("-c", 3, "-l", 38)
        lines = self.lines_until_end_marker(daemon, start)

        inserting = [l for l in lines if l.startswith("Inserting packet into queue of device ")]
        packets = collections.Counter(l for l in lines if l.startswith("IP-Packet "))
        # Every frame gets its line before the filter; the end marker's is among them.
        self.assertEqual(len(inserting), 20 + 5 + 3 + 2 + 4 + 4 + 3 + 1, lines)
        for l in inserting:
            self.assertRegex(l, r"^Inserting packet into queue of device %s: wb:\d+ rb:\d+\n$"
                             % self.link.b)
        want = collections.Counter()
        for i in range(1, 5):
            want["IP-Packet 198.18.0.%d: 1024 -> 198.19.0.1:    9\n" % i] = 5
        want["IP-Packet 198.18.0.1:40000 -> 198.19.0.1:  443\n"] = 5
        want["IP-Packet 198.18.0.1:    7 -> 198.19.0.1:    8\n"] = 2
        icmp = [l for l in packets if l.startswith("IP-Packet 198.18.0.1: 2048 -> ")]
        self.assertEqual(sum(packets[l] for l in icmp), 3, "ICMP lines: %r" % packets)
        for l in icmp:
            del packets[l]
        self.assertEqual(packets, want)

    def test_missing_device_is_reported_and_the_others_go_on(self):
        missing = netns.unique_prefix("nvx") + "gone"
        daemon = Daemon(self, self.link.ns_b, [missing, self.link.b])
        daemon.wait_for(r"^Error opening device %s\n$" % missing, 20)
        start = self.wait_until_capturing(daemon)
        self.send("-c", 10, "-S", 1111, "-D", 2222)
        lines = self.lines_until_end_marker(daemon, start)
        self.assertEqual(
            lines.count("IP-Packet 198.18.0.1: 1111 -> 198.19.0.1: 2222\n"), 10, lines)

        status = netns.stop_process(daemon.proc, signal.SIGTERM, 30)
        self.assertEqual(status, 0, "norvo did not end cleanly on SIGTERM")


@unittest.skipUnless(IS_ROOT and os.path.exists(NORVO) and os.path.exists(INJECT),
                     "needs root, the norvo daemon and norvo-inject")
class RefusedDevices(unittest.TestCase):
    """A device that is missing or of a link type norvo cannot decode gets
    its error lines on standard output and at LOG_ERR; the capture on the
    others goes on."""

    def test_missing_and_undecodable_devices_are_reported_the_veth_counts(self):
        from harness import LOG_ERR, start_norvo, write_config
        link = netns.pair(self)
        fddi = netns.unique_prefix("nvf") + "f"
        missing = netns.unique_prefix("nvx") + "gone"
        # A tun device that says it is FDDI (TUNSETIFF, TUNSETLINK, TUNSETPERSIST).
        link.ns_b.run(["python3", "-c", "import fcntl, os, struct, sys\n"
                       "fd = os.open('/dev/net/tun', os.O_RDWR)\n"
                       "fcntl.ioctl(fd, 0x400454ca, struct.pack('16sH', sys.argv[1].encode(), 0x1001))\n"
                       "fcntl.ioctl(fd, 0x400454cd, 774)\n"
                       "fcntl.ioctl(fd, 0x400454cb, 1)\n", fddi])
        netns.ip("-n", link.ns_b.name, "link", "set", fddi, "up")
        conf = write_config(self, "devices %s %s %s\ncat veth\n"
                                  "primary account 198.18.0.0 255.255.0.0\n"
                                  "secondary account 0.0.0.0 0.0.0.0\n" % (link.b, fddi, missing))
        daemon, log = start_norvo(self, ["-c", conf], netns=link.ns_b.name)
        for name in (fddi, missing):
            line = log.wait_text("Error opening device %s" % name)
            self.assertIsNotNone(line, log.snapshot())
            self.assertEqual(line.level, LOG_ERR)
        reason = log.wait_text("Error opening device %s: link type FDDI is not supported" % fddi)
        self.assertIsNotNone(reason, log.snapshot())
        self.assertTrue(daemon.wait_stdout(
            lambda o: "Error opening device %s\nError opening device %s: link type FDDI is not "
                      "supported\n" % (fddi, fddi) in o and
                      "Error opening device %s\n" % missing in o), daemon.stdout())

        self.assertIsNotNone(log.wait_text("Capturing on device %s." % link.b), log.snapshot())
        inject(link.ns_a, link.a, "-s", "198.18.7.7", "-c", 10, "-l", 100)
        # Each SIGHUP dumps what was counted so far: frames still queued at
        # one are in a later dump, so the rows add up to the frames sent.
        sent = 0
        for _ in range(50):
            daemon.signal(signal.SIGHUP)
            before = daemon.stdout().count("Starting dump sequence of category veth")
            self.assertTrue(daemon.wait_stdout(
                lambda o: o.count("Starting dump sequence of category veth") > before))
            sent = sum(int(m) for m in re.findall(r"^IP: 198\.018\.007\.007 input: +0 "
                                                  r"output: +(\d+) ", daemon.stdout(), re.M))
            if sent >= 1000:
                break
        self.assertEqual(sent, 1000, daemon.stdout())
        daemon.signal(signal.SIGTERM)
        self.assertEqual(daemon.wait(10), 0)

    def test_none_of_the_named_devices_opened_is_fatal(self):
        from harness import LOG_ERR, start_norvo, write_config
        ns = netns.Namespace(self, netns.unique_prefix("nvn"))
        missing = [netns.unique_prefix("nvx") + "gone" for _ in range(2)]
        conf = write_config(self, "devices %s %s\ncat c\nprimary account 198.18.0.0/16\n"
                                  "secondary account 0.0.0.0/0\n" % tuple(missing))
        daemon, log = start_norvo(self, ["-c", conf], netns=ns.name)
        self.assertEqual(daemon.wait(10), 1)
        # each device with libpcap's reason, in the order they were given up
        m = re.fullmatch(r"Norvo: None of the 2 devices could be opened: (\S+): ([^;]+); "
                         r"(\S+): ([^;]+)\n", daemon.stderr())
        self.assertIsNotNone(m, daemon.stderr())
        self.assertEqual(sorted([m.group(1), m.group(3)]), sorted(missing))
        for reason in (m.group(2), m.group(4)):
            self.assertIn("No such device", reason)
        fatal = log.wait_for(lambda l: l.text.startswith("None of the 2 devices"), 2)
        self.assertIsNotNone(fatal, log.snapshot())
        self.assertEqual(fatal.level, LOG_ERR)
        self.assertNotIn("Dumping category c", log.texts())


if __name__ == "__main__":
    unittest.main()
