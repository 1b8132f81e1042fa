"""Faults while the relay mirrors into a repository, end to end through the module update in
lua5.2: the repository's disk fills up, an http source closes half-way through a package, and a
folder source's package is cut short or removed while it is being copied. A failed transfer
leaves the repository exactly as it was, but for relay.log and a cut transfer's part file."""

import hashlib
import os
import signal
import subprocess
import tempfile
import textwrap
import time
import unittest
from pathlib import Path

import fault_support as fs
import harness

fs.enter_private_namespace()

CUT_SERVER = harness.SOURCE_DIR / "tests" / "unit" / "relay" / "serve_source.py"
KB = 1024
MB = 1024 * KB

PATTERN = "c3t4v1234567.0.0l1p-1r-1o-1"
ENGINE = "c2t5v9.5000.1007l-1p-1r-1o-1"

PRELUDE = r"""
local update = require("update")
REPO, SRC = os.getenv("REPO"), os.getenv("SRC")
function status(first, code, message)
  print(string.format("status %s %s %s", type(first), tostring(code), tostring(message)))
end
"""


class RelayFaultTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="vka-relay-fault-")
        self.tmp = Path(self._tmp.name)
        self.tree = harness.AgentTree(self.tmp)
        self.repo = self.tmp / "repo"
        self.src = self.tmp / "source"
        self.server = None
        # A small pattern and a large, incompressible engine.
        self.write_source({PATTERN: fs.random_bytes(64 * KB, "pattern"), ENGINE: fs.random_bytes(2 * MB, "engine")})

    def tearDown(self):
        if self.server:
            self.server.send_signal(signal.SIGTERM)
            self.server.wait(timeout=10)
        self.doCleanups()
        self._tmp.cleanup()

    def write_source(self, packages, engine=ENGINE):
        lines = ["kvtrelay-index 1"]
        for product, component in (("c3t4v1.0.0l1p-1r-1o-1", PATTERN), ("c2t5v9.0.0l-1p-1r-1o-1", engine)):
            data = packages[component]
            rel = "packages/%s.zip" % component
            (self.src / "packages").mkdir(parents=True, exist_ok=True)
            (self.src / rel).write_bytes(data)
            lines += ["product " + product, "component %s %s %d %s" % (component, rel, len(data), fs.sha256(data))]
        (self.src / "index.txt").write_text("\n".join(lines) + "\n")

    def lua(self, body, src=None):
        script = self.tmp / "case.lua"
        script.write_text(PRELUDE + textwrap.dedent(body))
        env = dict(os.environ)
        env.update({
            "LUA_CPATH": str(self.tree.bin / "lib" / "?.so"),
            "REPO": str(self.repo), "SRC": str(src or self.src), "KVTRELAY_LOCK_TIMEOUT": "10",
        })
        return subprocess.Popen(["lua5.2", str(script)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True, env=env)

    def status(self, proc, timeout=120):
        out, err = proc.communicate(timeout=timeout)
        self.assertEqual(proc.returncode, 0, err)
        return [line for line in out.splitlines() if line.startswith("status ")]

    def mirror(self, products, src=None, options="{vt = true}"):
        return self.status(self.lua("status(update.everything(REPO, %s, SRC, %s))" % (products, options), src))

    def snapshot(self, log=None):
        """{relative path: sha256} of every file in the repository but relay.log and part files;
        with log, the last line of relay.log must hold that text."""
        if log:
            self.assertIn(log, (self.repo / "relay.log").read_text().splitlines()[-1])
        return {str(p.relative_to(self.repo)): hashlib.sha256(p.read_bytes()).hexdigest()
                for p in sorted(self.repo.rglob("*"))
                if p.is_file() and p.name != "relay.log" and not p.name.endswith(".part")}

    def mirror_pattern_first(self):
        """The repository holds the pattern; returns what it looks like."""
        self.assertEqual(self.mirror("{'c3t4'}"), ["status table 1 success"])
        before = self.snapshot()
        self.assertLessEqual({"packages/%s.zip" % PATTERN, "server.ini"}, set(before))
        return before

    def wait_for_part(self, proc, timeout=60):
        """Waits until a transfer into the repository is under way."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and proc.poll() is None:
            parts = [p for p in (self.repo / "packages").glob("*.part") if p.stat().st_size > 0]
            if parts:
                return parts[0]
            time.sleep(0.005)
        self.fail("no transfer was seen")

    def test_full_disk_during_download(self):
        fs.mount_tmpfs(self, self.repo, 64 * MB)
        before = self.mirror_pattern_first()
        fs.resize_tmpfs(self.repo, fs.used_bytes(self.repo) + 512 * KB)
        self.assertEqual(self.mirror("{'c3t4', 'c2t5'}"), ["status nil -14 writing to the repository failed"])
        self.assertEqual(self.snapshot("%s.zip from " % ENGINE), before)

        # With room again the same call completes.
        fs.resize_tmpfs(self.repo, fs.used_bytes(self.repo) + 8 * MB)
        self.assertEqual(self.mirror("{'c3t4', 'c2t5'}"), ["status table 1 success"])
        self.assertIn("packages/%s.zip" % ENGINE, self.snapshot())

    def test_http_source_closing_half_way(self):
        before = self.mirror_pattern_first()
        port_file = self.tmp / "port"
        self.server = subprocess.Popen(["python3", str(CUT_SERVER), str(self.src), str(port_file),
                                        str(self.tmp / "requests.log"), "cut"])
        deadline = time.monotonic() + 20
        while not port_file.exists() and time.monotonic() < deadline:
            time.sleep(0.05)
        url = "http://127.0.0.1:" + port_file.read_text()
        self.assertEqual(self.mirror("{'c3t4', 'c2t5'}", src=url), ["status nil -7 download failed"])
        self.assertEqual(self.snapshot("/packages/%s.zip: transfer closed with " % ENGINE), before)
        self.assertEqual(MB, (self.repo / "packages" / ("%s.zip.part" % ENGINE)).stat().st_size)

    def test_folder_source_cut_short_while_copied(self):
        before = self.mirror_pattern_first()
        # A paced transfer gives time to cut the package under the reader's feet.
        proc = self.lua("status(update.everything(REPO, {'c3t4', 'c2t5'}, SRC, {vt = true, maxbandwidth = %d}))"
                        % (1 * MB))
        self.wait_for_part(proc)
        os.truncate(self.src / "packages" / ("%s.zip" % ENGINE), 256 * KB)
        self.assertEqual(self.status(proc), ["status nil -8 package size or SHA-256 digest mismatch"])
        self.assertEqual(self.snapshot(" bytes, expected %d" % (2 * MB)), before)

    def test_folder_source_removed_while_copied(self):
        self.mirror_pattern_first()
        engine = self.src / "packages" / ("%s.zip" % ENGINE)
        expected = fs.sha256(engine.read_bytes())
        proc = self.lua("status(update.everything(REPO, {'c3t4', 'c2t5'}, SRC, {vt = true, maxbandwidth = %d}))"
                        % (1 * MB))
        self.wait_for_part(proc)
        # The open file is read to its end: the copy is whole or not there at all.
        engine.unlink()
        self.assertEqual(self.status(proc), ["status table 1 success"])
        self.assertEqual(self.snapshot()["packages/%s.zip" % ENGINE], expected)
        self.assertEqual([p for p in self.snapshot() if p.endswith(".part")], [])

    def test_kill_storm_then_one_complete_run(self):
        # Runs killed at every stage while the source moves from version to version leave
        # parts and packages behind; one complete run leaves only what server.ini names.
        for i in range(8):
            engine = "c2t5v9.%d.1007l-1p-1r-1o-1" % (5000 + i)
            self.write_source({PATTERN: fs.random_bytes(64 * KB, "pattern"),
                               engine: fs.random_bytes(2 * MB, "engine%d" % i)}, engine=engine)
            proc = self.lua("status(update.everything(REPO, {'c3t4', 'c2t5'}, SRC, {vt = true, maxbandwidth = %d}))"
                            % (8 * MB))
            time.sleep(0.05 + 0.04 * i)
            proc.kill()
            proc.communicate()
        self.assertEqual(self.mirror("{'c3t4', 'c2t5'}"), ["status table 1 success"])
        ini = (self.repo / "server.ini").read_text()
        named = sorted(line.split("=", 1)[1].split(",")[0] for line in ini.splitlines() if ".zip," in line)
        self.assertEqual(sorted(os.listdir(self.repo / "packages")), named)
        self.assertEqual(sorted(p.name for p in self.repo.iterdir() if p.name.startswith("server.ini")), ["server.ini"])


if __name__ == "__main__":
    harness.main()
