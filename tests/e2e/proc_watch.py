"""Watching processes through /proc: shared by the daemon's end-to-end tests and the idle benchmark."""

import os
import time
from pathlib import Path


def wait_until(predicate, timeout=20.0, step=0.05):
    """The predicate's first true value, or None after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            return None
        time.sleep(step)


def children_of(pid):
    """Pids of the live (not zombie) children of pid."""
    out = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            stat = Path("/proc", entry, "stat").read_text()
        except OSError:
            continue
        fields = stat[stat.rindex(")") + 2:].split()
        if fields[0] != "Z" and int(fields[1]) == pid:
            out.append(int(entry))
    return out


def reap_all(timeout=5.0):
    """Collects every ended child (a subreaper's adopted ones too) until none is left."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            time.sleep(0.05)
