"""bench/run --smoke: every figure prints in the fixed form, from tiny sizes.

Only the shape of the output is checked; benchmark values are never asserted."""

import os
import re
import subprocess
import sys
import unittest
from pathlib import Path

from harness import SOURCE_DIR, STAGE

NAMES = ["startup", "startup-cpu", "startup-lua", "require", "plugin-install",
         "mirror-dir", "mirror-dir-cp", "mirror-dir-cp-sha256", "mirror-http", "mirror-http-curl-sha256",
         "mirror-dir-unchanged", "mirror-http-unchanged", "idle-cpu-ms", "idle-switches", "idle-rss-mib", "identifiers-to-lua", "identifiers-parse"]
IDLE = {"idle-cpu-ms", "idle-switches", "idle-rss-mib"}
NUMBER = r"\d+(?:\.\d+)?"
LINE = re.compile(r"^([a-z0-9-]+): (%s) \(ours (%s)(?: ms)?, peer (%s(?: ms)?|n/a); goal (?:[<>]= %s|none)\)$"
                  % (NUMBER, NUMBER, NUMBER, NUMBER))


class BenchSmokeTest(unittest.TestCase):
    def test_every_figure_prints(self):
        # The idle figures need a private mount namespace, hence root.
        names = NAMES if os.geteuid() == 0 else [n for n in NAMES if n not in IDLE]
        build_dir = os.environ.get("VKA_BINARY_DIR", str(SOURCE_DIR / "build"))
        result = subprocess.run(
            [sys.executable, str(SOURCE_DIR / "bench" / "run"), "--smoke", "--build-dir", build_dir,
             "--stage", str(STAGE), "--only", ",".join(names)],
            capture_output=True, text=True, timeout=300)
        self.assertEqual(result.returncode, 0, result.stderr[-4000:])
        lines = result.stdout.splitlines()
        self.assertEqual([l.split(":", 1)[0] for l in lines], names, result.stdout)
        for line in lines:
            m = LINE.match(line)
            self.assertIsNotNone(m, line)
            name, value = m.group(1), m.group(2)
            # Figures without a peer repeat their value as ours.
            if name in IDLE or name == "identifiers-parse":
                self.assertEqual(m.group(3), value, line)
                self.assertEqual(m.group(4), "n/a", line)


if __name__ == "__main__":
    unittest.main(verbosity=2)
