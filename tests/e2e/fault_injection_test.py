"""Faults during plugin installation and event writes, end to end: a disk that fills up under
the executable's folder or under the work folder, and vk_agent killed with SIGKILL in the middle
of unpacking a package. Nothing may be left half-written under a final name, no event already
stored may be lost, and the next start with -i finishes the job."""

import os
import shutil
import signal
import sqlite3
import subprocess
import time
import zipfile
from pathlib import Path

import fault_support as fs
from harness import AgentTestCase, main, make_zip

fs.enter_private_namespace()

APP = """
local M = {}
function M.init() return 0 end
function M.main() return 0 end
function M.shutdown() return 0 end
return M
"""

INFO, WARNING = 0, 1
MB = 1024 * 1024


class FaultTestCase(AgentTestCase):

    def setUp(self):
        super().setUp()
        make_zip(self.tree.bin / "vka_core" / "vk_agent.vke", {"vk_agent.lua": APP})

    def tearDown(self):
        # Mounts go before the temporary folder that holds them.
        self.doCleanups()
        super().tearDown()

    def move_bin_to(self, folder):
        """Moves the installed tree below folder (a mount point) and runs it from there."""
        target = Path(folder) / "agent"
        shutil.copytree(self.tree.bin, target, symlinks=True)
        shutil.rmtree(self.tree.bin)
        self.tree.bin = target
        self.tree.exe = target / "vk_agent"

    def start(self, *args):
        run = self.tree.run("-i", *args)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr + self.tree.log_text())
        return run

    def errors(self):
        return [text for level, text in self.tree.log_entries() if level == "ERROR"]

    def assertInstalled(self, files, folder=None):
        """Every entry of files is in place with its full content."""
        folder = Path(folder or self.tree.bin)
        for name, data in files.items():
            path = folder / name
            self.assertTrue(path.is_file(), name)
            self.assertEqual(fs.sha256(path.read_bytes()), fs.sha256(data), name)

    def assertNoPartialFiles(self, files, folder=None):
        """A file that is under an entry's name holds that entry's data, whole."""
        folder = Path(folder or self.tree.bin)
        present = 0
        for name, data in files.items():
            path = folder / name
            if path.exists():
                present += 1
                self.assertEqual(path.stat().st_size, len(data), name)
                self.assertEqual(fs.sha256(path.read_bytes()), fs.sha256(data), name)
        return present


