"""vk_agent -b: detaching under a pid file, the restart supervisor and the daemon worker's stop."""

import os
import re
import signal
import subprocess
import time

from daemon_support import DRIVER_DIR, DRIVER_SCRIPT, DaemonTestCase, children_of, cpu_ticks, \
    enter_private_namespace, wait_until
from harness import main

# Shutdown that lasts long enough for a second stop request to arrive during it.
SLOW_SHUTDOWN = '  os.execute("sleep 20")'


class DaemonStopTest(DaemonTestCase):

    def test_sigterm_removes_pid_file_runs_shutdown_and_ends_with_the_workers_code(self):
        self.write_module("vk_agent")
        supervisor = self.start_daemon("vk_agent")
        worker = self.wait_event("main")
        self.assertEqual(children_of(supervisor), [worker])
        # Detached: in a new session it does not lead, in the work folder, no terminal streams.
        self.assertNotEqual(os.getsid(supervisor), supervisor)
        self.assertNotEqual(os.getsid(supervisor), os.getsid(0))
        self.assertEqual(os.readlink("/proc/%d/cwd" % supervisor), str(self.tree.work))
        for fd in (0, 1, 2):
            self.assertEqual(os.readlink("/proc/%d/fd/%d" % (supervisor, fd)), "/dev/null")

        # Idle costs nothing: the supervisor sits in waitpid.
        before = cpu_ticks(supervisor)
        time.sleep(1.5)
        self.assertEqual(cpu_ticks(supervisor), before)

        os.kill(supervisor, signal.SIGTERM)
        self.assertTrue(wait_until(lambda: not self.pid_file().exists(), timeout=1.0),
                        "pid file still there after SIGTERM")
        self.assertEqual(self.wait_exit(supervisor), 0)
        self.assertEqual(self.events(), [(worker, "init"), (worker, "main"), (worker, "shutdown")])

        self.assertLogged("WARNING", "sigwait(): caught signal 15", pid=worker)
        self.assertLogged("WARNING", "Waiting for child process interrupted - Try again", pid=supervisor)
        self.assertLogged("VERBOSE", "Child process exited with status 0 (exit 0)", pid=supervisor)
        exits = [t for p, lv, t in self.log("VERBOSE") if t.startswith("VKA 10.0.0.4015 exiting.")]
        self.assertEqual(len(exits), 1)
        self.assertRegex(exits[0], r"^VKA 10\.0\.0\.4015 exiting\. Run time was 0d \d\d:\d\d:\d\d\.\d{3}$")
        self.assertEqual([p for p, lv, t in self.log() if t.startswith("VKA 10.0.0.4015 exiting.")],
                         [supervisor])
        self.assertEqual(self.log("ERROR"), [])

    def test_second_sigterm_ends_supervisor_and_worker_at_once_with_zero(self):
        self.write_module("vka_twice_term", shutdown=SLOW_SHUTDOWN)
        supervisor = self.start_daemon("vka_twice_term")
        worker = self.wait_event("main")

        os.kill(supervisor, signal.SIGTERM)
        self.wait_event("shutdown")
        # Until its handler has returned, the supervisor's own broadcast is pending in it, and a
        # second SIGTERM would merge with that one; its wait's warning shows it is past that.
        self.assertTrue(wait_until(lambda: self.logged(
            "WARNING", "Waiting for child process interrupted - Try again", supervisor)))
        started = time.monotonic()
        os.kill(supervisor, signal.SIGTERM)
        self.assertEqual(self.wait_exit(supervisor, timeout=5), 0)
        # Orphaned by the supervisor, the worker is ours to reap now.
        self.assertEqual(self.wait_exit(worker, timeout=5), 0)
        self.assertLess(time.monotonic() - started, 5)
        self.assertFalse(self.pid_file().exists())

    def test_worker_that_ends_with_three_after_a_stop_is_still_restarted(self):
        self.write_module("vka_stop_three", shutdown="  if runs == 0 then return 3 end")
        supervisor = self.start_daemon("vka_stop_three")
        self.wait_event("main")
        os.kill(supervisor, signal.SIGTERM)
        second = self.wait_event("main", count=2)
        self.assertFalse(self.pid_file().exists())
        self.assertLogged("VERBOSE", "Child process exited with status 768 (exit 3)", pid=supervisor)
        self.assertIsNone(self.wait_exit(supervisor, timeout=0.5))

        # The next SIGTERM is the supervisor's second: it ends at once, the worker shuts down.
        os.kill(supervisor, signal.SIGTERM)
        self.assertEqual(self.wait_exit(supervisor, timeout=5), 0)
        self.assertEqual(self.wait_exit(second, timeout=10), 0)
        self.assertEqual(self.events()[-1], (second, "shutdown"))

    def test_sigterm_to_the_worker_alone_ends_supervisor_with_its_code(self):
        self.write_module("vka_worker_term", shutdown="  do return 0 end")
        supervisor = self.start_daemon("vka_worker_term")
        worker = self.wait_event("main")
        os.kill(worker, signal.SIGTERM)
        self.assertEqual(self.wait_exit(supervisor), 0)
        self.assertFalse(self.pid_file().exists())
        self.assertEqual([w for _, w in self.events()], ["init", "main", "shutdown"])
        self.assertLogged("VERBOSE", "Child process exited with status 0 (exit 0)", pid=supervisor)
        self.assertNotIn("Waiting for child process interrupted - Try again", [t for _, _, t in self.log()])


