"""Foreground runs of vk_agent: the Lua start-up sequence, exit codes, the script arguments,
the domain object in Lua, unit-test mode, other application names and signals."""

import os
import resource
import signal
import subprocess
import time
import unittest

import harness
from harness import main

VERSION = "10.0.0.4015"


class AgentTestCase(harness.AgentTestCase):
    """A tree whose application modules come from <bin>/lua: the sample agent's core archive
    would otherwise be found first."""

    def setUp(self):
        super().setUp()
        self.drop_archive("vk_agent.vke")

    def drop_archive(self, name):
        archive = self.tree.bin / "vka_core" / name
        if archive.exists():
            archive.unlink()


def app_module(init="return 0", main_body="return 0", shutdown="return 0", extra=""):
    """An application module whose methods print a marker and then run the given bodies
    (None leaves the method out)."""
    parts = ["local M = {}", extra]
    for name, body in (("init", init), ("main", main_body), ("shutdown", shutdown)):
        if body is not None:
            parts.append("function M.%s() io.write('<%s>\\n') io.flush() %s end" % (name, name, body))
    parts.append("return M")
    return "\n".join(parts) + "\n"


def markers(stdout):
    return [line for line in stdout.splitlines() if line.startswith("<") and line.endswith(">")]


class StartUpSequenceTest(AgentTestCase):
    """The order of init, main and shutdown and how their results become the exit code."""

    def run_module(self, **bodies):
        self.tree.lua_module("vk_agent", app_module(**bodies))
        return self.tree.run()

    def test_all_methods_succeed_exit_zero_with_start_line_and_no_exit_line(self):
        r = self.run_module()
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(markers(r.stdout), ["<init>", "<main>", "<shutdown>"])
        self.assertEqual(r.stderr, "")
        verbose = [text for level, text in self.tree.log_entries() if level == "VERBOSE"]
        self.assertIn("VKA %s starting." % VERSION, verbose)
        self.assertFalse([t for t in verbose if "exiting" in t], verbose)

    def test_non_zero_result_stops_the_sequence_and_is_the_exit_code(self):
        cases = [
            # (bodies, exit code, markers)
            (dict(init="return 7"), 7, ["<init>"]),
            (dict(main_body="return 3"), 3, ["<init>", "<main>"]),
            (dict(main_body="return '7'"), 7, ["<init>", "<main>"]),
            (dict(main_body="return 4.0"), 4, ["<init>", "<main>"]),
            (dict(shutdown="return 9"), 9, ["<init>", "<main>", "<shutdown>"]),
        ]
        for bodies, code, expected in cases:
            with self.subTest(bodies=bodies):
                r = self.run_module(**bodies)
                self.assertEqual(r.returncode, code, r.stderr)
                self.assertEqual(markers(r.stdout), expected)

    def test_results_that_are_not_numbers_count_as_success(self):
        for value in ("", "return nil", "return true", "return {}", "return 'abc'", "return 0, 5"):
            with self.subTest(value=value):
                r = self.run_module(main_body=value)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(markers(r.stdout), ["<init>", "<main>", "<shutdown>"])

    def test_missing_methods_count_as_success(self):
        r = self.run_module(init=None, shutdown=None)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(markers(r.stdout), ["<main>"])
        r = self.run_module(main_body=None, extra="M.main = 42")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(markers(r.stdout), ["<init>", "<shutdown>"])

    def test_a_method_that_raises_fails_with_the_error_on_stderr(self):
        r = self.run_module(main_body="error('boom in main')")
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("boom in main", r.stderr)
        self.assertEqual(markers(r.stdout), ["<init>", "<main>"])

        r = self.run_module(init="error('boom in init')")
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("boom in init", r.stderr)
        self.assertEqual(markers(r.stdout), ["<init>"])

    def test_a_module_that_cannot_be_loaded_stops_before_init(self):
        self.tree.lua_module("vk_agent", "local M = {\nfunction M.init() io.write('<init>') end\n")
        r = self.tree.run()
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("vk_agent", r.stderr)
        self.assertEqual(markers(r.stdout), [])


