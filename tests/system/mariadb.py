"""A private MariaDB server for norvo's tests and benchmarks.

The server is a child process of the caller with a data directory, socket
and log of its own under a fresh temporary directory. It listens on
127.0.0.1:3306 inside a network namespace created for it, so it never meets
a MariaDB of the host: the default data directory, socket and port are not
used. Programs that must reach it over TCP, as the daemon does with host
127.0.0.1, run inside the namespace (run_in_netns / popen_in_netns); the
harness itself talks to it as root through its socket file.

Typical use, for a test that runs the daemon with a MySQL category:

    with mariadb.PrivateServer() as server:
        server.install_norvo_schema()          # doc/norvo.sql, verbatim
        conf_line = server.dump_line()         # "dump MySQL 127.0.0.1 ..."
        daemon = server.popen_in_netns([norvo, "-c", conf_path])
        ...
        rows = server.query("select ip, timetag, input, output from "
                            "norvo.traffic order by ip")

Everything is bounded in time, the server is stopped by its pid
(SIGTERM, then SIGKILL) and the namespace and the directory are removed,
also when start-up fails half way. Needs root and the mariadb-server
package (mariadb-install-db, mariadbd, mariadb).
"""

import itertools
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SCHEMA_FILE = os.path.join(HERE, "..", "..", "doc", "norvo.sql")

# Names that doc/norvo.sql creates.
DATABASE = "norvo"
TABLE = "traffic"
USER = "norvo"
PASSWORD = "change-this-password"

# An account for the tests themselves: clearing tables, reading and
# preparing rows, which the daemon's account may not do.
CHECK_USER = "norvo_check"
CHECK_PASSWORD = "check-password"

HOST = "127.0.0.1"          # inside the namespace; TCP to port 3306
DEAD_HOST = "127.0.0.2"     # inside the namespace; nothing listens there

START_TIMEOUT = 120         # seconds, data directory plus server start
STOP_TIMEOUT = 30           # seconds, after SIGTERM before SIGKILL
CLIENT_TIMEOUT = 60         # seconds, one client command

_instances = itertools.count()


class ServerError(Exception):
    """The private server could not be set up or did not answer."""


def _run(argv, timeout, **kwargs):
    return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, timeout=timeout, **kwargs)


