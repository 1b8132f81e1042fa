"""vk_agent -b with a worker that crashes at once every time: the supervisor backs off with
doubling delays and gives up after 8 starts within 512 seconds.

The schedule spans 127 seconds of delays, so the test runs for over two minutes in real time.
With VKA_CRASHLOOP_FAKETIME=1 (and a build without sanitizers) the daemon runs under libfaketime
at ten times the speed of the real clock instead, in about 15 seconds. That is not the default:
a worker forked under the preloaded clock now and then hangs before it crashes, which would
leave the supervisor waiting for it."""

import os
import subprocess

from daemon_support import DaemonTestCase, enter_private_namespace, wait_until
from harness import main

FAKETIME_LIBS = ["/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1",
                 "/usr/lib/faketime/libfaketimeMT.so.1"]
SPEED = 10


def sanitized(exe):
    # The address sanitizer's runtime must come first among the loaded libraries, which a
    # preloaded library prevents: a sanitizer build runs the schedule in real time.
    out = subprocess.run(["ldd", str(exe)], capture_output=True, text=True).stdout
    return "libasan" in out


def faketime_env(exe):
    if os.environ.get("VKA_CRASHLOOP_FAKETIME") != "1" or sanitized(exe):
        return None, 1
    for lib in FAKETIME_LIBS:
        if os.path.exists(lib):
            return {"LD_PRELOAD": lib, "FAKETIME": "+0 x%d" % SPEED}, SPEED
    return None, 1


class DaemonCrashLoopTest(DaemonTestCase):

    def test_crash_loop_backs_off_then_gives_up_after_eight_starts_in_512_seconds(self):
        env, speed = faketime_env(self.tree.exe)
        # The signal may be taken on another thread; a sanitizer's handler then reports for a
        # while before it ends the process, so init spins rather than return meanwhile.
        self.write_module("vka_crashloop", init='  os.execute("kill -SEGV " .. mypid())\n'
                                                '  local t = os.clock() while os.clock() - t < 20 do end')
        self.app = "vka_crashloop"
        result = self.tree.run("-b", "-a", self.app, timeout=30, env=env)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertRegex(result.stderr, r"vka_crashloop did not start: Child process crashed")
        supervisor = self.wait_until_pid_file()

        code = self.wait_exit(supervisor, timeout=127 / speed + 120)
        self.assertEqual(code, 255, self.tree.log_text(self.app))
        self.assertFalse(self.pid_file().exists())
        status = self.status()
        self.assertEqual((status["state"], status["exit"], status["worker"]), ("failed", "255", "0"))
        self.assertRegex(status["last_exit"], r"^Child process crashed ")

        starts = [p for p, what in self.events() if what == "init"]
        self.assertEqual(len(starts), 8)
        self.assertEqual(len(set(starts)), 8)

        delays = [1000 << k for k in range(7)]
        self.assertEqual([t for p, lv, t in self.log("VERBOSE") if t.startswith("Delaying")],
                         ["Delaying %dms before restart %d" % (d, k + 1) for k, d in enumerate(delays)])
        crashes = [t for p, lv, t in self.log("ERROR") if t.startswith("Child process crashed")]
        self.assertEqual(len(crashes), 8, crashes)
        for text in crashes:
            self.assertRegex(text, r"^Child process crashed with status (11|139) \(signal 11: ")
        self.assertEqual(self.log("ERROR")[-1],
                         (supervisor, "ERROR",
                          "Too many restarts in too short of a time, exiting (8 restarts in less than 512 seconds)"))

        # Each restart waits its whole delay: the crashes (as the supervisor's clock sees them)
        # are spaced by the delay plus one short worker life.
        ends = self.log_times("Child process crashed")
        for k, delay in enumerate(delays):
            gap = ends[k + 1] - ends[k]
            self.assertGreaterEqual(gap, delay / 1000.0 - 0.05, "restart %d" % (k + 1))
            self.assertLess(gap, delay / 1000.0 + 1.5 * speed, "restart %d" % (k + 1))
        self.assertGreaterEqual(ends[-1] - ends[0], 127 - 0.05)

    def wait_until_pid_file(self):
        supervisor = wait_until(self.read_pid_file)
        self.assertIsNotNone(supervisor, self.tree.log_text(self.app))
        self._groups.append(os.getpgid(supervisor))
        return supervisor


if __name__ == "__main__":
    enter_private_namespace()
    main()