class LuaGlobalsTest(AgentTestCase):
    """What the application module sees: arg, dom and dom0."""

    ARG_DUMP = """
        local keys = {}
        for k in pairs(arg) do keys[#keys + 1] = k end
        table.sort(keys)
        for _, k in ipairs(keys) do io.write('arg[', k, ']=', arg[k], '\\n') end
        return 0"""

    def args_of(self, *words):
        self.tree.lua_module("vk_agent", app_module(main_body=self.ARG_DUMP))
        r = self.tree.run(*words)
        self.assertEqual(r.returncode, 0, r.stderr)
        return [l for l in r.stdout.splitlines() if l.startswith("arg[")]

    def test_arg_table_for_the_usual_command_lines(self):
        exe, work = str(self.tree.exe), str(self.tree.work)
        head = ["arg[-3]=" + exe, "arg[-2]=-w", "arg[-1]=" + work, "arg[0]=vk_agent"]
        self.assertEqual(self.args_of("--", "x", "y"), head + ["arg[1]=x", "arg[2]=y"])
        self.assertEqual(self.args_of(), ["arg[-3]=" + exe, "arg[-2]=-w", "arg[-1]=" + work,
                                          "arg[0]=vk_agent"])
        self.assertEqual(self.args_of("--", "a", "--", "b"),
                         head + ["arg[1]=a", "arg[2]=--", "arg[3]=b"])
        self.assertEqual(self.args_of("--"), head)

    def test_dom_and_dom0_are_one_domain_object(self):
        self.tree.lua_module("vk_agent", app_module(main_body="""
            io.write('same=', tostring(rawequal(dom, dom0)), '\\n')
            io.write('type=', type(dom), '\\n')
            io.write('name=', dom:Get('app.name'), '\\n')
            dom0:Set('host.test', 'x')
            io.write('shared=', dom:Get('host.test'), '\\n')
            return 0"""))
        r = self.tree.run()
        self.assertEqual(r.returncode, 0, r.stderr)
        for line in ("same=true", "type=userdata", "name=vk_agent", "shared=x"):
            self.assertIn(line, r.stdout.splitlines())


ECHO_RUNNER = """
return function(spec)
  io.write('runner got [', spec, ']\\n')
  return tonumber(os.getenv('RUNNER_RESULT') or '0')
end
"""


