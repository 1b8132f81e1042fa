"""Hostile archives, built byte by byte, against every path that reads one: plugin installation,
removal, require from the search path and the relay's extract. Whatever a path refuses, it
refuses whole and says so, and nothing is ever written outside its target."""

import os
import struct
import subprocess
import zlib

import fault_support as fs
from harness import AgentTestCase, main, make_zip

fs.enter_private_namespace()

MB = 1024 * 1024
# Requires a module that no archive holds, so that every archive on the search path is opened.
APP = "return {init = function() return 0 end, shutdown = function() return 0 end, " \
      "main = function() pcall(require, 'nowhere') return 0 end}"


def entry(name, data, method=0, declared=None, system=3, attributes=0o100644 << 16):
    """(local header with data, central record at offset 0) of one entry."""
    packed = data if method == 0 else zlib.compress(data, 9)[2:-4]
    fields = (20, 0, method, 0, 0x21, zlib.crc32(data), len(packed), len(data) if declared is None else declared,
              len(name))
    local = struct.pack("<IHHHHHIIIHH", 0x04034B50, *fields, 0) + name.encode() + packed
    central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, (system << 8) | 20, *fields, 0, 0, 0, 0, attributes, 0)
    return local, central + name.encode()


def moved(central, offset):
    return central[:42] + struct.pack("<I", offset) + central[46:]


def end(count, size, offset, zip64_at=None):
    classic = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count, count, size, offset, 0)
    if zip64_at is None:
        return classic
    record = struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, count, count, size, offset)
    return record + struct.pack("<IIQI", 0x07064B50, 0, zip64_at, 1) + struct.pack(
        "<IHHHHIIH", 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0)


def archive(name, data, zip64=False, **kw):
    local, central = entry(name, data, **kw)
    return local + central + end(1, len(central), len(local), len(local) + len(central) if zip64 else None)


def double_directory():
    """The classic directory names ok.txt; the ZIP64 one names ../x, with local headers of its own."""
    (a, classic), (b, wide) = entry("ok.txt", b"ok"), entry("../x", b"escaped")
    wide, at = moved(wide, len(a)), len(a + b)
    return (a + b + classic + wide + end(1, len(wide), at + len(classic), at + len(classic) + len(wide))[:-22]
            + end(1, len(classic), at))


OK, NO = True, False
REFUSED, NOT_A_PACKAGE = "-13", "-12"
# name, bytes (None: a FIFO), what the package warnings name, whether install, removal and
# require accept it, and extract's status. Removal and require read no entry data, so lies
# about sizes do not reach them.
CASES = [
    ("double_directory", double_directory(), "../x", NO, NO, NO, REFUSED),
    ("deep_nesting", archive("a/" * 32700 + "f", b"x"), "a/a/a/", NO, NO, NO, REFUSED),
    ("longer_than_declared", archive("big.txt", b"\0" * MB, method=8, declared=100), "declared", NO, OK, OK, REFUSED),
    ("bomb", archive("bomb.dat", b"\0" * 48 * MB, method=8), "50331648 bytes", NO, OK, OK, REFUSED),
    ("fifo", None, "FIFO", NO, NO, NO, NOT_A_PACKAGE),
    ("unadjusted_stub", b"#!/bin/sh\nexit 0\n" + archive("stub.txt", b"x"), "ZIP", NO, NO, NO, REFUSED),
    ("drive_letter", archive("C:/x", b"x"), "C:/x", NO, NO, NO, REFUSED),
    ("backslash", archive("dir\\file", b"x"), "dir\\file", NO, NO, NO, REFUSED),
    ("link_made_on_windows", archive("link", b"/etc", system=10, attributes=0x400), "link", NO, NO, NO, REFUSED),
    ("zip64", archive("z64.txt", b"wide", zip64=True), None, OK, OK, OK, "1"),
    ("empty", end(0, 0, 0), None, OK, OK, OK, "1"),
]


