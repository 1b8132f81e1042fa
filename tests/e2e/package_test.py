"""The Debian package as cpack makes it from this build: control fields, files, the service
files and conffiles, the agent run from the payload, lintian, and the same bytes twice."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

from harness import SOURCE_DIR, main

BINARY_DIR = Path(os.environ.get("VKA_BINARY_DIR", "build")).resolve()
VERSION = re.search(r"project\(vk_agent VERSION (\S+)", (SOURCE_DIR / "CMakeLists.txt").read_text()).group(1)
PREFIX = "/opt/vk_agent"
# What the package must hold outside the tree, and where nothing else may go.
SYSTEM_FILES = ["./lib/systemd/system/vk_agent.service", "./etc/vk_agent.conf", "./etc/logrotate.d/vk_agent",
                "./usr/share/man/man8/vk_agent.8.gz", "./usr/share/doc/vk-agent/copyright"]
ALLOWED = ("./opt/", "./etc/", "./lib/systemd/", "./usr/share/")
# The system libraries the binaries link, by their Debian package names.
LIBRARIES = ["libwxbase3.2-1", "liblua5.2-0", "libssl3", "libsqlite3-0", "libcurl4", "libzip4"]


def dpkg_deb(*args):
    return subprocess.run(["dpkg-deb", *map(str, args)], capture_output=True, text=True, check=True).stdout


class DebianPackage(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory()
        cls.root = Path(cls._tmp.name)
        cls.debs = [cls.cpack(cls.root / name) for name in ("one", "two")]
        cls.deb = cls.debs[0]
        cls.payload = cls.root / "payload"
        dpkg_deb("-R", cls.deb, cls.payload)

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    @staticmethod
    def cpack(out):
        env = dict(os.environ, SOURCE_DATE_EPOCH="1765000000")
        run = subprocess.run(["cpack", "-G", "DEB", "--config", BINARY_DIR / "CPackConfig.cmake", "-B", out],
                             capture_output=True, text=True, env=env, timeout=600)
        assert run.returncode == 0, run.stdout + run.stderr
        return next(out.glob("*.deb"))

    def test_control_fields_and_file_list(self):
        fields = dict(line.split(": ", 1) for line in dpkg_deb("-f", self.deb, "Package", "Version", "Architecture",
                                                               "Depends", "Recommends", "Maintainer").splitlines())
        self.assertEqual(self.deb.name, "vk-agent_%s_%s.deb" % (VERSION, fields["Architecture"]))
        self.assertEqual((fields["Package"], fields["Version"], fields["Recommends"]),
                         ("vk-agent", VERSION, "lua-unit, logrotate"))
        self.assertRegex(fields["Maintainer"], r"^\S.* <\S+@\S+\.\S+>$")
        depends = {d.split()[0] for d in fields["Depends"].split(", ")}
        self.assertLessEqual(set(LIBRARIES), depends)
        # Our own libraries are private: no package is asked for them.
        self.assertFalse([d for d in depends if "vka" in d or "kvtrelay" in d or "slb" in d], depends)

        files = [line.split()[-1] for line in dpkg_deb("-c", self.deb).splitlines()]
        tree = ["vk_agent", "lib/libvka_core.so", "lib/libslb.so", "lib/libkvtrelay.so", "lib/update.so",
                "vka_core/vk_agent.vke", "vka_core/vka.vke", "examples/update_source/index.txt",
                "share/man/man8/vk_agent.8", "share/systemd/vk_agent.service",
                "share/templates/systemd/vk_agent.service.in"]
        self.assertLessEqual({".%s/%s" % (PREFIX, f) for f in tree} | set(SYSTEM_FILES), set(files))
        outside = [f for f in files if not f.startswith(ALLOWED) and f not in ("./", "./lib/", "./usr/")]
        self.assertEqual(outside, [])

    def test_service_files_conffiles_and_maintainer_scripts(self):
        unit = (self.payload / "lib/systemd/system/vk_agent.service").read_text()
        self.assertIn("\nExecStart=%s/vk_agent -b -w /var/lib/vk_agent\n" % PREFIX, unit)
        self.assertEqual((self.payload / ("." + PREFIX) / "share/systemd/vk_agent.service").read_text(), unit)
        conffiles = (self.payload / "DEBIAN" / "conffiles").read_text().split()
        self.assertEqual(sorted(conffiles), ["/etc/logrotate.d/vk_agent", "/etc/vk_agent.conf"])
        for path in conffiles:
            self.assertTrue((self.payload / path.lstrip("/")).is_file(), path)
        rotate = (self.payload / "etc/logrotate.d/vk_agent").read_text()
        self.assertIn("/var/lib/vk_agent/vk_agent.log {", rotate)
        self.assertNotRegex(rotate, r"(?m)^\s*(postrotate|copytruncate|create)\b")
        for script in ("postinst", "prerm", "postrm"):
            path = self.payload / "DEBIAN" / script
            self.assertEqual(subprocess.run(["sh", "-n", str(path)]).returncode, 0, script)
        self.assertIn("rm -rf /var/lib/vk_agent", (self.payload / "DEBIAN" / "postrm").read_text())

    def test_agent_runs_from_the_payload(self):
        work = self.root / "work"
        run = subprocess.run([str(self.payload / ("." + PREFIX) / "vk_agent"), "-w", str(work), "--", "demo"],
                             capture_output=True, text=True, timeout=120)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertIn("vk_agent %s: init" % VERSION, run.stdout)
        # The mirror checks the sample source's digests, so its packages and index agree.
        self.assertIn("exported c3t4v1234568.0.0l1p-1r-1o-1 into %s/export" % work, run.stdout)
        self.assertTrue((work / "vk_agent.log").is_file())

    def test_same_bytes_twice_and_lintian_finds_no_error(self):
        self.assertEqual(self.debs[0].read_bytes(), self.debs[1].read_bytes())
        if not shutil.which("lintian"):
            self.skipTest("lintian is not installed (scripts/deps installs it)")
        run = subprocess.run(["lintian", str(self.deb)], capture_output=True, text=True, timeout=600)
        self.assertEqual(([l for l in run.stdout.splitlines() if l.startswith("E:")], run.returncode), ([], 0),
                         run.stdout + run.stderr)


if __name__ == "__main__":
    main()
