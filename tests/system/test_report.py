"""norvo-report on what the real daemon wrote: injected traffic in two
periods goes to a BinFile and a TextFile; the report's table must add up to
the bytes injected, and its HTML page must load in headless Chromium without
a console message, show the expected rows, filter them, and draw a chart.

norvo -d captures on one end of a veth pair in a namespace made for the
test; frames come from the other end (harness.Traffic). Needs root.
"""

import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
import zlib

import netns
from harness import Traffic, program, start_norvo, write_config

READY = os.geteuid() == 0 and all(
    os.path.exists(program(p)) for p in ("norvo", "norvo-inject", "norvo-report", "norvo-binread"))
CHROMIUM = shutil.which("chromium")

CONFIG = """devices {dev}
period 3600
cat binned
primary account 198.18.3.0 255.255.255.0
secondary account 0.0.0.0 0.0.0.0
dump BinFile {dir}/rows.bin
cat texted
primary account 198.18.3.0 255.255.255.0
secondary account 0.0.0.0 0.0.0.0
dump TextFile {dir}/rows.txt
"""

# (source, destination, frame length, frames) per period; 198.18.3.0/24 is
# accounted, so 198.18.3.5 -> 198.18.3.8 is output of one and input of the
# other.
FIRST = [("198.18.3.5", "198.19.0.1", 600, 5), ("198.19.0.1", "198.18.3.5", 1000, 4),
         ("198.18.3.6", "198.19.0.2", 100, 3), ("198.19.0.3", "198.18.3.7", 1500, 2)]
SECOND = [("198.18.3.6", "198.19.0.2", 1400, 5), ("198.18.3.5", "198.18.3.8", 600, 5),
          ("198.19.0.4", "198.18.3.9", 64, 1)]

# Input and output per address over both periods, by hand: 198.18.3.7 and
# .8 tie at 3000 bytes and rank by address.
EXPECTED = [("198.18.3.5", 4000, 6000), ("198.18.3.6", 0, 7300), ("198.18.3.7", 3000, 0),
            ("198.18.3.8", 3000, 0), ("198.18.3.9", 64, 0)]

TOP_ROW = re.compile(r"^\s*(\d+)  (\d+\.\d+\.\d+\.\d+)\s+(\d+)\s+(\d+)\s+(\d+)$", re.M)
PERIOD_ROW = re.compile(r"^(\d+)\s+\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\s+(\d+)\s+(\d+)\s+(\d+)$", re.M)
ALL_ROW = re.compile(r"^all\s+(\d+)\s+(\d+)\s+(\d+)$", re.M)

INPUT_RGB, OUTPUT_RGB = (0x1f, 0x6f, 0xeb), (0xe3, 0x59, 0x0c)  # the chart's colours


def sums(flows):
    """(input, output) of the period's flows, over the accounted addresses."""
    def mine(a):
        return a.startswith("198.18.3.")
    inp = sum(n * c for s, d, n, c in flows if mine(d))
    out = sum(n * c for s, d, n, c in flows if mine(s))
    return inp, out


