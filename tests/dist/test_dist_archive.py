#!/usr/bin/env python3
"""The release archive as a host developer meets it.

The test packages this build with the command after -- (which takes --out),
unpacks the archive into an empty folder and checks it from there: its
contents, the binaries, the import library for Microsoft's linker, the example
host built through the CMake package and run under Wine against the reference
pipeline server through a whole update, and a host built with the pkg-config
file. The same sources in another folder must give the same archive. Wine
takes its prefix from the environment.
"""

import argparse
import hashlib
import os
import pathlib
import re
import shutil
import subprocess
import sys
import unittest
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
        cls.root = scratch / "unpacked"
        cls.root.mkdir()
        with zipfile.ZipFile(cls.archive) as archive:
            archive.extractall(cls.root)

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
        for path in self.root.rglob("*"):
            if path.is_file():
                self.assertNotIn(str(options.source).encode(), path.read_bytes(), path)

    def test_contents(self):
        expected = {
            "README.txt", "bin/korvel.dll", "bin/korvel.dll.debug", "bin/korvel-cli.exe",
            "lib/korvel.def", "lib/libkorvel.dll.a", "lib/korvel.lib",
            "lib/cmake/korvel/korvel-config.cmake", "lib/cmake/korvel/korvel-config-version.cmake",
            "lib/pkgconfig/korvel.pc", "docs/API.md", "docs/korvel-cli.md", "tools/sign-package.py",
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
        readme = (self.root / "README.txt").read_text()
        with zipfile.ZipFile(self.archive) as archive:
            names = [n for n in archive.namelist() if n.startswith(("bin/", "lib/"))]
        for name in [options.version] + names + options.header:
            self.assertIn(name, readme)
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

    def test_example_built_through_the_cmake_package_updates_a_product(self):
        build = options.scratch / "example"
        checked(["cmake", "-S", self.root / EXAMPLE, "-B", build, "-G", "Ninja",
                 "-DCMAKE_TOOLCHAIN_FILE=" + str(options.source / "cmake/mingw-w64-x86_64.cmake"),
                 "-DCMAKE_PREFIX_PATH=" + str(self.root)], timeout=120, cwd=self.root)
        checked(["cmake", "--build", build], timeout=120)
        # korvel_copy_dll put the archive's DLL beside the program.
        self.assertEqual((build / "korvel.dll").read_bytes(),
                         (self.root / "bin/korvel.dll").read_bytes())

        pipeline = options.scratch / "pipeline"
        url = checked([options.source / "scripts/sample-pipeline.sh", "start", pipeline,
                       options.bin]).split()[-1]
        self.addCleanup(run, [options.source / "scripts/sample-pipeline.sh", "stop", pipeline])
        checked(["wine", "reg", "add", WRAPPER_KEY, "/v", "S_URL", "/d", url, "/f"])
        self.addCleanup(run, ["wine", "reg", "delete", WRAPPER_KEY, "/f"])

        result = run(["wine", "check-for-updates.exe", "--install", "1234"], timeout=120, cwd=build)
        output = result.stdout.replace("\r\n", "\n")
        port = url.split("/")[2]
        self.assertRegex(output, r"^open: kStatusSuccess\nping: kStatusSuccess\n"
                                 r"  server date \w{3}, \d\d \w{3} \d{4} [\d:]{8} GMT\n"
                                 r"query: kStatusSuccess\n"
                                 r"  update hostapp-2.1.3-win-en\n"
                                 f"    package http://{port}/packages/hostapp-2.1.3.zip\n"
                                 r"  update hostapp-content-2026-11\n", output + result.stderr)
        for line in ("download: kStatusSuccess", "install: kStatusSuccess", "close: kStatusSuccess"):
            self.assertIn(f"\n{line}\n", output)
        self.assertEqual(result.returncode, 0, output)
        requests = (pipeline / "server/requests.log").read_text()
        for request in (r"GET /lumq/pipeline\?cmd=PingCmd:Ping\S*", r"POST /lumq/pipeline\S*",
                        r"GET /packages/hostapp-2.1.3.zip"):
            self.assertEqual(len(re.findall(request + r" .*status=200", requests)), 1, requests)

    def test_pkg_config_file_builds_a_host_against_the_unpacked_folder(self):
        environment = dict(os.environ, PKG_CONFIG_LIBDIR=str(self.root / "lib/pkgconfig"))
        environment.pop("PKG_CONFIG_PATH", None)
        flags = checked([options.pkg_config, "--cflags", "--libs", "korvel"],
                        env=environment).split()
        folders = {flag[:2]: pathlib.Path(flag[2:]).resolve() for flag in flags
                   if flag[:2] in ("-I", "-L")}
        self.assertEqual(folders, {"-I": self.root / "include", "-L": self.root / "lib"})
        host = options.scratch / "pkg-config-host.exe"
        checked([options.cc, "-std=c99", "-Wall", "-Wextra", "-pedantic", "-Werror",
                 self.root / EXAMPLE / "check-for-updates.c", *flags, "-lshlwapi", "-o", host])
        self.assertIn("DLL Name: korvel.dll", checked([options.objdump, "-p", host]))


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
