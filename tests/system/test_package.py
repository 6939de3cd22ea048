"""The Debian package and the manual pages.

The package is made as the README says: a build configured with prefix
/usr (in NORVO_BUILD_DIR/deb), then `cpack -G DEB`. It is checked as dpkg
and lintian see it, unpacked with dpkg -x, and installed, reinstalled and
purged in a scratch root with `dpkg --root`; there dpkg runs the
maintainer scripts outside a chroot with DPKG_ROOT set, so they create
the user and the state directory inside the scratch root and leave the
machine alone. The packaged unit is verified with systemd-analyze in a
private mount namespace where /usr/sbin holds the packaged program.

Needs root, cmake, dpkg-dev, lintian, systemd, groff, mandoc and man-db.
"""

import glob
import gzip
import os
import pwd
import re
import shutil
import subprocess
import tempfile
import unittest

from harness import BUILD_DIR, program

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
DOC_DIR = os.path.join(SOURCE_DIR, "doc")
TOOLS = ("cmake", "cpack", "dpkg-deb", "dpkg-shlibdeps", "lintian", "readelf",
         "systemd-analyze", "systemd-sysusers", "systemd-tmpfiles", "unshare")
PACKAGE_READY = os.geteuid() == 0 and all(shutil.which(t) for t in TOOLS)
MAN_PAGES = sorted(glob.glob(os.path.join(DOC_DIR, "*.[158]")))


def run(argv, **kwargs):
    kwargs.setdefault("timeout", 600)
    return subprocess.run(argv, capture_output=True, text=True, **kwargs)


def check(argv, **kwargs):
    r = run(argv, **kwargs)
    if r.returncode != 0:
        raise AssertionError("%s: status %d\n%s%s" % (" ".join(argv), r.returncode,
                                                      r.stdout[-3000:], r.stderr[-3000:]))
    return r


def build_package():
    """Configures, builds and packages; returns the path of the .deb."""
    build = os.path.join(os.path.abspath(BUILD_DIR), "deb")
    check(["cmake", "-S", SOURCE_DIR, "-B", build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
           "-DCMAKE_INSTALL_PREFIX=/usr", "-DBUILD_TESTING=OFF", "-DNORVO_BENCH=OFF",
           "-DNORVO_WERROR=ON"])
    check(["cmake", "--build", build, "-j2"])
    for old in glob.glob(os.path.join(build, "norvo_*.deb")):
        os.unlink(old)
    check(["cpack", "-G", "DEB"], cwd=build)
    debs = glob.glob(os.path.join(build, "norvo_*.deb"))
    if len(debs) != 1:
        raise AssertionError("cpack made %r" % debs)
    return debs[0]


def unit_settings(path):
    """The [Service] lines of a unit as {key: [values]}."""
    settings, section = {}, None
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line.startswith("["):
                section = line
            elif section == "[Service]" and "=" in line and not line.startswith("#"):
                key, value = line.split("=", 1)
                settings.setdefault(key, []).append(value)
    return settings


