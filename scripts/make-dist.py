#!/usr/bin/env python3
"""Packages a finished build into the release archive for host developers.

    make-dist.py --out DIR --name NAME --dll korvel.dll --import-library IMPLIB
                 --def korvel.def --cli korvel-cli.exe --header H [--header H...]
                 --file PATH=FILE [--file ...] --licenses DIR --readme FILE
                 --objcopy OBJCOPY --dlltool LLVM_DLLTOOL

leaves DIR/NAME.zip and DIR/NAME.zip.sha256 in the form sha256sum reads. The
binaries are stripped, the DLL's debug information goes beside it in
korvel.dll.debug, tied to it by a debug link. The same inputs give the same
bytes: tools that write a PE time stamp get a fixed one, and the entries are
sorted, with fixed times and modes.
"""

import argparse
import hashlib
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import zipfile

# The earliest time a zip entry can hold.
ENTRY_TIME = (1980, 1, 1, 0, 0, 0)
EXECUTABLE_SUFFIXES = {".dll", ".exe"}


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", required=True, type=pathlib.Path)
    parser.add_argument("--name", required=True)
    parser.add_argument("--dll", required=True, type=pathlib.Path)
    parser.add_argument("--import-library", required=True, type=pathlib.Path)
    parser.add_argument("--def", dest="definition", required=True, type=pathlib.Path)
    parser.add_argument("--cli", required=True, type=pathlib.Path)
    parser.add_argument("--header", action="append", required=True, type=pathlib.Path)
    parser.add_argument("--file", action="append", default=[], metavar="PATH=FILE",
                        help="FILE as it is, at PATH in the archive")
    parser.add_argument("--licenses", required=True, type=pathlib.Path)
    parser.add_argument("--readme", required=True, type=pathlib.Path)
    parser.add_argument("--objcopy", required=True)
    parser.add_argument("--dlltool", required=True)
    return parser.parse_args(argv)


def run(command, cwd=None):
    # objcopy stamps the PE header with the time of the run unless told a
    # time; zero is what the linker writes.
    environment = dict(os.environ, SOURCE_DATE_EPOCH="0")
    subprocess.run([str(part) for part in command], cwd=cwd, env=environment, check=True)


def copy(source, target):
    target.parent.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(source, target)


def stage_binaries(args, stage):
    bin_dir = stage / "bin"
    bin_dir.mkdir(parents=True)
    dll = bin_dir / args.dll.name
    debug = bin_dir / (args.dll.name + ".debug")
    run([args.objcopy, "--only-keep-debug", args.dll.resolve(), debug])
    # The link records the debug file's name and checksum; run beside it so
    # that the name carries no folder.
    run([args.objcopy, "--strip-all", "--add-gnu-debuglink=" + debug.name, args.dll.resolve(),
         dll.name], cwd=bin_dir)
    run([args.objcopy, "--strip-all", args.cli, bin_dir / args.cli.name])


def stage_libraries(args, stage):
    lib_dir = stage / "lib"
    dll_name = args.dll.name
    copy(args.definition, lib_dir / (args.dll.stem + ".def"))
    # MinGW's linker finds lib<name>.dll.a for -l<name>.
    copy(args.import_library, lib_dir / ("lib" + dll_name + ".a"))
    # The short import format that Microsoft's lib.exe writes for a .def.
    run([args.dlltool, "-m", "i386:x86-64", "-d", args.definition, "-D", dll_name,
         "-l", lib_dir / (args.dll.stem + ".lib")])


def stage_documents(args, stage):
    for header in args.header:
        copy(header, stage / "include" / header.name)
    for item in args.file:
        name, _, source = item.partition("=")
        copy(pathlib.Path(source), stage / name)
    for licence in sorted(args.licenses.iterdir()):
        copy(licence, stage / "licenses" / licence.name)
    copy(args.readme, stage / "README.txt")


def entry(name, path):
    info = zipfile.ZipInfo(name, ENTRY_TIME)
    mode = 0o755 if path.suffix in EXECUTABLE_SUFFIXES else 0o644
    info.external_attr = (0o100000 | mode) << 16
    info.create_system = 3
    info.compress_type = zipfile.ZIP_DEFLATED
    return info


def write_zip(stage, archive):
    """The archive's entries are the release's own folders (bin/, include/,
    lib/, ...), so that unpacking it into a folder gives that folder the
    layout README.txt describes."""
    files = sorted(path for path in stage.rglob("*") if path.is_file())
    with zipfile.ZipFile(archive, "w", compresslevel=9) as out:
        for path in files:
            name = path.relative_to(stage).as_posix()
            out.writestr(entry(name, path), path.read_bytes())


def publish(archive, out, name):
    """Moves the archive into place and writes its checksum file."""
    out.mkdir(parents=True, exist_ok=True)
    target = out / (name + ".zip")
    os.replace(archive, target)
    digest = hashlib.sha256(target.read_bytes()).hexdigest()
    (out / (target.name + ".sha256")).write_text(f"{digest}  {target.name}\n")
    return target


def main(argv):
    args = parse_arguments(argv)
    args.out.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=args.out) as scratch:
        stage = pathlib.Path(scratch) / args.name
        stage_binaries(args, stage)
        stage_libraries(args, stage)
        stage_documents(args, stage)
        archive = pathlib.Path(scratch) / "archive.zip"
        write_zip(stage, archive)
        target = publish(archive, args.out, args.name)
    print(f"{target} ({target.stat().st_size} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
