"""The archive list that reaches Lua: core archives, command-line entries and the extension
folder, in that order, with version-checked wildcard matches, and the modules require finds in
the listed archives."""

import grp
import os
import pwd
import re
import resource

from harness import AgentTestCase, main, make_zip

# An application module that prints what the host handed to Lua. REQUIRES names modules to
# load through the archive list; each is reported with the value it returned.
PROBE = """
local M = {}
local REQUIRES = {%s}
function M.init() return 0 end
function M.main()
  print('ZIPPATH=' .. tostring(dom:Get('app.lua.zippath')))
  for _, name in ipairs(REQUIRES) do
    local ok, value = pcall(require, name)
    print('REQUIRE ' .. name .. '=' .. (ok and tostring(value) or 'error'))
  end
  return 0
end
function M.shutdown() return 0 end
return M
"""

TRACE = re.compile(r"^\[Appl\] \S+ ExpandZippath: (.*)$")

GOOD_VERSION = "version: 10.0.0-4015\n"


def probe_source(requires=()):
    return PROBE % ", ".join("'%s'" % r for r in requires)


def module_archive(path, module, value):
    """An archive holding the module that returns the string value."""
    return make_zip(path, {module.replace(".", "/") + ".lua": "return '%s'\n" % value})


class SearchPathTestCase(AgentTestCase):

    def setUp(self):
        super().setUp()
        self.core = self.tree.bin / "vka_core"
        self.use_probe()

    def use_probe(self, requires=(), app="vk_agent"):
        """Puts the probe into the application's core archive, where require looks first."""
        make_zip(self.core / (app + ".vke"), {app + ".lua": probe_source(requires)})

    def start(self, *args, app="vk_agent", **kw):
        run = self.tree.run("-t", "Appl", *args, **kw)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr + self.tree.log_text(app))
        return run

    def zippath(self, run):
        for line in run.stdout.splitlines():
            if line.startswith("ZIPPATH="):
                value = line[len("ZIPPATH="):]
                return None if value == "nil" else value.split(";")
        self.fail("the probe did not run: " + run.stdout + run.stderr)

    def required(self, run, name):
        prefix = "REQUIRE %s=" % name
        for line in run.stdout.splitlines():
            if line.startswith(prefix):
                return line[len(prefix):]
        self.fail("no result for " + name + ": " + run.stdout)

    def warnings(self, app="vk_agent"):
        return [text for _, text in self.tree.log_entries(app, level="WARNING")]

    def traces(self, app="vk_agent"):
        out = []
        for _, text in self.tree.log_entries(app, level="TRACE"):
            m = TRACE.match(text)
            if m:
                out.append(m.group(1))
        return out

    def path(self, rel):
        return str(self.tree.bin / rel)

    def extension(self, rel, version=GOOD_VERSION, module=None):
        """An archive below the executable's folder, with a companion unless version is None."""
        p = self.tree.bin / rel
        module_archive(p, module or "m_" + p.stem, p.name)
        if version is not None:
            (self.tree.bin / (rel + ".version")).write_text(version)
        return str(p)


class CoreArchives(SearchPathTestCase):

    def test_both_core_archives_in_order(self):
        run = self.start()
        self.assertEqual(self.zippath(run), [self.path("vka_core/vk_agent.vke"), self.path("vka_core/vka.vke")])
        self.assertEqual(self.warnings(), [])
        self.assertEqual(self.traces(), [
            "zipFilespec: ",
            "app.lua.zippath '%s' " % ";".join(self.zippath(run)),
        ])

    def test_no_archive_at_all_leaves_the_list_unset(self):
        (self.core / "vk_agent.vke").unlink()
        (self.core / "vka.vke").unlink()
        self.tree.lua_module("vk_agent", probe_source())
        run = self.start()
        self.assertIsNone(self.zippath(run))
        self.assertEqual(self.traces(), ["zipFilespec: ", "app.lua.zippath empty "])
        self.assertEqual(self.warnings(), [])

    def test_application_vka_lists_its_archive_once(self):
        self.use_probe(app="vka")
        run = self.start("-a", "vka", app="vka")
        self.assertEqual(self.zippath(run), [self.path("vka_core/vka.vke")])

    def test_other_application_lists_its_own_then_the_shared_archive(self):
        self.use_probe(app="tool")
        run = self.start("-a", "tool", app="tool")
        self.assertEqual(self.zippath(run), [self.path("vka_core/tool.vke"), self.path("vka_core/vka.vke")])


