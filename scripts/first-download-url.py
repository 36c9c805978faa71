#!/usr/bin/env python3
"""Reads a query's raw response packet from standard input and prints the
download URL of its first entry (nothing when there is none)."""
import sys
import xml.etree.ElementTree as ElementTree


def main():
    text = sys.stdin.read().strip()
    if not text:
        return
    try:
        root = ElementTree.fromstring(text.encode("utf-8"))
    except ElementTree.ParseError:
        return
    for element in root.iter():
        if element.tag.rsplit("}", 1)[-1] == "download" and element.get("url"):
            print(element.get("url"))
            return


if __name__ == "__main__":
    main()
