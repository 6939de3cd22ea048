"""Helpers for the system tests: find the built programs, run the real
daemon, and read what it sends to the system log.

Syslog: `SyslogCapture` binds a Unix datagram socket in a temporary
directory. `run_norvo(..., syslog=capture)` starts norvo in a private mount
namespace (unshare -m) in which a tmpfs covers /dev, the devices a program
needs (null, zero, random, urandom, pts, shm) are bound back, and the
socket is bound on /dev/log. The host's /dev stays untouched. Each datagram
is parsed into a `LogLine` (facility, level, identity, pid, text).

Network: `run_norvo(..., netns=NAME)` runs the daemon inside an existing
network namespace (nsenter), so it captures on that namespace's interfaces.

Traffic: `Traffic` injects frames with norvo-inject on one end of a veth
pair while a `norvo -d` captures on the other end, and follows the daemon's
debug lines to know when the capture runs and when every frame sent so far
has been accounted.

Every process is started here and ended by its pid; every wait is bounded.
"""

import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

LOG_DAEMON = 3
LOG_ERR, LOG_NOTICE, LOG_INFO = 3, 5, 6

BUILD_DIR = os.environ.get(
    "NORVO_BUILD_DIR",
    os.path.join(os.path.dirname(__file__), "..", "..", "build"))


def program(name):
    """Path of a built program: norvo, norvo-binread or norvo-inject."""
    for sub in ("", "tests"):
        path = os.path.join(BUILD_DIR, sub, name)
        if os.path.exists(path):
            return os.path.abspath(path)
    return os.path.abspath(os.path.join(BUILD_DIR, name))


_LINE = re.compile(r"^<(\d+)>(\w{3} [ \d]\d \d\d:\d\d:\d\d )?(\S+?)\[(\d+)\]: (.*)$", re.S)


class LogLine:
    def __init__(self, raw):
        self.raw = raw
        m = _LINE.match(raw)
        if not m:
            raise ValueError("not a syslog line: %r" % raw)
        prio = int(m.group(1))
        self.facility, self.level = prio >> 3, prio & 7
        self.ident, self.pid = m.group(3), int(m.group(4))
        self.text = m.group(5).rstrip("\n")

    def __repr__(self):
        return "<%d.%d %s[%d] %s>" % (self.facility, self.level, self.ident, self.pid, self.text)


class SyslogCapture:
    """A /dev/log stand-in: collects every datagram sent to its socket."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="norvo-syslog-")
        self.path = os.path.join(self.dir, "log")
        self.olddev = os.path.join(self.dir, "olddev")  # where the namespace keeps the real /dev
        os.mkdir(self.olddev)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        self.sock.settimeout(0.1)
        self.lines = []
        self._lock = threading.Lock()
        self._stop = False
        self._thread = threading.Thread(target=self._receive, daemon=True)
        self._thread.start()

    def _receive(self):
        while not self._stop:
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            with self._lock:
                self.lines.append(LogLine(data.decode("utf-8", "replace")))

    def snapshot(self):
        with self._lock:
            return list(self.lines)

    def texts(self):
        return [line.text for line in self.snapshot()]

    def wait_for(self, predicate, timeout=10.0):
        """First line for which predicate(line) holds, or None after timeout."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for line in self.snapshot():
                if predicate(line):
                    return line
            time.sleep(0.05)
        return None

    def wait_text(self, text, timeout=10.0):
        return self.wait_for(lambda l: l.text == text, timeout)

    def close(self):
        self._stop = True
        self._thread.join(2)
        self.sock.close()
        try:
            os.unlink(self.path)
            os.rmdir(self.olddev)
            os.rmdir(self.dir)
        except OSError:
            pass


# Runs inside the private mount namespace; $1 is the socket, the rest the command.
_DEV_SETUP = r"""
set -e
sock=$1; old=$2; shift 2
mount --make-rprivate /
mount --rbind /dev "$old"
mount -t tmpfs -o mode=755 tmpfs /dev
for d in null zero random urandom tty; do
    [ -e "$old/$d" ] || continue
    touch "/dev/$d"; mount --bind "$old/$d" "/dev/$d"
done
for d in pts shm; do
    [ -d "$old/$d" ] || continue
    mkdir -p "/dev/$d"; mount --rbind "$old/$d" "/dev/$d"
done
ln -s /proc/self/fd /dev/fd
touch /dev/log; mount --bind "$sock" /dev/log
exec "$@"
"""


