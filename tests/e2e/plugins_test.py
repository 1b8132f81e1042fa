"""Plugin packages (*.vkp) and removal packages (*.vku) beside the executable: what is unpacked
or deleted, what the package files become, the events written and what Lua sees afterwards."""

import grp
import os
import pwd
import re
import zipfile
from pathlib import Path

from harness import AgentTestCase, main, make_zip

# An application module that prints what the packages left in the domain.
PROBE = """
local M = {}
function M.init() return 0 end
function M.main()
  print('HEARTBEAT=' .. tostring(dom:GetBool('vka.HeartbeatNow')))
  for _, e in ipairs(dom:Events()) do
    print(string.format('EVENT=%d|%d|%s', e.event, e.severity, e.text))
  end
  return 0
end
function M.shutdown() return 0 end
return M
"""

INFO = 0      # severity of a handled package
WARNING = 1   # severity of one that was not

TRACE = re.compile(r"^\[Appl\] \S+ (?:Install|Uninstall)\w+: (.*)$")


class PluginTestCase(AgentTestCase):

    def setUp(self):
        super().setUp()
        # The probe goes into the application's core archive, which require searches first.
        make_zip(self.tree.bin / "vka_core" / "vk_agent.vke", {"vk_agent.lua": PROBE})

    def package(self, name, files, **kw):
        return str(make_zip(self.tree.bin / name, files, **kw))

    def start(self, *args, **kw):
        run = self.tree.run("-i", "-t", "Appl", *args, **kw)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr + self.tree.log_text())
        self.run_output = run.stdout
        return run

    def heartbeat(self):
        for line in self.run_output.splitlines():
            if line.startswith("HEARTBEAT="):
                return line[len("HEARTBEAT="):]
        self.fail("the probe did not run: " + self.run_output)

    def lua_events(self):
        return [line[len("EVENT="):] for line in self.run_output.splitlines() if line.startswith("EVENT=")]

    def events(self):
        """The events as stored, checked against what Lua reads back."""
        stored = self.tree.events()
        self.assertEqual(self.lua_events(), ["%d|%d|%s" % e for e in stored])
        return stored

    def lines(self, level):
        return [text for _, text in self.tree.log_entries(level=level)]

    def traces(self):
        out = []
        for text in self.lines("TRACE"):
            m = TRACE.match(text)
            if m:
                out.append(m.group(1))
        return out

    def bin_listing(self):
        return sorted(str(p.relative_to(self.tree.bin)) for p in self.tree.bin.rglob("*"))

    def read(self, rel):
        return (self.tree.bin / rel).read_text()


