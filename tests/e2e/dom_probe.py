"""A purpose-built application module that prints what the host handed to Lua: every domain
variable (key, type, value) and the script-argument table. Used by the command-line tests."""

import os

from harness import AgentTestCase

PROBE_SOURCE = r"""
local probe = {}

local function dump()
  local keys = dom:Keys('')
  table.sort(keys)
  for _, key in ipairs(keys) do
    io.write('DOM\t', key, '\t', tostring(dom:Type(key)), '\t', tostring(dom:Get(key)), '\n')
  end
  local i = -1
  while arg[i] ~= nil do i = i - 1 end
  for k = i + 1, #arg do
    io.write('ARG\t', k, '\t', arg[k], '\n')
  end
  io.flush()
end

function probe.init()
  dump()
  return 0
end

function probe.main()
  io.write('MAIN\n')
  io.flush()
  return 0
end

return probe
"""

# Stands in for the unit-test runner: shows the text the host passed and succeeds.
RUNNER_SOURCE = r"""
return function(target)
  io.write('RUNNER\t', target, '\n')
  io.flush()
  return 0
end
"""


class ProbeRun:
    """The outcome of one run with the probe: exit code, streams, domain and arg table."""

    def __init__(self, proc):
        self.returncode = proc.returncode
        self.stdout = proc.stdout
        self.stderr = proc.stderr
        self.dom = {}
        self.arg = {}
        self.runner = None
        self.main_ran = False
        for line in proc.stdout.splitlines():
            fields = line.split("\t")
            if fields[0] == "DOM" and len(fields) == 4:
                self.dom[fields[1]] = (fields[2], fields[3])
            elif fields[0] == "ARG" and len(fields) == 3:
                self.arg[int(fields[1])] = fields[2]
            elif fields[0] == "RUNNER" and len(fields) == 2:
                self.runner = fields[1]
            elif fields[0] == "MAIN":
                self.main_ran = True

    def value(self, key):
        """The string form of a domain variable, None when unset."""
        entry = self.dom.get(key)
        return entry[1] if entry else None

    def type(self, key):
        entry = self.dom.get(key)
        return entry[0] if entry else None


class ProbeTestCase(AgentTestCase):
    """A fresh tree whose application modules (vk_agent and tool) and test runner are the
    probe's: the shipped archives are taken out so that they cannot shadow the probe."""

    def setUp(self):
        super().setUp()
        core = self.tree.bin / "vka_core"
        for name in ("vk_agent.vke", "vka.vke"):
            path = core / name
            if path.exists():
                path.unlink()
        for module in ("vk_agent", "tool"):
            self.tree.lua_module(module, PROBE_SOURCE)
        self.tree.lua_module("tests.vkaunit", RUNNER_SOURCE)

    def probe(self, *args, expect_ok=True, **kwargs):
        run = ProbeRun(self.tree.run(*args, **kwargs))
        if expect_ok:
            self.assertEqual(run.returncode, 0, "stdout:\n%s\nstderr:\n%s" % (run.stdout, run.stderr))
        return run
