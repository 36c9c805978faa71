"""Tests of the reference pipeline server: its pipeline and package answers,
its fault modes, and the scripted switches whose silent failure would let a
transport test pass without testing anything. Servers run as processes of
their own; every socket read and process wait has a time bound.

Run: python3 -m unittest -v test_pipeline_server   (in this directory)
"""

import email.utils
import gzip
import http.client
import json
import os
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from xml.sax.saxutils import escape, quoteattr

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "pipeline_server.py")
IO_TIMEOUT = 5.0
NAMESPACE = "http://schemas.example.test/Schemas/RHO/2.0"
PING = "/lumq/pipeline?cmd=PingCmd:Ping&module=Pipeline"
QUERY = "/lumq/pipeline?cmd=ContentCmd:Query&MaxHits={}&pipeline%5Fversion=2%2E0"
# Chosen so that a comparison done the wrong way (as text instead of numbers,
# as numbers instead of versions, case-sensitively) picks a different set.
CATALOG = [
    {"id": "a", "type": "Driver", "upc": "Printer", "upcVersion": "2.10.0",
     "upcMinVersion": "2.0", "downloadGuid": "{A}", "downloadSize": 5000,
     "downloadUrl": "{base}/packages/a.zip", "installConditions": {"Arch": ["x64", "arm64"]},
     "Build": "10", "Version": "2.10.0", "Os": ["Windows 10", "Windows 11"], "Language": "en"},
    {"id": "b", "type": "Update", "Build": "9", "Version": "2.9.1", "Os": "Windows 7",
     "Title": "Aktualisierung für Drucker", "Language": "de"},
    {"id": "c", "type": "Content", "Build": 100, "Version": "2.10", "Language": "fr"},
    {"id": "d", "type": "Update", "Build": "9.5", "Version": "10.0", "Language": "EN"}]
