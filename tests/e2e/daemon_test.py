"""vk_agent -b: detaching under a pid file, the restart supervisor and the daemon worker's stop."""

import os
import re
import shutil
import signal
import subprocess
import time
import xml.etree.ElementTree as ElementTree

from daemon_support import DRIVER_DIR, DRIVER_SCRIPT, RUN_DIR, DaemonTestCase, children_of, cpu_ticks, \
    enter_private_namespace, wait_until
from harness import STAGE, main

# Shutdown that lasts long enough for a second stop request to arrive during it.
SLOW_SHUTDOWN = '  os.execute("sleep 20")'
# A main that never returns by itself, and stop limits short enough for a test.
BUSY_MAIN = "  while true do end"
QUICK_STOP = {"VKA_STOP_GRACE_MS": "1000", "VKA_STOP_LIMIT_MS": "3000"}


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
        status = self.status()
        self.assertEqual((status["state"], status["worker"], status["exit"]), ("stopped", "0", "0"))

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


    def test_sigterm_during_the_restart_delay_ends_the_daemon_without_a_new_worker(self):
        self.write_module("vka_backoff_stop", main="  do return 3 end")
        supervisor = self.start_daemon("vka_backoff_stop")
        self.assertTrue(wait_until(lambda: self.logged("VERBOSE", "Delaying 1000ms before restart 1", supervisor)))
        os.kill(supervisor, signal.SIGTERM)
        self.assertTrue(wait_until(lambda: not self.pid_file().exists(), timeout=0.5))
        self.assertEqual(self.wait_exit(supervisor), 0)
        self.assertEqual([w for _, w in self.events()], ["init", "main"])

    def test_worker_whose_supervisor_is_killed_shuts_down_and_a_new_start_runs_one_worker(self):
        self.write_module("vka_orphan")
        supervisor = self.start_daemon("vka_orphan")
        worker = self.wait_event("main")
        os.kill(supervisor, signal.SIGKILL)
        killed = time.monotonic()
        self.assertEqual(self.wait_exit(supervisor), -signal.SIGKILL)
        self.assertEqual(self.wait_exit(worker, timeout=5), 0)
        self.assertLess(time.monotonic() - killed, 1.0)
        self.assertEqual(self.events()[-1], (worker, "shutdown"))

        second = self.start_daemon("vka_orphan")
        self.wait_event("main", count=2)
        agents = [p for p in children_of(os.getpid()) if os.path.realpath("/proc/%d/exe" % p) == str(self.tree.exe)]
        self.assertEqual(agents, [second])
        self.assertEqual(len(children_of(second)), 1)


    def test_busy_main_is_interrupted_after_the_grace_period_and_shutdown_runs(self):
        self.write_module("vka_busy", main=BUSY_MAIN)
        supervisor = self.start_daemon("vka_busy", env=QUICK_STOP)
        worker = self.wait_event("main")
        os.kill(supervisor, signal.SIGTERM)
        self.assertEqual(self.wait_exit(supervisor, timeout=20), 0)
        self.assertEqual(self.events()[-1], (worker, "shutdown"))
        self.assertLogged("WARNING", "Lua code still runs 1000 ms after the stop request; interrupting it", worker)
        self.assertTrue([t for p, lv, t in self.log("ERROR") if p == worker and "interrupted" in t])

    def test_worker_stuck_in_a_c_call_ends_itself_at_the_stop_limit(self):
        # The stop's SIGTERM to the process group must not end the C call itself.
        self.write_module("vka_stuck", main='  os.execute("trap \\"\\" TERM; sleep 60")')
        supervisor = self.start_daemon("vka_stuck", env=QUICK_STOP)
        worker = self.wait_event("main")
        os.kill(supervisor, signal.SIGTERM)
        self.assertEqual(self.wait_exit(supervisor, timeout=20), 1)
        self.assertLogged("ERROR", "The worker has not ended 3000 ms after its stop request; ending it now (exit 1)",
                          worker)

    def test_start_waits_for_an_orphaned_busy_worker_and_runs_one_agent(self):
        self.write_module("vka_orphan_busy", main="  if runs == 0 then while true do end end")
        supervisor = self.start_daemon("vka_orphan_busy", env=QUICK_STOP)
        orphan = self.wait_event("main")
        os.kill(supervisor, signal.SIGKILL)
        self.assertEqual(self.wait_exit(supervisor), -signal.SIGKILL)

        second = self.start_daemon("vka_orphan_busy", env=QUICK_STOP)
        self.assertEqual(self.wait_exit(orphan, timeout=1), 0)
        new = self.wait_event("init", count=2)
        self.assertEqual(self.events()[:3], [(orphan, "init"), (orphan, "main"), (orphan, "shutdown")])
        agents = [p for p in children_of(os.getpid()) if os.path.realpath("/proc/%d/exe" % p) == str(self.tree.exe)]
        self.assertEqual((agents, children_of(second)), ([second], [new]))

    def test_start_refuses_while_an_earlier_worker_does_not_end_naming_its_pid(self):
        self.write_module("vka_orphan_stuck")
        supervisor = self.start_daemon("vka_orphan_stuck", env=QUICK_STOP)
        orphan = self.wait_event("main")
        os.kill(orphan, signal.SIGSTOP)
        os.kill(supervisor, signal.SIGKILL)
        self.assertEqual(self.wait_exit(supervisor), -signal.SIGKILL)

        r = self.tree.run("-b", "-a", "vka_orphan_stuck", timeout=60, env=QUICK_STOP)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertLogged("ERROR", "An earlier agent of this name (pid %d) still holds %s after 8 s; not starting"
                          % (orphan, self.tree.work / "vka_orphan_stuck.lock"))
        self.assertEqual([w for _, w in self.events()], ["init", "main"])


