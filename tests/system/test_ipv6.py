"""IPv6 beside IPv4 in the real daemon: mixed traffic on a veth pair counted
exactly in the text, binary and syslog back-ends, norvo-binread on both
binary files, categories without IPv6 rules unchanged by IPv6 frames, and
the counts per address against tshark's reading of the same frames.

IPv4 frames come from norvo-inject (198.18.0.0/15), IPv6 frames from
frames6.py (2001:2::/48 and 2001:db8::/32) in a namespace without IPv6
routes. Needs root; the tshark comparison also needs tshark. With
NORVO_REFERENCE_BUILD naming the build directory of an earlier norvo
(without IPv6), an IPv4-only configuration is run through both on the same
mixed traffic and every output compared.
"""

import ipaddress
import json
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest

import frames6
import harness
import mariadb
import netns
from harness import Traffic, program, start_norvo, wait_until, write_config

READY = os.geteuid() == 0 and all(
    os.path.exists(program(p)) for p in ("norvo", "norvo-inject", "norvo-binread"))
TSHARK = shutil.which("tshark")

DUAL_RULES = """primary account 198.18.2.0 255.255.255.0
primary ignore 2001:db8:2:ff::/64
primary account 2001:db8:2::/48
secondary account 0.0.0.0 0.0.0.0
secondary account ::/0
"""
FOUR_RULES = """primary account 198.18.2.0 255.255.255.0
secondary account 0.0.0.0 0.0.0.0
"""
CONFIG = """devices {dev}
period 3600
cat dualtext
{dual}dump TextFile {dir}/dual.txt
cat dualbin
{dual}bytedivider 50
dump BinFile {dir}/dual.bin
cat duallog
{dual}dump Syslog
cat fourtext
{four}dump TextFile {dir}/four.txt
cat fourbin
{four}bytedivider 50
dump BinFile {dir}/four.bin
cat dualout
{dual}dump StdOut
cat every
primary account 0.0.0.0 0.0.0.0
primary account ::/0
secondary account 0.0.0.0 0.0.0.0
secondary account ::/0
dump TextFile {dir}/every.txt
"""

# (source, destination, frame length, count)
V4 = [("198.18.2.5", "198.19.0.1", 500, 4), ("198.19.0.1", "198.18.2.5", 700, 3),
      ("198.18.2.6", "198.19.0.2", 64, 1)]
V6 = [
    {"src": "2001:db8:2::5", "dst": "2001:2::1", "proto": "udp", "sport": 5000, "dport": 53,
     "length": 200, "count": 3},
    {"src": "2001:2::1", "dst": "2001:db8:2::5", "proto": "tcp", "sport": 443, "dport": 40000,
     "ext": ["hop", "dest"], "length": 300, "count": 2},
    {"src": "2001:db8:2:1::a", "dst": "2001:2::9", "proto": "udp", "ext": ["frag:0"],
     "length": 150},
    {"src": "2001:db8:2:1::a", "dst": "2001:2::9", "proto": "udp", "ext": ["frag:100"],
     "length": 150},
    {"src": "2001:db8:2::5", "dst": "2001:db8:2:1::a", "proto": "sctp", "length": 90},
    {"src": "2001:db8:2:ff::1", "dst": "2001:2::1", "proto": "udp", "length": 110},
    {"src": "2001:db8:3::1", "dst": "2001:2::1", "proto": "udp", "length": 80},
]
OWN = [ipaddress.ip_network("198.18.2.0/24"), ipaddress.ip_network("2001:db8:2::/48")]
IGNORED = [ipaddress.ip_network("2001:db8:2:ff::/64")]


def frames():
    """Every frame sent: (source, destination, length)."""
    out = [(s, d, n) for s, d, n, c in V4 for _ in range(c)]
    for shape in V6:
        out += [(shape["src"], shape["dst"], frames6.wire_length(shape))] * shape.get("count", 1)
    return out


def own(address):
    a = ipaddress.ip_address(address)
    return not any(a in n for n in IGNORED if n.version == a.version) and \
        any(a in n for n in OWN if n.version == a.version)


def account(sent, is_own):
    counts = {}
    for src, dst, length in sent:
        if is_own(src):
            i, o = counts.get(src, (0, 0))
            counts[src] = (i, o + length)
        if is_own(dst):
            i, o = counts.get(dst, (0, 0))
            counts[dst] = (i + length, o)
    return counts