PACKAGE = bytes((i * 7 + i // 256) & 0xFF for i in range(5000))


def pattern(offset, length):
    return bytes((((i % 1000003) * 2654435761) >> 13) & 0xFF
                 for i in range(offset, offset + length))


def query_xml(kind, items):
    """A query group; an item is a group or (element, field, value, compareType)."""
    return f"<query type={quoteattr(kind)}>" + "\n".join(
        query_xml(*item) if len(item) == 2 else
        f"<{item[0]}{f' compareType={quoteattr(item[3])}' if item[3] else ''} "
        f"field={quoteattr(item[1])}>{escape(item[2])}</{item[0]}>" for item in items) + "</query>"


def packet(group):
    """A request packet as the library writes it: UTF-16LE after a byte-order mark."""
    return (f'\ufeff<?xml version="1.0"?>\n<packet xmlns="{NAMESPACE}" schemaVersion="2.0">'
            '\t<header><client><swapp version="2.1">HostApp</swapp></client></header>\n'
            f"\t<body><contentQuery>{query_xml(*group)}</contentQuery></body></packet>\n"
            ).encode("utf-16-le")


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


class ServerProcess:
    """A server on its own temporary folder: catalog, packages/a.zip, records
    and files."""

    def __init__(self, *args, catalog=CATALOG, idle=60):
        self.dir = tempfile.TemporaryDirectory(prefix="pipeline-server-")
        self.path = lambda *parts: os.path.join(self.dir.name, *parts)
        write(self.path("packages", "a.zip"), PACKAGE)
        if catalog is not None:
            write(self.path("catalog.json"), json.dumps(catalog).encode())
            args = ("--catalog", self.path("catalog.json"), *args)
        self.process = subprocess.Popen(
            [sys.executable, SERVER, "--port-file", self.path("port"), "--packages",
             self.path("packages"), "--record-dir", self.path("records"), "--log",
             self.path("log"), "--lifetime", "120", "--idle", str(idle), *args],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 10
        while not os.path.exists(self.path("port")) and time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise AssertionError(self.process.stderr.read().decode(errors="replace"))
            time.sleep(0.02)
        with open(self.path("port")) as f:
            self.port = int(f.read())

    def stop(self):
        """SIGTERM; the exit code."""
        self.process.terminate()
        try:
            return self.process.wait(IO_TIMEOUT)
        finally:
            self.process.kill()
            self.process.stderr.close()
            self.dir.cleanup()

    def recorded(self, tag):
        return os.path.exists(self.path("records", f"{tag}-1.head"))


def exchange(port, method, target, body=None, headers=None):
    """(status, headers, body) of one request on a fresh connection."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=IO_TIMEOUT)
    try:
        connection.request(method, target, body=body, headers=headers or {})
        response = connection.getresponse()
        data = response.read()
        if response.headers.get("Content-Encoding") == "gzip":
            data = gzip.decompress(data)
        return response.status, response.headers, data
    finally:
        connection.close()


def until_closed(sock):
    data, deadline = bytearray(), time.monotonic() + IO_TIMEOUT
    sock.settimeout(IO_TIMEOUT)
    while time.monotonic() < deadline and (chunk := sock.recv(1 << 16)):
        data += chunk
    return bytes(data)


class ServerTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.server = ServerProcess()
        cls.port = cls.server.port

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def connect(self, request):
        sock = socket.create_connection(("127.0.0.1", self.port), timeout=IO_TIMEOUT)
        self.addCleanup(sock.close)
        sock.sendall(request.encode() if isinstance(request, str) else request)
        return sock

    def ids(self, group, max_hits=0):
        status, _, body = exchange(self.port, "POST", QUERY.format(max_hits), packet(group))
        self.assertEqual(status, 200, body)
        return [part.split(b'"')[1].decode() for part in body.split(b"<entry id=")[1:]]

    def test_ping_and_query_answer_packets(self):
        status, headers, body = exchange(self.port, "GET", PING)
        self.assertEqual((status, headers["Content-Type"]), (200, "text/xml; charset=utf-8"))
        self.assertIn(b'<server><status code="0">OK</status></server></header></packet>', body)
        date = email.utils.parsedate_to_datetime(body.split(b"<date>")[1][:29].decode())
        self.assertLess(abs(time.time() - date.timestamp()), 60)
        _, headers, body = exchange(self.port, "POST", QUERY.format(0),
                                    packet(("And", [("metadata", "id", "a", None)])),
                                    {"Accept-Encoding": "gzip"})
        self.assertEqual(headers["Content-Encoding"], "gzip")
        self.assertIn(
            f'<packet xmlns="{NAMESPACE}" schemaVersion="2.0"><header><date>'.encode(), body)
        self.assertIn(
            b'<client><swapp version="2.1">HostApp</swapp></client><server><status code="0">OK'
            b'</status></server></header><body><contentResult count="1" total="1">'
            b'<entry id="a" type="Driver"><upc version="2.10.0" minVersion="2.0">Printer</upc>'
            b'<download guid="{A}" size="5000" url="http://127.0.0.1:%d/packages/a.zip"/>'
            b'<installConditions><condition type="Arch">x64</condition><condition type="Arch">'
            b'arm64</condition></installConditions><metadata field="Build">10</metadata>'
            % self.port, body)

    def test_queries_pick_these_entries(self):
        def t(field, value, compare=None):
            return ("text", field, value, compare)
        cases = [
            (("And", [("metadata", "language", "EN", None)]), ["a", "d"]),
            (("And", [t("Language", "en", "NotEqual")]), ["b", "c"]),
            (("And", [t("Title", "FÜR", "Contains")]), ["b"]),
            # As text "10" and "100" sort before "9"; as versions 9.5 before 9.25.
            (("And", [t("Build", "9", "GreaterThan")]), ["a", "c", "d"]),
            (("And", [t("Build", "9.25", "LessThan")]), ["b"]),
            # 2.10 equals 2.10.0; 10.0 is above 2.10.0 though below it as text.
            (("And", [t("Version", "2.10.0", "GreaterThanEqual")]), ["a", "c", "d"]),
            (("And", [t("Os", "Windows 11")]), ["a"]),
            (("Or", [("And", [t("Language", "de"), t("Os", "Windows 7")]),
                     ("And", [t("type", "content")])]), ["b", "c"]),
            (("And", []), ["a", "b", "c", "d"]), (("Or", []), [])]
        for group, ids in cases:
            with self.subTest(group=group):
                self.assertEqual(self.ids(group), ids)
        self.assertEqual(self.ids(("And", []), max_hits=2), ["a", "b"])

    def test_packages_and_pipeline_faults(self):
        _, head, _ = exchange(self.port, "GET", "/packages/a.zip")
        etag, modified = head["ETag"], head["Last-Modified"]
        # target, request headers, status, Content-Range, body (None: not checked)
        cases = [
            ("/packages/a.zip", {"Range": "bytes=100-199"}, 206, "bytes 100-199/5000",
             PACKAGE[100:200]),
            ("/packages/a.zip", {"Range": "bytes=-7", "If-Range": etag}, 206,
             "bytes 4993-4999/5000", PACKAGE[4993:]),
            ("/packages/a.zip", {"Range": "bytes=1-", "If-Range": modified}, 206,
             "bytes 1-4999/5000", PACKAGE[1:]),
            ("/packages/a.zip", {"Range": "bytes=1-", "If-Range": '"old"'}, 200, None, PACKAGE),
            ("/packages/a.zip", {"Range": "bytes=5000-"}, 416, "bytes */5000", None),
            ("/packages/a.zip?fault_ignore_range=1", {"Range": "bytes=1-"}, 200, None, PACKAGE),
            ("/packages/..%2Fcatalog.json", {}, 400, None, None),
            ("/packages/none.zip", {}, 404, None, None),
            (PING + "&fault_http_status=503", {}, 503, None, None),
            (PING + "&fault_proxy_auth=1", {}, 407, None, None),
            (PING + "&fault_proxy_auth=1", {"Proxy-Authorization": "Basic dTpw"}, 200, None,
             None),
            (PING + "&fault_dealy=1", {}, 400, None, b"400 Bad Request: unknown fault "
                                                     b"parameter 'fault_dealy'\n")]
        for target, headers, status, content_range, body in cases:
            with self.subTest(target=target, headers=headers):
                got = exchange(self.port, "GET", target, headers=headers)
                self.assertEqual((got[0], got[1]["Content-Range"]), (status, content_range))
                if body is not None:
                    self.assertEqual(got[2], body)
        status, _, body = exchange(self.port, "POST", QUERY.format(0) + "&fault_http_status=203"
                                   "&fault_server_status=%200x", packet(("And", [])))
        # Read as the library reads it, " 0x" is status 0, so results come.
        self.assertEqual((status, body.count(b"<entry ")), (203, 4))
        # A failing status comes without results.
        _, _, body = exchange(self.port, "POST", QUERY.format(0) + "&fault_server_status=6000"
                              "&fault_server_text=Closed", packet(("And", [])))
        self.assertIn(b'<status code="6000">Closed</status></server></header></packet>', body)
        sock = self.connect("GET /packages/a.zip?fault_cut=1000&fault_delay=300 HTTP/1.1\r\n"
                            "Host: x\r\nRange: bytes=10-\r\n\r\n")
        started = time.monotonic()
        head, _, body = until_closed(sock).partition(b"\r\n\r\n")
        self.assertGreaterEqual(time.monotonic() - started, 0.25)
        self.assertIn(b"Content-Length: 4990", head)
        self.assertEqual(body, PACKAGE[10:1010])

    def test_bad_requests_are_refused_and_never_taken_for_a_next_request(self):
        for body in (b"", b"not XML", packet(("And", []))[:-1], packet(("Xor", []))):
            self.assertEqual(exchange(self.port, "POST", QUERY.format(0), body)[0], 400)
        inner = f"GET {PING} HTTP/1.1\r\nHost: x\r\n\r\n"
        for head, status in (("Content-Length: 999999999", "413"),
                             ("Transfer-Encoding: chunked", "411")):
            data = until_closed(self.connect(f"POST {QUERY.format(0)} HTTP/1.1\r\nHost: x\r\n"
                                             f"{head}\r\n\r\n{inner}"))
            self.assertTrue(data.startswith(f"HTTP/1.1 {status} ".encode()), data)
            self.assertEqual(data.count(b"HTTP/1.1 "), 1, data)

    def test_scripted_answers_that_tests_rely_on(self):
        write(self.server.path("files", "f.bin"), PACKAGE)
        _, head, _ = exchange(self.port, "GET", "/s/file=f.bin/x")
        stat = os.stat(self.server.path("files", "f.bin"))
        etag = f'"{stat.st_size:x}-{stat.st_mtime_ns:x}"'
        self.assertEqual((head["ETag"], head["Last-Modified"]),
                         (etag, email.utils.formatdate(stat.st_mtime, usegmt=True)))
        # script, Range, If-Range, status, Content-Range, Content-Length, body sent
        cases = [
            ("size=5000;range=ignore", "bytes=1000-", None, 200, None, "5000",
             pattern(0, 5000)),
            ("size=5000", "bytes=10-", '"x"', 200, None, "5000", pattern(0, 5000)),
            ("size=5000;etag=v1", "bytes=10-19", '"v1"', 206, "bytes 10-19/5000", "10",
             pattern(10, 10)),
            ("size=5000;etag=v1", "bytes=10-", '"v2"', 200, None, "5000", pattern(0, 5000)),
            ("size=5000;rangelen=100", "bytes=4000-", None, 206, "bytes 4000-4099/5000", "100",
             pattern(4000, 100)),
            ("file=f.bin", "bytes=4000-", etag, 206, "bytes 4000-4999/5000", "1000",
             PACKAGE[4000:]),
            ("file=f.bin", "bytes=4000-", '"stale"', 200, None, "5000", PACKAGE),
            ("file=f.bin;rangelen=7;cut=3", "bytes=4-", None, 206, "bytes 4-10/5000", "7",
             PACKAGE[4:7]),
            ("file=f.bin", "bytes=5000-", None, 416, "bytes */5000", None, None),
            ("size=50;header=Content-Range:bytes%200-99%2F100;header=Content-Length:100",
             "bytes=10-", None, 206, "bytes 0-99/100", "100", pattern(10, 40)),
            ("size=50;header=Content-Length:18446744073709551616", "bytes=60-", None, 416,
             "bytes */50", "18446744073709551616", b"416 Requested Range Not Satisfiable\n")]
        for script, range_value, if_range, status, content_range, length, body in cases:
            with self.subTest(script=script, range=range_value, if_range=if_range):
                # Keep-alive asked: a lying length must still end in a close.
                data = until_closed(self.connect(
                    f"GET /s/{script}/x HTTP/1.1\r\nHost: x\r\nRange: {range_value}\r\n" +
                    (f"If-Range: {if_range}\r\n" if if_range else "") +
                    ("" if "Content-Length" in script or "cut" in script else
                     "Connection: close\r\n") + "\r\n"))
                head, _, got = data.partition(b"\r\n\r\n")
                fields = dict(line.split(": ", 1) for line in head.decode().split("\r\n")[1:])
                self.assertTrue(head.startswith(f"HTTP/1.1 {status} ".encode()), head)
                self.assertEqual(fields.get("Content-Range"), content_range)
                if body is not None:
                    self.assertEqual((fields["Content-Length"], got), (length, body))

    def test_timing_switches_pause_where_they_say(self):
        # script, body bytes before the pause (of at least 0.3 s), whole body
        for script, at, whole in (("size=50000;stallafter=20000;stallms=600", 20000,
                                   pattern(0, 50000)),
                                  ("body=abcdef;stallafter=0;stallms=600", 0, b"abcdef")):
            with self.subTest(script=script):
                sock = self.connect(f"GET /s/{script}/x HTTP/1.1\r\nConnection: close\r\n\r\n")
                data = bytearray()
                for _ in range(1000):
                    if len(data.partition(b"\r\n\r\n")[2]) >= at and b"\r\n\r\n" in data:
                        break
                    data += sock.recv(1 << 16)
                self.assertEqual(len(data.partition(b"\r\n\r\n")[2]), at)
                sock.settimeout(0.3)
                self.assertRaises(socket.timeout, sock.recv, 1)
                self.assertEqual((data + until_closed(sock)).partition(b"\r\n\r\n")[2], whole)
        # delay: recorded at once, answered later; holdbody: nothing recorded meanwhile.
        started = time.monotonic()
        sock = self.connect("GET /s/tag=delayed;delay=600;body=late/x HTTP/1.1\r\n\r\n")
        held = self.connect("POST /s/tag=held;holdbody=600/x HTTP/1.1\r\nContent-Length: 2"
                            "\r\n\r\nab")
        time.sleep(0.3)
        self.assertEqual((self.server.recorded("delayed"), self.server.recorded("held")),
                         (True, False))
        self.assertTrue(sock.recv(1 << 16).endswith(b"\r\n\r\nlate"))
        self.assertGreaterEqual(time.monotonic() - started, 0.55)
        self.assertTrue(held.recv(1 << 16).startswith(b"HTTP/1.1 200 "))
        self.assertTrue(self.server.recorded("held"))

    def test_broken_connections_and_misspelt_scripts(self):
        whole = until_closed(self.connect("GET /s/size=10/x HTTP/1.1\r\nConnection: close\r\n"
                                          "\r\n"))
        head_length = whole.index(b"\r\n\r\n") + 4
        for cut in (0, 5, head_length - 1, head_length + 100):
            got = until_closed(self.connect(f"GET /s/size=10;cuthead={cut}/x HTTP/1.1\r\n\r\n"))
            self.assertEqual(got[:12], whole[:min(cut, 12)])
            self.assertEqual(len(got), min(cut, head_length))
        sock = self.connect("GET /s/size=100000;cut=300;reset=1/x HTTP/1.1\r\n\r\n")
        with self.assertRaises(ConnectionResetError):
            until_closed(sock)
        for script in ("sise=10", "size=1;size=2", "size=ten", "rangelen=0", "etag=a%22b"):
            with self.subTest(script=script):
                head = until_closed(self.connect(f"GET /s/{script}/x HTTP/1.1\r\n\r\n"))
                self.assertTrue(head.startswith(b"HTTP/1.1 400 "), head)
                self.assertIn(b"Connection: close\r\n", head)


class LifecycleTest(unittest.TestCase):

    def test_scripted_only_server_stops_when_idle_and_removes_its_port_file(self):
        server = ServerProcess(catalog=None, idle=0.8)
        try:
            _, _, body = exchange(server.port, "POST", QUERY.format(0), packet(("And", [])))
            self.assertIn(b'<contentResult count="0" total="0"/>', body)
            self.assertEqual(server.process.wait(IO_TIMEOUT), 0)
            self.assertFalse(os.path.exists(server.path("port")))
        finally:
            server.stop()

    def test_options_set_faults_for_every_request_and_bad_ones_refuse_to_start(self):
        server = ServerProcess("--server-status", "10", "--ignore-range", "--proxy-auth")
        try:
            self.assertEqual(exchange(server.port, "GET", PING)[0], 407)
            auth = {"Proxy-Authorization": "Basic dTpw"}
            self.assertIn(b'<status code="10">Failure</status>',
                          exchange(server.port, "GET", PING, headers=auth)[2])
            got = exchange(server.port, "GET", "/packages/a.zip", headers={**auth,
                                                                            "Range": "bytes=1-"})
            self.assertEqual((got[0], got[2]), (200, PACKAGE))
        finally:
            self.assertEqual(server.stop(), 0)
        for args in (["--catalog", os.path.join(HERE, "README.md")], ["--http-status=700"]):
            result = subprocess.run([sys.executable, SERVER, *args], capture_output=True,
                                    timeout=10)
            self.assertEqual(result.returncode, 2, result.stderr)


if __name__ == "__main__":
    unittest.main()