class ListOrder(SearchPathTestCase):

    def test_core_then_command_line_then_extension_folder_with_duplicates(self):
        b = self.extension("lib/b.zip", version=None)
        a = self.extension("lib/a.zip", version=None)
        ext = self.extension("ext/x.vke")
        run = self.start("-z", "lib/b.zip;lib/a.zip;vka_core/vka.vke;lib/b.zip", "-e", "ext")
        core = [self.path("vka_core/vk_agent.vke"), self.path("vka_core/vka.vke")]
        self.assertEqual(self.zippath(run), core + [b, a, core[1], b, ext])
        traces = self.traces()
        self.assertEqual(traces[0], "zipFilespec: lib/b.zip;lib/a.zip;vka_core/vka.vke;lib/b.zip;%s"
                         % self.path("ext/*.vke"))
        self.assertEqual(traces[1:-1], ["Adding extension file '%s' to the search path." % p
                                        for p in [b, a, core[1], b, ext]])
        self.assertEqual(self.warnings(), [])

    def test_wildcard_matches_sorted_and_version_checked_plain_entries_not(self):
        self.extension("lib/b.zip")
        a = self.extension("lib/a.zip")
        self.extension("lib/B.zip", version=None)
        self.extension("lib/c.zip", version="version: 10.0.1-4015\n")
        plain = self.extension("other/plain.zip", version=None)
        run = self.start("-z", "lib/*.zip;other/plain.zip")
        self.assertEqual(self.zippath(run)[2:], [a, self.path("lib/b.zip"), plain])
        self.assertEqual(self.warnings(), [
            "Extension file '%s' does not have a corresponding '.version' file. It will not be enabled."
            % self.path("lib/B.zip"),
            "Ignoring extension '%s' since its version (10.0.1) doesn't match ours (10.0.0)" % self.path("lib/c.zip"),
        ])

    def test_wildcards_match_only_plain_visible_files_of_the_folder_by_case(self):
        a = self.extension("lib/a.zip")
        self.extension("lib/.hidden.zip")
        self.extension("lib/UPPER.ZIP")
        self.extension("lib/sub/deep.zip")
        (self.tree.bin / "lib" / "folder.zip").mkdir()
        q = self.extension("lib/q1.zip")
        run = self.start("-z", "lib/*.zip;lib/q?.zip")
        self.assertEqual(self.zippath(run)[2:], [a, q, q])
        self.assertEqual(self.warnings(), [])

    def test_empty_entries_are_skipped(self):
        a = self.extension("lib/a.zip", version=None)
        run = self.start("-z", ";;lib/a.zip;")
        self.assertEqual(self.zippath(run)[2:], [a])
        self.assertEqual(self.warnings(), [])

    def test_absolute_entries_and_dots_are_normalised(self):
        a = self.extension("lib/a.zip", version=None)
        run = self.start("-z", "%s;lib/../lib/./a.zip" % a)
        self.assertEqual(self.zippath(run)[2:], [a, a])


class Environment(SearchPathTestCase):

    def test_references_are_expanded_and_the_wildcard_decision_uses_the_text_as_written(self):
        a = self.extension("lib/a.zip", version=None)
        b = self.extension("lib/b.zip")
        env = {"VKA_LIB": str(self.tree.bin / "lib"), "VKA_ALL": str(self.tree.bin / "lib" / "*.zip")}
        # $VKA_ALL holds a wildcard that the text as written does not show: a.zip, which has
        # no companion, is admitted unchecked.
        run = self.start("-z", "${VKA_LIB}/b.zip;$VKA_LIB/*.zip;$VKA_ALL", env=env)
        self.assertEqual(self.zippath(run)[2:], [b, b, a, b])
        self.assertEqual(self.warnings(), [
            "Extension file '%s' does not have a corresponding '.version' file. It will not be enabled." % a,
        ])

    def test_extension_folder_is_not_expanded(self):
        self.extension("ext/x.vke")
        run = self.start("-e", "$VKA_EXT", env={"VKA_EXT": str(self.tree.bin / "ext")})
        self.assertEqual(len(self.zippath(run)), 2)
        self.assertEqual(self.warnings(), [])
        self.assertEqual(self.traces()[0], "zipFilespec: ")


