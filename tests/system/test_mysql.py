"""The MySQL back-end against a private MariaDB server.

Starts a server in a network namespace of its own (mariadb.py), sets it up
from doc/norvo.sql and runs the back-end's test program inside the
namespace, where host 127.0.0.1 reaches the private server and 127.0.0.2
reaches nothing. The real daemon runs in that namespace too, capturing on a
veth pair put into it, with frames injected on the pair's other end.
"""

import os
import re
import signal
import subprocess
import time
import unittest

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


CONNECT_ERROR = r"Error connecting to Mysql-Database in category gone:\n(\d+), (.+)\n"


@unittest.skipIf(daemon_skip_reason() is not None, daemon_skip_reason())
class DaemonWithMysql(unittest.TestCase):
    """norvo -d with a category on the private server and one on a host where
    nothing listens; frames arrive on a veth pair inside the server's
    namespace, whose own addresses (198.18.252.0/24) no rule accounts."""

    CONFIG = """devices {dev}
period 3600
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
        conf = write_config(self, self.CONFIG.format(
            dev=self.link.b, dump=self.server.dump_line(), dead=mariadb.DEAD_HOST,
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

        conf = write_config(self, "cat silent\nprimary account 0.0.0.0 0.0.0.0\n"
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


if __name__ == "__main__":
    unittest.main()