class Installation(PluginTestCase):

    def test_well_formed_package_is_unpacked_and_set_aside(self):
        p = self.package("Base-Foo-10.0.0-1234.x86_64.vkp", {
            "plugins/foo/init.lua": "return 'foo'\n",
            "foo.txt": "0123456789",
        })
        self.start()
        self.assertEqual(self.read("plugins/foo/init.lua"), "return 'foo'\n")
        self.assertEqual(self.read("foo.txt"), "0123456789")
        self.assertFalse(os.path.exists(p))
        self.assertTrue(zipfile.is_zipfile(p + ".done"))
        self.assertEqual(self.events(), [(5101, INFO, "Foo|Base-Foo-10.0.0-1234.x86_64|" + p)])
        self.assertEqual(self.heartbeat(), "true")
        self.assertEqual(self.traces(), [
            "Extracting files from " + p,
            "  extracting: plugins/foo/init.lua (13 bytes)",
            "  extracting: foo.txt (10 bytes)",
            "Successfully extracted files for plugin 'Base-Foo-10.0.0-1234.x86_64'. Deleting '%s'" % p,
        ])
        self.assertEqual(self.lines("WARNING") + self.lines("ERROR"), [])

    def test_version_mismatch_is_refused_untouched(self):
        p = self.package("Base-Foo-9.5.0-1234.x86_64.vkp", {"foo.txt": "x"})
        self.start()
        self.assertFalse((self.tree.bin / "foo.txt").exists())
        self.assertTrue(os.path.exists(p))
        self.assertEqual(self.events(), [(5102, WARNING, "Foo|Base-Foo-9.5.0-1234.x86_64|" + p)])
        self.assertEqual(self.lines("WARNING"),
                         ["Plugin file '%s' does not match VKA core version, not installing" % p])
        self.assertEqual(self.heartbeat(), "true")

    def test_names_decide_plugin_and_version_and_packages_go_in_path_order(self):
        names = ["x-y-10.0.0.vkp", "foo.vkp", "a-b.vkp", "a--b-10.0.0-1.s.vkp", "Base-Foo-10.0.0-1234.vkp",
                 "B-x-10.0.0-1.s.vkp", "A-y-10.0.0-1.s.vkp"]
        paths = {}
        for name in names:
            paths[name] = self.package(name, {"last.txt": name, name + ".txt": name})
        self.start()
        expected = [
            ("A-y-10.0.0-1.s.vkp", 5101, "y"),
            ("B-x-10.0.0-1.s.vkp", 5101, "x"),
            ("Base-Foo-10.0.0-1234.vkp", 5102, "Foo"),
            ("a--b-10.0.0-1.s.vkp", 5101, ""),
            ("a-b.vkp", 5101, "b"),
            ("foo.vkp", 5101, "foo"),
            ("x-y-10.0.0.vkp", 5102, "y"),
        ]
        self.assertEqual(self.events(), [
            (number, INFO if number == 5101 else WARNING, "%s|%s|%s" % (plugin, name[:-4], paths[name]))
            for name, number, plugin in expected])
        # The last package installed wins a file that several carry.
        self.assertEqual(self.read("last.txt"), "foo.vkp")
        for name, number, _ in expected:
            self.assertEqual((self.tree.bin / (name + ".txt")).exists(), number == 5101, name)
            self.assertEqual(os.path.exists(paths[name] + ".done"), number == 5101, name)

    def test_only_visible_lower_case_packages_directly_beside_the_executable_count(self):
        self.package("sub/Base-Foo-10.0.0-1.x.vkp", {"sub.txt": "x"})
        self.package(".hidden.vkp", {"hidden.txt": "x"})
        self.package("X.VKP", {"upper.txt": "x"})
        (self.tree.bin / "folder.vkp").mkdir()
        before = self.bin_listing()
        self.start()
        self.assertEqual(self.bin_listing(), before)
        self.assertEqual(self.events(), [])
        self.assertEqual(self.heartbeat(), "nil")
        self.assertEqual(self.traces(), [])
        self.assertEqual(self.lines("WARNING") + self.lines("ERROR"), [])

    def test_with_tracing_off_only_the_traces_go(self):
        # An application other than the agent starts with no trace module enabled.
        make_zip(self.tree.bin / "vka_core" / "tool.vke", {"tool.lua": PROBE})
        good = self.package("Base-Foo-10.0.0-1.x.vkp", {"foo.txt": "x"})
        bad = self.package("Base-Foo-9.0.0-1.x.vkp", {"foo.txt": "x"})
        run = self.tree.run("-i", "-a", "tool")
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual([e[0] for e in self.tree.events()], [5101, 5102])
        self.assertEqual([t for _, t in self.tree.log_entries("tool", level="TRACE")], [])
        self.assertEqual([t for _, t in self.tree.log_entries("tool", level="WARNING")],
                         ["Plugin file '%s' does not match VKA core version, not installing" % bad])
        self.assertTrue(os.path.exists(good + ".done"))

    def test_without_the_switch_nothing_is_installed(self):
        p = self.package("foo.vkp", {"foo.txt": "x"})
        run = self.tree.run("-t", "Appl")
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertTrue(os.path.exists(p))
        # The store and its table exist from the first start, so readers can always query it.
        self.assertTrue((self.tree.work / "events.db").exists())
        self.assertEqual(self.tree.events(), [])

    def test_existing_done_file_is_replaced(self):
        p = self.package("foo.vkp", {"foo.txt": "new"})
        with open(p + ".done", "w") as f:
            f.write("an older package")
        with open(p, "rb") as f:
            data = f.read()
        self.start()
        with open(p + ".done", "rb") as f:
            self.assertEqual(f.read(), data)
        self.assertEqual([e[0] for e in self.events()], [5101])
        self.assertEqual(self.lines("ERROR"), [])

    def test_damaged_package_leaves_no_partial_file_and_stays(self):
        p = self.package("foo.vkp", {"first.txt": "first", "second.txt": os.urandom(5000)})
        data = bytearray(Path(p).read_bytes())
        # Corrupt the second entry's data, so its check fails while it is being written.
        at = data.index(b"second.txt") + len(b"second.txt") + 100
        data[at:at + 20] = b"\xff" * 20
        Path(p).write_bytes(bytes(data))
        self.start()
        self.assertEqual(self.lines("WARNING"), ["Damaged archive '%s': entry 'second.txt' cannot be read (CRC error)" % p])
        self.assertFalse((self.tree.bin / "second.txt").exists())
        self.assertEqual([n for n in os.listdir(self.tree.bin) if n.startswith(".vka-unzip")], [])
        self.assertTrue(os.path.exists(p))
        self.assertEqual(self.events(), [(5102, WARNING, "foo|foo|" + p)])
        self.assertEqual(self.heartbeat(), "true")

    def test_unsafe_packages_write_nothing_and_stay(self):
        outside = self.tmp / "escape.txt"
        # The zip tool would not store these names, so they go in directly.
        a = self.tree.bin / "a.vkp"
        with zipfile.ZipFile(a, "w") as z:
            z.writestr("safe.txt", "x")
            z.writestr("../escape.txt", "x")
        b = self.package("b.vkp", {"safe.txt": "x"}, symlinks={"link": "/etc"})
        c = self.tree.bin / "c.vkp"
        with zipfile.ZipFile(c, "w") as z:
            z.writestr("safe.txt", "x")
            z.writestr("/tmp/vka-absolute.txt", "x")
        paths = [str(a), b, str(c)]
        self.start()
        self.assertFalse((self.tree.bin / "safe.txt").exists())
        self.assertFalse((self.tree.bin / "link").exists())
        self.assertFalse(outside.exists())
        self.assertEqual(self.events(), [(5102, WARNING, "%s|%s|%s" % (n, n, p))
                                         for n, p in zip(["a", "b", "c"], paths)])
        for p in paths:
            self.assertTrue(os.path.exists(p))
        warnings = self.lines("WARNING")
        self.assertEqual(len(warnings), 3, warnings)
        for entry, warning in zip(["../escape.txt", "link", "/tmp/vka-absolute.txt"], warnings):
            self.assertIn(entry, warning)
        self.assertEqual([t for t in self.traces() if t.startswith("Successfully")], [])