class PrivateServer:
    """One private mariadbd in a network namespace of its own."""

    def __init__(self, prefix="norvomysql", server_options=()):
        self.netns = "%s%d_%d" % (prefix, os.getpid(), next(_instances))
        self.server_options = list(server_options)
        self.workdir = None
        self.socket = None
        self.process = None
        self._netns_created = False

    # -- life cycle ---------------------------------------------------------

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def start(self):
        """Creates the data directory and the namespace, starts the server
        and waits until it answers. Cleans up after itself on failure."""
        try:
            self._start()
        except BaseException:
            self.stop()
            raise

    def _start(self):
        for tool in ("mariadb-install-db", "mariadbd", "mariadb", "ip"):
            if shutil.which(tool) is None and not os.path.exists("/usr/sbin/" + tool):
                raise ServerError("%s: not installed" % tool)
        self.workdir = tempfile.mkdtemp(prefix="norvo-mariadb-")
        datadir = os.path.join(self.workdir, "data")
        self.socket = os.path.join(self.workdir, "mysqld.sock")
        self.log_file = os.path.join(self.workdir, "mysqld.log")

        install = _run(["mariadb-install-db", "--no-defaults", "--datadir=" + datadir,
                        "--user=root", "--auth-root-authentication-method=normal",
                        "--skip-test-db", "--skip-name-resolve"],
                       timeout=START_TIMEOUT)
        if install.returncode != 0:
            raise ServerError("mariadb-install-db %s: status %d: %s"
                              % (datadir, install.returncode, install.stderr[-2000:]))

        self._ip("netns", "add", self.netns)
        self._netns_created = True
        self._ip("netns", "exec", self.netns, "ip", "link", "set", "lo", "up")

        self._launch()
        # Anonymous accounts would shadow the named ones for local clients.
        self.execute("delete from mysql.global_priv where User=''; flush privileges;")

    def _launch(self):
        """Starts mariadbd on the data directory and waits until it answers."""
        # `ip netns exec` execs the server, so the child's pid is the server's.
        argv = ["ip", "netns", "exec", self.netns, _server_binary(), "--no-defaults",
                "--datadir=" + os.path.join(self.workdir, "data"), "--socket=" + self.socket,
                "--pid-file=" + os.path.join(self.workdir, "mysqld.pid"),
                "--log-error=" + self.log_file, "--user=root",
                "--bind-address=" + HOST, "--port=3306", "--skip-name-resolve",
                "--innodb-buffer-pool-size=64M"] + self.server_options
        self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + START_TIMEOUT
        while True:
            if self.process.poll() is not None:
                raise ServerError("mariadbd in %s ended with status %d during start-up:\n%s"
                                  % (self.netns, self.process.returncode, self.log_tail()))
            probe = self._client(["-e", "select 1"], check=False, timeout=10)
            if probe.returncode == 0:
                break
            if time.monotonic() > deadline:
                raise ServerError("mariadbd in %s: no answer on %s within %d s: %s\n%s"
                                  % (self.netns, self.socket, START_TIMEOUT,
                                     probe.stderr.strip(), self.log_tail()))
            time.sleep(0.2)

    def pause(self):
        """Stops the server by its pid and keeps its data, namespace and
        directory, as an outage would; resume() starts it again."""
        self._end_process()

    def resume(self):
        self._launch()

    def _end_process(self):
        if self.process is not None and self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(timeout=STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                os.kill(self.process.pid, signal.SIGKILL)
                self.process.wait(timeout=STOP_TIMEOUT)
        self.process = None

    def stop(self):
        """Stops the server by its pid and removes namespace and directory.
        Safe to call more than once and after a failed start."""
        self._end_process()
        if self._netns_created:
            _run(["ip", "netns", "del", self.netns], timeout=CLIENT_TIMEOUT)
            self._netns_created = False
        if self.workdir is not None:
            shutil.rmtree(self.workdir, ignore_errors=True)
            self.workdir = None

    def log_tail(self, size=3000):
        try:
            with open(self.log_file, errors="replace") as log:
                return log.read()[-size:]
        except OSError as error:
            return "%s: %s" % (self.log_file, error.strerror)

    # -- statements as root over the socket -----------------------------------

    def execute(self, sql):
        """Runs statements (several allowed, ';'-separated) as root."""
        self._client([], input_text=sql)

    def query(self, sql):
        """Runs one statement as root and returns its rows as tuples of
        strings (NULL comes back as the string "NULL")."""
        result = self._client(["--batch", "--skip-column-names", "--raw", "-e", sql])
        return [tuple(line.split("\t")) for line in result.stdout.splitlines()]

    def install_norvo_schema(self):
        """Runs doc/norvo.sql as an administrator would, then adds the
        tests' own account with every right on the database and the right
        to kill the daemon's connections."""
        with open(SCHEMA_FILE) as schema:
            self.execute(schema.read())
        self.execute("create user '%s'@'%%' identified by '%s';"
                     "grant all on %s.* to '%s'@'%%';"
                     "grant connection admin on *.* to '%s'@'%%';"
                     % (CHECK_USER, CHECK_PASSWORD, DATABASE, CHECK_USER, CHECK_USER))

    def add_table(self, name):
        """A further table laid out like the documented one, writable by the
        daemon's account as documented."""
        if not re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]{0,30}", name):
            raise ServerError("%s: not a usable table name" % name)
        self.execute("create table %s.%s like %s.%s;"
                     "grant select, insert, update on %s.%s to '%s'@'%%';"
                     % (DATABASE, name, DATABASE, TABLE, DATABASE, name, USER))

    def add_table_without_key(self, name):
        """A further table with the documented columns and an index on
        (ip, timetag), but a surrogate primary key instead of one on them."""
        self.add_table(name)
        self.execute("alter table %s.%s drop primary key, "
                     "add id bigint auto_increment primary key first, add key (ip, timetag)"
                     % (DATABASE, name))

    def dump_line(self, table=TABLE):
        """The configuration line of a category that dumps into `table`."""
        return "dump MySQL %s %s %s %s %s" % (HOST, DATABASE, table, USER, PASSWORD)

    def test_environment(self, table=TABLE):
        """Variables that tell the test and benchmark programs where to dump."""
        env = dict(os.environ)
        env.update({
            "NORVO_TEST_MYSQL_HOST": HOST,
            "NORVO_TEST_MYSQL_DEAD_HOST": DEAD_HOST,
            "NORVO_TEST_MYSQL_DB": DATABASE,
            "NORVO_TEST_MYSQL_TABLE": table,
            "NORVO_TEST_MYSQL_USER": USER,
            "NORVO_TEST_MYSQL_PASSWORD": PASSWORD,
            "NORVO_TEST_MYSQL_CHECK_USER": CHECK_USER,
            "NORVO_TEST_MYSQL_CHECK_PASSWORD": CHECK_PASSWORD,
            "NORVO_TEST_MYSQL_SOCKET": self.socket,
        })
        return env

    # -- programs inside the namespace -----------------------------------------

    def run_in_netns(self, argv, timeout, **kwargs):
        """subprocess.run inside the namespace, output captured as text."""
        return _run(["ip", "netns", "exec", self.netns] + list(argv), timeout, **kwargs)

    def popen_in_netns(self, argv, **kwargs):
        """subprocess.Popen inside the namespace; the child's pid is the
        program's own, so the caller can stop it by pid."""
        return subprocess.Popen(["ip", "netns", "exec", self.netns] + list(argv), **kwargs)

    # -- helpers ------------------------------------------------------------------

    def _client(self, args, input_text=None, check=True, timeout=CLIENT_TIMEOUT):
        result = _run(["mariadb", "--no-defaults", "-S", self.socket, "-uroot"] + args,
                      timeout, input=input_text)
        if check and result.returncode != 0:
            raise ServerError("mariadb client on %s: status %d: %s"
                              % (self.socket, result.returncode, result.stderr.strip()))
        return result

    def _ip(self, *args):
        result = _run(["ip"] + list(args), timeout=CLIENT_TIMEOUT)
        if result.returncode != 0:
            raise ServerError("ip %s: status %d: %s"
                              % (" ".join(args), result.returncode, result.stderr.strip()))


def _server_binary():
    return shutil.which("mariadbd") or "/usr/sbin/mariadbd"