class DaemonPidFileTest(DaemonTestCase):

    def test_unwritable_pid_file_is_logged_and_shown_on_the_terminal_and_the_daemon_runs(self):
        self.write_module("vka_no_pid")
        self.app = "vka_no_pid"
        subprocess.run(["mount", "-o", "remount,ro", str(RUN_DIR)], check=True)
        code, shown = self.run_on_terminal("-b", "-a", self.app)
        text = "Unable to write pid file /var/run/vka_no_pid.pid (error 30: Read-only file system)"
        self.assertEqual((code, len(shown)), (0, 1), shown)
        self.assertTrue(shown[0].endswith(" ERROR " + text), shown)
        self.wait_event("main")
        [supervisor] = [p for p, lv, t in self.log("ERROR") if t == text]
        self._groups.append(os.getpgid(supervisor))

    def test_warnings_and_errors_reach_a_terminal_once_and_nothing_below_them(self):
        self.write_module("vka_tty")
        self.start_daemon("vka_tty")
        code, shown = self.run_on_terminal("-b", "-a", "vka_tty")
        self.assertEqual(code, 1)
        self.assertRegex("\n".join(shown), r"^[-\d]+ [:.\d]+ \d+ ERROR /var/run/vka_tty\.pid present, exiting$")

        # A Lua error text is printed by the runner itself; its log record is not echoed again.
        self.write_module("vka_tty", init='  error("init refused")')
        code, shown = self.run_on_terminal("-a", "vka_tty")
        self.assertEqual(code, 2)
        self.assertEqual(len([l for l in shown if "init refused" in l]), 1, shown)

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

    def test_broken_app_fails_its_start_with_the_error_on_standard_error(self):
        # Regression: the start command exited 0 and printed nothing, the agent dead at once.
        self.write_module("vka_init_raises", init='  error("init refused")')
        supervisor = self.start_daemon("vka_init_raises", code=1)
        stderr = self.start_result.stderr
        self.assertIn("init refused", stderr)
        self.assertIn("stack traceback:", stderr)
        self.assertIn("vka_init_raises did not start: Child process exited with status 512 (exit 2)", stderr)
        self.assertEqual(self.wait_exit(supervisor), 2)
        errors = [t for p, lv, t in self.log("ERROR") if "init refused" in t and "\\nstack traceback:\\n" in t]
        self.assertEqual(len(errors), 1, self.tree.log_text(self.app))
        self.assertLogged("ERROR", "Supervisor exiting with 2: Child process exited with status 512 (exit 2)",
                          supervisor)

        r = self.tree.run("-b", "-a", "vka_nosuch", timeout=60)
        self.assertEqual(r.returncode, 1)
        self.assertIn("module 'vka_nosuch' not found", r.stderr)

    def test_status_file_tells_the_running_worker_and_stays_after_the_end(self):
        self.write_module("vka_status")
        # Links planted in a shared work folder as the file and as a temporary: replaced, never followed.
        victim = self.tree.work.parent / "victim"
        victim.write_text("secret")
        self.tree.work.mkdir(exist_ok=True)
        for name in ("vka_status.status", "vka_status.status.new"):
            (self.tree.work / name).symlink_to(victim)
        # What a supervisor killed in the middle of a write left (its pid is gone): swept.
        stale = self.tree.work / "vka_status.status.999999999.0123456789abcdef.tmp"
        stale.write_text("left over")
        supervisor = self.start_daemon("vka_status")
        worker = self.wait_event("main")
        self.assertEqual(victim.read_text(), "secret")
        self.assertFalse(stale.exists())
        status = self.status()
        self.assertLess(abs(int(status.pop("started")) - time.time()), 60)
        self.assertEqual(status, dict(supervisor=str(supervisor), worker=str(worker), state="running", starts="1",
                                      last_exit=""))
        os.kill(supervisor, signal.SIGTERM)
        self.assertEqual(self.wait_exit(supervisor), 0)
        status = self.status()
        self.assertEqual((status["state"], status["worker"], status["exit"]), ("stopped", "0", "0"))
        self.assertEqual(status["last_exit"], "Child process exited with status 0 (exit 0)")

    def test_worker_exit_code_other_than_three_ends_the_supervisor_with_it(self):
        self.write_module("vka_five", main="  do return 5 end")
        supervisor = self.start_daemon("vka_five")
        self.assertEqual(self.wait_exit(supervisor), 5)
        self.assertFalse(self.pid_file().exists())
        self.assertEqual([w for _, w in self.events()], ["init", "main"])
        self.assertLogged("VERBOSE", "Child process exited with status 1280 (exit 5)", pid=supervisor)
        status = self.status()
        self.assertEqual((status["state"], status["worker"], status["exit"]), ("failed", "0", "5"))
        self.assertEqual(status["last_exit"], "Child process exited with status 1280 (exit 5)")

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

    def test_killed_and_crashed_workers_are_restarted_and_crash_reports_named_and_kept(self):
        self.write_module("vka_crash")
        diag = self.tree.work / "diag"
        diag.mkdir(parents=True, exist_ok=True)
        for suffix in ("", ".1", ".2", ".3"):
            (diag / ("vka_crash.mdmp" + suffix)).write_text("old" + suffix)
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
        self.assertEqual(len(crashed), 2, crashed)
        self.assertRegex(crashed[0], r"^Child process crashed with status (11|139) \(signal 11: Segmentation fault\)$")
        self.assertEqual(crashed[1], "Crash report of worker %d: %s" % (second, diag / "vka_crash.mdmp"))
        self.assertIn("\npid: %d\n" % second, (diag / "vka_crash.mdmp").read_text())
        self.assertEqual([(diag / ("vka_crash.mdmp." + n)).read_text() for n in "123"], ["old", "old.1", "old.2"])
        self.assertLogged("VERBOSE", "Delaying 2000ms before restart 2", pid=supervisor)
        self.assertEqual(self.read_pid_file(), supervisor)

        os.kill(supervisor, signal.SIGTERM)
        self.assertEqual(self.wait_exit(supervisor), 0)