class DaemonPidFileTest(DaemonTestCase):

    def test_second_start_is_refused_while_the_supervisor_runs(self):
        self.write_module("vka_single")
        supervisor = self.start_daemon("vka_single")
        self.wait_event("main")

        second = self.tree.run("-b", "-a", "vka_single", timeout=30)
        self.assertEqual(second.returncode, 1)
        self.assertLogged("ERROR", "/var/run/vka_single.pid present, exiting")
        self.assertEqual(self.read_pid_file(), supervisor)
        self.assertEqual(len([w for _, w in self.events() if w == "init"]), 1)

        os.kill(supervisor, signal.SIGTERM)
        self.assertEqual(self.wait_exit(supervisor), 0)

    def test_pid_file_of_a_dead_process_does_not_prevent_the_start(self):
        self.write_module("vka_stale")
        gone = subprocess.Popen(["true"])
        gone.wait()
        self.app = "vka_stale"
        self.pid_file().write_text("%d\n" % gone.pid)

        supervisor = self.start_daemon("vka_stale")
        self.assertNotEqual(supervisor, gone.pid)
        self.wait_event("main")
        self.assertLogged("VERBOSE", "/var/run/vka_stale.pid present (pid=%d), but doesn't seem to be running."
                          % gone.pid)
        os.kill(supervisor, signal.SIGTERM)
        self.assertEqual(self.wait_exit(supervisor), 0)


class DaemonWorkerEndTest(DaemonTestCase):

    def test_worker_exit_code_other_than_three_ends_the_supervisor_with_it(self):
        self.write_module("vka_five", main="  do return 5 end")
        supervisor = self.start_daemon("vka_five")
        self.assertEqual(self.wait_exit(supervisor), 5)
        self.assertFalse(self.pid_file().exists())
        self.assertEqual([w for _, w in self.events()], ["init", "main"])
        self.assertLogged("VERBOSE", "Child process exited with status 1280 (exit 5)", pid=supervisor)

    def exit_three_then_idle(self, app):
        self.write_module(app, main="  if runs == 0 then return 3 end")
        supervisor = self.start_daemon(app)
        first = self.wait_event("init")
        second = self.wait_event("init", count=2)
        self.assertNotEqual(first, second)
        self.assertEqual(self.wait_event("main", count=2), second)
        self.assertLogged("VERBOSE", "Child process exited with status 768 (exit 3)", pid=supervisor)
        self.assertLogged("VERBOSE", "Delaying 1000ms before restart 1", pid=supervisor)
        os.kill(supervisor, signal.SIGTERM)
        self.assertEqual(self.wait_exit(supervisor), 0)
        return supervisor

    def test_exit_three_stops_the_driver_and_restarts(self):
        record = DRIVER_DIR / "calls"
        DRIVER_SCRIPT.write_text('#!/bin/sh\necho "$@" >> %s\n' % record)
        DRIVER_SCRIPT.chmod(0o755)
        supervisor = self.exit_three_then_idle("vka_driver")
        self.assertEqual(record.read_text(), "stopmod\n")
        self.assertLogged("MESSAGE", "Driver stopped using /opt/vk_agent/SunOS.init", pid=supervisor)

    def test_exit_three_restarts_when_the_driver_stop_fails(self):
        DRIVER_SCRIPT.write_text("#!/bin/sh\nexit 2\n")
        DRIVER_SCRIPT.chmod(0o755)
        supervisor = self.exit_three_then_idle("vka_driver_fails")
        errors = [t for p, lv, t in self.log("ERROR") if p == supervisor]
        self.assertEqual(len(errors), 1, errors)
        self.assertTrue(errors[0].startswith("Error stopping driver: "), errors)

    def test_exit_three_without_the_driver_script_restarts_silently(self):
        self.exit_three_then_idle("vka_no_driver")
        self.assertEqual([t for _, _, t in self.log() if "river" in t], [])

    def test_killed_and_crashed_workers_are_restarted(self):
        self.write_module("vka_crash")
        supervisor = self.start_daemon("vka_crash")
        worker = self.wait_event("main")

        os.kill(worker, signal.SIGKILL)
        second = self.wait_event("main", count=2)
        self.assertNotEqual(second, worker)
        self.assertLogged("VERBOSE", "Child process exited with status 9 (signal 9: Killed)", pid=supervisor)
        self.assertLogged("VERBOSE", "Delaying 1000ms before restart 1", pid=supervisor)

        os.kill(second, signal.SIGSEGV)
        third = self.wait_event("main", count=3)
        self.assertNotIn(third, (worker, second))
        crashed = [t for p, lv, t in self.log("ERROR") if p == supervisor]
        self.assertEqual(len(crashed), 1, crashed)
        self.assertRegex(crashed[0], r"^Child process crashed with status (11|139) \(signal 11: Segmentation fault\)$")
        self.assertLogged("VERBOSE", "Delaying 2000ms before restart 2", pid=supervisor)
        self.assertEqual(self.read_pid_file(), supervisor)

        os.kill(supervisor, signal.SIGTERM)
        self.assertEqual(self.wait_exit(supervisor), 0)


if __name__ == "__main__":
    enter_private_namespace()
    main()
