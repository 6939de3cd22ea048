"""The MySQL back-end against a private MariaDB server.

Starts a server in a network namespace of its own (mariadb.py), sets it up
from doc/norvo.sql and runs the back-end's test program inside the
namespace, where host 127.0.0.1 reaches the private server and 127.0.0.2
reaches nothing. The real daemon runs in that namespace too, capturing on a
veth pair put into it, with frames injected on the pair's other end.
"""

import os
import re
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import unittest
import zlib

import mariadb
import netns
from harness import LOG_DAEMON, LOG_ERR, Traffic, program, start_norvo, write_config

BUILD_DIR = os.environ.get("NORVO_BUILD_DIR",
                           os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                        "..", "..", "build"))
TEST_PROGRAM = os.path.join(BUILD_DIR, "tests", "test_mysql")
RUN_TIMEOUT = 300  # seconds, the whole test program


def skip_reason():
    if os.geteuid() != 0:
        return "needs root for network namespaces and the server"
    if not os.access(TEST_PROGRAM, os.X_OK):
        return "%s: not built" % TEST_PROGRAM
    return None


@unittest.skipIf(skip_reason() is not None, skip_reason())
class MysqlBackEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = mariadb.PrivateServer()
        cls.server.start()
        try:
            cls.server.install_norvo_schema()
            # A table that refuses some inserts, to see a failed insert reported.
            cls.server.add_table_without_key("nokey")
            cls.server.add_table("capped")
            cls.server.execute("alter table norvo.capped add constraint input_cap "
                               "check (input < 1000000)")
        except BaseException:
            cls.server.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def test_dumps_against_a_real_server_pass_and_none_is_skipped(self):
        env = self.server.test_environment()
        env["NORVO_TEST_MYSQL_CAPPED_TABLE"] = "capped"
        env["NORVO_TEST_MYSQL_NOKEY_TABLE"] = "nokey"
        result = self.server.run_in_netns([TEST_PROGRAM, "--gtest_brief=0"], RUN_TIMEOUT,
                                          env=env)
        report = result.stdout + result.stderr
        self.assertEqual(result.returncode, 0, report[-6000:])
        self.assertIn("[  PASSED  ]", report)
        self.assertNotIn("[  SKIPPED ]", report, report[-6000:])

    def test_documented_account_may_add_rows_but_not_remove_them(self):
        def as_daemon(sql):
            return self.server.run_in_netns(
                ["mariadb", "--no-defaults", "-h", mariadb.HOST, "-u", mariadb.USER,
                 "-p" + mariadb.PASSWORD, mariadb.DATABASE, "-e", sql], 60)

        insert = as_daemon("insert into traffic (ip,timetag,input,output) "
                           "values (\"198.18.9.1\",7,1,2)")
        self.assertEqual(insert.returncode, 0, insert.stderr)
        update = as_daemon("update traffic set input=input+5 where ip=\"198.18.9.1\" "
                           "and timetag=7")
        self.assertEqual(update.returncode, 0, update.stderr)
        duplicate = as_daemon("insert into traffic (ip,timetag,input,output) "
                              "values (\"198.18.9.1\",7,1,2)")
        self.assertIn("1062", duplicate.stderr, "the key must refuse a second row")
        removal = as_daemon("delete from traffic")
        self.assertIn("1142", removal.stderr, "the daemon's account may delete rows")
        self.assertEqual(self.server.query(
            "select input, output from norvo.traffic where ip='198.18.9.1' and timetag=7"),
            [("6", "2")])


def daemon_skip_reason():
    if os.geteuid() != 0:
        return "needs root for network namespaces and the server"
    for name in ("norvo", "norvo-inject"):
        if not os.access(program(name), os.X_OK):
            return "%s: not built" % program(name)
    if os.environ.get("NORVO_SANITIZE") == "thread":
        # The runtime's own background thread outlives the daemon's last
        # thread, so a daemon that ends with pthread_exit never exits there.
        return "the daemon cannot exit under ThreadSanitizer"
    return None


def spool_dir(testcase):
    """A private spool directory, removed after the test."""
    path = tempfile.mkdtemp(prefix="norvo-spool-")
    testcase.addCleanup(shutil.rmtree, path, True)
    return path


