"""Helpers for the fault-injection tests: a private mount namespace, small tmpfs mounts that
fill up, random package data and a look at what a folder holds."""

import hashlib
import os
import random
import subprocess
import sys
import zipfile
from pathlib import Path

NAMESPACE_MARK = "VKA_FAULT_NAMESPACE"
UNZIP_TEMPORARY = ".vka-unzip-"


def enter_private_namespace():
    """Re-executes this test program inside a private mount namespace, so that every tmpfs it
    mounts is gone when it ends, whatever way it ends (needs root)."""
    if os.environ.get(NAMESPACE_MARK) == "1":
        return
    if os.geteuid() != 0:
        raise SystemExit("fault-injection tests need root for a private mount namespace")
    os.environ[NAMESPACE_MARK] = "1"
    args = ["unshare", "--mount", "--propagation", "private", sys.executable, "-B"] + sys.argv
    os.execvp("unshare", args)


def mount_tmpfs(test, where, size):
    """Mounts a tmpfs of size bytes at where (created) and unmounts it when test ends."""
    where = Path(where)
    where.mkdir(parents=True, exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d,mode=0755" % size, "tmpfs", str(where)], check=True)
    test.addCleanup(subprocess.run, ["umount", "-l", str(where)], check=False)
    return where


def resize_tmpfs(where, size):
    subprocess.run(["mount", "-o", "remount,size=%d" % size, str(where)], check=True)


def used_bytes(where):
    st = os.statvfs(str(where))
    return (st.f_blocks - st.f_bfree) * st.f_frsize


def free_bytes(where):
    st = os.statvfs(str(where))
    return st.f_bavail * st.f_frsize


def fill(folder, name="filler"):
    """Writes a file into folder until the file system is full; returns its path."""
    path = Path(folder) / name
    chunk = b"\0" * 4096
    with open(path, "wb", buffering=0) as f:
        try:
            while True:
                f.write(chunk)
        except OSError:
            pass
    # Whatever is left is smaller than a page; take it byte by byte.
    with open(path, "ab", buffering=0) as f:
        try:
            while True:
                f.write(b"\0")
        except OSError:
            pass
    return path


def reserve(path, size):
    """Gives path (created if missing) size bytes of room beyond its end without growing it,
    so appends to it still succeed once the file system is full."""
    Path(path).touch()
    subprocess.run(["fallocate", "--keep-size", "-l", str(size), str(path)], check=True)


def random_bytes(size, seed):
    """Incompressible, reproducible data."""
    return random.Random(seed).randbytes(size)


def write_zip(path, files, compress=zipfile.ZIP_DEFLATED):
    """Writes a ZIP archive from {entry name: bytes}, in the given order."""
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    with zipfile.ZipFile(path, "w", compress) as z:
        for name, data in files.items():
            z.writestr(zipfile.ZipInfo(name, (2020, 1, 2, 3, 4, 6)), data, compress)
    return path


def temporaries(folder):
    """Paths of unpacking temporaries anywhere below folder."""
    return sorted(str(p) for p in Path(folder).rglob(UNZIP_TEMPORARY + "*"))


def sha256(data):
    return hashlib.sha256(data).hexdigest()
