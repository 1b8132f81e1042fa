"""Builds the sample update source: one ZIP package per component (made with the zip tool)
under <out>/packages/, and <out>/index.txt with each package's size and SHA-256.

usage: make_source.py ZIP_TOOL COMPONENTS_FILE OUT_FOLDER
"""

import hashlib
import os
import shutil
import subprocess
import sys


def main():
    zip_tool, components, out = sys.argv[1:4]
    here = os.path.dirname(os.path.abspath(components))
    packages = os.path.join(out, "packages")
    shutil.rmtree(packages, ignore_errors=True)
    os.makedirs(packages)
    products = []  # [(product id, [(component id, package path)])], in file order
    with open(components) as f:
        for line in f:
            fields = line.split()
            if not fields or fields[0].startswith("#"):
                continue
            product, component, content = fields
            package = os.path.join(packages, component + ".zip")
            # -X leaves out extra attributes and -D folder entries, so a package depends only
            # on the names and contents of its files.
            subprocess.run([zip_tool, "-q", "-X", "-D", "-r", package, "."],
                           cwd=os.path.join(here, content), check=True)
            for entry in products:
                if entry[0] == product:
                    entry[1].append((component, package))
                    break
            else:
                products.append((product, [(component, package)]))
    lines = ["# Sample update source made by make_source.py", "kvtrelay-index 1"]
    for product, items in products:
        lines.append("product " + product)
        for component, package in items:
            with open(package, "rb") as p:
                data = p.read()
            lines.append("component %s packages/%s %d %s" % (
                component, os.path.basename(package), len(data), hashlib.sha256(data).hexdigest()))
    tmp = os.path.join(out, "index.txt.tmp")
    with open(tmp, "w") as f:
        f.write("\n".join(lines) + "\n")
    os.replace(tmp, os.path.join(out, "index.txt"))


if __name__ == "__main__":
    main()
