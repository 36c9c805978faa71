#!/usr/bin/env python3
"""Builds a package for every entry of a pipeline catalog whose downloadUrl is
{base}/packages/NAME, so that the sample server offers no update it cannot
serve. Each package NAME is a ZIP holding the identity file, whose command
line runs the installer with the entry's product and version, the installer,
and a payload of about the entry's downloadSize bytes.

Usage: make-sample-package.py CATALOG INSTALLER OUTDIR"""
import json
import os
import random
import sys
import zipfile

PREFIX = "{base}/packages/"


def write_package(path, installer, entry):
    product = f"{entry.get('upc', '')} {entry.get('upcVersion', '')}".strip()
    identity = f'[Volume Id]\r\nExePath=sample-installer.exe --product "{product}"\r\n'
    # Incompressible bytes, the same for every build of the same name, so
    # that a download takes a visible moment and the size is what the
    # catalog claims.
    size = max(int(entry.get("downloadSize", 0)) - os.path.getsize(installer), 0)
    payload = random.Random(entry["id"]).randbytes(size)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as package:
        package.writestr("pakord.id", identity)
        package.write(installer, "sample-installer.exe")
        package.writestr("data/payload.bin", payload, zipfile.ZIP_STORED)


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__.rsplit("\n\n", 1)[-1])
    catalog, installer, outdir = sys.argv[1:]
    with open(catalog, encoding="utf-8") as f:
        entries = json.load(f)
    if isinstance(entries, dict):
        entries = entries["entries"]
    os.makedirs(outdir, exist_ok=True)
    for entry in entries:
        url = entry.get("downloadUrl", "")
        if url.startswith(PREFIX):
            write_package(os.path.join(outdir, url[len(PREFIX):]), installer, entry)


if __name__ == "__main__":
    main()
