"""Many short foreground runs side by side: the script thread hands its result back to the main
loop at every moment of the loop's life, and no run may hang. Each run is killed with SIGKILL
when it overstays its time limit."""

import concurrent.futures
import subprocess

import harness
from harness import main

TRIVIAL = """local M = {}
function M.init() return 0 end
function M.main() return 0 end
function M.shutdown() return %d end
return M
"""

# The sanitizer build is ten times slower to start; fewer runs keep the test near a minute.
RUNS = 200 if harness.sanitized() else 400
LIMIT_SECONDS = 60


class HandBackStressTest(harness.AgentTestCase):

    def test_no_foreground_run_hangs(self):
        archive = self.tree.bin / "vka_core" / "vk_agent.vke"
        if archive.exists():
            archive.unlink()
        self.tree.lua_module("vk_agent", TRIVIAL % 3)
        self.tree.work.mkdir()

        def one(i):
            # Every other run fails in unit-test mode before the loop may have started.
            args = ["-u", "missing.lua"] if i % 2 else []
            try:
                r = self.tree.run(*args, timeout=LIMIT_SECONDS)
            except subprocess.TimeoutExpired:
                return "run %d hung" % i
            return None if r.returncode == 3 else "run %d ended with %d: %s" % (i, r.returncode, r.stderr[-300:])

        with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
            failures = [f for f in pool.map(one, range(RUNS)) if f]
        self.assertEqual(failures, [])


if __name__ == "__main__":
    main()
