"""Helpers for the daemon's end-to-end tests.

The daemon writes /var/run/<name>.pid and may run /opt/vk_agent/SunOS.init, so these tests run
inside a private mount namespace with fresh tmpfs mounts over both places: nothing they do
reaches the machine's real paths. The test process makes itself a child subreaper, so the
detached supervisor (a grandchild of the process it starts) is re-parented to it and its exit
status can be collected with waitpid."""

import ctypes
import os
import pty
import signal
import subprocess
import sys
import time
from pathlib import Path

from proc_watch import children_of, reap_all, wait_until  # noqa: F401 (the daemon tests take two from here)

from harness import LOG_LINE, AgentTestCase, make_zip

NS_FLAG = "VKA_DAEMON_TEST_NS"
RUN_DIR = Path(os.path.realpath("/var/run"))
DRIVER_DIR = Path("/opt/vk_agent")
DRIVER_SCRIPT = DRIVER_DIR / "SunOS.init"
PR_SET_CHILD_SUBREAPER = 36


def enter_private_namespace():
    """Re-executes this test program inside a private mount namespace (needs root)."""
    if os.environ.get(NS_FLAG) == "1":
        return
    if os.geteuid() != 0:
        raise SystemExit("daemon tests need root for a private mount namespace")
    os.environ[NS_FLAG] = "1"
    # /opt gets a tmpfs too, so that creating /opt/vk_agent leaves no trace on the machine.
    script = 'mount -t tmpfs tmpfs "$0" && mount -t tmpfs tmpfs /opt && exec "$@"'
    args = ["unshare", "--mount", "--propagation", "private", "sh", "-c", script, str(RUN_DIR),
            sys.executable, "-B", os.path.abspath(sys.argv[0])] + sys.argv[1:]
    os.execvp("unshare", args)


def become_subreaper():
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")


def cpu_ticks(pid):
    stat = Path("/proc", str(pid), "stat").read_text()
    fields = stat[stat.rindex(")") + 2:].split()
    return int(fields[11]) + int(fields[12])


def exit_code(status):
    """The exit code of a wait status, or -signal when it was ended by a signal."""
    if os.WIFEXITED(status):
        return os.WEXITSTATUS(status)
    return -os.WTERMSIG(status)


# The worker's application module. Every call of init, main and shutdown appends
# "<pid> <method>" to <notes>/events; `runs` is how many workers have started before this one.
MODULE_TEMPLATE = r"""
local notes = [[%(notes)s]]
local function mypid()
  local f = io.open("/proc/self/stat")
  local pid = f:read("*n")
  f:close()
  return pid
end
local function note(what)
  local f = io.open(notes .. "/events", "a")
  f:write(string.format("%%d %%s\n", mypid(), what))
  f:close()
end
local function previous_runs()
  local n = 0
  local f = io.open(notes .. "/events")
  if f then
    for line in f:lines() do
      if line:match(" init$") then n = n + 1 end
    end
    f:close()
  end
  return n
end
local runs = previous_runs()
local M = {}
function M.init()
  note("init")
%(init)s
  return 0
end
function M.main()
  note("main")
%(main)s
  return 0
end
function M.shutdown()
  note("shutdown")
%(shutdown)s
  return 0
end
return M
"""