class UnitTestModeTest(AgentTestCase):
    """-u hands its value to tests.vkaunit in place of main."""

    def setUp(self):
        super().setUp()
        self.tree.lua_module("vk_agent", app_module())
        self.cwd = self.tmp / "project"
        (self.cwd / "tests").mkdir(parents=True)

    def write_test(self, name, body):
        path = self.cwd / name
        path.write_text("local lu = require('luaunit')\n" + body)
        return path

    def test_passing_file_runs_shutdown_instead_of_main(self):
        self.write_test("tests/good_test.lua", "function testOne() lu.assertEquals(1, 1) end\n")
        r = self.tree.run("-u", "tests/good_test.lua", cwd=self.cwd)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertEqual(markers(r.stdout), ["<init>", "<shutdown>"])

    def test_failing_file_ends_with_the_runner_result_and_skips_shutdown(self):
        self.write_test("tests/bad_test.lua",
                        "function testOne() lu.assertEquals(1, 2) end\n"
                        "function testTwo() lu.assertEquals(1, 1) end\n")
        r = self.tree.run("-u", "tests/bad_test.lua", cwd=self.cwd)
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        self.assertEqual(markers(r.stdout), ["<init>"])

    def test_wildcard_runs_every_matching_file(self):
        self.write_test("tests/a_test.lua", "function testA() lu.assertEquals(1, 2) end\n")
        self.write_test("tests/b_test.lua", "function testB() lu.assertEquals(1, 2) end\n")
        self.write_test("tests/c_other.lua", "function testC() lu.assertEquals(1, 2) end\n")
        r = self.tree.run("-u", "tests/*_test.lua", cwd=self.cwd)
        self.assertEqual(r.returncode, 2, r.stdout + r.stderr)

    def test_256_failures_never_exit_zero(self):
        # Regression: the failure count became the exit status, and 256 wrapped round to 0.
        self.write_test("tests/many_test.lua",
                        "for i = 1, 256 do _ENV['testFail' .. i] = function() lu.fail('no') end end\n")
        r = self.tree.run("-u", "tests/many_test.lua", "--", "-q", cwd=self.cwd)
        self.assertEqual(r.returncode, 255, r.stderr)

    def test_script_arguments_select_tests_and_write_a_junit_report(self):
        self.write_test("tests/x_test.lua",
                        "TestInc = {}\n"
                        "function TestInc.testOne() lu.assertEquals(1, 1) end\n"
                        "function TestInc.testTwo() lu.assertEquals(1, 2) end\n")
        r = self.tree.run("-u", "tests/*_test.lua", "--", "-p", "testOne", "-o", "junit", "-n", "report.xml",
                          cwd=self.cwd)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        report = (self.cwd / "report.xml").read_text()
        self.assertIn('name="TestInc.testOne"', report)
        self.assertNotIn("testTwo", report)

    def test_missing_file_fails_the_run_without_main(self):
        # Regression: the run went on with main and exited 0, so a CI job went green on a typo.
        r = self.tree.run("-u", "missing.lua", cwd=self.cwd)
        self.assertIn("missing.lua: not found", r.stderr)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertEqual(markers(r.stdout), ["<init>"])

    def test_file_that_fails_to_load_is_an_error_in_the_junit_report(self):
        # Regression: it counted in the exit status only, and alone it gave an empty report.
        self.write_test("tests/broken_test.lua", "function testBad( end\n")
        r = self.tree.run("-u", "tests/*_test.lua", "--", "-p", "testNone", "-o", "junit", "-n", "report.xml",
                          cwd=self.cwd)
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        report = (self.cwd / "report.xml").read_text()
        self.assertRegex(report, r'name="load tests/broken_test\.lua"[^>]*>\s*<error')

    def use_runner(self, source):
        # The sample runner also lives in the shared-helpers archive, which is searched first.
        self.drop_archive("vka.vke")
        self.tree.lua_module("tests.vkaunit", source)

    def test_runner_gets_the_value_exactly_and_its_non_zero_result_is_the_exit_code(self):
        self.use_runner(ECHO_RUNNER)
        self.write_test("tests/x_test.lua", "")
        r = self.tree.run("-u", "tests/x_test.lua", cwd=self.cwd, env={"RUNNER_RESULT": "4"})
        self.assertEqual(r.returncode, 4)
        self.assertIn("runner got [tests/x_test.lua]", r.stdout)
        self.assertEqual(markers(r.stdout), ["<init>"])

    def test_quotes_and_backslashes_in_the_value_reach_the_runner_unchanged(self):
        # Regression: the value went into the chunk unescaped, so a quote broke the chunk or
        # let the rest of the file name run as Lua code.
        self.use_runner(ECHO_RUNNER)
        for name in ('we"ird_test.lua', 'x"); os.exit(9); --.lua', 'back\\slash.lua'):
            with self.subTest(name=name):
                (self.cwd / name).write_text("")
                r = self.tree.run("-u", name, cwd=self.cwd)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertIn("runner got [%s]" % name, r.stdout)
                self.assertEqual(markers(r.stdout), ["<init>", "<shutdown>"])

    def test_runner_that_cannot_be_loaded_fails_with_its_error(self):
        self.use_runner("error('runner broken')\n")
        self.write_test("tests/x_test.lua", "")
        r = self.tree.run("-u", "tests/x_test.lua", cwd=self.cwd)
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("runner broken", r.stderr)
        self.assertEqual(markers(r.stdout), ["<init>"])


