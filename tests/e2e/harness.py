"""Helpers for end-to-end tests: a private copy of the installed tree, runs of vk_agent,
its disk log, its event store and ZIP archives made with the zip tool."""

import os
import re
import shutil
import sqlite3
import subprocess
import tempfile
import unittest
from pathlib import Path

STAGE = Path(os.environ.get("VKA_STAGE", "build/stage")).resolve()
SOURCE_DIR = Path(os.environ.get("VKA_SOURCE_DIR", Path(__file__).resolve().parents[2]))

LOG_LINE = re.compile(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) (\d+) ([A-Z]+) (.*)$")


def make_zip(archive, files, symlinks=None):
    """Builds archive with the zip tool from {entry name: text or bytes}; symlinks maps an
    entry name to a link target (stored as a link with zip -y)."""
    archive = Path(archive)
    archive.parent.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as src:
        names = []
        for name, data in files.items():
            p = Path(src) / name
            if name.endswith("/"):
                p.mkdir(parents=True, exist_ok=True)
            else:
                p.parent.mkdir(parents=True, exist_ok=True)
                p.write_bytes(data.encode() if isinstance(data, str) else data)
            names.append(name)
        for name, target in (symlinks or {}).items():
            p = Path(src) / name
            p.parent.mkdir(parents=True, exist_ok=True)
            os.symlink(target, p)
            names.append(name)
        if archive.exists():
            archive.unlink()
        subprocess.run(["zip", "-q", "-y", "-X", str(archive.resolve())] + names, cwd=src, check=True)
    return archive


def sanitized():
    """Whether the installed vk_agent carries the address sanitizer."""
    out = subprocess.run(["ldd", str(STAGE / "vk_agent")], capture_output=True, text=True).stdout
    return "libasan" in out


class AgentTree:
    """A private installed tree under root/agent with its work folder root/work."""

    def __init__(self, root):
        self.root = Path(root)
        self.bin = self.root / "agent"
        shutil.copytree(STAGE, self.bin, symlinks=True)
        self.work = self.root / "work"
        self.exe = self.bin / "vk_agent"

    def lua_module(self, name, source):
        """Writes a Lua module file under <bin>/lua, where require finds it."""
        path = self.bin / "lua" / (name.replace(".", "/") + ".lua")
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(source)
        return path

    def run(self, *args, workdir=True, timeout=120, env=None, cwd=None, exe=None, preexec_fn=None):
        """Runs vk_agent with args (and -w <work> unless workdir is False)."""
        cmd = [str(exe or self.exe)]
        if workdir:
            cmd += ["-w", str(self.work)]
        cmd += [str(a) for a in args]
        full_env = dict(os.environ)
        if env:
            full_env.update(env)
        return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout,
                              env=full_env, cwd=cwd or self.root, preexec_fn=preexec_fn)

    def log_path(self, app="vk_agent"):
        return self.work / (app + ".log")

    def log_text(self, app="vk_agent"):
        p = self.log_path(app)
        return p.read_text(errors="replace") if p.exists() else ""

    def log_entries(self, app="vk_agent", level=None):
        """[(LEVEL, text)] of the disk log, optionally only one level."""
        out = []
        for line in self.log_text(app).splitlines():
            m = LOG_LINE.match(line)
            if m and (level is None or m.group(3) == level):
                out.append((m.group(3), m.group(4)))
        return out

    def events(self):
        """[(event, severity, text)] of the event store, oldest first."""
        db = self.work / "events.db"
        if not db.exists():
            return []
        with sqlite3.connect(str(db)) as conn:
            return conn.execute("SELECT event, severity, text FROM agent_events ORDER BY id").fetchall()


class AgentTestCase(unittest.TestCase):
    """Gives each test a fresh tree in self.tree."""

    maxDiff = None

    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="vka-e2e-")
        self.tmp = Path(self._tmp.name)
        self.tree = AgentTree(self.tmp)

    def tearDown(self):
        self._tmp.cleanup()


def main():
    unittest.main(verbosity=2)