class DaemonTestCase(AgentTestCase):
    """A fresh /var/run and /opt/vk_agent per test, and helpers to start, observe and stop a
    daemon under its own application name."""

    @classmethod
    def setUpClass(cls):
        become_subreaper()

    def setUp(self):
        super().setUp()
        self.tree.work.mkdir(parents=True, exist_ok=True)
        self.notes = self.tmp / "notes"
        self.notes.mkdir()
        for where in (RUN_DIR, DRIVER_DIR.parent):
            subprocess.run(["mount", "-t", "tmpfs", "tmpfs", str(where)], check=True)
        DRIVER_DIR.mkdir()
        self._groups = []

    def tearDown(self):
        for group in self._groups:
            try:
                os.killpg(group, signal.SIGKILL)
            except ProcessLookupError:
                pass
        reap_all()
        for where in (DRIVER_DIR.parent, RUN_DIR):
            subprocess.run(["umount", str(where)], check=False)
        super().tearDown()

    # -- the worker's module and what it noted

    def write_module(self, name, init="", main="", shutdown=""):
        source = MODULE_TEMPLATE % {"notes": self.notes, "init": init, "main": main, "shutdown": shutdown}
        self.tree.lua_module(name, source)
        # The application's own core archive is searched before the lua folder.
        archive = self.tree.bin / "vka_core" / (name + ".vke")
        if archive.exists():
            make_zip(archive, {name + ".lua": source})

    def events(self):
        """[(pid, method)] in the order the workers called them."""
        path = self.notes / "events"
        if not path.exists():
            return []
        out = []
        for line in path.read_text().splitlines():
            pid, what = line.split()
            out.append((int(pid), what))
        return out

    def wait_event(self, what, count=1, timeout=20.0):
        """The pid that made the count-th call of what."""
        def found():
            pids = [p for p, w in self.events() if w == what]
            return pids[count - 1] if len(pids) >= count else None
        pid = wait_until(found, timeout)
        self.assertIsNotNone(pid, "no %d. %s call; events %r\nlog:\n%s"
                             % (count, what, self.events(), self.tree.log_text(self.app)))
        return pid

    # -- the daemon

    def pid_file(self, name=None):
        return RUN_DIR / ((name or self.app) + ".pid")

    def read_pid_file(self):
        try:
            text = self.pid_file().read_text()
        except OSError:
            return None
        return int(text) if text.strip().isdigit() else None

    def supervisor_from_log(self):
        """The pid of the process that logged a supervisor-only line, or None."""
        marks = ("Child process ", "Delaying ", "Too many restarts")
        for pid, _, text in self.log():
            if text.startswith(marks):
                return pid
        return None

    def start_daemon(self, app, *args, env=None, code=0):
        """Starts vk_agent -b under the application name app, expecting the start command's exit
        code; returns the supervisor's pid (self.start_result: the start command's result)."""
        self.app = app
        result = self.tree.run("-b", "-a", app, *args, timeout=60, env=env)
        self.start_result = result
        self.assertEqual(result.returncode, code, result.stderr)
        # A worker that ends at once may take the pid file with it before we look; the
        # supervisor's own log lines name it then.
        supervisor = wait_until(lambda: self.read_pid_file() or self.supervisor_from_log())
        self.assertIsNotNone(supervisor, "no pid file; log:\n" + self.tree.log_text(app))
        self._groups.append(os.getpgid(supervisor))
        return supervisor

    def wait_exit(self, pid, timeout=30.0):
        """The exit code of pid (a child of ours by re-parenting), or None while it runs."""
        def ended():
            try:
                got, status = os.waitpid(pid, os.WNOHANG)
            except ChildProcessError:
                # Not ours yet: until the first child has ended, the supervisor is its child.
                return None
            return (status,) if got == pid else None
        status = wait_until(ended, timeout)
        return None if status is None else exit_code(status[0])

    def log(self, level=None):
        """[(pid, LEVEL, text)] of this daemon's disk log."""
        out = []
        for line in self.tree.log_text(self.app).splitlines():
            m = LOG_LINE.match(line)
            if m and (level is None or m.group(3) == level):
                out.append((int(m.group(2)), m.group(3), m.group(4)))
        return out

    def log_times(self, text_prefix):
        """Seconds (with milliseconds) at which lines starting with text_prefix were logged."""
        out = []
        for line in self.tree.log_text(self.app).splitlines():
            m = LOG_LINE.match(line)
            if m and m.group(4).startswith(text_prefix):
                stamp = time.strptime(m.group(1)[:19], "%Y-%m-%d %H:%M:%S")
                out.append(time.mktime(stamp) + int(m.group(1)[20:]) / 1000.0)
        return out

    def status(self):
        """The supervisor's status file as a dict, or None when there is none."""
        path = self.tree.work / (self.app + ".status")
        return dict(l.split("=", 1) for l in path.read_text().splitlines()) if path.exists() else None

    def run_on_terminal(self, *args):
        """Runs vk_agent with standard error on a terminal: (exit code, lines the terminal got)."""
        master, slave = pty.openpty()
        code = subprocess.run([str(self.tree.exe), "-w", str(self.tree.work)] + list(args), timeout=60,
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=slave).returncode
        os.close(slave)
        shown = b""
        try:
            while chunk := os.read(master, 4096):
                shown += chunk
        except OSError:  # EIO: every writer has closed the terminal
            pass
        os.close(master)
        return code, shown.decode(errors="replace").splitlines()

    def logged(self, level, text, pid=None):
        return any(lv == level and t == text and (pid is None or p == pid) for p, lv, t in self.log())

    def assertLogged(self, level, text, pid=None):
        if not self.logged(level, text, pid):
            self.fail("missing %s %r (pid %s) in log:\n%s"
                      % (level, text, pid, self.tree.log_text(self.app)))