def write_spool(path, batch_id, tag, rows):
    """A spool file of one batch, as the daemon writes it (dump/spool.h):
    rows are (address as an integer, input, output)."""
    payload = struct.pack("=H", len(batch_id)) + batch_id.encode() + \
        struct.pack("=qQ", tag, len(rows)) + \
        b"".join(struct.pack("=IQQ", *row) for row in rows)
    header = b"NORVOSPL" + struct.pack("=IIQI", 1, 1, len(payload), zlib.crc32(payload))
    with open(path, "wb") as spool:
        spool.write(header + struct.pack("=I", zlib.crc32(header)) + payload)


CONNECT_ERROR = r"Error connecting to Mysql-Database in category gone:\n(\d+), (.+)\n"


@unittest.skipIf(daemon_skip_reason() is not None, daemon_skip_reason())
class DaemonWithMysql(unittest.TestCase):
    """norvo -d with a category on the private server and one on a host where
    nothing listens; frames arrive on a veth pair inside the server's
    namespace, whose own addresses (198.18.252.0/24) no rule accounts."""

    CONFIG = """devices {dev}
period 3600
spooldir {spool}
cat db
primary account 198.18.3.0 255.255.255.0
secondary account 0.0.0.0 0.0.0.0
timedivider 3600
{dump}
cat gone
primary account 198.18.3.0 255.255.255.0
secondary account 0.0.0.0 0.0.0.0
timedivider 3600
dump MySQL {dead} {db} {table} {user} {password}
"""

    def setUp(self):
        self.server = mariadb.PrivateServer(prefix="norvod")
        self.server.start()
        self.addCleanup(self.server.stop)
        self.server.install_norvo_schema()
        ns = netns.Joined(self.server.netns)
        for key in ("all", "default"):
            ns.run(["sysctl", "-q", "-w", "net.ipv6.conf.%s.disable_ipv6=1" % key])
        prefix = netns.unique_prefix("nvd")
        self.addCleanup(netns.ip, "-n", ns.name, "link", "del", prefix + "a", check=False)
        self.link = netns.Link(ns, ns, prefix, 252)

    def rows(self):
        return self.server.query("select ip, timetag, input, output from norvo.traffic "
                                 "order by ip, timetag")

    def wait_rows(self, predicate, what):
        deadline = time.monotonic() + 10
        while not predicate(self.rows()):
            if time.monotonic() > deadline:
                self.fail("%s within 10 s; rows: %r; stderr: %r"
                          % (what, self.rows(), self.daemon.stderr()[-2000:]))
            time.sleep(0.1)
        return self.rows()

    def test_rows_are_inserted_then_added_to_and_a_dead_server_is_reported(self):
        # An installation from before batch ids: the account may not create
        # their table, is told once what to run, and its rows still arrive.
        self.server.execute("drop table norvo.norvo_batches")
        conf = write_config(self, self.CONFIG.format(
            dev=self.link.b, spool=spool_dir(self), dump=self.server.dump_line(),
            dead=mariadb.DEAD_HOST,
            db=mariadb.DATABASE, table=mariadb.TABLE, user=mariadb.USER,
            password=mariadb.PASSWORD))
        self.daemon, log = start_norvo(self, ["-d", "-c", conf], netns=self.server.netns)
        traffic = Traffic(self.link, self.daemon)
        traffic.wait_capturing()

        traffic.send("-s", "198.18.3.5", "-d", "198.19.0.1", "-l", 100, "-c", 3)
        traffic.send("-s", "198.19.0.1", "-d", "198.18.3.5", "-l", 200, "-c", 2)
        traffic.settle()
        began = time.time()
        self.daemon.signal(signal.SIGHUP)
        first = self.wait_rows(lambda r: len(r) == 1, "the first row")
        hour = int(first[0][1])
        self.assertIn(hour, range(int(began - 1) // 3600, int(time.time()) // 3600 + 1))
        self.assertEqual(first, [("198.18.3.5", str(hour), "400", "300")])
        self.assertTrue(self.daemon.wait_stdout(lambda o: "Done Dumping\n" in o, 10))

        traffic.send("-s", "198.18.3.5", "-d", "198.18.3.6", "-l", 500)
        traffic.settle()
        self.daemon.signal(signal.SIGHUP)
        if int(time.time()) // 3600 == hour:
            # same hour: the row of .5 is added to, .6 gets a new row
            self.wait_rows(lambda r: len(r) == 2 and r[0][3] != "300", "the second dump")
            self.assertEqual(self.rows(), [("198.18.3.5", str(hour), "400", "800"),
                                           ("198.18.3.6", str(hour), "500", "0")])
        else:
            # an hour turned between the dumps: new rows under the new tag
            self.wait_rows(lambda r: len(r) == 3, "the second dump")
            self.assertEqual([(r[0], r[2], r[3]) for r in self.rows()],
                             [("198.18.3.5", "400", "300"), ("198.18.3.5", "0", "500"),
                              ("198.18.3.6", "500", "0")])

        before_stop = self.rows()
        self.daemon.signal(signal.SIGTERM)
        self.assertEqual(self.daemon.wait(10), 0, self.daemon.stderr())
        # the final cycle was empty: no statement, nothing changed
        self.assertEqual(self.rows(), before_stop)

        # The dead server: each of the three dumps of "gone" reports and loses
        # itself, on stderr and at LOG_ERR, while "db" kept dumping.
        errors = re.findall(CONNECT_ERROR, self.daemon.stderr())
        self.assertEqual(len(errors), 3, self.daemon.stderr())
        self.assertEqual(self.daemon.stderr(),
                         "".join("Error connecting to Mysql-Database in category gone:\n"
                                 "%s, %s\n" % e for e in errors))
        self.assertNotEqual(errors[0][0], "0")
        logged = [l for l in log.snapshot() if l.text.startswith("Error connecting")]
        self.assertEqual(len(logged), 3, log.texts())
        self.assertEqual({(l.facility, l.level, l.pid) for l in logged},
                         {(LOG_DAEMON, LOG_ERR, self.daemon.pid)})
        self.assertEqual([l.text + "\n" for l in logged],
                         ["Error connecting to Mysql-Database in category gone:\n%s, %s\n" % e
                          for e in errors])
        told = [l for l in log.snapshot() if "norvo_batches is missing" in l.text]
        self.assertEqual(len(told), 1, log.texts())
        self.assertEqual(told[0].level, LOG_ERR)
        self.assertIn("Run as administrator: USE norvo; CREATE TABLE IF NOT EXISTS norvo_batches "
                      "(id VARCHAR(128) NOT NULL PRIMARY KEY, ", told[0].text)
        self.assertTrue(told[0].text.endswith(
            "GRANT SELECT, INSERT, DELETE ON norvo.norvo_batches TO 'norvo'@'%';"), told[0].text)


@unittest.skipIf(daemon_skip_reason() is not None, daemon_skip_reason())
class SilentServer(unittest.TestCase):
    """A server that accepts connections and never answers holds a dump only
    for the connection time-out, so a stopping daemon still ends."""

    def test_stop_ends_the_daemon_although_the_server_never_answers(self):
        ns = netns.Namespace(self, netns.unique_prefix("nvq"))
        listener = ns.popen(["/usr/bin/python3", "-c",
                             "import socket, time\n"
                             "s = socket.socket()\n"
                             "s.bind(('127.0.0.1', 3306))\n"
                             "s.listen(8)\n"
                             "print('listening', flush=True)\n"
                             "time.sleep(120)\n"],
                            stdout=subprocess.PIPE, text=True)
        self.addCleanup(netns.close_pipes, listener)
        self.addCleanup(netns.stop_process, listener, signal.SIGKILL, 10)
        self.assertEqual(listener.stdout.readline(), "listening\n")

        # something to store: a batch an earlier run could not
        spool = spool_dir(self)
        write_spool(os.path.join(spool, "silent.spool"), "earlier:silent:1:1", 1,
                    [(0xC6120305, 10, 20)])
        conf = write_config(self, "spooldir " + spool + "\ncat silent\nprimary account 0.0.0.0 0.0.0.0\n"
                                  "secondary account 0.0.0.0 0.0.0.0\n"
                                  "dump MySQL 127.0.0.1 norvo traffic norvo pw\n")
        daemon, log = start_norvo(self, ["-c", conf], netns=ns.name)
        self.assertIsNotNone(log.wait_text("Loading Category silent. Dump-Type: MySQL"))
        began = time.monotonic()
        daemon.signal(signal.SIGTERM)
        self.assertEqual(daemon.wait(40), 0, daemon.stderr())
        self.assertLess(time.monotonic() - began, 30)
        self.assertRegex(daemon.stderr(), r"Error connecting to Mysql-Database in category silent:"
                                          r"\n2013, Lost connection")
        error = log.wait_for(lambda l: l.text.startswith(
            "Error connecting to Mysql-Database in category silent:"), 2)
        self.assertIsNotNone(error, log.snapshot())
        self.assertEqual((error.facility, error.level), (LOG_DAEMON, LOG_ERR))
        self.assertEqual(os.listdir(spool), ["silent.spool"])


KEPT = re.compile(r"Category (\S+): host \S+, database \S+, table \S+: (\d+) rows in (\d+) "
                  r"batches kept in the spool$")


def wait_count(testcase, log, predicate, count, what, timeout=20):
    """Waits until `count` log lines satisfy predicate; fails after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        lines = [l for l in log.snapshot() if predicate(l)]
        if len(lines) >= count:
            return lines
        if time.monotonic() > deadline:
            testcase.fail("%s: %d of %d lines within %d s; log: %r"
                          % (what, len(lines), count, timeout, log.texts()[-20:]))
        time.sleep(0.05)


@unittest.skipIf(daemon_skip_reason() is not None, daemon_skip_reason())
class Outages(unittest.TestCase):
    """The server goes away while norvo runs, or while it is stopped, and
    comes back; norvo instances share a table. Each period's traffic comes
    from addresses of its own, so each row tells which period it holds, and
    every byte sent must be in the table once."""

    CONFIG = """devices {dev}
period 3600
spooldir {spool}
cat edge
primary account 198.18.3.0 255.255.255.0
secondary account 0.0.0.0 0.0.0.0
timedivider 3600
{dump}
"""

    def setUp(self):
        self.server = mariadb.PrivateServer(prefix="norvoo")
        self.server.start()
        self.addCleanup(self.server.stop)
        self.server.install_norvo_schema()
        self.ns = netns.Joined(self.server.netns)
        for key in ("all", "default"):
            self.ns.run(["sysctl", "-q", "-w", "net.ipv6.conf.%s.disable_ipv6=1" % key])
        self.expected = {}  # ip -> [input, output]

    def link(self, subnet):
        prefix = netns.unique_prefix("nvo")
        self.addCleanup(netns.ip, "-n", self.ns.name, "link", "del", prefix + "a", check=False)
        return netns.Link(self.ns, self.ns, prefix, subnet)

    def start(self, link, spool):
        conf = write_config(self, self.CONFIG.format(dev=link.b, spool=spool,
                                                     dump=self.server.dump_line()))
        daemon, log = start_norvo(self, ["-d", "-c", conf], netns=self.server.netns)
        traffic = Traffic(link, daemon)
        traffic.wait_capturing()
        return daemon, log, traffic

    def period(self, traffic, host, size):
        """Sends 3 frames of `size` bytes from 198.18.3.HOST and 2 of size+1
        back, waits until they are counted, ends the period and waits until
        its dump is over (a period ending during a dump would be dropped)."""
        ip = "198.18.3.%d" % host
        traffic.send("-s", ip, "-d", "198.19.0.1", "-l", size, "-c", 3)
        traffic.send("-s", "198.19.0.1", "-d", ip, "-l", size + 1, "-c", 2)
        traffic.settle()
        counts = self.expected.setdefault(ip, [0, 0])
        counts[0] += 2 * (size + 1)
        counts[1] += 3 * size
        done = traffic.daemon.stdout().count("Done Dumping\n")
        traffic.daemon.signal(signal.SIGHUP)
        self.assertTrue(traffic.daemon.wait_stdout(
            lambda out: out.count("Done Dumping\n") > done, 30), traffic.daemon.stderr())

    def sums(self):
        return {ip: [int(i), int(o)] for ip, i, o in self.server.query(
            "select ip, sum(input), sum(output) from norvo.traffic group by ip")}

    def wait_sums(self, daemons):
        deadline = time.monotonic() + 20
        while self.sums() != self.expected:
            if time.monotonic() > deadline:
                self.fail("table %r, sent %r; stderr %r" % (
                    self.sums(), self.expected, [d.stderr()[-1000:] for d in daemons]))
            time.sleep(0.1)

    def test_three_periods_without_server_are_stored_once_it_is_back(self):
        daemon, log, traffic = self.start(self.link(252), spool_dir(self))
        self.period(traffic, 10, 100)
        self.wait_sums([daemon])
        self.server.pause()
        for k in (1, 2, 3):
            self.period(traffic, 10 + k, 100 + k)
            kept = wait_count(self, log, lambda l: KEPT.match(l.text), k, "spooled dumps")
            self.assertEqual(KEPT.match(kept[-1].text).group(3), str(k), kept[-1].text)
        # one report per dump, not per row; standard error is read by a thread of its own
        deadline = time.monotonic() + 10
        while daemon.stderr().count("Error connecting") < 3 and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(daemon.stderr().count("Error connecting to Mysql-Database"), 3,
                         daemon.stderr())
        self.server.resume()
        self.period(traffic, 20, 200)
        self.wait_sums([daemon])
        self.assertEqual(len(self.server.query("select * from norvo.traffic")), 5)
        self.assertEqual(self.server.query("select count(*) from norvo.norvo_batches"),
                         [("5",)])

    def test_a_spool_left_by_a_stopped_norvo_is_stored_by_the_next_one(self):
        spool = spool_dir(self)
        link = self.link(252)
        daemon, log, traffic = self.start(link, spool)
        self.server.pause()
        self.period(traffic, 30, 300)
        wait_count(self, log, lambda l: KEPT.match(l.text), 1, "the first spooled dump")
        ip = "198.18.3.31"
        traffic.send("-s", ip, "-d", "198.19.0.1", "-l", 310, "-c", 4)
        traffic.settle()
        self.expected[ip] = [0, 4 * 310]
        daemon.signal(signal.SIGTERM)
        self.assertEqual(daemon.wait(30), 0, daemon.stderr())
        kept = wait_count(self, log, lambda l: KEPT.match(l.text), 2, "the last dump spooled")
        self.assertEqual(KEPT.match(kept[-1].text).group(3), "2", kept[-1].text)
        self.assertEqual(os.listdir(spool), ["edge.spool"])

        self.server.resume()
        daemon, log, traffic = self.start(link, spool)
        self.period(traffic, 32, 320)
        self.wait_sums([daemon])
        self.assertEqual(os.listdir(spool), [])

    def test_two_instances_on_two_links_add_up_in_one_table_across_an_outage(self):
        a = self.start(self.link(252), spool_dir(self))
        b = self.start(self.link(253), spool_dir(self))
        daemons = [a[0], b[0]]
        # the same address seen by both, and one of each
        for (daemon, log, traffic), own in ((a, 41), (b, 42)):
            self.period(traffic, 40, 400 + own)
            self.period(traffic, own, 400)
        self.wait_sums(daemons)
        self.server.pause()
        for (daemon, log, traffic), own in ((a, 41), (b, 42)):
            self.period(traffic, 40, 500 + own)
            wait_count(self, log, lambda l: KEPT.match(l.text), 1, "a spooled dump")
        self.server.resume()
        for (daemon, log, traffic), own in ((a, 41), (b, 42)):
            self.period(traffic, own, 600)
        self.wait_sums(daemons)
        self.assertEqual(self.server.query("select count(*) from norvo.norvo_batches"),
                         [("8",)])


@unittest.skipIf(daemon_skip_reason() is not None, daemon_skip_reason())
class DamagedSpool(unittest.TestCase):
    def test_a_damaged_spool_file_is_moved_aside_and_reported(self):
        ns = netns.Namespace(self, netns.unique_prefix("nvs"))
        spool = spool_dir(self)
        with open(os.path.join(spool, "edge.spool"), "wb") as damaged:
            damaged.write(b"NORVOSPL" + bytes(range(40)))
        conf = write_config(self, "spooldir %s\ncat edge\nprimary account 0.0.0.0 0.0.0.0\n"
                                  "secondary account 0.0.0.0 0.0.0.0\n"
                                  "dump MySQL 127.0.0.1 norvo traffic norvo pw\n" % spool)
        daemon, log = start_norvo(self, ["-c", conf], netns=ns.name)
        self.assertIsNotNone(log.wait_text("Loading Category edge. Dump-Type: MySQL"))
        daemon.signal(signal.SIGHUP)
        line = log.wait_for(lambda l: "spool file" in l.text, 10)
        self.assertIsNotNone(line, log.texts())
        self.assertEqual((line.facility, line.level), (LOG_DAEMON, LOG_ERR))
        aside = [n for n in os.listdir(spool) if n.startswith("edge.spool.corrupt-")]
        self.assertEqual(len(aside), 1, os.listdir(spool))
        self.assertEqual(line.text, "Category edge: spool file %s/edge.spool is damaged "
                         "(header damaged); moved aside to %s/%s, none of it is replayed"
                         % (spool, spool, aside[0]))
        self.assertNotIn("edge.spool", os.listdir(spool))


if __name__ == "__main__":
    unittest.main()
