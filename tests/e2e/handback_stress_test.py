"""Many short foreground runs side by side: the script thread hands its result back to the main
loop at every moment of the loop's life, and no run may hang. Each run is killed with SIGKILL
when it overstays its time limit."""

import concurrent.futures
import os
import subprocess

import harness
from harness import main

TRIVIAL = """local M = {}
function M.init() return 0 end
function M.main() return 0 end
function M.shutdown() return %d end
return M
"""

RUNS = 300 if harness.sanitized() else 400
LIMIT_SECONDS = 60
# Hangs are what this test looks for. The leak check at every exit, and the whole stacks it
# records at every allocation, would take most of its time; every other test makes that check.
NO_LEAK_CHECK = {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0:fast_unwind_on_malloc=1"}


class HandBackStressTest(harness.AgentTestCase):

    def test_no_foreground_run_hangs(self):
        archive = self.tree.bin / "vka_core" / "vk_agent.vke"
        if archive.exists():
            archive.unlink()
        self.tree.lua_module("vk_agent", TRIVIAL % 3)
        self.tree.work.mkdir()

        def one(i):
            # Every other run fails in unit-test mode (with 1) before the loop may have started.
            args = ["-u", "missing.lua"] if i % 2 else []
            expected = 1 if i % 2 else 3
            try:
                r = self.tree.run(*args, timeout=LIMIT_SECONDS, env=NO_LEAK_CHECK)
            except subprocess.TimeoutExpired:
                return "run %d hung" % i
            return None if r.returncode == expected else "run %d ended with %d: %s" % (i, r.returncode, r.stderr[-300:])

        with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
            failures = [f for f in pool.map(one, range(RUNS)) if f]
        self.assertEqual(failures, [])


if __name__ == "__main__":
    main()
