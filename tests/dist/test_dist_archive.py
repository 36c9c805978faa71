#!/usr/bin/env python3
"""The release archive as a host developer meets it.

The test packages this build with the command after -- (which takes --out),
unpacks the archive into an empty folder outside the checkout and checks it
from there only: its contents, the binaries, the import library for
Microsoft's linker, that no file names a path of the source tree, and
README.txt's own commands: the example built with the archive's toolchain
file and with a toolchain file of the usual kind, run under Wine against the
reference pipeline server through a whole update, and hosts built by hand and
with pkg-config, with and without a sysroot. The same sources in another
folder must give the same archive. Wine takes its prefix from the
environment.
"""

import argparse
import hashlib
import os
import pathlib
import posixpath
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import unittest
import urllib.request
import zipfile

EXAMPLE = "examples/check-for-updates"
# The example's wrapper library, whose registry key no other test uses.
WRAPPER_KEY = "HKLM\\SOFTWARE\\Talvessa\\Pipeline\\CheckForUpdates"
DLL_SIZE_LIMIT = 2 * 1024 * 1024
LICENCES = {
    "GPL-3.txt": "GNU GENERAL PUBLIC LICENSE",
    "gcc-runtime.txt": "GCC RUNTIME LIBRARY EXCEPTION",
    "mingw-w64-runtime.txt": "mingw-w64-crt",
    "minizip.txt": "Gilles Vollant",
    "pugixml.txt": "Arseny Kapoulkine",
    "zlib.txt": "Jean-loup Gailly",
}

# Paths as the archive's texts write them, relative or with a backslash; a
# token right after a letter, slash, colon or dot is part of a URL or a name.
PATH_TOKEN = re.compile(r"(?<![\w/:.\\])((?:\.{1,2}/)*(?:[\w.+-]+/)+[\w.+-]*)")
SOURCE_TREE_COMMAND = re.compile(r"\bmake (?:build|test|dist|demo|configure|bench)\b")
STRICT_C = "-std=c99 -Wall -Wextra -pedantic -Werror"
TEXT_SUFFIXES = {".txt", ".md", ".c", ".h", ".cmake", ".pc"}
# A toolchain file as most are written: packages only under the compiler's root.
USUAL_TOOLCHAIN = """set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER {cc})
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
"""

options = None


def run(command, timeout=60, **kwargs):
    return subprocess.run([str(part) for part in command], capture_output=True, text=True,
                          timeout=timeout, **kwargs)


def checked(command, timeout=60, **kwargs):
    result = run(command, timeout, **kwargs)
    if result.returncode != 0:
        raise AssertionError(f"{command[0]} failed ({result.returncode}):\n"
                             f"{result.stdout}{result.stderr}")
    return result.stdout


def with_parents(paths):
    """The paths and every folder above them."""
    result = set()
    for path in paths:
        parts = path.split("/")
        result |= {"/".join(parts[:i]) for i in range(1, len(parts) + 1)}
    return result


def exports(definition):
    """The names after EXPORTS in a module definition."""
    lines = definition.read_text().splitlines()
    start = next(i for i, line in enumerate(lines) if line.strip() == "EXPORTS")
    return {line.split()[0] for line in lines[start + 1:] if line.strip()}


