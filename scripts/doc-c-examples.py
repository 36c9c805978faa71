#!/usr/bin/env python3
"""Extracts the C examples of a Markdown guide so that the tests can build
them: the block that holds "int main(" becomes OUTDIR/program.c, every other
```c block, in order, OUTDIR/fragments.c, for a test program to include. A
#line directive before each block makes the compiler name the guide's lines.

Usage: doc-c-examples.py GUIDE.md OUTDIR"""
import os
import sys


def c_blocks(lines):
    """(first line number, text) of every ```c block."""
    block = None
    for number, line in enumerate(lines, 1):
        if block is None:
            if line.strip() == "```c":
                block = (number + 1, [])
        elif line.strip() == "```":
            yield block[0], "".join(block[1])
            block = None
        else:
            block[1].append(line)
    if block is not None:
        sys.exit(f"a ```c block from line {block[0] - 1} is not closed")


def write_if_changed(path, text):
    """Leaves an unchanged file alone, so that nothing is rebuilt for it."""
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            if f.read() == text:
                return
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def placed(block, source):
    """The block's text after a #line directive naming its place in the guide."""
    return f'#line {block[0]} "{source}"\n{block[1]}'


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__.rsplit("\n\n", 1)[-1])
    guide, outdir = sys.argv[1:]
    with open(guide, encoding="utf-8") as f:
        blocks = list(c_blocks(f.readlines()))
    source = os.path.abspath(guide).replace("\\", "/")
    programs = [b for b in blocks if "int main(" in b[1]]
    if len(programs) != 1:
        sys.exit(f"{guide}: expected one C program with main(), found {len(programs)}")
    os.makedirs(outdir, exist_ok=True)
    write_if_changed(os.path.join(outdir, "program.c"), placed(programs[0], source))
    write_if_changed(os.path.join(outdir, "fragments.c"),
                     "\n".join(placed(b, source) for b in blocks if b not in programs))


if __name__ == "__main__":
    main()