class DaemonServiceFilesTest(DaemonTestCase):

    def test_service_files_start_the_daemon_ready_and_stop_it_through_its_supervisor(self):
        unit = STAGE / "share" / "systemd" / "vk_agent.service"
        lines = unit.read_text().splitlines()
        for line in ("Type=forking", "ExecStart=%s/vk_agent -b -w %s/work" % (STAGE, STAGE), "PIDFile=/run/vk_agent.pid",
                     "KillMode=mixed", "TimeoutStopSec=45", "Wants=network-online.target"):
            self.assertIn(line, lines)
        self.assertFalse([l for l in lines if l.startswith("Restart")])
        if shutil.which("systemd-analyze"):
            verify = subprocess.run(["systemd-analyze", "verify", str(unit)], capture_output=True, text=True)
            self.assertEqual((verify.returncode, verify.stderr), (0, ""))
        self.assertIn("%s/share/smf/vk_agent stop" % STAGE,
                      [m.get("exec") for m in ElementTree.parse(STAGE / "share" / "smf" / "vk_agent.xml").iter("exec_method")])

        # This test's copy of the tree, with its default work folder; the pid file is there the
        # moment the start method returns.
        script = self.tree.bin / "share" / "smf" / "vk_agent"
        script.write_text(script.read_text().replace(str(STAGE), str(self.tree.bin)))
        self.tree.work, self.app = self.tree.bin / "work", "vk_agent"
        self.write_module("vk_agent")
        subprocess.run([str(script), "start"], check=True, timeout=30)
        supervisor = self.read_pid_file()
        self._groups.append(os.getpgid(supervisor))
        worker = self.wait_event("main")
        stop = subprocess.Popen([str(script), "stop"])
        self.assertEqual(self.wait_exit(supervisor), 0)
        self.assertEqual(stop.wait(timeout=10), 0)
        self.assertEqual(self.events()[-1], (worker, "shutdown"))


if __name__ == "__main__":
    enter_private_namespace()
    main()
