"""Domain variables from the command line and the INI configuration, read back from Lua."""

import os
import shutil
import stat
import subprocess
import unittest
from pathlib import Path

from harness import main
from dom_probe import ProbeTestCase

DEFAULT_TRACE = "Appl,Cmd,Srvc,vka.Heartbeat,vka.ListenThread,vka.PluginUtils"
START_LINE = "VKA 10.0.0.4015 starting."
INVALID = "Ignoring invalid domain variable specification '%s': expected name=value format\n"


class Defaults(ProbeTestCase):

    def test_no_options(self):
        run = self.probe(workdir=False)
        bin_dir = str(self.tree.bin)
        work = bin_dir + "/work"
        self.assertEqual(run.dom["app.path.exe"], ("string", bin_dir + "/vk_agent"))
        self.assertEqual(run.dom["app.name"], ("string", "vk_agent"))
        self.assertEqual(run.dom["app.path.work"], ("string", work))
        self.assertEqual(run.dom["app.path.ini"], ("string", work + "/vk_agent.ini"))
        self.assertEqual(run.dom["app.path.ini.global"], ("string", "/etc/vk_agent.conf"))
        self.assertEqual(run.dom["app.trace+"], ("string", DEFAULT_TRACE))
        self.assertEqual(run.dom["app.fulldump"], ("boolean", "false"))
        for key in ("app.background", "app.plugins", "app.lua.cpath", "app.lua.path",
                    "app.trace", "app.mode.unittest"):
            self.assertIsNone(run.type(key), key)
        self.assertTrue(Path(work).is_dir())
        self.assertTrue(run.main_ran)
        # Nothing was logged before the log knew its folder: it all went to the log file.
        self.assertEqual(run.stderr, "")
        log = (Path(work) / "vk_agent.log").read_text()
        self.assertIn(" VERBOSE " + START_LINE, log)

    def test_relative_program_path_is_made_absolute(self):
        run = self.probe(exe="./agent/vk_agent", cwd=self.tree.root)
        self.assertEqual(run.value("app.path.exe"), str(self.tree.bin / "vk_agent"))

    def test_other_application_name(self):
        run = self.probe("-a", "tool")
        self.assertEqual(run.value("app.name"), "tool")
        self.assertEqual(run.dom["app.trace+"], ("string", ""))
        self.assertEqual(run.value("app.path.ini"), str(self.tree.work / "tool.ini"))
        self.assertEqual(run.value("app.path.ini.global"), "/etc/tool.conf")
        log = self.tree.log_text("tool") + self.tree.log_text("vk_agent")
        self.assertNotIn("starting.", log)


