"""Measures an idle daemon: bench/run starts this inside a private mount namespace.

    idle_probe.py <tree root> <seconds> <runs>

For each run it starts `vk_agent -b` under a unique application name whose module returns 0
from init and main, waits until main has returned, and then reads, over the given seconds, the
CPU time and voluntary context switches of the supervisor and the worker together (all their
threads) and the worker's resident memory at the end. One line per run:

    idle <cpu ms> <voluntary switches> <worker VmRSS KiB> <how cpu was read>; <totals so far>

CPU time comes from the scheduler's per-thread run time in nanoseconds where the kernel keeps
it (schedstat), otherwise from utime + stime in clock ticks, which cannot resolve less than a
tick. Linux only.
"""

import ctypes
import os
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "e2e"))
from proc_watch import children_of, reap_all, wait_until  # noqa: E402

PR_SET_CHILD_SUBREAPER = 36
RUN_DIR = Path(os.path.realpath("/var/run"))
SETTLE_SECONDS = 0.5

MODULE = r"""
local M = {}
function M.init() return 0 end
function M.main()
  local f = io.open([[%s]], "w")
  f:write("main\n")
  f:close()
  return 0
end
function M.shutdown() return 0 end
return M
"""


def tasks(pid):
    return sorted(Path("/proc", str(pid), "task").iterdir())


def cpu_ns(pid):
    """Run time of all threads in nanoseconds, and how it was read."""
    try:
        return sum(int((t / "schedstat").read_text().split()[0]) for t in tasks(pid)), "schedstat"
    except (OSError, ValueError, IndexError):
        stat = Path("/proc", str(pid), "stat").read_text()
        fields = stat[stat.rindex(")") + 2:].split()
        ticks = int(fields[11]) + int(fields[12])
        return ticks * 1_000_000_000 // os.sysconf("SC_CLK_TCK"), "ticks"


def status_field(path, key):
    for line in Path(path).read_text().splitlines():
        if line.startswith(key + ":"):
            return int(line.split()[1])
    return 0


def switches(pid):
    # /proc/<pid>/status counts the main thread only; the worker's script thread counts too.
    return sum(status_field(t / "status", "voluntary_ctxt_switches") for t in tasks(pid))


def one_run(root, seconds, number):
    agent = root / "agent"
    work = root / "work"
    app = "benchidle%dr%d" % (os.getpid(), number)
    marker = root / (app + ".main")
    with tempfile.TemporaryDirectory(dir=root) as d:
        Path(d, app + ".lua").write_text(MODULE % marker)
        subprocess.run(["zip", "-q", "-X", str(agent / "vka_core" / (app + ".vke")), app + ".lua"],
                       cwd=d, check=True)
    result = subprocess.run([str(agent / "vk_agent"), "-b", "-a", app, "-w", str(work)],
                            cwd=root, capture_output=True, text=True, timeout=30)
    if result.returncode != 0:
        raise RuntimeError("vk_agent -b ended with %d: %s" % (result.returncode, result.stderr))
    pid_file = RUN_DIR / (app + ".pid")

    def read_pid():
        try:
            text = pid_file.read_text().strip()
        except OSError:
            return None
        return int(text) if text.isdigit() else None

    supervisor = wait_until(read_pid, timeout=30.0, step=0.02)
    if supervisor is None:
        raise RuntimeError("no pid file %s" % pid_file)
    group = os.getpgid(supervisor)
    try:
        if not wait_until(marker.exists, timeout=30.0, step=0.02):
            raise RuntimeError("main did not run; see %s" % work)
        time.sleep(SETTLE_SECONDS)
        workers = children_of(supervisor)
        if len(workers) != 1:
            raise RuntimeError("expected one worker, found %r" % workers)
        worker = workers[0]
        pids = (supervisor, worker)
        before = [cpu_ns(p) for p in pids]
        sw_before = sum(switches(p) for p in pids)
        time.sleep(seconds)
        after = [cpu_ns(p) for p in pids]
        sw_after = sum(switches(p) for p in pids)
        rss = status_field(Path("/proc", str(worker), "status"), "VmRSS")
        if children_of(supervisor) != [worker]:
            raise RuntimeError("the worker was restarted during the measurement")
        cpu = sum(a[0] - b[0] for a, b in zip(after, before)) / 1e6
        # The totals so far show the counters are live: start-up itself took CPU time.
        print("idle %.3f %d %d %s; cpu so far: supervisor %.1f ms, worker %.1f ms, %d threads"
              % (cpu, sw_after - sw_before, rss, after[0][1], after[0][0] / 1e6, after[1][0] / 1e6,
                 len(tasks(worker))), flush=True)
    finally:
        try:
            os.kill(supervisor, signal.SIGTERM)
        except ProcessLookupError:
            pass
        if not wait_until(lambda: not Path("/proc", str(supervisor)).exists()
                          or Path("/proc", str(supervisor), "stat").read_text().split(") ")[1][0] == "Z",
                          timeout=15):
            os.killpg(group, signal.SIGKILL)
        reap_all()


def main():
    root = Path(sys.argv[1])
    seconds = float(sys.argv[2])
    runs = int(sys.argv[3])
    # The detached supervisor is re-parented to this process, so it can be reaped here.
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")
    for number in range(runs):
        one_run(root, seconds, number)


if __name__ == "__main__":
    main()
