"""Start-up of the real daemon: command line, start and stop messages,
configuration errors, the debug banner and the stop signals."""

import os
import signal
import subprocess
import unittest

from harness import (LOG_DAEMON, LOG_ERR, LOG_INFO, LOG_NOTICE, program, start_norvo,
                     write_config)

CONFIG = """# two categories, no devices
period 600
cat office
primary account 192.168.1.0 255.255.255.0
secondary ignore 192.168.0.0 255.255.0.0
secondary account 0.0.0.0 0.0.0.0
cat misspelt
dump Sislog
"""


def run(args, timeout=10):
    return subprocess.run([program("norvo")] + args, capture_output=True, text=True,
                          timeout=timeout, stdin=subprocess.DEVNULL)


class CommandLine(unittest.TestCase):
    def test_help_shows_the_options_the_documentation_and_a_contact(self):
        r = run(["--help"])
        self.assertEqual(r.returncode, 0)
        text = " ".join(r.stdout.split())  # argp folds lines at 79 columns
        self.assertIn("Usage: norvo [OPTION...] Norvo -- Norvo sniffs you network interfaces "
                      "and accounts the traffic on a IP basis. The configuration is very "
                      "flexible allowing you to create different/multiple accounting rules. "
                      "The collected data is stored using Mysql, PgSQL, Syslog or files. -c",
                      text)
        self.assertIn("-c, --config=FILE Configuration File default: /usr/local/etc/norvo.conf",
                      text)
        self.assertIn("-d, --debug Produce debug output", text)
        self.assertIn("-t, --test-config Read the configuration, print its summary and every "
                      "warning, and exit: 0 when it is usable, 1 when it is not. Opens no device "
                      "and no database", text)
        self.assertRegex(text, r"Report bugs to <\S+@\S+>\.$")

    def test_usage_and_version(self):
        r = run(["--usage"])
        self.assertEqual(r.returncode, 0)
        self.assertIn("[-dt?V] [-c FILE] [--config=FILE] [--debug] [--test-config]",
                      " ".join(r.stdout.split()))
        r = run(["--version"])
        self.assertEqual((r.returncode, r.stdout), (0, "norvo 0.7test\n"))

    def test_unknown_option_and_stray_argument_get_argps_status(self):
        for args in (["--frobnicate"], ["-x"], ["stray"]):
            r = run(args)
            self.assertEqual(r.returncode, 64, args)  # EX_USAGE
            self.assertIn("Try `norvo --help' or `norvo --usage'", r.stderr)


class TestConfig(unittest.TestCase):
    """-t: the summary on standard output, warnings on standard error, no
    device opened (the ones named do not exist)."""

    def test_usable_file_prints_its_summary_and_exits_0(self):
        conf = write_config(self, "devices nvnone0 nvnone1\nperiod 300\nbuffersize 64\n"
                                  "cat db\nprimary account 198.18.1.0/24 80\n"
                                  "secondary ignore 198.19.0.0 255.255.0.0\ntimedivider 3600\n"
                                  "dump MySQL 127.0.0.1 norvo traffic norvo secret\n")
        r = run(["-t", "-c", conf])
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        closing = " | IP: 000.000.000.000 MASK: 000.000.000.000 VALUE: 0\n"
        self.assertEqual(r.stdout, (
            "Compiled with MySQL support\nBuffer_size: 64\nCycletime: 300\nDevicecount: 2\n"
            "Devices:\n| Device: nvnone1\n| Device: nvnone0\n"
            "Cat: db\n Byte Divider: 1\n Time Divider: 3600\n Dump Type: MySQL\n"
            " Dump Database: host 127.0.0.1, database norvo, table traffic, login norvo\n"
            " Primary:\n"
            " | IP: 198.018.001.000 MASK: 255.255.255.000 VALUE: 1 PORT:    80 PROT:   0\n" +
            closing + " Secondary:\n"
            " | IP: 198.019.000.000 MASK: 255.255.000.000 VALUE: 0 PORT:     0 PROT:   0\n" +
            closing))

    def test_warnings_go_to_standard_error_and_the_file_stays_usable(self):
        conf = write_config(self, "period 10m\ncat office\n"
                                  "primary account 10.0.0.300 255.255.255.0\n")
        r = run(["-t", "-c", conf])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr.splitlines(), [
            "Norvo: Warning: Number 10m of period is read as 10, in file %s, line 1." % conf,
            "Norvo: Warning: Address 10.0.0.300 has a number above 255 and is read as "
            "10.0.1.44, in file %s, line 3." % conf,
            "Norvo: Address 10.0.0.300 has bits outside mask 255.255.255.0, so rule primary "
            "never matches, in file %s, line 3." % conf,
            "Norvo: Warning: Category office has no secondary rules, so it counts nothing, "
            "in file %s, line 2." % conf,
            "Norvo: Warning: No devices named, so nothing is captured, in file %s." % conf])
        self.assertIn("Cycletime: 10\n", r.stdout)

    def test_unusable_file_exits_1_with_its_reason_and_no_summary(self):
        for text, reason in (("period 4294967297\n", "Norvo: Reading invalid period 4294967297 "
                              "(a number that does not fit in an int), in file %s, line 1.\n"),
                             ("cat c\ndump MySQL h d traffic;drop u\n", "Norvo: Reading invalid "
                              "MySQL table traffic;drop (letters, digits, _ and $ only), in file "
                              "%s, line 2.\n")):
            conf = write_config(self, text)
            r = run(["-t", "-c", conf])
            self.assertEqual((r.returncode, r.stdout, r.stderr), (1, "", reason % conf))


