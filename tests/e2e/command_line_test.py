"""The command-line grammar: the usage text, parse errors, and what gets through the parser."""

import re

from harness import STAGE, main
from dom_probe import ProbeTestCase

# (short, long, help text) in the order of the usage text, after the framework's own entries.
OPTIONS = [
    ("a", "appname", "the name of this application (default is based on the name of the executable file)."),
    ("b", "background", "run as a Windows service or Unix daemon process."),
    ("c", "lua_cpath", "add the supplied value at the front of the search path for Lua C libraries."),
    ("d", "domain_var", "sets domain variable; name=value format."),
    ("e", "extdir", "extension folder. All *.vke files from this folder are added to the Lua search path."),
    ("i", "install_plugins", "install all *.vkp files found in the same folder as the executable."),
    ("l", "lua_path", "add the supplied value at the front of the search path for Lua libraries."),
    ("p", "plugins", "comma delimited list of plugins to enable."),
    ("t", "trace", "enable tracing for the specified set of module names, separated by commas."),
    ("w", "workdir", "working directory where this instance's data files are stored."),
    ("u", "unittest", "runs the Lua script (possibly wildcarded) under LuaUnit."),
    ("U", "test", ""),
    ("z", "zippath", "list of ZIP archives of Lua code (possibly wildcarded), separated by semi-colons."),
]
SWITCHES = {"background", "install_plugins", "test"}


class UsageText(ProbeTestCase):

    def usage_lines(self, output):
        """The entry lines of the usage text: [(names, help)]."""
        entries = []
        for line in output.splitlines():
            m = re.match(r"^  (-\S.*?)\t(.*)$", line)
            if m:
                entries.append((m.group(1).strip(), m.group(2)))
        return entries

    def check_usage(self, output):
        self.assertIn("Usage: vk_agent", output)
        entries = self.usage_lines(output)
        names = [n for n, _ in entries]
        # The framework's entries stay first.
        self.assertTrue(names[0].startswith("-h, --help"), names)
        self.assertTrue(any(n.startswith("--verbose") for n in names[:2]), names)
        own = entries[2:]
        self.assertEqual(len(own), len(OPTIONS), entries)
        for (short, long, text), (names, help_text) in zip(OPTIONS, own):
            value = "" if long in SWITCHES else "=<str>"
            self.assertEqual(names, "-%s, --%s%s" % (short, long, value))
            self.assertEqual(help_text.strip(), text)
        first = output[output.index("Usage: vk_agent"):].splitlines()[0]
        self.assertIn("[-- script-param [script-param ...]", first)
        # The summary line lists the entries in the same order.
        positions = [first.index("[-%s" % short) for short, _, _ in OPTIONS]
        self.assertEqual(positions, sorted(positions), first)

    def test_help_prints_usage_and_ends_start_up(self):
        for flag in ("-h", "--help"):
            with self.subTest(flag=flag):
                run = self.probe(flag, expect_ok=False)
                self.assertEqual(run.returncode, 255)
                self.check_usage(run.stdout + run.stderr)
                # Start-up ended before the options were read: no Lua ran, no work folder.
                self.assertEqual(run.dom, {})
                self.assertFalse(self.tree.work.exists())

    def test_manual_page_lists_the_options_of_the_usage_text(self):
        run = self.probe("--help", expect_ok=False)
        entries = self.usage_lines(run.stdout + run.stderr)
        usage = [re.findall(r"-(\w+)", names.split("=")[0]) for names, _ in entries]
        page = (STAGE / "share" / "man" / "man8" / "vk_agent.8").read_text()
        section = page.split("\n.SH OPTIONS\n")[1].split("\n.SH ")[0].splitlines()
        listed = [re.findall(r"\\-(\w+)", section[i + 1].split("=")[0])
                  for i, line in enumerate(section) if line == ".TP"]
        self.assertEqual(listed, usage)
        synopsis = page.split("\n.SH SYNOPSIS\n")[1].split("\n.SH ")[0]
        self.assertEqual(re.findall(r"\[ (?:\\-)+(\w+)", synopsis), [n[0] for n in usage])

    def test_parse_errors_print_usage(self):
        cases = [
            (["-x"], "Unknown option"),
            (["--no_such_option"], "Unknown long option"),
            (["-a"], "requires a value"),
            (["--appname"], "requires a value"),
            (["-u"], "requires a value"),
            (["-w"], "requires a value"),
            (["--test=1"], ""),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                run = self.probe(*args, expect_ok=False)
                self.assertEqual(run.returncode, 255, run.stdout + run.stderr)
                output = run.stdout + run.stderr
                self.assertIn(message, output)
                self.check_usage(output)
                self.assertEqual(run.dom, {})


class AcceptedCommandLines(ProbeTestCase):

    def test_switches_take_no_value(self):
        # -U is a switch: the word after it is a script parameter, not its value.
        run = self.probe("-U", "--", "x")
        self.assertEqual(run.value("app.mode.unittest"), "true")
        self.assertEqual(run.arg.get(1), "x")
        # -u (lower case) is a different entry and takes the next word as its value.
        run = self.probe("-u", "t/*.lua")
        self.assertEqual(run.runner, "t/*.lua")

    def test_words_after_the_separator_are_script_parameters(self):
        # A switch right before "--", as in "-b -- x y" (without starting a daemon).
        run = self.probe("-i", "--", "x", "y")
        self.assertEqual(run.arg.get(0), "vk_agent")
        self.assertEqual(run.arg.get(1), "x")
        self.assertEqual(run.arg.get(2), "y")
        # Words that look like options are parameters after "--".
        run = self.probe("--", "-x", "--appname")
        self.assertEqual(run.arg.get(1), "-x")
        self.assertEqual(run.arg.get(2), "--appname")
        self.assertEqual(run.value("app.name"), "vk_agent")

    def test_long_names_and_verbose(self):
        run = self.probe("--appname=tool", "--trace", "Appl", "--verbose")
        self.assertEqual(run.value("app.name"), "tool")
        self.assertEqual(run.value("app.trace"), "Appl")


if __name__ == "__main__":
    main()