class Removal(PluginTestCase):

    def test_removal_package_deletes_listed_files_and_itself(self):
        (self.tree.bin / "sub").mkdir()
        for rel in ("a.lua", "sub/b.lua", "keep.lua", "sub/keep.lua"):
            (self.tree.bin / rel).write_text("installed")
        p = self.package("Base-Foo-9.0.0-1.x86_64.vku", {
            "a.lua": "package copy", "sub/b.lua": "package copy", "missing.lua": "x", "sub/": ""})
        self.start()
        self.assertFalse((self.tree.bin / "a.lua").exists())
        self.assertFalse((self.tree.bin / "sub" / "b.lua").exists())
        self.assertFalse((self.tree.bin / "missing.lua").exists())
        self.assertEqual(self.read("keep.lua"), "installed")
        self.assertEqual(self.read("sub/keep.lua"), "installed")
        self.assertFalse(os.path.exists(p))
        self.assertEqual(self.events(), [(5105, INFO, "Foo|Base-Foo-9.0.0-1.x86_64|" + p)])
        self.assertEqual(self.heartbeat(), "true")
        traces = self.traces()
        self.assertEqual(traces[0], "Removing files from " + p)
        self.assertIn("  removing: a.lua (12 bytes)", traces)
        self.assertIn("  removing: missing.lua (1 bytes)", traces)
        self.assertEqual(traces[-1], "Successfully removed files for plugin 'Base-Foo-9.0.0-1.x86_64'. Deleting '%s'" % p)
        self.assertEqual(self.lines("WARNING") + self.lines("ERROR"), [])

    def test_removal_runs_before_installation(self):
        (self.tree.bin / "foo.lua").write_text("old")
        self.package("Base-Foo-10.0.0-1.x.vku", {"foo.lua": "old", "old_only.lua": "x"})
        (self.tree.bin / "old_only.lua").write_text("old")
        self.package("Base-Foo-10.0.0-2.x.vkp", {"foo.lua": "new"})
        self.start()
        self.assertEqual(self.read("foo.lua"), "new")
        self.assertFalse((self.tree.bin / "old_only.lua").exists())
        self.assertEqual([e[0] for e in self.events()], [5105, 5101])

    def test_unsafe_removal_package_deletes_nothing(self):
        victim = self.tmp / "victim.txt"
        victim.write_text("keep me")
        (self.tree.bin / "a.lua").write_text("installed")
        p = self.tree.bin / "foo.vku"
        with zipfile.ZipFile(p, "w") as z:
            z.writestr("a.lua", "x")
            z.writestr("../victim.txt", "x")
        self.start()
        self.assertTrue(victim.exists())
        self.assertEqual(self.read("a.lua"), "installed")
        self.assertTrue(p.exists())
        self.assertEqual(self.events(), [(5106, WARNING, "foo|foo|%s" % p)])
        self.assertEqual(len(self.lines("WARNING")), 1)
        self.assertIn("../victim.txt", self.lines("WARNING")[0])

    def test_no_package_at_all(self):
        self.start()
        self.assertEqual(self.events(), [])
        self.assertEqual(self.heartbeat(), "nil")
        self.assertEqual(self.traces(), [])
        self.assertEqual(self.lines("WARNING") + self.lines("ERROR"), [])


