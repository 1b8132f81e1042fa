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
TREE = ["vk_agent", "lib/libvka_core.so", "lib/libslb.so", "lib/libkvtrelay.so", "lib/update.so",
        "vka_core/vka.vke", "share/man/man8/vk_agent.8", "share/templates/systemd/vk_agent.service.in"]
SYSTEM_FILES = ["lib/systemd/system/vk_agent.service", "etc/vk_agent.conf", "etc/logrotate.d/vk_agent",
                "usr/share/man/man8/vk_agent.8.gz", "usr/share/doc/vk-agent/copyright"]
# The system libraries the binaries link, by their Debian package names.
LIBRARIES = {"libwxbase3.2-1", "liblua5.2-0", "libssl3", "libsqlite3-0", "libcurl4", "libzip4"}


def dpkg_deb(*args):
    return subprocess.run(["dpkg-deb", *map(str, args)], capture_output=True, text=True, check=True).stdout


class DebianPackage(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory()
        cls.root = Path(cls._tmp.name)
        cls.debs = []
        for name in ("one", "two"):
            run = subprocess.run(["cpack", "-G", "DEB", "--config", BINARY_DIR / "CPackConfig.cmake",
                                  "-B", cls.root / name], capture_output=True, text=True, timeout=600,
                                 env=dict(os.environ, SOURCE_DATE_EPOCH="1765000000"))
            assert run.returncode == 0, run.stdout + run.stderr
            cls.debs += list((cls.root / name).glob("vk-agent_%s_*.deb" % VERSION))
        cls.payload = cls.root / "payload"
        dpkg_deb("-R", cls.debs[0], cls.payload)

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    def test_control_fields_files_and_service(self):
        fields = dict(line.split(": ", 1) for line in
                      dpkg_deb("-f", self.debs[0], "Package", "Depends", "Recommends").splitlines())
        self.assertEqual((fields["Package"], fields["Recommends"]), ("vk-agent", "lua-unit, logrotate"))
        depends = {d.split()[0] for d in fields["Depends"].split(", ")}
        self.assertLessEqual(LIBRARIES, depends)
        # Our own libraries are private: no package is asked for them.
        self.assertFalse({d for d in depends if re.search("vka|kvtrelay|slb", d)}, depends)
        files = {line.split()[-1][2:] for line in dpkg_deb("-c", self.debs[0]).splitlines()}
        self.assertLessEqual({"opt/vk_agent/" + f for f in TREE} | set(SYSTEM_FILES), files)
        self.assertEqual({f for f in files if not re.match(r"(opt|etc|lib/systemd|usr/share)/|(lib|usr)/$|$", f)},
                         set())

        unit = (self.payload / "lib/systemd/system/vk_agent.service").read_text()
        self.assertIn("\nExecStart=/opt/vk_agent/vk_agent -b -w /var/lib/vk_agent\n", unit)
        self.assertEqual((self.payload / "opt/vk_agent/share/systemd/vk_agent.service").read_text(), unit)
        conffiles = (self.payload / "DEBIAN" / "conffiles").read_text().split()
        self.assertEqual(sorted(conffiles), ["/etc/logrotate.d/vk_agent", "/etc/vk_agent.conf"])
        rotate = (self.payload / "etc/logrotate.d/vk_agent").read_text()
        self.assertIn("/var/lib/vk_agent/vk_agent.log {", rotate)
        self.assertNotRegex(rotate, r"(?m)^\s*(postrotate|copytruncate|create)\b")
        for script in ("postinst", "prerm", "postrm"):
            self.assertEqual(subprocess.run(["sh", "-n", str(self.payload / "DEBIAN" / script)]).returncode, 0)

    def test_agent_runs_from_the_payload(self):
        work = self.root / "work"
        run = subprocess.run([str(self.payload / "opt/vk_agent/vk_agent"), "-w", str(work), "--", "demo"],
                             capture_output=True, text=True, timeout=120)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertIn("vk_agent %s: init" % VERSION, run.stdout)
        # The mirror checks the sample source's digests, so its packages and index agree.
        self.assertIn("exported c3t4v1234568.0.0l1p-1r-1o-1 into %s/export" % work, run.stdout)

    def test_same_bytes_twice_and_lintian_finds_no_error(self):
        self.assertEqual(len(self.debs), 2)
        self.assertEqual(self.debs[0].read_bytes(), self.debs[1].read_bytes())
        if not shutil.which("lintian"):
            self.skipTest("lintian is not installed (scripts/deps installs it)")
        run = subprocess.run(["lintian", str(self.debs[0])], capture_output=True, text=True, timeout=600)
        self.assertEqual(([l for l in run.stdout.splitlines() if l.startswith("E:")], run.returncode), ([], 0),
                         run.stdout + run.stderr)


if __name__ == "__main__":
    main()
