"""Hostile archives, built byte by byte, against every path that reads one: plugin installation,
removal, require from the search path and the relay's extract. Whatever a path refuses, it
refuses whole and says so, and nothing is ever written outside its target."""

import os
import struct
import subprocess
import zlib
from pathlib import Path

import fault_support as fs
import harness
from harness import AgentTestCase, main, make_zip

fs.enter_private_namespace()

MB = 1024 * 1024
APP = """
local M = {}
function M.init() return 0 end
-- A module that no archive holds: every archive on the search path is opened for it.
function M.main() pcall(require, "nowhere") return 0 end
function M.shutdown() return 0 end
return M
"""


def local(name, data, method=0, declared=None):
    packed = data if method == 0 else zlib.compress(data, 9)[2:-4]
    size = len(data) if declared is None else declared
    header = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, method, 0, 0x21, zlib.crc32(data), len(packed), size,
                         len(name), 0)
    return header + name + packed, (name, method, zlib.crc32(data), len(packed), size)


def central(info, offset, system=3, attributes=0o100644 << 16):
    name, method, crc, packed, size = info
    return struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, (system << 8) | 20, 20, 0, method, 0, 0x21, crc, packed,
                       size, len(name), 0, 0, 0, 0, attributes, offset) + name


def end(count, size, offset):
    return struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count, count, size, offset, 0)


def end64(count, size, offset, at):
    record = struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, count, count, size, offset)
    return record + struct.pack("<IIQI", 0x07064B50, 0, at, 1)


def archive(entries, system=3, attributes=0o100644 << 16, zip64=False):
    """entries: [(name, data)] or [(name, data, method, declared size)]."""
    body, directory = b"", b""
    for e in entries:
        data, info = local(e[0].encode(), e[1], *e[2:])
        directory += central(info, len(body), system, attributes)
        body += data
    if zip64:
        return (body + directory + end64(len(entries), len(directory), len(body), len(body) + len(directory))
                + end(0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF))
    return body + directory + end(len(entries), len(directory), len(body))


def double_directory():
    """The classic directory names ok.txt; the ZIP64 one names ../x, with local headers of its own."""
    a, ia = local(b"ok.txt", b"ok")
    b, ib = local(b"../x", b"escaped")
    classic, wide = central(ia, 0), central(ib, len(a))
    at = len(a + b)
    return (a + b + classic + wide + end64(1, len(wide), at + len(classic), at + len(classic) + len(wide))
            + end(1, len(classic), at))


OK, NO = True, False
REFUSED, NOT_A_PACKAGE = "-13", "-12"
# name, bytes (None: a FIFO), what the package warnings name, whether install, removal and
# require accept it, and extract's status. Removal and require read no entry data, so lies
# about sizes do not reach them.
CASES = [
    ("double_directory", double_directory(), "../x", NO, NO, NO, REFUSED),
    ("deep_nesting", archive([("a/" * 32700 + "f", b"x")]), "a/a/a/", NO, NO, NO, REFUSED),
    ("longer_than_declared", archive([("big.txt", b"\0" * MB, 8, 100)]), "declared", NO, OK, OK, REFUSED),
    ("bomb", archive([("bomb.dat", b"\0" * 48 * MB, 8)]), "50331648 bytes", NO, OK, OK, REFUSED),
    ("fifo", None, "FIFO", NO, NO, NO, NOT_A_PACKAGE),
    ("unadjusted_stub", b"#!/bin/sh\nexit 0\n" + archive([("stub.txt", b"x")]), "ZIP", NO, NO, NO, REFUSED),
    ("drive_letter", archive([("C:/x", b"x")]), "C:/x", NO, NO, NO, REFUSED),
    ("backslash", archive([("dir\\file", b"x")]), "dir\\file", NO, NO, NO, REFUSED),
    ("link_made_on_windows", archive([("link", b"/etc")], system=10, attributes=0x400), "link", NO, NO, NO, REFUSED),
    ("zip64", archive([("z64.txt", b"wide")], zip64=True), None, OK, OK, OK, "1"),
    ("empty", end(0, 0, 0), None, OK, OK, OK, "1"),
]