class Permissions(PluginTestCase):
    """Runs as an unprivileged user in a tree owned by root whose executable's folder the user
    cannot write."""

    def setUp(self):
        super().setUp()
        self.nobody = pwd.getpwnam("nobody").pw_uid
        self.nogroup = grp.getgrnam("nogroup").gr_gid
        os.chmod(self.tmp, 0o755)
        os.chmod(self.tree.bin, 0o755)
        self.tree.work.mkdir()
        os.chown(self.tree.work, self.nobody, self.nogroup)
        # The one folder the user may write: packages unpack into it and delete from it.
        self.writable = self.tree.bin / "plugins"
        self.writable.mkdir()
        os.chown(self.writable, self.nobody, self.nogroup)

    def start_as_nobody(self):
        def drop():
            os.setgroups([])
            os.setgid(self.nogroup)
            os.setuid(self.nobody)
        return self.start(preexec_fn=drop)

    def test_failed_rename_and_deletion_report_the_system_error(self):
        (self.writable / "old.lua").write_text("old")
        locked = self.tree.bin / "locked.lua"
        locked.write_text("cannot go")
        vku = self.package("Base-Foo-10.0.0-1.x.vku", {"plugins/old.lua": "x", "locked.lua": "x"})
        vkp = self.package("Base-Foo-10.0.0-2.x.vkp", {"plugins/new.lua": "new"})
        self.start_as_nobody()
        self.assertFalse((self.writable / "old.lua").exists())
        self.assertTrue(locked.exists())
        self.assertEqual(self.read("plugins/new.lua"), "new")
        self.assertTrue(os.path.exists(vku))
        self.assertTrue(os.path.exists(vkp))
        self.assertFalse(os.path.exists(vkp + ".done"))
        self.assertEqual([(e[0], e[1]) for e in self.events()], [(5105, INFO), (5101, INFO)])
        # The failed deletion of a listed file is ignored without a word; the package files
        # that stay are reported with the real error number.
        self.assertEqual(self.lines("ERROR"), [
            "Unable to delete %s (error 13: Permission denied)" % vku,
            "Unable to delete %s (error 13: Permission denied)" % vkp,
        ])
        self.assertEqual(self.lines("WARNING"), [])

    def test_unreadable_packages_are_refused(self):
        vku = self.package("foo.vku", {"plugins/x.lua": "x"})
        vkp = self.package("foo.vkp", {"plugins/x.lua": "x"})
        os.chmod(vku, 0o600)
        os.chmod(vkp, 0o600)
        self.start_as_nobody()
        self.assertFalse((self.writable / "x.lua").exists())
        self.assertEqual(self.events(), [(5106, WARNING, "foo|foo|" + vku), (5102, WARNING, "foo|foo|" + vkp)])
        self.assertEqual(self.lines("WARNING"), [
            "Plugin file '%s' isn't readable" % vku,
            "Plugin file '%s' isn't readable" % vkp,
        ])


if __name__ == "__main__":
    main()