class DiskFull(FaultTestCase):

    def test_package_larger_than_the_free_space_is_not_half_installed(self):
        # Two entries would fit, the third would not: the declared total is checked first.
        files = {
            "plugins/big/init.lua": b"return 'big'\n",
            "plugins/big/first.dat": fs.random_bytes(400 * 1024, "first"),
            "plugins/big/second.dat": fs.random_bytes(600 * 1024, "second"),
        }
        staged = fs.write_zip(self.tmp / "Base-Big-10.0.0-1.x86_64.vkp", files)
        small = fs.mount_tmpfs(self, self.tmp / "small", 512 * MB)
        self.move_bin_to(small)
        package = self.tree.bin / staged.name
        shutil.copy(staged, package)
        # Room for the first two entries and a little more, not for the third.
        fs.resize_tmpfs(small, fs.used_bytes(small) + 600 * 1024)

        self.start()
        self.assertTrue(package.exists(), "a package that was not unpacked keeps its name")
        self.assertFalse(Path(str(package) + ".done").exists())
        self.assertEqual(self.tree.events(), [(5102, WARNING, "Big|%s|%s" % (package.stem, package))])
        second = self.tree.bin / "plugins/big/second.dat"
        self.assertFalse(second.exists(), "no half-written file under its final name")
        self.assertNoPartialFiles(files)
        self.assertEqual(fs.temporaries(self.tree.bin), [])
        self.assertFalse((self.tree.bin / "plugins").exists(), "nothing is written before the check")
        warnings = [text for level, text in self.tree.log_entries() if level == "WARNING"]
        self.assertEqual(len(warnings), 1, warnings)
        self.assertRegex(warnings[0], r"^Refusing archive '%s': it unpacks to %d bytes, but '%s' has only \d+ bytes free$"
                         % (package, sum(len(d) for d in files.values()), self.tree.bin))

        # With room again, the next start installs the package and sets it aside.
        fs.resize_tmpfs(small, fs.used_bytes(small) + 8 * MB)
        self.start()
        self.assertInstalled(files)
        self.assertFalse(package.exists())
        self.assertTrue(Path(str(package) + ".done").exists())
        self.assertEqual([e[0] for e in self.tree.events()], [5102, 5101])
        self.assertEqual(fs.temporaries(self.tree.bin), [])

    def test_event_store_on_a_full_work_folder_keeps_what_it_held(self):
        fs.mount_tmpfs(self, self.tree.work, 2 * MB)
        first = make_zip(self.tree.bin / "a-first.vkp", {"first.txt": "1"})
        self.start()
        stored = self.tree.events()
        self.assertEqual(stored, [(5101, INFO, "first|a-first|%s" % first)])

        # The log keeps room of its own so that the failure can be read there.
        fs.reserve(self.tree.log_path(), 256 * 1024)
        filler = fs.fill(self.tree.work)
        second = make_zip(self.tree.bin / "b-second.vkp", {"second.txt": "2"})
        self.start()
        # The package itself was installed; only its event could not be stored.
        self.assertEqual((self.tree.bin / "second.txt").read_text(), "2")
        self.assertTrue(Path(str(second) + ".done").exists())
        errors = self.errors()
        self.assertEqual(len(errors), 1, errors)
        self.assertTrue(errors[0].startswith("Cannot write agent event 5101 to the event database '%s/events.db': "
                                             % self.tree.work), errors[0])
        self.assertIn("full", errors[0])

        filler.unlink()
        with sqlite3.connect(str(self.tree.work / "events.db")) as conn:
            self.assertEqual(conn.execute("PRAGMA integrity_check").fetchall(), [("ok",)])
        self.assertEqual(self.tree.events(), stored)

        # The store takes new events again once there is room.
        third = make_zip(self.tree.bin / "c-third.vkp", {"third.txt": "3"})
        self.start()
        self.assertEqual(self.tree.events(), stored + [(5101, INFO, "third|c-third|%s" % third)])


class KilledDuringInstallation(FaultTestCase):

    def test_sigkill_while_unpacking_then_next_start_finishes(self):
        # A small first entry tells when unpacking has begun; many larger ones keep it busy.
        files = {"plugins/many/aaa-first.txt": b"first\n"}
        for i in range(160):
            files["plugins/many/part%03d.dat" % i] = fs.random_bytes(256 * 1024, "part%d" % i)
        package = fs.write_zip(self.tree.bin / "Base-Many-10.0.0-7.x86_64.vkp", files, zipfile.ZIP_STORED)
        marker = self.tree.bin / "plugins/many/aaa-first.txt"

        proc = subprocess.Popen([str(self.tree.exe), "-w", str(self.tree.work), "-i"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 60
        while not marker.exists() and proc.poll() is None and time.monotonic() < deadline:
            time.sleep(0.0005)
        proc.send_signal(signal.SIGKILL)
        proc.wait(timeout=30)
        self.assertEqual(proc.returncode, -signal.SIGKILL, "the agent ended before it was killed")

        present = self.assertNoPartialFiles(files)
        self.assertGreater(present, 0)
        self.assertLess(present, len(files), "the kill came after the last entry")
        self.assertTrue(package.exists(), "the package keeps its name until it is unpacked")
        self.assertFalse(Path(str(package) + ".done").exists())
        self.assertEqual(self.tree.events(), [])

        self.start()
        self.assertInstalled(files)
        self.assertFalse(package.exists())
        self.assertTrue(Path(str(package) + ".done").exists())
        self.assertEqual(self.tree.events(), [(5101, INFO, "Many|%s|%s" % (package.stem, package))])
        # Temporaries of the killed run do not pile up.
        self.assertEqual(fs.temporaries(self.tree.bin), [])
        self.assertEqual(self.errors(), [])


if __name__ == "__main__":
    main()