class Norvo:
    """A running daemon; stdout and stderr are collected by threads."""

    def __init__(self, args, syslog=None, netns=None, env=None, wrapper=(), binary=None):
        # wrapper: a command that execs the daemon, such as setpriv
        cmd = list(wrapper) + [binary or program("norvo")] + list(args)
        if netns:
            cmd = ["nsenter", "--net=/var/run/netns/" + netns] + cmd
        if syslog is not None:
            cmd = ["unshare", "-m", "sh", "-c", _DEV_SETUP, "sh", syslog.path, syslog.olddev] + cmd
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     stdin=subprocess.DEVNULL, env=env)
        self.pid = self.proc.pid  # unshare, sh and nsenter exec, so this is norvo's pid
        self._out, self._err = [], []
        self._lock = threading.Lock()
        self._readers = [
            threading.Thread(target=self._read, args=(self.proc.stdout, self._out), daemon=True),
            threading.Thread(target=self._read, args=(self.proc.stderr, self._err), daemon=True),
        ]
        for t in self._readers:
            t.start()

    def _read(self, stream, sink):
        for raw in iter(stream.readline, b""):
            with self._lock:
                sink.append(raw.decode("utf-8", "replace"))

    def stdout(self):
        with self._lock:
            return "".join(self._out)

    def stderr(self):
        with self._lock:
            return "".join(self._err)

    def wait_stdout(self, predicate, timeout=10.0):
        """Waits until predicate(stdout text) holds; returns whether it did."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if predicate(self.stdout()):
                return True
            if self.proc.poll() is not None:
                for t in self._readers:
                    t.join(1)
                return bool(predicate(self.stdout()))
            time.sleep(0.05)
        return False

    def signal(self, sig):
        if self.proc.poll() is None:
            os.kill(self.pid, sig)

    def wait(self, timeout=10.0):
        """Exit status, or None when the process is still running after timeout."""
        try:
            status = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None
        for t in self._readers:
            t.join(2)
        return status

    def stop(self):
        """Ends the daemon for good (test clean-up): SIGTERM, then SIGKILL."""
        if self.proc.poll() is None:
            self.signal(signal.SIGTERM)
            if self.wait(5) is None:
                self.proc.kill()
                self.proc.wait(5)
        for t in self._readers:
            t.join(2)
        for stream in (self.proc.stdout, self.proc.stderr):
            stream.close()


def wait_until(condition, timeout, what, detail=None):
    """Polls condition() until it holds; fails naming `what` (and detail(),
    such as the daemon's last log lines) after timeout s."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("%s: not within %.0f s%s"
                                 % (what, timeout, "; " + detail() if detail else ""))
        time.sleep(0.05)


class FifoReader:
    """Drains a FIFO in a thread from the moment it is opened (until then a
    writer's open blocks); close() returns every byte read."""

    def __init__(self, testcase, path):
        self.fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        self.chunks, self._stop = [], threading.Event()
        self._thread = threading.Thread(target=self._drain, daemon=True)
        self._thread.start()
        testcase.addCleanup(self.close)

    def _drain(self):
        while True:
            try:
                chunk = os.read(self.fd, 65536)
            except BlockingIOError:
                chunk = b""
            if chunk:
                self.chunks.append(chunk)
            elif self._stop.is_set():
                return  # everything written before close() was read
            else:
                time.sleep(0.02)

    def close(self):
        if not self._stop.is_set():
            self._stop.set()
            self._thread.join(5)
            os.close(self.fd)
        return b"".join(self.chunks)


def write_config(testcase, text):
    """Writes a configuration file that is removed after the test."""
    fd, path = tempfile.mkstemp(prefix="norvo-", suffix=".conf")
    with os.fdopen(fd, "w") as f:
        f.write(text)
    testcase.addCleanup(os.unlink, path)
    return path


def start_norvo(testcase, args, syslog=True, netns=None):
    """Starts norvo for a test, with a syslog capture unless syslog=False;
    both are cleaned up after the test. Returns (norvo, capture or None)."""
    capture = SyslogCapture() if syslog else None
    if capture:
        testcase.addCleanup(capture.close)
    daemon = Norvo(args, syslog=capture, netns=netns)
    testcase.addCleanup(daemon.stop)
    return daemon, capture