def png_pixels(path):
    """The RGB pixels of an 8-bit, non-interlaced RGB or RGBA PNG."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    pos, idat, header = 8, b"", None
    while pos < len(data):
        n = int.from_bytes(data[pos:pos + 4], "big")
        kind, body = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + n]
        if kind == b"IHDR":
            header = body
        elif kind == b"IDAT":
            idat += body
        pos += 12 + n
    width, height = int.from_bytes(header[0:4], "big"), int.from_bytes(header[4:8], "big")
    depth, colour, interlace = header[8], header[9], header[12]
    assert depth == 8 and colour in (2, 6) and interlace == 0, "PNG kind %r" % (header,)
    bpp = 3 if colour == 2 else 4
    raw, stride = zlib.decompress(idat), width * bpp
    rows, prev = [], bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b, c = prev[i], prev[i - bpp] if i >= bpp else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(line)
        prev = line
    return width, height, [tuple(r[i:i + 3]) for r in rows for i in range(0, stride, bpp)]


class _ClassScope:
    """Lets the helpers that clean up after a test clean up after the class."""

    def __init__(self, cls):
        self.addCleanup = cls.addClassCleanup


def _binread(path):
    r = subprocess.run([program("norvo-binread"), path], capture_output=True, text=True,
                       timeout=10)
    if r.returncode != 0:
        raise AssertionError("norvo-binread %s: %s" % (path, r.stderr))
    return r.stdout.splitlines()[1:]


@unittest.skipUnless(READY, "needs root, norvo, norvo-inject, norvo-binread and norvo-report")
class ReportOnDaemonFiles(unittest.TestCase):
    """The daemon runs once for all tests: two periods into both files."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="norvo-report-")
        cls.addClassCleanup(shutil.rmtree, cls.dir, True)
        cls.files = (os.path.join(cls.dir, "rows.bin"), os.path.join(cls.dir, "rows.txt"))
        scope = _ClassScope(cls)
        link = netns.pair(scope, subnet=249)
        conf = write_config(scope, CONFIG.format(dev=link.b, dir=cls.dir))
        daemon, log = start_norvo(scope, ["-d", "-c", conf], netns=link.ns_b.name)
        traffic = Traffic(link, daemon)
        traffic.wait_capturing()
        binfile, textfile = cls.files

        def dumped(records, headers):
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:
                text = ""
                if os.path.exists(textfile):
                    with open(textfile) as f:
                        text = f.read()
                if os.path.exists(binfile) and os.path.getsize(binfile) >= 20 * records and \
                        text.count("Starting dump") >= headers and text.endswith("\n"):
                    return
                time.sleep(0.05)
            raise AssertionError("the dumps did not reach the files; log: %r"
                                 % log.texts()[-20:])

        for number, flows in enumerate((FIRST, SECOND), 1):
            for src, dst, length, count in flows:
                traffic.send("-s", src, "-d", dst, "-l", length, "-c", count)
            traffic.settle()
            daemon.signal(signal.SIGHUP)
            dumped(3 if number == 1 else 7, number)
            # the next dump needs a time tag of its own: a later second
            tag = int(_binread(binfile)[-1].split(",")[3])
            deadline = time.monotonic() + 5
            while time.time() < tag + 1.1 and time.monotonic() < deadline:
                time.sleep(0.05)
        daemon.signal(signal.SIGTERM)
        if daemon.wait(10) != 0:
            raise AssertionError("norvo did not stop cleanly: %s" % daemon.stderr())

    def binread(self):
        return _binread(self.files[0])

    def report(self, *args, status=0):
        r = subprocess.run([program("norvo-report")] + list(args), capture_output=True,
                           text=True, timeout=60)
        self.assertEqual(r.returncode, status, r.stderr)
        return r

    def test_table_adds_up_to_the_injected_bytes(self):
        tags = sorted({int(line.split(",")[3]) for line in self.binread()})
        self.assertEqual(len(tags), 2)
        for path in self.files:
            out = self.report("--bytes", path).stdout
            top = [(a, int(i), int(o)) for rank, a, i, o, t in TOP_ROW.findall(out)]
            self.assertEqual(top, EXPECTED, out)
            self.assertEqual([int(r[0]) for r in TOP_ROW.findall(out)], [1, 2, 3, 4, 5])
            periods = [(int(i), int(o)) for tag, i, o, t in PERIOD_ROW.findall(out)]
            self.assertEqual(periods, [sums(FIRST), sums(SECOND)], out)
            inp, outp = sums(FIRST + SECOND)
            self.assertEqual(ALL_ROW.findall(out), [(str(inp), str(outp), str(inp + outp))])
        # the BinFile's periods are its time tags
        out = self.report("--bytes", self.files[0]).stdout
        self.assertEqual([int(r[0]) for r in PERIOD_ROW.findall(out)], tags)
        # a span of the second period only
        out = self.report("--bytes", "--from", str(tags[1]), self.files[0]).stdout
        self.assertEqual([(int(i), int(o)) for t, i, o, s in PERIOD_ROW.findall(out)],
                         [sums(SECOND)])

        csv = self.report("--csv", *self.files).stdout.splitlines()
        self.assertEqual(csv[0], "address,input,output,total")
        self.assertEqual(csv[1:], ["%s,%d,%d,%d" % (a, 2 * i, 2 * o, 2 * (i + o))
                                   for a, i, o in EXPECTED])

    def test_cut_file_is_refused_with_its_offset(self):
        cut = os.path.join(self.dir, "cut.bin")
        with open(self.files[0], "rb") as f, open(cut, "wb") as g:
            g.write(f.read()[:-3])
        page = os.path.join(self.dir, "cut.html")
        r = self.report("--html", page, cut, status=1)
        self.assertRegex(r.stderr, r"^norvo-report: %s: byte offset 120: incomplete record "
                                   r"\(17 of 20 bytes\)\n$" % re.escape(cut))
        self.assertEqual(r.stdout, "")
        self.assertFalse([f for f in os.listdir(self.dir) if "cut.html" in f])

    def chromium(self, *args):
        """Runs headless Chromium on its own profile; returns its result."""
        profile = tempfile.mkdtemp(prefix="norvo-chromium-")
        self.addCleanup(shutil.rmtree, profile, True)
        argv = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                "--no-first-run", "--user-data-dir=" + profile, "--enable-logging=stderr",
                "--v=0"] + list(args)
        proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                start_new_session=True)
        try:
            out, err = proc.communicate(timeout=120)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)  # its own session: the browser's processes
            proc.communicate(timeout=10)
            self.fail("chromium %s did not finish within 120 s" % " ".join(args))
        self.assertEqual(proc.returncode, 0, err[-3000:])
        return out, err

    @staticmethod
    def console(err):
        return [line for line in err.splitlines() if ":CONSOLE" in line]

    @unittest.skipUnless(CHROMIUM, "chromium is not installed (scripts/test installs it)")
    def test_page_in_headless_chromium(self):
        # Chromium shows the console on standard error: a page with an error
        # must be caught, or a clean result below proves nothing.
        canary = os.path.join(self.dir, "canary.html")
        with open(canary, "w") as f:
            f.write("<!DOCTYPE html><title>c</title><script>console.error('canary')</script>")
        out, err = self.chromium("--dump-dom", "file://" + canary)
        self.assertTrue([l for l in self.console(err) if "canary" in l], err[-3000:])

        page = os.path.join(self.dir, "report.html")
        self.report("--html", page, *self.files)
        dom, err = self.chromium("--dump-dom", "file://" + page)
        self.assertEqual(self.console(err), [])
        self.assertEqual(re.findall(r'<tr data-addr="([^"]+)"', dom), [a for a, i, o in EXPECTED])
        self.assertIn('<span id="shown">5 of 5 rows shown</span>', dom)  # the script ran
        self.assertEqual(dom.count('<svg class="spark"'), 5)
        self.assertEqual(len(re.findall(r'<polyline class="(in|out) line"', dom)), 2)

        # the filter, typed into a copy of the page
        typed = os.path.join(self.dir, "typed.html")
        with open(page) as f:
            text = f.read()
        with open(typed, "w") as f:
            f.write(text.replace("</body>", "<script>var b = document.getElementById('filter');"
                                 " b.value = '198.18.3.'; b.dispatchEvent(new Event('input'));"
                                 " b.value = '198.18.3.6'; b.dispatchEvent(new Event('input'));"
                                 "</script></body>"))
        dom, err = self.chromium("--dump-dom", "file://" + typed)
        self.assertEqual(self.console(err), [])
        shown = re.findall(r'<tr data-addr="([^"]+)"( hidden="")?>', dom)
        self.assertEqual([a for a, hidden in shown if not hidden], ["198.18.3.6"])
        self.assertIn('<span id="shown">1 of 5 rows shown</span>', dom)

        shot = os.path.join(self.dir, "report.png")
        self.chromium("--window-size=1000,900", "--screenshot=" + shot, "file://" + page)
        width, height, pixels = png_pixels(shot)
        self.assertEqual((width, height), (1000, 900))

        def near(rgb):
            return sum(1 for p in pixels if all(abs(p[i] - rgb[i]) < 24 for i in range(3)))
        self.assertGreater(len(set(pixels)), 50, "the screenshot is blank")
        self.assertGreater(near(INPUT_RGB), 100, "no input line drawn")
        self.assertGreater(near(OUTPUT_RGB), 100, "no output line drawn")


if __name__ == "__main__":
    unittest.main()
