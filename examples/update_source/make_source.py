"""Builds the sample update source: one ZIP package per component under <out>/packages/, and
<out>/index.txt with each package's size and SHA-256, both through the tree's pack_zip helper
so that every build of one commit gives the same bytes and digests.

usage: make_source.py PACK_ZIP COMPONENTS_FILE OUT_FOLDER
"""

import importlib.util
import os
import shutil
import sys


def load_helper(path):
    spec = importlib.util.spec_from_file_location("pack_zip", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def main():
    helper, components, out = sys.argv[1:4]
    pack_zip = load_helper(helper)
    here = os.path.dirname(os.path.abspath(components))
    packages = os.path.join(out, "packages")
    shutil.rmtree(packages, ignore_errors=True)
    os.makedirs(packages)
    records = []  # (product id, component id, package path relative to out), in file order
    with open(components) as f:
        for line in f:
            fields = line.split()
            if not fields or fields[0].startswith("#"):
                continue
            product, component, content = fields
            package = "packages/" + component + ".zip"
            pack_zip.pack(os.path.join(out, package), os.path.join(here, content), ["."])
            records.append((product, component, package))
    pack_zip.write_index(out, records, "Sample update source made by make_source.py")


if __name__ == "__main__":
    main()