@unittest.skipUnless(PACKAGE_READY, "needs root and " + ", ".join(TOOLS))
class DebianPackage(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.deb = build_package()
        cls.tree = tempfile.mkdtemp(prefix="norvo-deb-")
        check(["dpkg-deb", "-x", cls.deb, cls.tree])
        cls.control = os.path.join(cls.tree, "DEBIAN")
        check(["dpkg-deb", "-e", cls.deb, cls.control])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tree, True)

    def path(self, relative):
        return os.path.join(self.tree, relative.lstrip("/"))

    def field(self, name):
        return check(["dpkg-deb", "-f", self.deb, name]).stdout.strip()

    def test_control_fields_carry_the_programs_version_and_its_libraries(self):
        check(["dpkg-deb", "--info", self.deb])
        self.assertEqual(self.field("Package"), "norvo")
        # one version: the package's upstream part spells the program's text
        shown = check([self.path("/usr/sbin/norvo"), "--version"]).stdout
        self.assertEqual(shown, "norvo %s\n" % self.field("Version").replace("~", ""))
        self.assertEqual(shown, check([program("norvo"), "--version"]).stdout)
        depends = {re.sub(r"\s*\(.*\)", "", d).strip() for d in self.field("Depends").split(",")}
        self.assertLessEqual({"libpcap0.8", "libmariadb3", "libc6", "systemd", "procps"}, depends)

    def test_lintian_reports_no_error(self):
        r = run(["lintian", "--no-tag-display-limit", self.deb])
        errors = [l for l in r.stdout.splitlines() if l.startswith("E:")]
        self.assertEqual((r.returncode, errors), (0, []), r.stdout + r.stderr)

    def test_files_are_where_debian_expects_them(self):
        for path in ("/usr/sbin/norvo", "/usr/bin/norvo-binread"):
            self.assertTrue(os.access(self.path(path), os.X_OK), path)
        for page in MAN_PAGES:
            name = os.path.basename(page)
            packed = self.path("/usr/share/man/man%s/%s.gz" % (name[-1], name))
            with gzip.open(packed, "rb") as f, open(page, "rb") as source:
                self.assertEqual(f.read(), source.read(), name)
        for path in ("/lib/systemd/system/norvo.service", "/usr/lib/sysusers.d/norvo.conf",
                     "/usr/lib/tmpfiles.d/norvo.conf", "/usr/share/doc/norvo/norvo.sql",
                     "/usr/share/doc/norvo/examples/norvo.conf.example",
                     "/usr/share/doc/norvo/copyright", "/usr/share/doc/norvo/changelog.gz"):
            self.assertTrue(os.path.isfile(self.path(path)), path)
        self.assertFalse(os.path.exists(self.path("/usr/local")))

        # The configuration is a conffile, and the program reads that very file.
        with open(os.path.join(self.control, "conffiles")) as f:
            self.assertEqual(f.read().split(), ["/etc/norvo.conf"])
        with open(self.path("/etc/norvo.conf")) as f, \
                open(os.path.join(SOURCE_DIR, "contrib", "norvo.conf")) as source:
            self.assertEqual(f.read(), source.read())
        shown = " ".join(check([self.path("/usr/sbin/norvo"), "--help"]).stdout.split())
        self.assertIn("Configuration File default: /etc/norvo.conf", shown)
        self.assertEqual(unit_settings(self.path("/lib/systemd/system/norvo.service"))
                         ["ExecStart"], ["/usr/sbin/norvo"])

    def test_programs_are_hardened(self):
        for path in ("/usr/sbin/norvo", "/usr/bin/norvo-binread"):
            binary = self.path(path)
            dynamic = check(["readelf", "-d", binary]).stdout
            self.assertRegex(dynamic, r"FLAGS_1\)\s+Flags: NOW PIE", path)
            self.assertRegex(dynamic, r"\(FLAGS\)\s+BIND_NOW", path)
            self.assertIn("GNU_RELRO", check(["readelf", "-lW", binary]).stdout, path)
            imports = check(["readelf", "--dyn-syms", "-W", binary]).stdout
            self.assertIn("__stack_chk_fail", imports, path)
            self.assertRegex(imports, r"__\w+_chk@", path)  # fortified libc calls

    def test_scratch_root_install_reinstall_and_purge(self):
        try:
            host_user = pwd.getpwnam("norvo")
        except KeyError:
            host_user = None
        root = tempfile.mkdtemp(prefix="norvo-root-")
        self.addCleanup(shutil.rmtree, root, True)
        for sub in ("info", "updates", "triggers"):
            os.makedirs(os.path.join(root, "var/lib/dpkg", sub))
        for name in ("status", "available"):
            open(os.path.join(root, "var/lib/dpkg", name), "w").close()
        dpkg = ["dpkg", "--root=" + root, "--force-script-chrootless", "--force-depends"]

        def inside(path):
            return os.path.join(root, path.lstrip("/"))

        check(dpkg + ["-i", self.deb])
        with open(inside("/etc/passwd")) as f:
            users = {l.split(":")[0]: l.rstrip("\n").split(":") for l in f}
        self.assertIn("norvo", users)
        _, _, uid, gid, _, home, shell = users["norvo"]
        self.assertLess(int(uid), 1000)  # a system user
        self.assertEqual((home, shell), ("/var/lib/norvo", "/usr/sbin/nologin"))
        state = os.stat(inside("/var/lib/norvo"))
        self.assertEqual((state.st_uid, state.st_gid, state.st_mode & 0o7777),
                         (int(uid), int(gid), 0o750))

        with open(inside("/etc/norvo.conf"), "a") as f:
            f.write("# edited by the administrator\n")
        check(dpkg + ["-i", self.deb])
        with open(inside("/etc/norvo.conf")) as f:
            self.assertTrue(f.read().endswith("# edited by the administrator\n"))

        check(dpkg + ["--purge", "norvo"])
        for path in ("/etc/norvo.conf", "/var/lib/norvo", "/usr/sbin/norvo"):
            self.assertFalse(os.path.exists(inside(path)), path)

        # The maintainer scripts created nothing on this machine.
        try:
            self.assertEqual(pwd.getpwnam("norvo"), host_user)
        except KeyError:
            self.assertIsNone(host_user)

    def test_unit_passes_systemd_analyze_verify(self):
        unit = self.path("/lib/systemd/system/norvo.service")
        # The unit names /usr/sbin/norvo and its manual pages; verify looks
        # for both, so they are shown to it from the unpacked package.
        script = ('mount -t tmpfs tmpfs /usr/sbin && cp "$1" /usr/sbin/norvo && '
                  'exec systemd-analyze verify "$2"')
        env = dict(os.environ, MANPATH=self.path("/usr/share/man"))
        r = run(["unshare", "--mount", "--propagation", "private", "sh", "-c", script, "sh",
                 self.path("/usr/sbin/norvo"), unit], env=env, timeout=60)
        self.assertEqual((r.returncode, r.stdout + r.stderr), (0, ""))

        service = unit_settings(unit)
        caps = ["CAP_NET_RAW CAP_NET_ADMIN"]
        self.assertEqual(service["User"], ["norvo"])
        self.assertEqual(service["AmbientCapabilities"], caps)
        self.assertEqual(service["CapabilityBoundingSet"], caps)
        self.assertEqual(service["ProtectSystem"], ["strict"])
        self.assertIn("/var/lib/norvo", service["ReadWritePaths"])
        self.assertEqual(service["ExecReload"], ["/bin/kill -HUP $MAINPID"])