class OtherApplicationTest(AgentTestCase):
    """An application name other than vk_agent ends from the script thread."""

    def test_tool_runs_its_own_module_and_exits_with_its_result(self):
        self.tree.lua_module("vk_agent", "error('the agent module must not load')\n")
        self.tree.lua_module("tool", app_module(main_body="""
            dom:Log('warning', 'tool warning before exit')
            return 5"""))
        r = self.tree.run("-a", "tool")
        self.assertEqual(r.returncode, 5, r.stderr)
        self.assertEqual(markers(r.stdout), ["<init>", "<main>"])
        entries = self.tree.log_entries("tool")
        self.assertIn(("WARNING", "tool warning before exit"), entries)
        self.assertFalse([t for _, t in entries if t.startswith("VKA ")], entries)


class ScriptThreadLogTest(AgentTestCase):
    def test_a_warning_logged_by_the_script_reaches_the_log_before_exit(self):
        self.tree.lua_module("vk_agent", app_module(main_body="""
            dom:Log('warning', 'script warning before exit')
            return 5"""))
        r = self.tree.run()
        self.assertEqual(r.returncode, 5, r.stderr)
        self.assertIn(("WARNING", "script warning before exit"), self.tree.log_entries())


class ScriptThreadExceptionTest(AgentTestCase):
    @unittest.skipIf(harness.sanitized(), "the sanitizer runtime reserves more address space than any limit")
    def test_out_of_memory_on_the_script_thread_ends_the_run_with_the_error_in_the_log(self):
        # The Lua error fits under the limit; its text converted for the host does not, and the
        # allocation throws on the script thread.
        self.tree.lua_module("vk_agent", app_module(init="error(string.rep('x', 32 * 1024 * 1024))"))
        limit = 400 * 1024 * 1024
        r = self.tree.run(timeout=120, preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)))
        self.assertEqual(r.returncode, 255, r.stderr[:500])
        errors = [t for level, t in self.tree.log_entries() if level == "ERROR"]
        self.assertEqual(errors, ['The script thread ended with an unhandled std::exception of type "St9bad_alloc", '
                                  'what() = "std::bad_alloc"; the agent stops.'])


class SignalTest(AgentTestCase):
    """A running foreground agent records SIGUSR1 and goes on; SIGTERM stays pending."""

    WAIT_FOR_GO = """
        local ready = os.getenv('READY_FILE')
        local f = assert(io.open(ready, 'w')) f:write('x') f:close()
        local go = os.getenv('GO_FILE')
        for _ = 1, 600 do
          local g = io.open(go, 'r')
          if g then g:close() io.write('<go>\\n') return 0 end
          os.execute('sleep 0.05')
        end
        return 1"""

    def start(self):
        self.tree.lua_module("vk_agent", app_module(main_body=self.WAIT_FOR_GO, shutdown="return 8"))
        self.ready, self.go = self.tmp / "ready", self.tmp / "go"
        env = dict(os.environ, READY_FILE=str(self.ready), GO_FILE=str(self.go))
        proc = subprocess.Popen([str(self.tree.exe), "-w", str(self.tree.work)], cwd=self.tmp,
                                env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        deadline = time.time() + 30
        while not self.ready.exists():
            self.assertIsNone(proc.poll(), "agent ended early")
            self.assertLess(time.time(), deadline, "agent never became ready")
            time.sleep(0.05)
        return proc

    def finish(self, proc):
        self.go.write_text("go")
        out, err = proc.communicate(timeout=60)
        return proc.returncode, out, err

    def test_sigusr1_is_recorded_and_the_agent_goes_on(self):
        proc = self.start()
        for _ in range(3):
            proc.send_signal(signal.SIGUSR1)
            time.sleep(0.1)
        self.assertIsNone(proc.poll())
        code, out, err = self.finish(proc)
        self.assertEqual(code, 8, err)
        self.assertEqual(markers(out), ["<init>", "<main>", "<go>", "<shutdown>"])

    def test_sigterm_stays_pending_in_the_foreground(self):
        proc = self.start()
        proc.send_signal(signal.SIGTERM)
        time.sleep(0.3)
        self.assertIsNone(proc.poll(), "SIGTERM ended a foreground agent")
        code, out, err = self.finish(proc)
        self.assertEqual(code, 8, err)
        self.assertEqual(markers(out), ["<init>", "<main>", "<go>", "<shutdown>"])


if __name__ == "__main__":
    main()
