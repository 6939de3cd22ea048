"""Capture on links other than plain Ethernet, with the real daemon: a tun
device fed through its descriptor, the "any" device, VLAN-tagged frames on
a veth with `vlan` off and on; and the decoder compared with tshark on the
same frames of every link type it reads.

The daemon runs with -d in a network namespace made for the test; a test
sends its frames, then an end marker, waits until the daemon has accounted
everything it queued (its debug lines), stops it with SIGTERM and reads the
rows of the last dump. Addresses come from 198.18.0.0/15 only. Needs root.
"""

import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

import netns
from harness import program, start_norvo, write_config

READY = os.geteuid() == 0 and os.path.exists(program("norvo")) and \
    os.path.exists(program("norvo-inject"))
ROW = re.compile(r"^IP: (\d{3})\.(\d{3})\.(\d{3})\.(\d{3}) input: +(\d+) output: +(\d+) ", re.M)

MARK_START = "198.18.200.200"  # warm-up: the capture is open once one shows
MARK_END = "198.18.200.201"    # sent last: everything before it has been queued
PEER = "198.19.0.1"            # not accounted, so only the senders get rows


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def quad(text):
    return bytes(int(x) for x in text.split("."))


def ipv4(src, dst, length=100, proto=17, sport=1024, dport=9):
    """An IPv4 packet of `length` bytes: a 20-byte header, the ports, zeros."""
    transport = struct.pack("!HH", sport, dport) + bytes(length - 24)
    if proto == 17:
        transport = transport[:4] + struct.pack("!HH", length - 20, 0) + transport[8:]
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, length, 1, 0, 64, proto, 0, quad(src), quad(dst))
    header = header[:10] + struct.pack("!H", checksum(header)) + header[12:]
    return header + transport


def config(devices, extra=""):
    return ("devices %s\nperiod 3600\n%scat links\nprimary account 198.18.0.0 255.255.0.0\n"
            "secondary account 0.0.0.0 0.0.0.0\n" % (devices, extra))


class CountedRun:
    """norvo -d on a configuration; send() puts traffic on the link; rows()
    returns what it counted per source address once everything sent is in."""

    def __init__(self, testcase, ns, text, send):
        self.testcase, self.send = testcase, send
        conf = write_config(testcase, text)
        self.daemon, self.log = start_norvo(testcase, ["-d", "-c", conf], netns=ns.name)
        self._wait_capturing()

    def _shown(self, source):
        return self.daemon.stdout().count("IP-Packet %s:" % source)

    def _wait_capturing(self):
        for _ in range(100):  # the capture thread opens its device after start-up
            self.send(MARK_START, 1)
            if self.daemon.wait_stdout(lambda o: self._shown(MARK_START) > 0, 0.2):
                return
        raise AssertionError("norvo never showed a marker; stdout: %r, log: %r"
                             % (self.daemon.stdout()[-2000:], self.log.texts()))

    def rows(self):
        """{source: output bytes} over the whole run, markers left out."""
        self.send(MARK_END, 1)
        if not self.daemon.wait_stdout(lambda o: self._shown(MARK_END) > 0, 20):
            raise AssertionError("the end marker did not arrive; stdout: %r"
                                 % self.daemon.stdout()[-2000:])
        # The main thread prints the first line once per packet it asks for,
        # after it has accounted the one before.
        queued = self.daemon.stdout().count("IP-Packet ")
        if not self.daemon.wait_stdout(
                lambda o: o.count("Popping packet from queue\n") > queued, 20):
            raise AssertionError("norvo did not account its %d packets" % queued)
        self.daemon.signal(signal.SIGTERM)
        self.testcase.assertEqual(self.daemon.wait(20), 0, self.daemon.stderr())
        counted = {}
        for m in ROW.finditer(self.daemon.stdout()):
            address = ".".join(str(int(m.group(i))) for i in range(1, 5))
            counted[address] = counted.get(address, 0) + int(m.group(6))
        for mark in (MARK_START, MARK_END):
            counted.pop(mark, None)
        return counted