@unittest.skipUnless(shutil.which("groff") and shutil.which("mandoc"), "needs groff and mandoc")
class ManualPages(unittest.TestCase):

    def test_every_page_passes_groff_and_mandoc_lint(self):
        self.assertGreaterEqual(len(MAN_PAGES), 3)
        for page in MAN_PAGES:
            for argv in (["groff", "-ww", "-man", "-z", page],
                         ["mandoc", "-T", "lint", "-W", "warning", page]):
                r = run(argv, timeout=60)
                self.assertEqual((r.returncode, r.stdout + r.stderr), (0, ""), argv)

    def test_every_option_keyword_and_dump_type_is_documented(self):
        """New options and configuration keywords fail here until documented."""
        with open(os.path.join(DOC_DIR, "norvo.8")) as f:
            daemon_page = f.read()
        with open(os.path.join(DOC_DIR, "norvo.conf.5")) as f:
            conf_page = f.read()
        with open(os.path.join(SOURCE_DIR, "src", "config", "config.cpp")) as f:
            reader = f.read()

        options = set(re.findall(r"--([a-z][a-z-]+)",
                                 check([program("norvo"), "--help"]).stdout))
        self.assertIn("config", options)
        for option in options:
            self.assertIn(r"\-\-" + option.replace("-", r"\-"), daemon_page, option)

        keywords = re.findall(r'\{"(\w+)", [01], config_read_\w+\}', reader)
        self.assertIn("devices", keywords)
        for keyword in keywords:
            self.assertRegex(conf_page, r"(?m)^\.BI? %s\b" % keyword, keyword)

        types = re.search(r"dump_type_names\[\] = \{(.*?)\};", reader, re.S).group(1)
        types = [t for t in re.findall(r'"(\w+)"', types)]
        self.assertIn("BinFile", types)
        for name in types:
            self.assertRegex(conf_page, r"(?m)^\.BI? %s\b" % name, name)


if __name__ == "__main__":
    unittest.main()
