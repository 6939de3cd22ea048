"""Network namespaces for system tests.

Every name carries a prefix with this process's id, so parallel runs and
leftovers of a crashed run never collide, and every object is removed by a
cleanup registered on the test case before the object is created, so a
failing test still tears down what it made. Addresses come only from
198.18.0.0/15; `isolated_pair` gives no address at all, for floods of
sources from all of 0.0.0.0/0.
"""
import itertools
import os
import subprocess
import time

_counter = itertools.count(1)


def unique_prefix(tag="nv"):
    """A short name prefix unique to this process and call (interface names allow 15 bytes)."""
    return "%s%d%d" % (tag, os.getpid() % 100000, next(_counter))


def ip(*args, check=True):
    return subprocess.run(["ip"] + list(args), check=check, capture_output=True, text=True,
                          timeout=30)


class Namespace:
    """One network namespace; deleting it also deletes the interfaces in it.
    With loopback=False its lo stays down, without 127.0.0.1."""

    def __init__(self, testcase, name, loopback=True):
        self.name = name
        testcase.addCleanup(self.delete)
        ip("netns", "add", name)
        # IPv6 would put router and neighbour solicitations on the links;
        # the tests count frames and want only their own.
        for key in ("all", "default"):
            self.run(["sysctl", "-q", "-w", "net.ipv6.conf.%s.disable_ipv6=1" % key])
        if loopback:
            ip("-n", name, "link", "set", "lo", "up")

    def assert_isolated(self):
        """Raises unless the namespace has no address and no route at all."""
        for family in ("-4", "-6"):
            addresses = ip("-n", self.name, family, "-o", "addr", "show").stdout.strip()
            routes = ip("-n", self.name, family, "route", "show", "table", "all").stdout.strip()
            if addresses or routes:
                raise RuntimeError("namespace %s is not isolated: %r %r"
                                   % (self.name, addresses, routes))

    def delete(self):
        ip("netns", "delete", self.name, check=False)

    def command(self, argv):
        return ["ip", "netns", "exec", self.name] + list(argv)

    def run(self, argv, timeout=60, check=True):
        return subprocess.run(self.command(argv), check=check, capture_output=True, text=True,
                              timeout=timeout)

    def popen(self, argv, **kwargs):
        return subprocess.Popen(self.command(argv), **kwargs)


class Joined(Namespace):
    """A namespace that someone else made and deletes, such as the private
    database server's; links can be put into it like into a Namespace."""

    def __init__(self, name):
        self.name = name

    def delete(self):
        pass


class Link:
    """A veth pair: end `a` in namespace ns_a, end `b` in ns_b (which may be the same);
    subnet None leaves both ends without an address."""

    def __init__(self, ns_a, ns_b, prefix, subnet):
        self.ns_a, self.ns_b = ns_a, ns_b
        self.a, self.b = prefix + "a", prefix + "b"
        ip("-n", ns_a.name, "link", "add", self.a, "type", "veth", "peer", "name", self.b,
           "netns", ns_b.name)
        if subnet is not None:
            self.addr_a = "198.18.%d.1" % subnet
            self.addr_b = "198.18.%d.2" % subnet
            ip("-n", ns_a.name, "addr", "add", self.addr_a + "/24", "dev", self.a)
            ip("-n", ns_b.name, "addr", "add", self.addr_b + "/24", "dev", self.b)
        ip("-n", ns_a.name, "link", "set", self.a, "up")
        ip("-n", ns_b.name, "link", "set", self.b, "up")
        # The carrier comes up asynchronously; frames sent before are lost.
        for _ in range(100):
            states = ip("-n", ns_a.name, "link", "show", self.a).stdout + \
                ip("-n", ns_b.name, "link", "show", self.b).stdout
            if "NO-CARRIER" not in states and states.count("state UP") == 2:
                break
            time.sleep(0.05)
        else:
            raise RuntimeError("veth pair %s/%s has no carrier after 5 s" % (self.a, self.b))


def single(testcase, subnet=1):
    """One namespace holding both ends of a veth pair."""
    prefix = unique_prefix()
    ns = Namespace(testcase, prefix)
    return Link(ns, ns, prefix, subnet)


def pair(testcase, subnet=1):
    """Two namespaces joined by a veth pair: a sender side and a capture side."""
    prefix = unique_prefix()
    ns_a = Namespace(testcase, prefix + "s")
    ns_b = Namespace(testcase, prefix + "r")
    return Link(ns_a, ns_b, prefix, subnet)


def isolated_pair(testcase):
    """Two namespaces joined by a veth pair, with no address and no route on
    either side (checked): the only place a flood of sources from all of
    0.0.0.0/0 may be sent (norvo-inject --scatter-src checks its side too)."""
    prefix = unique_prefix("fl")
    ns_a = Namespace(testcase, prefix + "s", loopback=False)
    ns_b = Namespace(testcase, prefix + "r", loopback=False)
    link = Link(ns_a, ns_b, prefix, None)
    ns_a.assert_isolated()
    ns_b.assert_isolated()
    return link


def close_pipes(proc, reader=None):
    """Closes a finished process's pipes, after the thread reading them has seen the end."""
    if reader is not None:
        reader.join(timeout=10)
    for stream in (proc.stdin, proc.stdout, proc.stderr):
        if stream is not None:
            stream.close()


def stop_process(proc, sig, timeout):
    """Sends sig to a process this test started and waits; kills it if it will not end.

    Returns the exit status, or None when it had to be killed.
    """
    if proc.poll() is not None:
        return proc.returncode
    proc.send_signal(sig)
    try:
        return proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(timeout=10)
        return None