class DistArchive(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        scratch = options.scratch
        shutil.rmtree(scratch, ignore_errors=True)
        checked(options.command + ["--out", scratch / "first"], timeout=120)
        archives = list((scratch / "first").glob("*.zip"))
        if len(archives) != 1:
            raise AssertionError(f"expected one archive in {scratch / 'first'}, found {archives}")
        cls.archive = archives[0]
        # The folder of a host developer: nothing of the checkout above it.
        cls.unpacked = pathlib.Path(tempfile.mkdtemp(prefix="korvel-dist-"))
        cls.root = cls.unpacked / cls.archive.stem
        with zipfile.ZipFile(cls.archive) as archive:
            archive.extractall(cls.root)
            # The tests build in the same folder.
            cls.files = [cls.root / name for name in archive.namelist()]
        cls.readme = (cls.root / "README.txt").read_text()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.unpacked, ignore_errors=True)

    def readme_command(self, start):
        """The one command line of README.txt that begins with start."""
        lines = sorted({line.strip() for line in self.readme.splitlines()
                        if line.strip().startswith(start)})
        self.assertEqual(len(lines), 1, f"README.txt lines starting with {start!r}: {lines}")
        return lines[0]

    def run_in_root(self, command, env=None, timeout=120):
        """A README command run by a Unix shell in the unpacked folder."""
        return checked(["bash", "-c", command], timeout=timeout, cwd=self.root, env=env)

    def test_the_same_sources_in_another_folder_give_the_same_archive(self):
        # The working tree's files, committed or not, with this build's
        # third-party libraries: those are built with their paths mapped, and
        # no file of the archive may name this folder.
        other = options.scratch / "other-folder"
        listed = checked(["git", "-C", options.source, "ls-files", "-z", "--cached", "--others",
                          "--exclude-standard"])
        for name in filter(None, listed.split("\0")):
            if (options.source / name).is_file():
                (other / name).parent.mkdir(parents=True, exist_ok=True)
                shutil.copy2(options.source / name, other / name)
        shutil.copytree(options.deps_prefix, other / "build/deps/prefix", symlinks=True)
        checked(["cmake", "--preset", "mingw"], timeout=300, cwd=other)
        checked(["cmake", "--build", "--preset", "mingw", "--target", "dist"], timeout=1200,
                cwd=other)
        theirs = other / "build/dist" / self.archive.name
        digests = [hashlib.sha256(path.read_bytes()).hexdigest() for path in (self.archive, theirs)]
        self.assertEqual(digests[0], digests[1])
        self.assertEqual(pathlib.Path(str(self.archive) + ".sha256").read_text(),
                         f"{digests[0]}  {self.archive.name}\n")
        for path in self.files:
            self.assertNotIn(str(options.source).encode(), path.read_bytes(), path)

    def test_contents(self):
        expected = {
            "README.txt", "bin/korvel.dll", "bin/korvel.dll.debug", "bin/korvel-cli.exe",
            "lib/korvel.def", "lib/libkorvel.dll.a", "lib/korvel.lib",
            "lib/cmake/korvel/korvel-config.cmake", "lib/cmake/korvel/korvel-config-version.cmake",
            "lib/pkgconfig/korvel.pc", "docs/API.md", "docs/korvel-cli.md",
            "cmake/mingw-w64-x86_64.cmake", "tools/package-signing/sign-package.py",
            EXAMPLE + "/CMakeLists.txt", EXAMPLE + "/check-for-updates.c",
        }
        expected |= {"include/" + header for header in options.header}
        expected |= {"licenses/" + name for name in LICENCES}
        with zipfile.ZipFile(self.archive) as archive:
            entries = archive.infolist()
        names = [entry.filename for entry in entries]
        self.assertEqual(names, sorted(names))
        self.assertEqual(set(names), set(expected))
        self.assertEqual({entry.date_time for entry in entries}, {(1980, 1, 1, 0, 0, 0)})

    def test_readme_names_every_file_and_the_version_and_licences_hold_their_texts(self):
        with zipfile.ZipFile(self.archive) as archive:
            names = [n for n in archive.namelist() if n.startswith(("bin/", "lib/", "cmake/"))]
        for name in [options.version] + names + options.header:
            self.assertIn(name, self.readme)
        for name, phrase in LICENCES.items():
            self.assertIn(phrase, (self.root / "licenses" / name).read_text(), name)

    def test_binaries_are_stripped_and_undated(self):
        for name in ("korvel.dll", "korvel-cli.exe"):
            with self.subTest(name):
                image = self.root / "bin" / name
                sections = re.findall(r"^\s*\d+\s+(\S+)", checked([options.objdump, "-h", image]),
                                      re.MULTILINE)
                self.assertIn(".text", sections)
                self.assertEqual([s for s in sections if s.startswith(".debug")], [])
                self.assertIn("TimeDateStamp: 1970-01-01 00:00:00 (0x0)\n",
                              checked([options.readobj, "--file-headers", image]))
        self.assertLess((self.root / "bin" / "korvel.dll").stat().st_size, DLL_SIZE_LIMIT)
        self.assertIn(f'VALUE "FileVersion", "{options.version}"',
                      checked([options.windres, "-i", self.root / "bin" / "korvel.dll", "-O", "rc"]))

    def test_debugger_finds_symbols_through_the_debug_link(self):
        # gdb reads korvel.dll, follows its debug link to the file beside it
        # and checks that file's checksum before it uses its line tables.
        result = checked([options.gdb, "-nx", "-batch", "-ex", "info line WsUdOpen",
                          "korvel.dll"], cwd=self.root / "bin")
        self.assertRegex(result, r'Line \d+ of "[^"]+\.cpp"')

    def test_import_library_for_microsofts_linker(self):
        text = checked([options.readobj, self.root / "lib" / "korvel.lib"])
        # The import descriptor, the null descriptor and the null thunk, then
        # an import by name of code for each export.
        self.assertEqual(text.count("Format: COFF-x86-64"), 3)
        imports = re.findall(r"File: korvel.dll\nFormat: COFF-import-file\nType: code\n"
                             r"Name type: name\nSymbol: __imp_(\w+)\nSymbol: (\w+)\n", text)
        self.assertEqual(text.count("Format: COFF-import-file"), len(imports))
        self.assertEqual(sorted(name for name, imp in imports if name == imp),
                         sorted(exports(options.definition)))

    def test_no_file_names_a_path_of_the_source_tree(self):
        listed = checked(["git", "-C", options.source, "ls-files"]).split()
        source = with_parents(listed) | {"build"}
        archive = with_parents(path.relative_to(self.root).as_posix() for path in self.files)
        for path in self.files:
            if path.suffix not in TEXT_SUFFIXES:
                continue
            name = path.relative_to(self.root).as_posix()
            text = path.read_text().replace("\\", "/")
            self.assertEqual(SOURCE_TREE_COMMAND.findall(text), [], name)
            for token in PATH_TOKEN.findall(text):
                token = token.rstrip("/.")
                if token.startswith("."):
                    token = posixpath.normpath(posixpath.join(posixpath.dirname(name), token))
                if token in source or token.startswith("build/"):
                    self.assertIn(token, archive, f"{name} names {token}")

    def test_readme_builds_the_example_that_updates_a_product(self):
        # The archive's toolchain file, as README.txt shows it.
        configure = self.readme_command(
            'cmake -S examples/check-for-updates -B build-example "-DCMAKE_TOOLCHAIN_FILE=$PWD/')
        self.run_in_root(configure)
        self.run_in_root(self.readme_command("cmake --build build-example"))
        build = self.root / "build-example"
        # korvel_copy_dll put the archive's DLL beside the program.
        self.assertEqual((build / "korvel.dll").read_bytes(),
                         (self.root / "bin/korvel.dll").read_bytes())

        pipeline = options.scratch / "pipeline"
        url = checked([options.source / "scripts/sample-pipeline.sh", "start", pipeline,
                       options.bin]).split()[-1]
        self.addCleanup(run, [options.source / "scripts/sample-pipeline.sh", "stop", pipeline])
        register = self.readme_command('reg add "' + WRAPPER_KEY)
        checked(["wine"] + shlex.split(register.replace("<URL>", url)))
        self.addCleanup(run, ["wine", "reg", "delete", WRAPPER_KEY, "/f"])

        result = run(["wine", "check-for-updates.exe", "--install", "1234"], timeout=120, cwd=build)
        output = result.stdout.replace("\r\n", "\n")
        port = url.split("/")[2]
        self.assertRegex(output, r"^open: kStatusSuccess\nping: kStatusSuccess\n"
                                 r"  server date \w{3}, \d\d \w{3} \d{4} [\d:]{8} GMT\n"
                                 r"query: kStatusSuccess\n"
                                 r"  update hostapp-2.1.3-win-en\n"
                                 f"    package http://{port}/packages/hostapp-2.1.3.zip\n"
                                 r"    title HostApp 2.1.3 maintenance update\n"
                                 r"  update hostapp-content-2026-11\n", output + result.stderr)
        for line in ("download: kStatusSuccess", "install: kStatusSuccess", "close: kStatusSuccess"):
            self.assertIn(f"\n{line}\n", output)
        self.assertEqual(result.returncode, 0, output)
        requests = (pipeline / "server/requests.log").read_text()
        for request in (r"GET /lumq/pipeline\?cmd=PingCmd:Ping\S*", r"POST /lumq/pipeline\S*",
                        r"GET /packages/hostapp-2.1.3.zip"):
            self.assertEqual(len(re.findall(request + r" .*status=200", requests)), 1, requests)
        # Every update the example lists can be downloaded.
        for package in re.findall(r"^    package (\S+)$", output, re.MULTILINE):
            with urllib.request.urlopen(package, timeout=30) as answer:
                self.assertEqual(answer.status, 200, package)

    def test_readme_builds_hosts_with_a_toolchain_of_ones_own_by_hand_and_with_pkg_config(self):
        toolchain = options.scratch / "own-toolchain.cmake"
        toolchain.write_text(USUAL_TOOLCHAIN.format(cc=options.cc))
        own = self.readme_command('cmake -S examples/check-for-updates -B build-example '
                                  '"-DCMAKE_TOOLCHAIN_FILE=<your').replace(
            "<your toolchain file>", str(toolchain)).replace("build-example", "build-own")
        # Without korvel_DIR the package stays hidden, and the example says
        # what to pass.
        hidden = run(["bash", "-c", own.replace("-Dkorvel_DIR=$PWD/lib/cmake/korvel",
                                                "-DCMAKE_PREFIX_PATH=$PWD")], 120, cwd=self.root)
        self.assertIn("-Dkorvel_DIR=<folder>/lib/cmake/korvel", hidden.stderr.replace("\n", " "))
        pkg_config = (self.readme_command("export PKG_CONFIG_PATH=") + "\n" +
                      self.readme_command("x86_64-w64-mingw32-gcc examples/"))
        environment = dict(os.environ, PKG_CONFIG_LIBDIR="", PKG_CONFIG_PATH="")
        for command, program, sysroot in (
                (own + "\ncmake --build build-own", "build-own/check-for-updates.exe", ""),
                (self.readme_command("MinGW-w64:").split(":", 1)[1] + " " + STRICT_C,
                 "check-for-updates.exe", ""),
                (pkg_config, "check-for-updates.exe", ""),
                (pkg_config, "check-for-updates.exe", "/usr/x86_64-w64-mingw32")):
            with self.subTest(command, sysroot=sysroot):
                (self.root / program).unlink(missing_ok=True)
                self.run_in_root(command, env=dict(environment, PKG_CONFIG_SYSROOT_DIR=sysroot))
                self.assertIn("DLL Name: korvel.dll",
                              checked([options.objdump, "-p", self.root / program]))


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    for name in ("scratch", "version", "cc", "objdump", "readobj", "windres", "gdb", "pkg-config",
                 "source", "deps-prefix", "bin"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--header", action="append", required=True)
    parser.add_argument("--def", dest="definition", required=True, type=pathlib.Path)
    parser.add_argument("command", nargs="+", help="the packaging command, after --")
    options = parser.parse_args(argv)
    for name in ("scratch", "source", "deps_prefix"):
        setattr(options, name, pathlib.Path(getattr(options, name)))
    return options


if __name__ == "__main__":
    options = parse_arguments(sys.argv[1:])
    unittest.main(argv=[sys.argv[0], "-v"])