class HostileArchives(AgentTestCase):

    def setUp(self):
        super().setUp()
        make_zip(self.tree.bin / "vka_core" / "vk_agent.vke", {"vk_agent.lua": APP})
        # A small disk holds the agent and the extraction target: the bomb does not fit on it.
        tree = sum(p.stat().st_size for p in self.tree.bin.rglob("*") if p.is_file())
        small = fs.mount_tmpfs(self, self.tmp / "small", tree + 24 * MB)
        target = small / "agent"
        subprocess.run(["cp", "-a", str(self.tree.bin), str(target)], check=True)
        subprocess.run(["rm", "-rf", str(self.tree.bin)], check=True)
        self.tree.bin, self.tree.exe = target, target / "vk_agent"
        self.small = small
        self.out = small / "out"
        self.repo = self.tmp / "repo"
        self.tree.work.mkdir()

    def tearDown(self):
        self.doCleanups()
        super().tearDown()

    def place(self, path, data):
        if data is None:
            os.mkfifo(path)
        else:
            Path(path).write_bytes(data)

    def extract_all(self):
        """Mirrors every case as a component, then extracts each into out/<case>: {case: status}."""
        src = self.tmp / "source"
        (src / "packages").mkdir(parents=True)
        lines = ["kvtrelay-index 1"]
        for i, (name, data, *_rest) in enumerate(CASES):
            component = "c3t%dv2.0.0l1p-1r-1o-1" % (101 + i)
            payload = data if data is not None else b"placeholder"
            (src / "packages" / (component + ".zip")).write_bytes(payload)
            lines += ["product c3t%dv1.0.0l1p-1r-1o-1" % (101 + i),
                      "component %s packages/%s.zip %d %s" % (component, component, len(payload), fs.sha256(payload))]
        (src / "index.txt").write_text("\n".join(lines) + "\n")
        products = ", ".join("'c3t%d'" % (101 + i) for i in range(len(CASES)))
        script = ["local update = require('update')",
                  "print('mirror', select(2, update.everything(os.getenv('REPO'), {%s}, os.getenv('SRC'), {vt = true})))"
                  % products,
                  "io.read()"]
        for i, (name, *_rest) in enumerate(CASES):
            script.append("print('%s', select(2, update.extract(os.getenv('REPO'), 'c3t%dv2.0.0l1', '%s')))"
                          % (name, 101 + i, self.out / name))
        env = dict(os.environ, LUA_CPATH=str(self.tree.bin / "lib" / "?.so"), REPO=str(self.repo), SRC=str(src),
                   KVTRELAY_LOCK_TIMEOUT="10")
        proc = subprocess.Popen(["lua5.2", "-e", "\n".join(script)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, env=env)
        # Once mirrored, the FIFO case's package is swapped for a FIFO.
        first = proc.stdout.readline()
        self.assertEqual(first.split()[:2], ["mirror", "1"], first)
        fifo = self.repo / "packages" / ("c3t%dv2.0.0l1p-1r-1o-1.zip" % (101 + [c[0] for c in CASES].index("fifo")))
        fifo.unlink()
        os.mkfifo(fifo)
        out, err = proc.communicate("\n", timeout=120)
        self.assertEqual(proc.returncode, 0, err)
        return dict(line.split("\t")[:2] for line in out.splitlines()), err

    def test_every_reader_refuses_alike_and_writes_nothing_outside(self):
        extracted, relay_warnings = self.extract_all()
        for name, data, named, install, removal, require, extract in CASES:
            with self.subTest(case=name):
                vku = self.tree.bin / ("Base-%s-10.0.0-1.x.vku" % name)
                vkp = self.tree.bin / ("Base-%s-10.0.0-1.x.vkp" % name)
                lua = self.tmp / ("%s.zip" % name)
                for path in (vku, vkp, lua):
                    self.place(path, data)
                (self.tree.work / "vk_agent.log").unlink(missing_ok=True)
                (self.tree.work / "events.db").unlink(missing_ok=True)
                outside = sorted(os.listdir(self.small)), sorted(os.listdir(self.tmp))

                try:
                    self.check(name, named, install, removal, require, extract, vku, vkp, lua, outside,
                               relay_warnings, extracted)
                finally:
                    for path in (vku, vkp, Path(str(vkp) + ".done"), lua, self.tree.bin / "z64.txt"):
                        if path.exists():
                            path.unlink()

    def check(self, name, named, install, removal, require, extract, vku, vkp, lua, outside, relay_warnings,
              extracted):
        run = self.tree.run("-i", "-z", lua, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr + self.tree.log_text())
        self.assertEqual([e[0] for e in self.tree.events()],
                         [5105 if removal else 5106, 5101 if install else 5102])
        warnings = [t for _, t in self.tree.log_entries(level="WARNING")]
        for path, accepted in ((vku, removal), (vkp, install), (lua, require)):
            said = [w for w in warnings if str(path) in w]
            self.assertEqual(said == [], accepted, warnings)
            if not accepted and path != lua:
                self.assertIn(named, said[0])
        self.assertEqual(vkp.exists(), not install)
        self.assertEqual(vku.exists(), not removal)
        self.assertEqual(extracted[name], extract)
        component = "c3t%dv2.0.0l1p-1r-1o-1.zip" % (101 + [c[0] for c in CASES].index(name))
        self.assertEqual(component in relay_warnings, extract == REFUSED, relay_warnings)
        written = self.out / name
        self.assertEqual(os.listdir(written) if written.exists() else [], ["z64.txt"] if name == "zip64" else [])
        self.assertEqual((self.tree.bin / "z64.txt").exists(), name == "zip64")
        self.assertEqual((sorted(os.listdir(self.small)), sorted(os.listdir(self.tmp))), outside)
        self.assertLessEqual(set(os.listdir(self.out)), {c[0] for c in CASES})
        self.assertEqual(fs.temporaries(self.small), [])


if __name__ == "__main__":
    main()
