#!/usr/bin/env python3
"""Writes a copy of a pipeline catalog whose entries tell the truth about the
packages at hand: every entry whose downloadUrl is {base}/packages/NAME, with
NAME in the packages folder, gets that file's size as downloadSize and its
SHA-256 as the field Sha256 (listed as metadata in answers). Other entries
are copied as they are.

Usage: catalog-for-packages.py CATALOG PACKAGES_DIR OUTPUT"""
import hashlib
import json
import os
import sys

PREFIX = "{base}/packages/"


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def describe_packages(entries, packages):
    for entry in entries:
        url = entry.get("downloadUrl", "")
        if not url.startswith(PREFIX):
            continue
        path = os.path.join(packages, url[len(PREFIX):])
        if os.path.isfile(path):
            entry["downloadSize"] = os.path.getsize(path)
            entry["Sha256"] = sha256(path)


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__.rsplit("\n\n", 1)[-1])
    source, packages, output = sys.argv[1:]
    with open(source, encoding="utf-8") as f:
        catalog = json.load(f)
    entries = catalog["entries"] if isinstance(catalog, dict) else catalog
    describe_packages(entries, packages)
    with open(output, "w", encoding="utf-8") as f:
        json.dump(catalog, f, indent=2)
        f.write("\n")


if __name__ == "__main__":
    main()