# Runs inside the test namespace: attaches to tun device argv[1] and writes
# each packet of a line "COUNT HEX" COUNT times, answering "sent" per line.
TUN_WRITER = r"""
import fcntl, os, struct, sys
fd = os.open("/dev/net/tun", os.O_RDWR)
fcntl.ioctl(fd, 0x400454ca, struct.pack("16sH", sys.argv[1].encode(), 0x0001 | 0x1000))
print("attached", flush=True)
for line in sys.stdin:
    count, packet = line.split()
    for _ in range(int(count)):
        os.write(fd, bytes.fromhex(packet))
    print("sent", flush=True)
"""


@unittest.skipUnless(READY, "needs root, norvo and norvo-inject")
class TunDevice(unittest.TestCase):
    def test_packets_written_to_a_tun_device_are_counted_by_ip_length(self):
        ns = netns.Namespace(self, netns.unique_prefix("nvtun"))
        tun = "nvtun0"
        netns.ip("-n", ns.name, "tuntap", "add", "dev", tun, "mode", "tun")
        writer = ns.popen([sys.executable, "-c", TUN_WRITER, tun], stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE, text=True)
        self.addCleanup(netns.close_pipes, writer)
        self.addCleanup(netns.stop_process, writer, signal.SIGTERM, 10)
        self.assertEqual(writer.stdout.readline(), "attached\n")
        netns.ip("-n", ns.name, "link", "set", tun, "up")

        def send(source, count, length=100, proto=17):
            writer.stdin.write("%d %s\n" % (count, ipv4(source, PEER, length, proto).hex()))
            writer.stdin.flush()
            self.assertEqual(writer.stdout.readline(), "sent\n")

        run = CountedRun(self, ns, config(tun), send)
        send("198.18.0.5", 10, 100)
        send("198.18.0.6", 7, 1400, proto=6)
        self.assertEqual(run.rows(), {"198.18.0.5": 1000, "198.18.0.6": 9800})


@unittest.skipUnless(READY, "needs root, norvo and norvo-inject")
class AnyDevice(unittest.TestCase):
    def test_frames_of_one_veth_are_counted_without_their_link_header(self):
        link = netns.pair(self)

        def send(source, count, length=64):
            link.ns_a.run([program("norvo-inject"), "-i", link.a, "-s", source, "-d", PEER,
                           "-c", str(count), "-l", str(length)])

        run = CountedRun(self, link.ns_b, config("any"), send)
        send("198.18.0.7", 10, 100)
        send("198.18.0.8", 4, 1514)
        self.assertEqual(run.rows(), {"198.18.0.7": 10 * 86, "198.18.0.8": 4 * 1500})


@unittest.skipUnless(READY, "needs root, norvo and norvo-inject")
class VlanTags(unittest.TestCase):
    def run_tagged(self, extra):
        link = netns.pair(self)

        def send(source, count, *tags):
            argv = [program("norvo-inject"), "-i", link.a, "-s", source, "-d", PEER,
                    "-c", str(count), "-l", "100"]
            for tpid in tags:
                argv += ["--vlan", tpid]
            link.ns_a.run(argv)

        run = CountedRun(self, link.ns_b, config(link.b, extra), send)
        send("198.18.1.1", 5, "0x8100")
        send("198.18.1.2", 6, "0x88a8", "0x8100")
        send("198.18.1.3", 7, "0x9100")
        send("198.18.1.4", 8)
        return run

    def test_tagged_frames_are_dropped_by_default(self):
        run = self.run_tagged("")
        self.assertEqual(run.rows(), {"198.18.1.4": 800})

    def test_vlan_on_counts_one_and_two_tags_and_the_report_shows_both_settings(self):
        run = self.run_tagged("vlan on\ncapturebuffer 16\n")
        start = len(run.daemon.stdout())
        run.daemon.signal(signal.SIGUSR1)
        self.assertTrue(run.daemon.wait_stdout(lambda o: "Devicecount" in o[start:]),
                        run.daemon.stdout()[-2000:])
        self.assertIn("Cycletime: 3600\nVlan: on\nCapturebuffer: 16 MiB\nDevicecount: 1\n",
                      run.daemon.stdout()[start:])
        self.assertEqual(run.rows(), {"198.18.1.1": 500, "198.18.1.2": 600, "198.18.1.3": 700,
                                      "198.18.1.4": 800})


# Link types as numbered in pcap files, and the pseudo-header each puts in
# front of the IP packet.
ETHERNET, RAW, SLL, LOOP, IPV4, SLL2, NULL = 1, 101, 113, 108, 228, 276, 0