def ordered(counts):
    """IPv4 addresses first, each family in ascending numeric order."""
    return sorted(counts.items(), key=lambda kv: (ipaddress.ip_address(kv[0]).version,
                                                  int(ipaddress.ip_address(kv[0]))))


def text_address(address):
    a = ipaddress.ip_address(address)
    return ".".join("%03d" % int(b) for b in address.split(".")) if a.version == 4 else str(a)


def text_rows(name, counts, tag, divider=1):
    return ["Cat: %s IP: %s input: %8d output: %8d timetag: %8d"
            % (name, text_address(a), i // divider, o // divider, tag)
            for a, (i, o) in ordered(counts)]


def rows_of(text, name):
    return [l for l in text.splitlines() if l.startswith("Cat: %s " % name)]


def read(path):
    try:
        with open(path) as f:
            return f.read()
    except FileNotFoundError:
        return ""


class Tshark:
    """tshark on one interface, printing one line of fields per frame."""

    FIELDS = ("frame.len", "ip.src", "ip.dst", "ipv6.src", "ipv6.dst")

    def __init__(self, testcase, ns, interface):
        argv = [TSHARK, "-i", interface, "-l", "-n", "-p", "-T", "fields"]
        for f in self.FIELDS:
            argv += ["-e", f]
        self.proc = ns.popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             stdin=subprocess.DEVNULL, text=True)
        testcase.addCleanup(self.stop)
        self.lines, self.err = [], []
        self._lock = threading.RLock()  # predicates of wait() call frames()
        self._threads = [threading.Thread(target=self._read, args=(s, l), daemon=True)
                         for s, l in ((self.proc.stdout, self.lines),
                                      (self.proc.stderr, self.err))]
        for t in self._threads:
            t.start()

    def _read(self, stream, sink):
        for line in iter(stream.readline, ""):
            with self._lock:
                sink.append(line.rstrip("\n"))

    def wait(self, predicate, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self._lock:
                if predicate(self):
                    return True
            if self.proc.poll() is not None:
                return False
            time.sleep(0.05)
        return False

    def stop(self):
        netns.stop_process(self.proc, signal.SIGTERM, 10)
        for t in self._threads:
            t.join(5)
        netns.close_pipes(self.proc)

    def frames(self):
        """(source, destination, length) of every frame read."""
        out = []
        with self._lock:
            lines = list(self.lines)
        for line in lines:
            length, s4, d4, s6, d6 = (line.split("\t") + [""] * 5)[:5]
            out.append((s4 or s6, d4 or d6, int(length)))
        return out


@unittest.skipUnless(READY, "needs root, norvo, norvo-inject and norvo-binread")
class MixedTraffic(unittest.TestCase):

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="norvo-ipv6-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.link = netns.pair(self, subnet=248)
        conf = write_config(self, CONFIG.format(dev=self.link.b, dir=self.dir, dual=DUAL_RULES,
                                                four=FOUR_RULES))
        self.daemon, self.log = start_norvo(self, ["-d", "-c", conf], netns=self.link.ns_b.name)
        self.traffic = Traffic(self.link, self.daemon)
        self.traffic.wait_capturing()

    def path(self, name):
        return os.path.join(self.dir, name)

    def send_all(self):
        for src, dst, length, count in V4:
            self.traffic.send("-s", src, "-d", dst, "-l", length, "-c", count)
        sender = os.path.join(os.path.dirname(os.path.abspath(__file__)), "frames6.py")
        result = subprocess.run(self.link.ns_a.command(["python3", sender, self.link.a]),
                                input=json.dumps(V6), capture_output=True, text=True, timeout=30)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(int(result.stdout), sum(s.get("count", 1) for s in V6))
        self.traffic.settle()

    def wait_until(self, condition, what, timeout=10):
        wait_until(condition, timeout, what, lambda: "log: %r" % self.log.texts()[-20:])

    def dump(self):
        """SIGHUP, then waits for every back-end; returns the range of possible time tags."""
        began = time.time()
        self.daemon.signal(signal.SIGHUP)
        self.wait_until(lambda: "Starting dump sequence of category dualout" in
                        self.daemon.stdout(), "StdOut dump")
        for name in ("dual.txt", "four.txt", "every.txt"):
            self.wait_until(lambda: read(self.path(name)).count("Starting dump sequence") >= 1
                            and read(self.path(name)).endswith("\n"), name)
        self.wait_until(lambda: os.path.exists(self.path("dual.bin.v6")), "dual.bin.v6")
        self.wait_until(lambda: os.path.exists(self.path("four.bin")), "four.bin")
        expected = len(account(frames(), own))
        self.wait_until(lambda: len([t for t in self.log.texts()
                                     if t.startswith("Cat: duallog ")]) >= expected, "syslog rows")
        return range(int(began) - 1, int(time.time()) + 1)

    def binread(self, *paths):
        r = subprocess.run([program("norvo-binread")] + list(paths), capture_output=True,
                           text=True, timeout=10)
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stdout.splitlines()

    def test_every_back_end_counts_both_families_exactly(self):
        self.send_all()
        tags = self.dump()
        sent = frames()
        dual = account(sent, own)
        four = {a: c for a, c in dual.items() if ipaddress.ip_address(a).version == 4}
        self.assertEqual(len(dual), 4, dual)

        text = read(self.path("dual.txt"))
        rows = rows_of(text, "dualtext")
        self.assertIn(rows, [text_rows("dualtext", dual, t) for t in tags], text)

        log = [t for t in self.log.texts() if t.startswith("Cat: duallog ")]
        self.assertIn(log, [text_rows("duallog", dual, t) for t in tags])

        # Standard output: the rows without "Cat: NAME ", after dualout's header.
        out = self.daemon.stdout()
        after = out[out.index("Starting dump sequence of category dualout ==\n"):].splitlines()[1:]
        self.assertIn(after[:len(dual)],
                      [[r[len("Cat: dualout "):] for r in text_rows("dualout", dual, t)]
                       for t in tags])

        # Categories without IPv6 rules: only the IPv4 rows, and no .v6 file.
        self.assertIn(rows_of(read(self.path("four.txt")), "fourtext"),
                      [text_rows("fourtext", four, t) for t in tags])
        self.assertFalse(os.path.exists(self.path("four.bin.v6")))
        self.assertEqual(os.path.getsize(self.path("four.bin")),
                         20 * sum(1 for i, o in four.values() if i >= 50 or o >= 50))

        # Both binary files, scaled by 50; rows below 50 both ways are left out.
        def csv(counts, tag, family):
            return ["%s,%d,%d,%d" % (a, i // 50, o // 50, tag) for a, (i, o) in ordered(counts)
                    if ipaddress.ip_address(a).version == family and (i >= 50 or o >= 50)]
        with open(self.path("dual.bin.v6"), "rb") as f:
            self.assertEqual(f.read(16), b"NORVOIP6\x01\x00\x00\x00\x28\x00\x00\x00")
        lines = self.binread(self.path("dual.bin"), self.path("dual.bin.v6"))
        self.assertEqual(lines[0], "ip,input,output,timetag")
        self.assertIn(lines[1:], [csv(dual, t, 4) + csv(dual, t, 6) for t in tags])
        self.assertEqual(os.path.getsize(self.path("dual.bin.v6")),
                         16 + 40 * len(csv(dual, 0, 6)))

    @unittest.skipUnless(TSHARK, "needs tshark")
    def test_counts_per_address_agree_with_tshark(self):
        shark = Tshark(self, self.link.ns_b, self.link.b)
        markers = {Traffic.MARK_SRC, Traffic.MARK_DST}
        # tshark says "Capturing on" a little before its ring takes frames:
        # it reads when it shows a marker frame.
        deadline = time.monotonic() + 30
        while not shark.wait(lambda s: any(f[0] in markers for f in s.frames()), 0.2):
            self.assertLess(time.monotonic(), deadline, "tshark shows no marker: %r" % shark.err)
            self.traffic.send("-s", Traffic.MARK_SRC, "-d", Traffic.MARK_DST)
        self.send_all()
        sent = [f for f in frames()]
        self.assertTrue(shark.wait(lambda s: len([f for f in s.frames()
                                                  if f[0] not in markers]) >= len(sent), 30),
                        "tshark read %d of %d frames: %r" % (len(shark.frames()), len(sent),
                                                             shark.lines))
        self.dump()
        shark.stop()

        seen = [f for f in shark.frames() if f[0] not in markers]
        reference = account(seen, lambda a: True)
        counted = {}
        for row in rows_of(read(self.path("every.txt")), "every"):
            words = row.split()
            address = words[3]
            if "." in address:
                address = ".".join(str(int(b)) for b in address.split("."))
            counted[address] = (int(words[5]), int(words[7]))
        for marker in markers:
            counted.pop(marker, None)
        self.assertEqual(counted, reference)
        self.assertEqual(sorted(seen), sorted(sent))


@unittest.skipUnless(READY, "needs root, norvo, norvo-inject and norvo-binread")
class TaggedFrames(unittest.TestCase):
    """IPv6 behind one and two VLAN tags, with vlan on: counted with the tags'
    bytes; without vlan on the same frames are not counted."""

    FRAMES = [
        {"src": "2001:db8:2::1", "dst": "2001:2::1", "tags": [0x8100], "length": 200},
        {"src": "2001:db8:2::2", "dst": "2001:2::1", "tags": [0x88A8, 0x8100], "length": 300},
        {"src": "2001:db8:2::3", "dst": "2001:2::1", "length": 400},
    ]

    def counted(self, vlan):
        link = netns.pair(self, subnet=246)
        conf = write_config(self, "devices %s\nperiod 3600\n%scat tagged\n%sdump StdOut\n"
                            % (link.b, vlan, DUAL_RULES))
        daemon, _ = start_norvo(self, ["-d", "-c", conf], netns=link.ns_b.name)
        traffic = Traffic(link, daemon)
        traffic.wait_capturing()
        sender = os.path.join(os.path.dirname(os.path.abspath(__file__)), "frames6.py")
        r = subprocess.run(link.ns_a.command(["python3", sender, link.a]),
                           input=json.dumps(self.FRAMES), capture_output=True, text=True,
                           timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)
        traffic.settle()
        daemon.signal(signal.SIGTERM)
        self.assertEqual(daemon.wait(10), 0, daemon.stderr())
        rows = {}
        for line in daemon.stdout().splitlines():
            words = line.split()
            if line.startswith("IP: 2001:"):
                rows[words[1]] = int(words[5])
        return rows

    def test_vlan_on_counts_tagged_ipv6_with_the_tags_bytes(self):
        self.assertEqual(self.counted("vlan on\n"),
                         {"2001:db8:2::1": 200, "2001:db8:2::2": 300, "2001:db8:2::3": 400})

    def test_without_vlan_tagged_ipv6_is_not_counted(self):
        self.assertEqual(self.counted(""), {"2001:db8:2::3": 400})


MARIADB = shutil.which("mariadbd") or os.path.exists("/usr/sbin/mariadbd")


@unittest.skipUnless(READY and MARIADB, "needs root, norvo, norvo-inject and a MariaDB server")
class MysqlTables(unittest.TestCase):
    """The daemon on a veth pair inside the private server's namespace: IPv4
    rows in traffic, IPv6 rows in traffic6, the address as its 16 bytes."""

    def setUp(self):
        self.server = mariadb.PrivateServer(prefix="norvo6")
        self.server.start()
        self.addCleanup(self.server.stop)
        self.server.install_norvo_schema()
        ns = netns.Joined(self.server.netns)
        for key in ("all", "default"):
            ns.run(["sysctl", "-q", "-w", "net.ipv6.conf.%s.disable_ipv6=1" % key])
        prefix = netns.unique_prefix("nv6")
        self.addCleanup(netns.ip, "-n", ns.name, "link", "del", prefix + "a", check=False)
        self.link = netns.Link(ns, ns, prefix, 245)

    def rows(self, table):
        return self.server.query("select %s, timetag, input, output from norvo.%s order by ip"
                                 % ("hex(ip)" if table.endswith("6") else "ip", table))

    def test_both_families_reach_their_tables(self):
        conf = write_config(self, "devices %s\nperiod 3600\ncat db\n%stimedivider 3600\n%s\n"
                            % (self.link.b, DUAL_RULES, self.server.dump_line()))
        daemon, _ = start_norvo(self, ["-d", "-c", conf], netns=self.server.netns)
        traffic = Traffic(self.link, daemon)
        traffic.wait_capturing()
        traffic.send("-s", "198.18.2.5", "-d", "198.19.0.1", "-l", 100, "-c", 3)
        sender = os.path.join(os.path.dirname(os.path.abspath(__file__)), "frames6.py")
        r = subprocess.run(self.link.ns_a.command(["python3", sender, self.link.a]),
                           input=json.dumps(V6), capture_output=True, text=True, timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)
        traffic.settle()
        began = time.time()
        daemon.signal(signal.SIGHUP)
        expected = account(frames(), own)
        six = {a: c for a, c in expected.items() if ":" in a}
        deadline = time.monotonic() + 20
        while len(self.rows("traffic6")) < len(six):
            self.assertLess(time.monotonic(), deadline,
                            "IPv6 rows: %r; stderr: %r" % (self.rows("traffic6"),
                                                           daemon.stderr()[-2000:]))
            time.sleep(0.1)
        hours = [str(h) for h in range(int(began - 1) // 3600, int(time.time()) // 3600 + 1)]
        got = self.rows("traffic6")
        self.assertIn(got[0][1], hours)
        self.assertEqual(got, [(ipaddress.IPv6Address(a).packed.hex().upper(), got[0][1],
                                str(i), str(o)) for a, (i, o) in ordered(six)])
        self.assertEqual(self.rows("traffic"), [("198.18.2.5", got[0][1], "0", "300")])
        daemon.signal(signal.SIGTERM)
        self.assertEqual(daemon.wait(20), 0, daemon.stderr())


@unittest.skipUnless(READY, "needs root and norvo")
class CheckMode(unittest.TestCase):

    def test_check_mode_shows_ipv6_rules_in_rfc5952_form(self):
        conf = write_config(self, "devices lo\ncat c\nprimary account 2001:DB8:0:0:1::/80 443\n"
                                  "secondary account ::/0\n")
        r = subprocess.run([program("norvo"), "-t", "-c", conf], capture_output=True, text=True,
                           timeout=10)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(" Primary:\n | IP: 000.000.000.000 MASK: 000.000.000.000 VALUE: 0\n"
                      " | IP6: 2001:db8:0:0:1::/80 VALUE: 1 PORT:   443\n"
                      " | IP6: ::/0 VALUE: 0\n Secondary:\n", r.stdout)


REFERENCE = os.environ.get("NORVO_REFERENCE_BUILD")
FOUR_CONFIG = """devices {dev}
period 3600
cat out
{four}timedivider 3600
dump StdOut
cat text
{four}timedivider 3600
dump TextFile {dir}/four.txt
cat bin
{four}timedivider 3600
bytedivider 50
dump BinFile {dir}/four.bin
cat log
{four}timedivider 3600
dump Syslog
"""


@unittest.skipUnless(READY and REFERENCE, "needs root and NORVO_REFERENCE_BUILD")
class SameAsBefore(unittest.TestCase):
    """The same configuration without IPv6 rules in this build and in the
    reference build, one after the other on the same frames."""

    def run_once(self, build):
        out_dir = tempfile.mkdtemp(prefix="norvo-same-")
        self.addCleanup(shutil.rmtree, out_dir, True)
        link = netns.pair(self, subnet=247)
        conf = write_config(self, FOUR_CONFIG.format(dev=link.b, dir=out_dir, four=FOUR_RULES))
        saved = harness.BUILD_DIR
        harness.BUILD_DIR = build
        try:
            daemon, log = start_norvo(self, ["-d", "-c", conf], netns=link.ns_b.name)
        finally:
            harness.BUILD_DIR = saved
        traffic = Traffic(link, daemon)
        traffic.wait_capturing()
        for src, dst, length, count in V4:
            traffic.send("-s", src, "-d", dst, "-l", length, "-c", count)
        sender = os.path.join(os.path.dirname(os.path.abspath(__file__)), "frames6.py")
        r = subprocess.run(link.ns_a.command(["python3", sender, link.a]), input=json.dumps(V6),
                           capture_output=True, text=True, timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)
        traffic.settle()
        daemon.signal(signal.SIGTERM)
        self.assertEqual(daemon.wait(10), 0, daemon.stderr())
        rows = [l for l in daemon.stdout().splitlines()
                if l.startswith("IP: ") or "Starting dump sequence" in l]
        with open(os.path.join(out_dir, "four.bin"), "rb") as f:
            binary = f.read()
        text = [l for l in read(os.path.join(out_dir, "four.txt")).splitlines()]
        logged = [t for t in log.texts() if t.startswith("Cat: log ")]
        return {"stdout": [l if l.startswith("IP: ") else l[30:] for l in rows],
                "text": [l if l.startswith("Cat: ") else l[30:] for l in text],
                "bin": binary, "syslog": logged,
                "files": sorted(os.listdir(out_dir))}

    def test_ipv4_only_configuration_writes_what_the_reference_writes(self):
        ours = self.run_once(os.environ.get("NORVO_BUILD_DIR", "../../build"))
        theirs = self.run_once(REFERENCE)
        self.assertTrue(ours["stdout"] and ours["bin"] and ours["syslog"], ours)
        self.assertEqual(ours, theirs)


if __name__ == "__main__":
    unittest.main()