class Options(ProbeTestCase):

    def test_plain_values(self):
        run = self.probe("-p", "p1,p2", "-t", "Appl,Cmd", "-e", "ext", "-z", "a.zip")
        self.assertEqual(run.dom["app.plugins"], ("string", "p1,p2"))
        self.assertEqual(run.dom["app.trace"], ("string", "Appl,Cmd"))

    def test_trace_quotes_are_removed(self):
        for given, stored in [("'Appl,Cmd'", "Appl,Cmd"), ('"Appl"', "Appl"), ("a'b\"c", "abc")]:
            with self.subTest(given=given):
                self.assertEqual(self.probe("-t", given).value("app.trace"), stored)

    def test_lua_paths_are_expanded_for_plugins(self):
        run = self.probe("-l", "a/@.lua;b.lua", "-c", "lib/@.so", "-p", "p1,p2")
        self.assertEqual(run.value("app.lua.path"), "a/p1.lua;a/p2.lua;b.lua;b.lua")
        self.assertEqual(run.value("app.lua.cpath"), "lib/p1.so;lib/p2.so")
        run = self.probe("-l", "a/@.lua;b.lua")
        self.assertEqual(run.value("app.lua.path"), "a/@.lua;b.lua")
        self.assertIsNone(run.type("app.lua.cpath"))

    def test_domain_var(self):
        for given, key, stored in [("a=b=c", "a", "b=c"), ("a=", "a", ""), ("x.y=1 2", "x.y", "1 2")]:
            with self.subTest(given=given):
                run = self.probe("-d", given)
                self.assertEqual(run.dom[key], ("string", stored))
                self.assertEqual(run.stderr, "")

    def test_malformed_domain_var_is_reported_and_passed_over(self):
        for given in ("=x", "abc", "="):
            with self.subTest(given=given):
                run = self.probe("-d", given)
                self.assertEqual(run.stderr, INVALID % given)
                self.assertNotIn("", run.dom)
                self.assertTrue(run.main_ran)

    def test_only_one_domain_var_per_run(self):
        run = self.probe("-d", "a=1", "-d", "b=2")
        self.assertIsNone(run.type("a"))
        self.assertEqual(run.dom["b"], ("string", "2"))

    def test_domain_var_overrides_an_earlier_key(self):
        run = self.probe("-d", "app.trace=Mine", "-t", "Theirs")
        self.assertEqual(run.value("app.trace"), "Mine")

    def test_unittest_with_a_wildcard_is_not_checked(self):
        run = self.probe("-u", "tests/*.lua")
        self.assertEqual(run.dom["app.mode.unittest"], ("boolean", "true"))
        self.assertEqual(run.runner, "tests/*.lua")
        self.assertFalse(run.main_ran)

    def test_unittest_with_an_existing_file(self):
        script = self.tmp / "one_test.lua"
        script.write_text("-- nothing\n")
        run = self.probe("-u", str(script))
        self.assertEqual(run.runner, str(script))
        self.assertEqual(run.value("app.mode.unittest"), "true")

    def test_unittest_with_a_missing_file(self):
        run = self.probe("-u", "missing.lua", expect_ok=False)
        self.assertIn("missing.lua: not found", run.stderr)
        self.assertNotIn("missing.lua: not found\n", run.stderr)
        self.assertIsNone(run.type("app.mode.unittest"))
        self.assertIsNone(run.runner)
        # The run fails instead of running main.
        self.assertEqual((run.returncode, run.main_ran), (1, False))
        # The test switch still selects unit-test mode, but there is nothing to run.
        run = self.probe("-u", "missing.lua", "-U", expect_ok=False)
        self.assertEqual(run.value("app.mode.unittest"), "true")
        self.assertIsNone(run.runner)


class WorkFolder(ProbeTestCase):

    def test_environment_references_are_expanded(self):
        home = self.tmp / "home"
        home.mkdir()
        run = self.probe("-w", "$HOME/agent", workdir=False, env={"HOME": str(home)})
        self.assertEqual(run.value("app.path.work"), str(home / "agent"))
        self.assertEqual(run.value("app.path.ini"), str(home / "agent" / "vk_agent.ini"))
        self.assertTrue((home / "agent").is_dir())

    def test_relative_folder_is_taken_against_the_current_directory(self):
        cwd = self.tmp / "cwd"
        cwd.mkdir()
        run = self.probe("-w", "rel/../work2/", workdir=False, cwd=cwd)
        self.assertEqual(run.value("app.path.work"), str(cwd / "work2"))
        self.assertTrue((cwd / "work2").is_dir())

    def test_created_folders_are_owner_only_and_enterable(self):
        deep = self.tmp / "a" / "b" / "c"
        self.probe("-w", str(deep), workdir=False, preexec_fn=lambda: os.umask(0o022))
        for folder in (self.tmp / "a", self.tmp / "a" / "b", deep):
            self.assertEqual(stat.S_IMODE(folder.stat().st_mode), 0o700, folder)
        self.assertTrue((deep / "vk_agent.log").exists())

    @unittest.skipUnless(shutil.which("setpriv"), "needs setpriv")
    def test_unprivileged_user_can_use_the_folders_it_creates(self):
        # Regression: folders made 0600 cannot be entered by their owner, so a non-root
        # agent could neither create the nested work folder nor write its log there.
        uid = gid = 65534
        os.chmod(self.tmp, 0o755)
        home = self.tmp / "home"
        home.mkdir()
        os.chown(home, uid, gid)
        deep = home / "x" / "work"
        cmd = ["setpriv", "--reuid=%d" % uid, "--regid=%d" % gid, "--clear-groups",
               str(self.tree.exe), "-w", str(deep)]
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=120, cwd=str(home))
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        self.assertIn("DOM\tapp.path.work\tstring\t%s" % deep, proc.stdout)
        self.assertEqual(stat.S_IMODE((home / "x").stat().st_mode), 0o700)
        self.assertTrue((deep / "vk_agent.log").exists())