class Misses(SearchPathTestCase):

    def test_missing_plain_entry_warns_while_wildcards_and_extension_folder_stay_silent(self):
        run = self.start("-z", "lib/one.zip;lib/*.zip;nowhere/*.zip;nowhere/two.zip", "-e", "no_ext")
        self.assertEqual(len(self.zippath(run)), 2)
        self.assertEqual(self.warnings(), ["lib/one.zip: no matches", "nowhere/two.zip: no matches"])
        self.assertEqual(self.traces()[0], "zipFilespec: lib/one.zip;lib/*.zip;nowhere/*.zip;nowhere/two.zip")

    def test_entry_naming_a_folder_matches_nothing_rather_than_every_file(self):
        self.extension("lib/a.zip", version=None)
        run = self.start("-z", "lib/")
        self.assertEqual(len(self.zippath(run)), 2)
        self.assertEqual(self.warnings(), ["lib/: no matches"])

    def test_unreadable_files_are_left_out_with_a_warning(self):
        nobody = pwd.getpwnam("nobody").pw_uid
        nogroup = grp.getgrnam("nogroup").gr_gid
        a = self.extension("lib/a.zip", version=None)
        b = self.extension("lib/b.zip")
        os.chmod(a, 0o600)
        os.chmod(self.tmp, 0o755)
        self.tree.work.mkdir()
        os.chown(self.tree.work, nobody, nogroup)

        def as_nobody():
            os.setgroups([])
            os.setgid(nogroup)
            os.setuid(nobody)

        run = self.start("-z", "lib/a.zip;lib/*.zip", preexec_fn=as_nobody)
        self.assertEqual(self.zippath(run)[2:], [b])
        self.assertEqual(self.warnings(), ["Extension file '%s' isn't readable" % a] * 2)

    def test_companion_of_one_huge_line_is_refused_quickly_in_little_memory(self):
        # Regression: the line was read whole, 100 MiB took seconds and most of a gigabyte.
        a = self.extension("ext/a.vke", version=None)
        with open(a + ".version", "wb") as f:
            for _ in range(100):
                f.write(b"x" * 1024 * 1024)

        def small_address_space():
            # The sanitizer reserves terabytes of address space for itself.
            if "ASAN_OPTIONS" not in os.environ:
                resource.setrlimit(resource.RLIMIT_AS, (256 * 1024 * 1024,) * 2)

        run = self.start("-e", "ext", preexec_fn=small_address_space, timeout=60)
        self.assertEqual(len(self.zippath(run)), 2)
        self.assertEqual(self.warnings(), ["File '%s.version' does not contain a 'version:' line. "
                                           "Extension '%s' will not be enabled." % (a, a)])


class ModulesReachLua(SearchPathTestCase):

    def test_require_searches_the_archives_in_list_order(self):
        self.use_probe(requires=["only_second", "in_both"])
        module_archive(self.tree.bin / "lib" / "first.zip", "in_both", "first")
        make_zip(self.tree.bin / "lib" / "second.zip", {
            "only_second.lua": "return 'second'\n",
            "in_both.lua": "return 'second'\n",
        })
        run = self.start("-z", "lib/first.zip;lib/second.zip")
        self.assertEqual(self.required(run, "only_second"), "second")
        self.assertEqual(self.required(run, "in_both"), "first")

    def test_refused_extension_is_not_searched(self):
        self.use_probe(requires=["m_old", "m_new"])
        self.extension("ext/old.vke", version="version: 9.0.0-1\n")
        self.extension("ext/new.vke")
        run = self.start("-e", "ext")
        self.assertEqual(self.required(run, "m_old"), "error")
        self.assertEqual(self.required(run, "m_new"), "new.vke")


if __name__ == "__main__":
    main()