class Traffic:
    """Frames sent on link.a (namespace link.ns_a) to a `norvo -d` capturing on
    link.b. Marker frames go from MARK_SRC to MARK_DST; a test's rules must not
    account these two addresses."""

    MARK_SRC = "198.18.200.200"
    MARK_DST = "198.19.200.200"

    def __init__(self, link, daemon):
        self.link, self.daemon = link, daemon

    def send(self, *args):
        argv = [program("norvo-inject"), "-i", self.link.a] + [str(a) for a in args]
        result = self.link.ns_a.run(argv, timeout=60, check=False)
        if result.returncode != 0:
            raise AssertionError("norvo-inject %s: status %d: %s"
                                 % (" ".join(argv[1:]), result.returncode, result.stderr))

    def _mark(self):
        self.send("-s", self.MARK_SRC, "-d", self.MARK_DST)

    def _marks_seen(self):
        line = "IP-Packet %s: 1024 -> %s:    9\n" % (self.MARK_SRC, self.MARK_DST)
        return self.daemon.stdout().count(line)

    def wait_capturing(self, timeout=10.0):
        """Sends markers until the daemon shows one: its capture is open."""
        deadline = time.monotonic() + timeout
        while self._marks_seen() == 0:
            if time.monotonic() > deadline or self.daemon.proc.poll() is not None:
                raise AssertionError("norvo shows no marker frame after %.0f s; stdout: %r"
                                     % (timeout, self.daemon.stdout()[-3000:]))
            self._mark()
            self.daemon.wait_stdout(lambda out: self._marks_seen() > 0, 0.2)

    def settle(self, timeout=10.0):
        """Returns once every frame sent so far has been taken from the queue
        and accounted: a marker sent last has shown its "IP-Packet" line, and
        the main thread has asked for the packet after the last one queued."""
        before = self._marks_seen()
        self._mark()
        if not self.daemon.wait_stdout(lambda out: self._marks_seen() > before, timeout):
            raise AssertionError("the closing marker did not arrive; stdout: %r"
                                 % self.daemon.stdout()[-3000:])
        queued = self.daemon.stdout().count("IP-Packet ")
        # The consumer prints this line once per packet it asks for, before it
        # waits, and after it has accounted the packet before: one more line
        # than packets taken.
        if not self.daemon.wait_stdout(
                lambda out: out.count("Popping packet from queue\n") > queued, timeout):
            raise AssertionError("norvo did not take all %d packets from its queue; stdout: %r"
                                 % (queued, self.daemon.stdout()[-3000:]))


# --- process figures and the injector's sources, shared with bench/ ---

DRAIN_IDLE_NS = 2000000  # ns of CPU per 100 ms below which a process is idle


def sched_cpu_ns(pid):
    """Run time of the process's live threads, in ns (finer than the tick counts)."""
    total = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                total += int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass  # a thread that ended between the listing and the read
    return total


def task_count(pid):
    return len(os.listdir("/proc/%d/task" % pid))


def wait_idle(pid, timeout):
    """Waits until the process uses less than DRAIN_IDLE_NS of CPU per 100 ms."""
    deadline = time.monotonic() + timeout
    last = sched_cpu_ns(pid)
    while time.monotonic() < deadline:
        time.sleep(0.1)
        now = sched_cpu_ns(pid)
        if now - last < DRAIN_IDLE_NS:
            return True
        last = now
    return False


def scatter(i):
    """norvo-inject's source bijection (inject_scatter)."""
    i &= 0xffffffff
    i ^= i >> 16
    i = (i * 0x7feb352d) & 0xffffffff
    i ^= i >> 15
    i = (i * 0x846ca68b) & 0xffffffff
    i ^= i >> 16
    return i


class Cleanups:
    """Collects undo steps for a script that is no test case (the netns
    helpers expect a test case's addCleanup); run() undoes them, last first."""

    def __init__(self, name):
        self.name = name
        self.steps = []

    def addCleanup(self, fn, *args, **kwargs):
        self.steps.append((fn, args, kwargs))

    def run(self):
        while self.steps:
            fn, args, kwargs = self.steps.pop()
            try:
                fn(*args, **kwargs)
            except Exception as e:  # a failed undo must not stop the others
                print("%s: clean-up %s failed: %s" % (self.name, getattr(fn, "__name__", fn), e),
                      file=sys.stderr)