class HostileArchives(AgentTestCase):

    def setUp(self):
        super().setUp()
        make_zip(self.tree.bin / "vka_core" / "vk_agent.vke", {"vk_agent.lua": APP})
        # A small disk holds the agent and the extraction target: the bomb does not fit on it.
        tree = sum(p.stat().st_size for p in self.tree.bin.rglob("*") if p.is_file())
        small = fs.mount_tmpfs(self, self.tmp / "small", tree + 24 * MB)
        subprocess.run(["mv", str(self.tree.bin), str(small / "agent")], check=True)
        self.tree.bin, self.tree.exe = small / "agent", small / "agent" / "vk_agent"
        self.small, self.out, self.repo = small, small / "out", self.tmp / "repo"
        self.tree.work.mkdir()

    def tearDown(self):
        self.doCleanups()
        super().tearDown()

    def extract_all(self):
        """Mirrors case i as component c3t<101+i>, extracts each into out/<case>: {case: status}."""
        src, lines, script = self.tmp / "source", ["kvtrelay-index 1"], ["local update = require('update')"]
        (src / "packages").mkdir(parents=True)
        for i, (name, data, *_rest) in enumerate(CASES):
            component, payload = "c3t%dv2.0.0l1p-1r-1o-1" % (101 + i), data or b"placeholder"
            (src / "packages" / (component + ".zip")).write_bytes(payload)
            lines += ["product c3t%dv1.0.0l1p-1r-1o-1" % (101 + i),
                      "component %s packages/%s.zip %d %s" % (component, component, len(payload), fs.sha256(payload))]
            script.append("print('%s', select(2, update.extract(REPO, 'c3t%dv2.0.0l1', '%s')))"
                          % (name, 101 + i, self.out / name))
        (src / "index.txt").write_text("\n".join(lines) + "\n")
        products = ", ".join("'c3t%d'" % (101 + i) for i in range(len(CASES)))
        script.insert(1, "REPO = os.getenv('REPO') print(select(2, update.everything(REPO, {%s}, '%s', {vt = true})))"
                      " io.read()" % (products, src))
        env = dict(os.environ, LUA_CPATH=str(self.tree.bin / "lib" / "?.so"), REPO=str(self.repo))
        proc = subprocess.Popen(["lua5.2", "-e", "\n".join(script)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, env=env)
        # Once mirrored, the FIFO case's package is swapped for a FIFO.
        self.assertEqual(proc.stdout.readline(), "1\tsuccess\n")
        fifo = self.repo / "packages" / ("c3t%dv2.0.0l1p-1r-1o-1.zip" % (101 + [c[0] for c in CASES].index("fifo")))
        fifo.unlink()
        os.mkfifo(fifo)
        out, err = proc.communicate("\n", timeout=120)
        self.assertEqual(proc.returncode, 0, err)
        return dict(line.split("\t")[:2] for line in out.splitlines()), err

    def test_every_reader_refuses_alike_and_writes_nothing_outside(self):
        extracted, relay_warnings = self.extract_all()
        for i, (name, data, named, install, removal, require, extract) in enumerate(CASES):
            with self.subTest(case=name):
                for old in [p for p in self.tree.bin.iterdir() if p.suffix in (".vkp", ".vku", ".done")]:
                    old.unlink()
                for old in (self.tree.work / "vk_agent.log", self.tree.work / "events.db", self.tree.bin / "z64.txt"):
                    old.unlink(missing_ok=True)
                vku, vkp = (self.tree.bin / ("Base-%s-10.0.0-1.x.%s" % (name, kind)) for kind in ("vku", "vkp"))
                lua = self.tmp / ("%s.zip" % name)
                lua.unlink(missing_ok=True)
                for path in (vku, vkp, lua):
                    os.mkfifo(path) if data is None else path.write_bytes(data)
                outside = sorted(os.listdir(self.small)), sorted(os.listdir(self.tmp))

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
                self.assertEqual((vkp.exists(), vku.exists()), (not install, not removal))
                self.assertEqual(extracted[name], extract)
                self.assertEqual("c3t%dv2" % (101 + i) in relay_warnings, extract == REFUSED, relay_warnings)
                written = self.out / name
                self.assertEqual(os.listdir(written) if written.exists() else [], ["z64.txt"] if name == "zip64" else [])
                self.assertEqual((self.tree.bin / "z64.txt").exists(), name == "zip64")
                self.assertEqual((sorted(os.listdir(self.small)), sorted(os.listdir(self.tmp))), outside)
                self.assertLessEqual(set(os.listdir(self.out)), {c[0] for c in CASES})
                self.assertEqual(fs.temporaries(self.small), [])


if __name__ == "__main__":
    main()