def ethernet(packet, tags=(), ethertype=0x0800):
    head = bytes.fromhex("020000000002020000000001")
    for i, tpid in enumerate(tags):
        head += struct.pack("!HH", tpid, 10 + i)
    return head + struct.pack("!H", ethertype) + packet


def sll(packet, protocol=0x0800):
    return struct.pack("!HHH8sH", 0, 1, 6, bytes.fromhex("0200000000010000"), protocol) + packet


def sll2(packet, protocol=0x0800):
    return struct.pack("!HHIHBB8s", protocol, 0, 3, 1, 0, 6, bytes(8)) + packet


def write_pcap(path, linktype, frames):
    with open(path, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, linktype))
        for i, frame in enumerate(frames):
            f.write(struct.pack("<IIII", 1700000000, i, len(frame), len(frame)) + frame)


def sample_packets():
    """TCP and UDP packets of a few sizes, addresses and ports."""
    packets = []
    for i, (length, proto) in enumerate([(40, 6), (60, 17), (576, 6), (1500, 17), (29, 17)]):
        packets.append(ipv4("198.18.%d.%d" % (i, 10 + i), "198.19.%d.1" % i, length, proto,
                            1000 + 37 * i, 80 + i))
    return packets


@unittest.skipUnless(shutil.which("tshark") and os.path.exists(program("norvo-decode")),
                     "needs tshark and norvo-decode")
class DecoderAgainstTshark(unittest.TestCase):
    FIELDS = ("ip.src", "ip.dst", "ip.proto", "tcp.srcport", "udp.srcport", "tcp.dstport",
              "udp.dstport", "frame.len")

    def compare(self, linktype, pseudo, frames, vlan=False):
        tmp = tempfile.mkdtemp(prefix="nvdec")
        self.addCleanup(shutil.rmtree, tmp)
        path = os.path.join(tmp, "frames.pcap")
        write_pcap(path, linktype, frames)
        argv = ["tshark", "-n", "-r", path, "-T", "fields", "-E", "separator=|",
                "-E", "occurrence=f"]
        for field in self.FIELDS:
            argv += ["-e", field]
        shark = subprocess.run(argv, capture_output=True, text=True, timeout=120, check=True)
        ours = subprocess.run([program("norvo-decode")] + (["--vlan"] if vlan else []) + [path],
                              capture_output=True, text=True, timeout=30, check=True)
        want = []
        for line in shark.stdout.splitlines():
            src, dst, proto, tsport, usport, tdport, udport, size = line.split("|")
            if not src:
                want.append("-")
                continue
            want.append("%s %s %s %s %s %d" % (src, dst, proto, tsport or usport, tdport or udport,
                                               int(size) - pseudo))
        self.assertEqual(len(want), len(frames), shark.stderr)
        self.assertEqual(ours.stdout.splitlines(), want)
        self.assertGreater(sum(1 for w in want if w != "-"), len(want) // 2)

    def test_every_link_type_reads_as_tshark_reads_it(self):
        packets = sample_packets()
        ipv6 = bytes([0x60]) + bytes(59)
        arp = bytes(28)
        self.compare(ETHERNET, 0, [ethernet(p) for p in packets] + [ethernet(arp, (), 0x0806)])
        tagged = [ethernet(p, tags) for p, tags in
                  zip(packets, [(0x8100,), (0x88A8, 0x8100), (0x9100,), (), (0x8100, 0x8100)])]
        self.compare(ETHERNET, 0, tagged + [ethernet(arp, (0x8100,), 0x0806)], vlan=True)
        self.compare(RAW, 0, packets + [ipv6])
        self.compare(IPV4, 0, packets)
        self.compare(SLL, 16, [sll(p) for p in packets] + [sll(ipv6, 0x86DD)] +
                     [sll(struct.pack("!HH", 10, 0x0800) + packets[0], 0x8100)])
        self.compare(SLL2, 20, [sll2(p) for p in packets] + [sll2(ipv6, 0x86DD)])
        self.compare(NULL, 4, [struct.pack("<I", 2) + p for p in packets] +
                     [struct.pack("!I", 2) + packets[0], struct.pack("<I", 10) + ipv6])
        self.compare(LOOP, 4, [struct.pack("!I", 2) + p for p in packets] +
                     [struct.pack("!I", 30) + ipv6])


if __name__ == "__main__":
    unittest.main()
