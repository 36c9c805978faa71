#!/usr/bin/env python3
"""Builds the demo's sample package: a ZIP holding the identity file that
names the installer's command line, the installer, and a payload."""
import sys
import zipfile


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: make-sample-package.py ZIP INSTALLER COMMAND")
    archive, installer, command = sys.argv[1:]
    identity = f"[Volume Id]\r\nExePath={command}\r\n"
    # Incompressible-looking bytes, so the download takes a visible moment.
    payload = bytes((i * 2654435761 >> 13) & 0xFF for i in range(8 * 1024 * 1024))
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as package:
        package.writestr("pakord.id", identity)
        package.write(installer, "sample-installer.exe")
        package.writestr("data/payload.bin", payload, zipfile.ZIP_STORED)


if __name__ == "__main__":
    main()