class StartAndStop(unittest.TestCase):
    def test_missing_configuration_file_is_fatal_after_the_start_message(self):
        path = "/nonexistent/norvo-test.conf"
        daemon, log = start_norvo(self, ["-c", path])
        self.assertEqual(daemon.wait(10), 1)
        self.assertEqual(daemon.stderr(), "Norvo: Error opening configuration file %s.\n"
                         "Error: No such file or directory\n" % path)
        start = log.wait_text("Starting norvo Version 0.7test", 2)
        self.assertIsNotNone(start, log.snapshot())
        self.assertEqual((start.facility, start.level, start.ident, start.pid),
                         (LOG_DAEMON, LOG_NOTICE, "norvo", daemon.pid))

    @unittest.skipIf(os.path.exists("/usr/local/etc/norvo.conf"), "a real configuration exists")
    def test_without_options_the_default_file_is_read(self):
        daemon, _ = start_norvo(self, [], syslog=False)
        self.assertEqual(daemon.wait(10), 1)
        self.assertIn("Norvo: Error opening configuration file /usr/local/etc/norvo.conf.",
                      daemon.stderr())

    def check_stop(self, sig):
        conf = write_config(self, CONFIG)
        daemon, log = start_norvo(self, ["-c", conf])
        info = log.wait_text("Loading Category misspelt. Dump-Type: --Error: Bad Option--")
        self.assertIsNotNone(info, log.snapshot())
        texts = log.texts()
        self.assertEqual(texts[:3], ["Starting norvo Version 0.7test",
                                     "Loading Category office. Dump-Type: StdOut",
                                     "Loading Category misspelt. Dump-Type: --Error: Bad Option--"])
        self.assertEqual((info.facility, info.level, info.pid), (LOG_DAEMON, LOG_INFO, daemon.pid))
        daemon.signal(sig)
        self.assertEqual(daemon.wait(5), 0)
        end = log.wait_text("Norvo terminated", 2)
        self.assertIsNotNone(end, log.snapshot())
        self.assertEqual((end.facility, end.level, end.pid), (LOG_DAEMON, LOG_NOTICE, daemon.pid))
        self.assertFalse([l for l in log.snapshot() if l.level <= LOG_ERR], log.snapshot())
        return daemon, log

    def test_sigterm_ends_the_daemon_with_status_0(self):
        daemon, log = self.check_stop(signal.SIGTERM)
        # the last cycle is still dumped, to standard output for "office"
        self.assertIn("Starting dump sequence of category office ==", daemon.stdout())
        self.assertIn("Dumping category office", log.texts())

    def test_sigint_acts_as_sigterm(self):
        self.check_stop(signal.SIGINT)


class Debug(unittest.TestCase):
    def test_banner_start_up_lines_and_report_before_the_queue(self):
        conf = write_config(self, CONFIG)
        daemon, _ = start_norvo(self, ["-d", "-c", conf], syslog=False)
        self.assertTrue(daemon.wait_stdout(lambda o: "Starting Thread sequence...\n" in o))
        out = daemon.stdout()
        expected_head = ("Debugging Mode Enabled\n\nCONFIG_FILE = %s\nDEBUG = yes\n\n"
                         "Initializing Mutex\nReading Config\nCompiled with MySQL support\n"
                         "Buffer_size: 500\nQueue 0%% full\nCycletime: 600\nDevicecount: 0\n"
                         "Devices:\nCat: office\n" % conf)
        self.assertTrue(out.startswith(expected_head), out)
        report_end = " Secondary:\n | IP: 000.000.000.000 MASK: 000.000.000.000 VALUE: 0\n"
        self.assertIn(report_end + "Initializing Queue.\nStarting Thread sequence...\n", out)
        self.assertIn("Initializing Cats\nInitializing Category office\n"
                      "Initializing Category misspelt\n", out)
        daemon.signal(signal.SIGTERM)
        self.assertEqual(daemon.wait(5), 0)
        self.assertIn("starting dump-sequence\nDumping Category office\n", daemon.stdout())


if __name__ == "__main__":
    unittest.main()