class Configuration(ProbeTestCase):

    def write_ini(self, text, name="vk_agent"):
        self.tree.work.mkdir(parents=True, exist_ok=True)
        (self.tree.work / (name + ".ini")).write_text(text)

    def test_entries_of_the_local_file(self):
        self.write_ini("Trace=Foo,Bar\nDumpLevel=2\nsqlite.config.x=5\nsqlite.config.y=abc\n"
                       "other=7\n[group]\nsqlite.config.z=9\n")
        run = self.probe()
        self.assertEqual(run.dom["app.trace+"], ("string", "Foo,Bar"))
        self.assertEqual(run.dom["app.fulldump"], ("boolean", "true"))
        self.assertEqual(run.dom["sqlite.config.x"], ("integer", "5"))
        for key in ("sqlite.config.y", "other", "sqlite.config.z", "group/sqlite.config.z"):
            self.assertIsNone(run.type(key), key)

    def test_dump_level(self):
        for text, expected in [("DumpLevel=0\n", "false"), ("DumpLevel=-1\n", "true"),
                               ("DumpLevel=lots\n", "false"), ("", "false")]:
            with self.subTest(text=text):
                self.write_ini(text)
                self.assertEqual(self.probe().dom["app.fulldump"], ("boolean", expected))

    def test_other_application_reads_its_own_file(self):
        self.write_ini("Trace=Agent\n")
        self.write_ini("Trace=Tool\n", name="tool")
        self.assertEqual(self.probe("-a", "tool").value("app.trace+"), "Tool")

    def test_global_file_named_by_a_domain_var(self):
        # The local file overrides the global one entry by entry.
        global_file = self.tmp / "global.conf"
        global_file.write_text("Trace=Global\nDumpLevel=3\nsqlite.config.g=11\n")
        self.write_ini("Trace=Local\n")
        run = self.probe("-d", "app.path.ini.global=%s" % global_file)
        self.assertEqual(run.value("app.path.ini.global"), str(global_file))
        self.assertEqual(run.value("app.trace+"), "Local")
        self.assertEqual(run.value("app.fulldump"), "true")
        self.assertEqual(run.dom["sqlite.config.g"], ("integer", "11"))

    def test_binary_file_is_read_as_far_as_it_makes_sense_with_one_warning(self):
        # Regression: junk lines made the framework print assertions and call stacks.
        ini = self.tree.work / "vk_agent.ini"
        self.write_ini("")
        ini.write_bytes(b"DumpLevel=1\n" + bytes(range(256)) * 8 + b"\n = no name\n[g]\n[/g]\n")
        run = self.probe()
        self.assertEqual(run.dom["app.fulldump"], ("boolean", "true"))
        self.assertNotIn("assert", run.stderr)
        warnings = [text for level, text in self.tree.log_entries() if level == "WARNING"]
        self.assertEqual(len(warnings), 1, warnings)
        self.assertIn("Configuration file '%s' is damaged" % ini, warnings[0])

    def test_configuration_overrides_a_domain_var(self):
        self.write_ini("Trace=FromFile\n")
        run = self.probe("-d", "app.trace+=FromCommandLine")
        self.assertEqual(run.value("app.trace+"), "FromFile")


if __name__ == "__main__":
    main()
