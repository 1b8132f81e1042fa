#!/usr/bin/env python3
"""Packs ZIP archives that depend only on the names and contents of their files, and writes
an update source's index.txt.

  pack_zip.py zip ARCHIVE [-C DIR] PATH...
      Packs each file (a folder: every file under it) under its path relative to DIR (default:
      the current folder). Entries are sorted by name, carry one fixed time and mode
      (rw-r--r--), no folder entries and no extra fields, so packing the same files again, on
      another machine, in another time zone or after a checkout gave them new times, gives
      the same bytes.

  pack_zip.py index SOURCE LIST
      Writes SOURCE/index.txt from LIST, whose lines are
          <product id> <component id> <package path relative to SOURCE>
      (blank lines and lines starting with # are skipped), with each package's size and
      SHA-256; components stay under their product in the order of first appearance.

The time is SOURCE_DATE_EPOCH when set, else the time of the commit this script was checked
out from, else 1980-01-01 00:00:00 (the earliest a ZIP entry can hold).
"""

import hashlib
import os
import subprocess
import sys
import time
import zipfile

ZIP_EPOCH_MIN = 315532800  # 1980-01-01 00:00:00 UTC
ZIP_EPOCH_MAX = 4354819198  # 2107-12-31 23:59:58 UTC
FILE_MODE = 0o100644
UNIX = 3


def source_epoch():
    """The archive time in seconds since the epoch (see the module text)."""
    value = os.environ.get("SOURCE_DATE_EPOCH", "").strip()
    if value.isdigit():
        return int(value)
    here = os.path.dirname(os.path.abspath(__file__))
    try:
        out = subprocess.run(["git", "-C", here, "log", "-1", "--format=%ct"], capture_output=True,
                             text=True, check=True, timeout=30).stdout.strip()
        if out.isdigit():
            return int(out)
    except (OSError, subprocess.SubprocessError):
        pass
    return ZIP_EPOCH_MIN


def dos_time(epoch):
    # In UTC, so that the local time zone of the packing machine does not show in the bytes.
    return time.gmtime(min(max(epoch, ZIP_EPOCH_MIN), ZIP_EPOCH_MAX))[:6]


def collect(base, paths):
    """{entry name: file path} for the files named, folders walked."""
    entries = {}
    for path in paths:
        full = os.path.join(base, path)
        if os.path.isdir(full):
            for folder, _, files in os.walk(full):
                for name in files:
                    file_path = os.path.join(folder, name)
                    entries[os.path.relpath(file_path, base).replace(os.sep, "/")] = file_path
        else:
            entries[os.path.relpath(full, base).replace(os.sep, "/")] = full
    return entries


def pack(archive, base, paths, epoch=None):
    """Packs paths (relative to base) into archive, replacing it in one step."""
    stamp = dos_time(source_epoch() if epoch is None else epoch)
    entries = collect(base, paths)
    tmp = archive + ".tmp"
    with zipfile.ZipFile(tmp, "w") as zf:
        for name in sorted(entries):
            info = zipfile.ZipInfo(name, stamp)
            info.create_system = UNIX
            info.external_attr = FILE_MODE << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            with open(entries[name], "rb") as f:
                zf.writestr(info, f.read(), compresslevel=9)
    os.replace(tmp, archive)


def write_index(source, records, comment="Update source index written by pack_zip.py"):
    """Writes source/index.txt for records [(product id, component id, package path)]."""
    products = {}  # product id -> [(component id, package path)]; dicts keep first-seen order
    for product, component, package in records:
        products.setdefault(product, []).append((component, package))
    lines = ["# " + comment, "kvtrelay-index 1"]
    for product, items in products.items():
        lines.append("product " + product)
        for component, package in items:
            with open(os.path.join(source, package), "rb") as p:
                data = p.read()
            lines.append("component %s %s %d %s" % (component, package, len(data),
                                                     hashlib.sha256(data).hexdigest()))
    tmp = os.path.join(source, "index.txt.tmp")
    with open(tmp, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(lines) + "\n")
    os.replace(tmp, os.path.join(source, "index.txt"))


def read_list(path):
    """The records of a list file: [(product, component, package)]."""
    records = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            fields = line.split()
            if not fields or fields[0].startswith("#"):
                continue
            if len(fields) != 3:
                raise ValueError("%s:%d: expected <product> <component> <package>" % (path, number))
            records.append(tuple(fields))
    return records


def main(argv):
    if len(argv) >= 3 and argv[0] == "zip":
        archive, rest, base = argv[1], argv[2:], "."
        if len(rest) >= 2 and rest[0] == "-C":
            base, rest = rest[1], rest[2:]
        if rest:
            try:
                pack(archive, base, rest)
            except OSError as e:
                print("pack_zip.py: %s" % e, file=sys.stderr)
                return 1
            return 0
    elif len(argv) == 3 and argv[0] == "index":
        try:
            write_index(argv[1], read_list(argv[2]))
        except (OSError, ValueError) as e:
            print("pack_zip.py: %s" % e, file=sys.stderr)
            return 1
        return 0
    print(__doc__.strip(), file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
