"""The archive helper scripts/pack_zip.py: the bytes depend only on names and contents, and
the update source index it writes."""

import hashlib
import os
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile
from pathlib import Path

from harness import SOURCE_DIR, main

HELPER = SOURCE_DIR / "scripts" / "pack_zip.py"
FILES = {"b.lua": b"return 2\n", "a/z.txt": b"z" * 1000, "a/b/c.dat": bytes(range(256))}
EPOCH = 1765000000


class PackZip(unittest.TestCase):

    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.root = Path(tmp.name)

    def lay_out(self, name, order, mtime, mode):
        for rel in order:
            path = self.root / name / rel
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(FILES[rel])
            os.chmod(path, mode)
            os.utime(path, (mtime, mtime))
        return self.root / name

    def helper(self, *args, **env):
        environment = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
        environment.update(env)
        return subprocess.run([sys.executable, str(HELPER), *map(str, args)], env=environment,
                              capture_output=True, text=True)

    def test_packing_depends_only_on_names_and_contents(self):
        one = self.lay_out("one", sorted(FILES), 1000000000, 0o600)
        two = self.lay_out("two", sorted(FILES, reverse=True), 1700000000, 0o755)
        archives = []
        runs = ((one, "UTC", EPOCH), (two, "Asia/Kolkata", EPOCH), (one, "UTC", None), (two, "America/New_York", None))
        for folder, tz, epoch in runs:
            archive = self.root / ("%d.zip" % len(archives))
            env = {"TZ": tz} if epoch is None else {"TZ": tz, "SOURCE_DATE_EPOCH": str(epoch)}
            run = self.helper("zip", archive, "-C", folder, "b.lua", "a", **env)
            self.assertEqual(run.returncode, 0, run.stderr)
            archives.append(archive.read_bytes())
        # With SOURCE_DATE_EPOCH, and without it (the commit's time): the same bytes each time.
        self.assertEqual(archives[0], archives[1])
        self.assertEqual(archives[2], archives[3])
        with zipfile.ZipFile(self.root / "0.zip") as zf:
            self.assertEqual([i.filename for i in zf.infolist()], sorted(FILES))
            for info in zf.infolist():
                self.assertEqual((info.date_time, info.external_attr >> 16, info.extra, info.create_system),
                                 (time.gmtime(EPOCH)[:6], 0o100644, b"", 3))
                self.assertEqual(zf.read(info), FILES[info.filename])

    def test_index_lists_each_package_under_its_product(self):
        source = self.root / "source"
        (source / "packages").mkdir(parents=True)
        (source / "packages" / "p1.zip").write_bytes(b"one")
        (source / "packages" / "p2.zip").write_bytes(b"second")
        components = self.root / "components.txt"
        components.write_text("# product component package\n\n"
                              "c3t4v1.0.0l1p-1r-1o-1 c3t4v1.0.1l1p-1r-1o-1 packages/p1.zip\n"
                              "c2t1v9.0.0l-1p-1r-1o-1 c2t1v9.5.0l-1p-1r-1o-1 packages/p2.zip\n"
                              "c3t4v1.0.0l1p-1r-1o-1 c3t4v1.0.2l1p-1r-1o-1 packages/p2.zip\n")
        self.assertEqual(self.helper("index", source, components).returncode, 0)
        sha = {n: hashlib.sha256(d).hexdigest() for n, d in (("p1", b"one"), ("p2", b"second"))}
        self.assertEqual((source / "index.txt").read_text().splitlines()[1:], [
            "kvtrelay-index 1",
            "product c3t4v1.0.0l1p-1r-1o-1",
            "component c3t4v1.0.1l1p-1r-1o-1 packages/p1.zip 3 " + sha["p1"],
            "component c3t4v1.0.2l1p-1r-1o-1 packages/p2.zip 6 " + sha["p2"],
            "product c2t1v9.0.0l-1p-1r-1o-1",
            "component c2t1v9.5.0l-1p-1r-1o-1 packages/p2.zip 6 " + sha["p2"],
        ])
        # A missing package or a short line fails with the reason; the index stays as it was.
        index = (source / "index.txt").read_text()
        for line, reason in (("c3 c3x packages/missing.zip", "missing.zip"), ("c3 packages/p1.zip", "expected <product>")):
            components.write_text(line + "\n")
            run = self.helper("index", source, components)
            self.assertEqual((run.returncode, (source / "index.txt").read_text()), (1, index))
            self.assertIn(reason, run.stderr)

if __name__ == "__main__":
    main()
