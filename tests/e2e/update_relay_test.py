"""The Lua module update over the real relay library, in a plain lua5.2 host: listing,
mirroring (everything, patterns, patternsExceptMezra, components), extract, removevt,
progress events and cancelling, a damaged package and a source that breaks off."""

import fcntl
import hashlib
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import textwrap
import threading
import time
import unittest
from pathlib import Path

import harness

SAMPLE = harness.STAGE / "examples" / "update_source"
CUT_SERVER = harness.SOURCE_DIR / "tests" / "unit" / "relay" / "serve_source.py"
STUB = "[PATTERN]\n\n[ENGINE]\n\n[All_Product]\n\n"

PATTERN_OLD = "c3t4v1234567.0.0l1p-1r-1o-1"
PATTERN_NEW = "c3t4v1234568.0.0l1p-1r-1o-1"
CLEANUP = "c3t2048v3.0.0l-1p-1r-1o-1"
ENGINE = "c2t1207960066v9.5000.1007l-1p-1r-1o-1"
ALL = [PATTERN_OLD, PATTERN_NEW, CLEANUP, ENGINE]

# Entries of the result table as "<name> <version> <extract> [friendly]" lines.
LISTING = {
    "c3t4": [
        "c3t4v1.0.0l1p-1r-1o-1 0.000.01 c3t4v1.0.0l1p-1r-1o-1 mezra_english",
        "c3t4l1p-1r-1o-1 12.345.67 c3t4v1234567.0.0l1p-1r-1o-1 mezra_english",
        "c3t4l1p-1r-1o-1 12.345.68 c3t4v1234568.0.0l1p-1r-1o-1 mezra_english",
    ],
    "c3t2048": [
        "c3t2048v1.0.0l-1p-1r-1o-1 1 c3t2048v1.0.0l-1p-1r-1o-1 tarnel_cleanup",
        "c3t2048l-1p-1r-1o-1 3 c3t2048v3.0.0l-1p-1r-1o-1 tarnel_cleanup",
    ],
    "c2t1207960066": [
        "c2t1207960066v9.0.0l-1p-1r-1o-1 9.000 c2t1207960066v9.0.0l-1p-1r-1o-1",
        "c2t1207960066l-1p-1r-1o-1 9.500.1007 c2t1207960066v9.5000.1007l-1p-1r-1o-1",
    ],
}
EVERYTHING = LISTING["c3t4"] + LISTING["c3t2048"] + LISTING["c2t1207960066"]

PRELUDE = r"""
local update = require("update")
REPO, SRC, OUT = os.getenv("REPO"), os.getenv("SRC"), os.getenv("OUT")
PRODUCTS = {"c3t4", "c3t2048", "c2t1207960066"}
-- Prints the status triple: the first result's kind, the code and the message.
function triple(first, code, message)
  local kind = type(first) == "table" and "table" or tostring(first)
  print(string.format("status %s %s %s", kind, tostring(code), tostring(message)))
  if type(first) == "table" then
    for i = 1, #first do
      local e = first[i]
      print(string.format("entry %s %s %s%s", e.name, e.version, e.extract,
                          e.friendly and (" " .. e.friendly) or ""))
    end
  end
  return first, code, message
end
"""


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


class UpdateRelayTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="vka-relay-")
        self.tmp = Path(self._tmp.name)
        self.tree = harness.AgentTree(self.tmp)
        self.repo = self.tmp / "repo"
        self.out = self.tmp / "out"
        self.src = self.tmp / "source"
        shutil.copytree(SAMPLE, self.src)
        self.server = None

    def tearDown(self):
        if self.server:
            self.server.send_signal(signal.SIGTERM)
            self.server.wait(timeout=10)
        self._tmp.cleanup()

    def lua(self, body, src=None, background=False):
        """Runs body after the prelude in lua5.2 with the tree's modules; returns stdout lines
        (with background, the running process)."""
        script = self.tmp / ("background.lua" if background else "case.lua")
        script.write_text(PRELUDE + textwrap.dedent(body))
        env = dict(os.environ)
        env.update({
            "LUA_CPATH": str(self.tree.bin / "lib" / "?.so"),
            "LUA_PATH": str(harness.SOURCE_DIR / "examples" / "sample_agent" / "?.lua"),
            "REPO": str(self.repo), "SRC": str(src or self.src), "OUT": str(self.out),
            "KVTRELAY_LOCK_TIMEOUT": "10",
        })
        if background:
            return subprocess.Popen(["lua5.2", str(script)], stdout=subprocess.PIPE, text=True, env=env)
        run = subprocess.run(["lua5.2", str(script)], capture_output=True, text=True, env=env, timeout=120)
        self.assertEqual(0, run.returncode, run.stderr)
        return run.stdout.splitlines()

    def packages(self):
        folder = self.repo / "packages"
        return sorted(p.name for p in folder.iterdir()) if folder.is_dir() else []

    def entries(self, lines):
        return [l[len("entry "):] for l in lines if l.startswith("entry ")]

    def test_operations_select_and_mirror(self):
        zips = lambda ids: sorted(i + ".zip" for i in ids)
        cases = [
            # (call, expected entries, packages held afterwards)
            ("update.list(REPO, PRODUCTS, SRC)", EVERYTHING, []),
            ("update.everything(REPO, PRODUCTS, SRC, {vt = true})", EVERYTHING, zips(ALL)),
            ("update.patterns(REPO, PRODUCTS, SRC, {vt = true})",
             LISTING["c3t4"] + LISTING["c3t2048"], zips([PATTERN_OLD, PATTERN_NEW, CLEANUP])),
            ("update.patternsExceptMezra(REPO, PRODUCTS, SRC, {vt = true})", LISTING["c3t2048"], zips([CLEANUP])),
            ("update.components(REPO, PRODUCTS, SRC, nil, {'c2t1207960066'})",
             LISTING["c2t1207960066"], zips([ENGINE])),
            ("update.components(REPO, PRODUCTS, SRC)", [], []),
            ("update.list(REPO, {'c3t4l2'}, SRC)", [], []),
        ]
        for call, entries, packages in cases:
            with self.subTest(call=call):
                shutil.rmtree(self.repo, ignore_errors=True)
                lines = self.lua("triple(%s)\n" % call)
                self.assertEqual("status table 1 success", lines[0])
                self.assertEqual(entries, self.entries(lines))
                self.assertEqual(packages, self.packages())
                if call.startswith("update.list"):
                    self.assertFalse(self.repo.exists())  # listing creates nothing
                for name in packages:
                    self.assertEqual(sha256(self.src / "packages" / name), sha256(self.repo / "packages" / name))

        shutil.rmtree(self.repo, ignore_errors=True)
        self.lua("triple(update.everything(REPO, PRODUCTS, SRC, {vt = true}))")
        ini = (self.repo / "server.ini").read_text()
        for key in (PATTERN_OLD, PATTERN_NEW, CLEANUP):
            self.assertIn("\n%s=%s.zip,%d,%s\n" % (key, key, (self.src / "packages" / (key + ".zip")).stat().st_size,
                                                     sha256(self.src / "packages" / (key + ".zip"))), ini)
        self.assertLess(ini.index("[PATTERN]"), ini.index(PATTERN_OLD + "="))
        self.assertLess(ini.index("[ENGINE]"), ini.index(ENGINE + "="))
        self.assertLess(ini.index("[All_Product]"), ini.index("c3t4v1.0.0l1p-1r-1o-1=%s,%s" % (PATTERN_OLD, PATTERN_NEW)))

    def test_removal_step_after_downloads(self):
        cases = [
            # (options, packages left, server.ini is the stub)
            ("nil", [], True),
            ("{vt = false}", [], True),
            ("{vt = true}", sorted(i + ".zip" for i in ALL), False),
            ("{removevt = function(path) return path:find('c2t') ~= nil end}", [ENGINE + ".zip"], True),
            ("{removevt = function(path) error('boom') end}", sorted(i + ".zip" for i in ALL), True),
            ("{vt = true, removevt = function(path) return false end}", sorted(i + ".zip" for i in ALL), False),
        ]
        for options, left, stub in cases:
            with self.subTest(options=options):
                shutil.rmtree(self.repo, ignore_errors=True)
                self.repo.joinpath("packages").mkdir(parents=True)
                (self.repo / "packages" / "a.zip").write_text("short name, kept")
                lines = self.lua("triple(update.everything(REPO, PRODUCTS, SRC, %s))" % options)
                self.assertEqual("status table 1 success", lines[0])
                self.assertEqual(sorted(left + ["a.zip"]), self.packages())
                self.assertEqual(stub, (self.repo / "server.ini").read_text() == STUB)

        # A failed download still runs the removal step; list never does.
        shutil.rmtree(self.repo, ignore_errors=True)
        self.lua("update.everything(REPO, PRODUCTS, SRC, {vt = true})")
        lines = self.lua("triple(update.list(REPO, PRODUCTS, SRC, {removevt = function() return false end}))")
        self.assertEqual(4, len(self.packages()))
        lines = self.lua("triple(update.everything(REPO, PRODUCTS, '/nonexistent/source'))")
        self.assertEqual(["status nil -5 no update source could be read"], lines)
        self.assertEqual([], self.packages())
        self.assertEqual(STUB, (self.repo / "server.ini").read_text())

    def test_removevt_directly(self):
        self.lua("update.everything(REPO, PRODUCTS, SRC, {vt = true})")
        lines = self.lua("""
            print(update.removevt(REPO .. "/", function(path) return path:find("CLEANUP", 1, true) ~= nil end))
            print(update.removevt(REPO .. "/missing"))
        """.replace("CLEANUP", CLEANUP))
        self.assertEqual(["true", "nil\t%s/missing is not a repository" % self.repo], lines)
        self.assertEqual([CLEANUP + ".zip"], self.packages())
        self.assertEqual(STUB, (self.repo / "server.ini").read_text())
        self.assertEqual(["true"], self.lua("print(update.removevt(REPO))"))
        self.assertEqual([], self.packages())

    def test_removal_waits_for_the_lock_and_follows_no_link(self):
        self.lua("update.everything(REPO, PRODUCTS, SRC, {vt = true})")
        # A mirror holds the lock for two seconds: the removal step waits for it, then clears.
        with open(self.repo / "relay.lock", "r+") as lock:
            fcntl.lockf(lock, fcntl.LOCK_EX)
            threading.Timer(2, fcntl.lockf, (lock, fcntl.LOCK_UN)).start()
            started = time.monotonic()
            self.assertEqual(["true"], self.lua("print(update.removevt(REPO))"))
            self.assertGreater(time.monotonic() - started, 1.5)
        self.assertEqual([], self.packages())
        # Links planted as packages/ or server.ini: what they point to stays as it was.
        victim = self.tmp / "victim"
        victim.mkdir()
        (victim / (ENGINE + ".zip")).write_text("not the repository's")
        shutil.rmtree(self.repo / "packages")
        (self.repo / "packages").symlink_to(victim)
        self.assertEqual(["true"], self.lua("print(update.removevt(REPO))"))
        (self.repo / "server.ini").unlink()
        (self.repo / "server.ini").symlink_to(victim / (ENGINE + ".zip"))
        self.assertEqual(["nil\t%s is not a repository" % self.repo], self.lua("print(update.removevt(REPO))"))
        self.assertEqual([ENGINE + ".zip"], os.listdir(victim))
        self.assertEqual("not the repository's", (victim / (ENGINE + ".zip")).read_text())

    def test_extract_answers_at_once_while_a_throttled_mirror_runs(self):
        self.lua("update.everything(REPO, PRODUCTS, SRC, {vt = true})")
        (self.repo / "packages" / (ENGINE + ".zip")).unlink()
        # At 100 bytes a second, the index takes seconds and the package about three more.
        mirror = self.lua("triple(update.everything(REPO, PRODUCTS, SRC, {vt = true, maxbandwidth = 100}))",
                          background=True)
        part = self.repo / "packages" / (ENGINE + ".zip.part")
        for _ in range(1500):
            if part.exists():
                break
            time.sleep(0.02)
        started = time.monotonic()
        self.assertEqual(["status true 1 success"], self.lua("triple(update.extract(REPO, 'c3t4l1', OUT))"))
        self.assertLess(time.monotonic() - started, 2)
        self.assertTrue(part.exists())  # the mirror was still transferring
        self.assertEqual("status table 1 success", mirror.communicate(timeout=60)[0].splitlines()[0])

    def test_extract(self):
        self.lua("update.everything(REPO, PRODUCTS, SRC, {vt = true})")
        cases = [
            # (component argument, expected status line, file and its first line)
            ("'c3t4v1234567.0.0l1'", "status true 1 success", "pattern.dat", "sample pattern set 12.345.67"),
            ("'c3t4l1'", "status true 1 success", "pattern.dat", "sample pattern set 12.345.68"),
            ("update.tocomponent('c3t4v1234567.0.0l1')", "status true 1 success", "pattern.dat",
             "sample pattern set 12.345.67"),
            ("{extract = 'c2t1207960066v9.5.1007'}", "status true 1 success", "lib/module.dat",
             "engine module placeholder"),
            ("'c3t2048'", "status true 1 success", "rules/cleanup.txt", "cleanup rule 1: remove demo-alpha leftovers"),
            ("'c3t4l2'", "status nil -12 component not found in repository", None, None),
            ("'c3t4v1.5'", "status nil -12 component not found in repository", None, None),
        ]
        for component, status, path, first in cases:
            with self.subTest(component=component):
                shutil.rmtree(self.out, ignore_errors=True)
                lines = self.lua("triple(update.extract(REPO, %s, OUT .. '/x'))" % component)
                self.assertEqual([status], lines)
                if path:
                    self.assertEqual(first, (self.out / "x" / path).read_text().splitlines()[0])
                else:
                    self.assertFalse((self.out / "x").exists())

        # A folder without server.ini is no repository.
        self.assertEqual(["status nil -3 repository path cannot be used as a folder"],
                         self.lua("triple(update.extract(OUT, 'c3t4', OUT))"))

    def test_progress_events_and_cancel(self):
        lines = self.lua("""
            local function note(e)
              print(string.format("event %s %s %s %s", e.type, tostring(e.information), e.finished, e.total))
            end
            triple(update.components(REPO, PRODUCTS, SRC, {downloadbegin = note, progress = note,
                   downloadend = note, download = note}, {"c3t2048"}))
        """)
        size = (self.src / "packages" / (CLEANUP + ".zip")).stat().st_size
        self.assertEqual([
            "event downloadbegin %s.zip 0 %d" % (CLEANUP, size),
            "event progress %s.zip %d %d" % (CLEANUP, size, size),
            "event downloadend %s.zip %d %d" % (CLEANUP, size, size),
            "event download %s %d %d" % (CLEANUP, size, size),
            "status table 1 success",
        ], [l for l in lines if not l.startswith("entry")])

        for event in ("downloadbegin", "progress", "download"):
            with self.subTest(cancel_on=event):
                shutil.rmtree(self.repo, ignore_errors=True)
                lines = self.lua("triple(update.everything(REPO, PRODUCTS, SRC, {vt = true, %s = function() return true end}))"
                                 % event)
                self.assertEqual(["status nil -9 operation cancelled by event handler"], lines)
                # Cancelling at "download" keeps the one package that was complete.
                self.assertEqual([PATTERN_OLD + ".zip"] if event == "download" else [], self.packages())
                self.assertEqual([], [p for p in (self.repo / "packages").iterdir() if p.name.endswith(".part")])

    def test_damaged_package(self):
        damaged = self.src / "packages" / (CLEANUP + ".zip")
        data = bytearray(damaged.read_bytes())
        data[len(data) // 2] ^= 0xFF
        damaged.write_bytes(bytes(data))
        lines = self.lua("triple(update.everything(REPO, PRODUCTS, SRC, {vt = true}))")
        self.assertEqual(["status nil -8 package size or SHA-256 digest mismatch"], lines)
        # The others are mirrored all the same; the log says which package failed and why.
        self.assertEqual(sorted([PATTERN_OLD + ".zip", PATTERN_NEW + ".zip", ENGINE + ".zip"]), self.packages())
        self.assertNotIn(CLEANUP, (self.repo / "server.ini").read_text())
        self.assertIn(" %s.zip from %s/packages/%s.zip: SHA-256 " % (CLEANUP, self.src, CLEANUP),
                      (self.repo / "relay.log").read_text())

    def start_server(self, cut):
        port_file = self.tmp / ("port-%s" % cut)
        self.server = subprocess.Popen(["python3", str(CUT_SERVER), str(self.src), str(port_file),
                                        str(self.tmp / "requests.log"), "cut" if cut else "whole"])
        for _ in range(200):
            if port_file.exists():
                return "http://127.0.0.1:" + port_file.read_text()
            time.sleep(0.05)
        self.fail("server did not start")

    def test_http_source_and_one_that_breaks_off(self):
        url = self.start_server(cut=False)
        lines = self.lua("triple(update.patterns(REPO, PRODUCTS, SRC, {vt = true}))", src=url)
        self.assertEqual("status table 1 success", lines[0])
        self.assertEqual(3, len(self.packages()))
        lines = self.lua("triple(update.everything(REPO, PRODUCTS, SRC, {vt = true, httpslevel = 2}))", src=url)
        self.assertEqual(["status nil -10 plain http refused by httpslevel"], lines)
        self.server.send_signal(signal.SIGTERM)
        self.server.wait(timeout=10)

        before = (self.packages(), (self.repo / "server.ini").read_text())
        url = self.start_server(cut=True)
        lines = self.lua("triple(update.components(REPO, PRODUCTS, SRC, {}, {'c2t1207960066'}))", src=url)
        self.assertEqual(["status nil -7 download failed"], lines)
        # Only the part file for the next run is new.
        self.assertEqual((sorted(before[0] + [ENGINE + ".zip.part"]), before[1]),
                         (self.packages(), (self.repo / "server.ini").read_text()))

    def index_files(self, root):
        """The package paths an index.txt names."""
        return sorted(l.split()[2] for l in (root / "index.txt").read_text().splitlines() if l.startswith("component "))

    def test_repository_is_a_source_and_keeps_pruned_packages_one_run(self):
        everything = "triple(update.everything(REPO, PRODUCTS, SRC, {vt = true, keepcount = 0}))"
        self.assertEqual("status table 1 success", self.lua(everything)[0])
        # keepcount 0 takes the older pattern off the index at once, off the disk one run later.
        held = sorted("packages/%s.zip" % i for i in ALL if i != PATTERN_OLD)
        self.assertEqual(held, self.index_files(self.repo))
        self.assertIn(PATTERN_OLD + ".zip", self.packages())
        downstream = self.tmp / "downstream"
        lines = self.lua(everything.replace("REPO, ", "'%s', " % downstream), src=self.repo)
        self.assertEqual("status table 1 success", lines[0])
        self.assertEqual(held, self.index_files(downstream))
        for p in held:
            self.assertEqual(sha256(self.repo / p), sha256(downstream / p))
        self.lua(everything)
        self.assertEqual(sorted(Path(p).name for p in held), self.packages())
        # The removal step leaves an index that names nothing.
        self.assertEqual(["true"], self.lua("print(update.removevt(REPO))"))
        self.assertEqual("kvtrelay-index 1\n", (self.repo / "index.txt").read_text())

    def big_source(self, size=4 << 20):
        """A source of one product whose one package is size bytes of noise."""
        ident = "c3t77v1.0.0l-1p-1r-1o-1"
        data = os.urandom(size)
        (self.src / "packages" / (ident + ".zip")).write_bytes(data)
        (self.src / "index.txt").write_text("kvtrelay-index 1\nproduct %s\ncomponent %s packages/%s.zip %d %s\n"
                                            % (ident, ident, ident, size, hashlib.sha256(data).hexdigest()))
        return self.repo / "packages" / (ident + ".zip")

    def test_unchanged_rerun_reads_no_package_bytes(self):
        package = self.big_source()
        # Bytes this process read through system calls during the mirror.
        run = """
            local function rchar() for l in io.lines("/proc/self/io") do
              local n = l:match("^rchar: (%d+)") if n then return tonumber(n) end end end
            local before = rchar()
            local info, code = update.everything(REPO, {"c3t77"}, SRC, {vt = true})
            print(code, rchar() - before)
        """
        self.lua(run)
        code, read = self.lua(run)[0].split()
        self.assertEqual(("1", True), (code, int(read) < 1 << 20))
        # Changed behind the relay's back, size and modification time put back: hashed, replaced.
        st = package.stat()
        with open(package, "r+b") as f:
            f.seek(st.st_size // 2)
            f.write(b"x")
        os.utime(package, ns=(st.st_atime_ns, st.st_mtime_ns))
        code, read = self.lua(run)[0].split()
        self.assertEqual(("1", True), (code, int(read) >= st.st_size))
        self.assertEqual(sha256(self.src / "packages" / package.name), sha256(package))

    def test_unchanged_index_over_http_is_one_conditional_request(self):
        url = self.start_server(cut=False)
        call = "triple(update.everything(REPO, PRODUCTS, SRC, {vt = true}))"
        self.assertEqual("status table 1 success", self.lua(call, src=url)[0])
        log = self.tmp / "requests.log"
        log.unlink()
        self.assertEqual(self.entries(self.lua(call, src=url)), EVERYTHING)
        self.assertEqual(["GET /index.txt HTTP/1.1 304"], [l.split(" ", 1)[1] for l in log.read_text().splitlines()])

    def test_package_complete_after_a_kill_is_adopted(self):
        # The process ends right after the first package is in place, before server.ini is written.
        self.lua("update.everything(REPO, PRODUCTS, SRC, {vt = true, download = function() os.exit(0) end})")
        self.assertEqual([PATTERN_OLD + ".zip"], self.packages())
        self.assertFalse((self.repo / "server.ini").exists())
        url = self.start_server(cut=False)
        self.assertEqual("status table 1 success", self.lua("triple(update.everything(REPO, PRODUCTS, SRC, {vt = true}))",
                                                            src=url)[0])
        self.assertNotIn(PATTERN_OLD, (self.tmp / "requests.log").read_text())
        self.assertIn(PATTERN_OLD + "=", (self.repo / "server.ini").read_text())

    def lighttpd(self, root):
        """Serves root on a loopback port with lighttpd until the test ends; returns its url."""
        root.mkdir(parents=True, exist_ok=True)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        conf = self.tmp / ("lighttpd-%d.conf" % port)
        conf.write_text('server.document-root = "%s"\nserver.bind = "127.0.0.1"\nserver.port = %d\n'
                        'mimetype.assign = ("" => "application/octet-stream")\n'
                        # Validators from a cached stat could call the index rewritten a moment ago unchanged.
                        'server.stat-cache-engine = "disable"\n' % (root, port))
        server = subprocess.Popen([shutil.which("lighttpd") or "/usr/sbin/lighttpd", "-D", "-f", str(conf)],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (server.terminate(), server.wait(10)))
        for _ in range(200):
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return "http://127.0.0.1:%d" % port
            except OSError:
                time.sleep(0.05)
        self.fail("lighttpd did not start")

    def test_three_tiers_behind_lighttpd(self):
        tiers = [self.tmp / t for t in ("a", "b", "c")]
        urls = [str(self.src)] + [self.lighttpd(t) for t in tiers[:2]]

        def one_run_per_tier():
            for tier, url in zip(tiers, urls):
                lines = self.lua("triple(update.everything('%s', PRODUCTS, SRC, {vt = true, keepcount = 0}))" % tier,
                                 src=url)
                self.assertEqual("status table 1 success", lines[0], tier)
        one_run_per_tier()
        # A newer pattern is published at the source; keepcount 0 prunes the one before it.
        newer = PATTERN_NEW.replace("1234568", "1234569")
        package = self.src / "packages" / (newer + ".zip")
        shutil.copy(self.src / "packages" / (PATTERN_NEW + ".zip"), package)
        index = (self.src / "index.txt").read_text().splitlines(keepends=True)
        at = next(i for i, l in enumerate(index) if l.startswith("component " + PATTERN_NEW)) + 1
        index.insert(at, "component %s packages/%s.zip %d %s\n" % (newer, newer, package.stat().st_size, sha256(package)))
        (self.src / "index.txt").write_text("".join(index))
        one_run_per_tier()
        held = sorted("packages/%s.zip" % i for i in (newer, CLEANUP, ENGINE))
        products = lambda t: (t / "server.ini").read_text().split("[All_Product]")[1]
        for tier in tiers:
            self.assertEqual(held, self.index_files(tier), tier)
            self.assertEqual(products(tiers[0]), products(tier))
        for p in held:
            self.assertEqual(sha256(self.src / p), sha256(tiers[2] / p))

    def test_relay_command_exit_status(self):
        relay = lambda *words: self.tree.run("-a", "relay", "--", *words)
        run = relay("mirror", self.repo, self.src)
        self.assertEqual((0, "held 0, fetched 4, failed 0, bytes %d" % sum(
            (self.src / "packages" / (i + ".zip")).stat().st_size for i in ALL)),
            (run.returncode, run.stdout.splitlines()[-1]), run.stderr)
        self.assertEqual(0, relay("extract", self.repo, "c3t4l1", self.out).returncode)
        self.assertTrue((self.out / "pattern.dat").is_file())
        damaged = self.src / "packages" / (CLEANUP + ".zip")
        damaged.write_bytes(damaged.read_bytes()[:-1])
        shutil.rmtree(self.repo)
        run = relay("mirror", self.repo, self.src, "c3t2048")
        self.assertEqual(1, run.returncode)
        self.assertIn("failed: %s.zip from " % CLEANUP, run.stdout)
        self.assertEqual(2, relay("mirror", self.repo).returncode)

    def test_mirror_demo(self):
        lines = self.lua("os.exit(require('mirror_demo').run(OUT, SRC))")
        self.assertIn("exported %s into %s/export" % (PATTERN_NEW, self.out), lines)
        self.assertEqual(sorted(i + ".zip" for i in ALL),
                         sorted(p.name for p in (self.out / "repository" / "packages").iterdir()))
        self.assertTrue((self.out / "export" / "pattern.dat").is_file())

    def test_mirror_demo_inside_the_agent(self):
        self.tree.lua_module("relaydemo", textwrap.dedent("""
            local M = {}
            function M:init() return 0 end
            function M:main() return require("mirror_demo").run(os.getenv("DEMO_WORK"), os.getenv("DEMO_SRC")) end
            function M:shutdown() return 0 end
            return M
        """))
        run = self.tree.run("-a", "relaydemo", env={"DEMO_WORK": str(self.out), "DEMO_SRC": str(self.src)})
        self.assertEqual(0, run.returncode, run.stdout + run.stderr)
        self.assertIn("exported %s into %s/export" % (PATTERN_NEW, self.out), run.stdout.splitlines())
        self.assertEqual("sample pattern set 12.345.68",
                         (self.out / "export" / "pattern.dat").read_text().splitlines()[0])


if __name__ == "__main__":
    harness.main()
