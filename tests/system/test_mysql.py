"""The MySQL back-end against a private MariaDB server.

Starts a server in a network namespace of its own (mariadb.py), sets it up
from doc/norvo.sql and runs the back-end's test program inside the
namespace, where host 127.0.0.1 reaches the private server and 127.0.0.2
reaches nothing.
"""

import os
import unittest

import mariadb

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


if __name__ == "__main__":
    unittest.main()
