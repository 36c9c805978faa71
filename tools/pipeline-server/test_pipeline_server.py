"""Tests of the reference pipeline server.

Each server runs as a separate process on a temporary directory and is
talked to over 127.0.0.1 with http.client or a raw socket, so what is checked
is what a client of the pipeline really receives. Request packets are built
the way korvel writes them: UTF-16 little-endian after a byte-order mark, tab
indentation, the packet namespace and schema attributes, and inside a query
all metadata items first, then text items, then nested groups. Every socket
read and process wait has a time bound.

Run: python3 -m unittest -v test_pipeline_server   (in this directory)
"""

import email.utils
import gzip
import http.client
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse
import xml.etree.ElementTree as ET
from datetime import datetime, timezone
from xml.sax.saxutils import escape, quoteattr

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "pipeline_server.py")
SAMPLE_CATALOG = os.path.join(HERE, "sample-catalog.json")
IO_TIMEOUT = 5.0
START_TIMEOUT = 10.0
STOP_TIMEOUT = 5.0

NAMESPACE = "http://schemas.example.test/Schemas/RHO/2.0"
XSI = "http://www.w3.org/2001/XMLSchema-instance"
PIPELINE = "/lumq/pipeline"
PING = PIPELINE + "?cmd=PingCmd:Ping&module=Pipeline"
# As the library percent-encodes parameter names and values.
QUERY = PIPELINE + "?cmd=ContentCmd:Query&MaxHits={}&pipeline%5Fversion=2%2E0"
RFC1123_RE = re.compile(r"[A-Z][a-z]{2}, \d{2} [A-Z][a-z]{2} \d{4} \d{2}:\d{2}:\d{2} GMT\Z")

# Entries chosen so that a comparison done the wrong way (as text instead of
# numbers, as numbers instead of versions, case-sensitively) picks a
# different set.
TEST_CATALOG = {"entries": [
    {"id": "a", "type": "Driver", "upc": "Label Printer", "upcVersion": "2.10.0",
     "upcMinVersion": "2.0", "downloadGuid": "{GUID-A}", "downloadSize": 5000,
     "downloadUrl": "{base}/packages/a.zip",
     "installConditions": {"Architecture": ["x64"], "MinOsVersion": ["10.0", "6.1"]},
     "Title": "Label Printer Driver", "Build": "10", "Version": "2.10.0",
     "Os": ["Windows 10", "Windows 11"], "Language": "en", "Channel": "beta"},
    {"id": "b", "type": "Update", "upc": "HostApp", "upcVersion": "2.9.1",
     "downloadSize": 10, "downloadUrl": "http://elsewhere.test/b.zip",
     "Title": "HostApp Aktualisierung für Drucker", "Build": "9", "Version": "2.9.1",
     "Os": "Windows 7", "Language": "de", "Channel": "Stable"},
    {"id": "c", "type": "Content", "Title": "Template Pack", "Build": 100, "Version": "2.10",
     "Os": "Windows 11", "Language": "fr", "Notes": ""},
    {"id": "d", "type": "Update", "Title": "driver bundle", "Build": "9.5", "Version": "10.0",
     "Os": "Linux", "Language": "EN", "Channel": "stable", "Notes": "none"},
]}

PACKAGE = bytes((i * 7 + i // 256) & 0xFF for i in range(5000))


# -- request packets, written as the library writes them ----------------------

def And(*items):
    return ("query", "And", items)


def Or(*items):
    return ("query", "Or", items)


def term(field, value):
    return ("metadata", field, value, None)


def text(field, value, compare=None):
    return ("text", field, value, compare)


def query_lines(group, depth):
    _, kind, items = group
    tabs = "\t" * depth
    lines = [f"{tabs}<query type={quoteattr(kind)}>"]
    # The library writes terms, then texts, then groups, whatever the order
    # of the calls that built the group.
    for wanted in ("metadata", "text"):
        for item in items:
            if item[0] == wanted:
                _, field, value, compare = item
                compare_attr = f" compareType={quoteattr(compare)}" if compare else ""
                lines.append(f"{tabs}\t<{wanted}{compare_attr} field={quoteattr(field)}>"
                             f"{escape(value)}</{wanted}>")
    lines += [line for item in items if item[0] == "query"
              for line in query_lines(item, depth + 1)]
    lines.append(f"{tabs}</query>")
    return lines


def request_packet(query, request_metadata=()):
    """A content-query request packet as bytes: U+FEFF and UTF-16LE."""
    lines = [
        '<?xml version="1.0"?>',
        f'<packet xmlns="{NAMESPACE}" xmlns:xsi="{XSI}" '
        f'xsi:schemaLocation="{NAMESPACE} Schemas/Common/2.0/Packet.xsd" schemaVersion="2.0">',
        "\t<header>",
        "\t\t<locale>en-US</locale>",
        "\t\t<date />",
        "\t\t<client>",
        '\t\t\t<swapp version="2.1">HostApp</swapp>',
        '\t\t\t<corelib version="19.0.0">korvel</corelib>',
        '\t\t\t<wrapperlib version="1.0">HostWrap</wrapperlib>',
        "\t\t</client>",
        "\t</header>",
        "\t<body>",
        "\t\t<contentQuery>",
        *query_lines(query, 3),
        *(f"\t\t\t<requestMetadata>{escape(m)}</requestMetadata>" for m in request_metadata),
        "\t\t</contentQuery>",
        "\t</body>",
        "</packet>",
    ]
    return ("\ufeff" + "\n".join(lines) + "\n").encode("utf-16-le")


def q(name):
    return f"{{{NAMESPACE}}}{name}"


# -- server processes -----------------------------------------------------------

class ServerProcess:
    """A server process on its own temporary directory with a catalog and a
    packages folder holding a.zip."""

    def __init__(self, *extra_args, catalog=TEST_CATALOG, lifetime=60, idle=30):
        self.dir = tempfile.TemporaryDirectory(prefix="pipeline-server-")
        self.port_file = os.path.join(self.dir.name, "port")
        self.log_path = os.path.join(self.dir.name, "requests.log")
        self.packages = os.path.join(self.dir.name, "packages")
        os.mkdir(self.packages)
        with open(os.path.join(self.packages, "a.zip"), "wb") as f:
            f.write(PACKAGE)
        with open(os.path.join(self.dir.name, "secret.txt"), "w") as f:
            f.write("outside the packages folder")
        if isinstance(catalog, dict):
            catalog_path = os.path.join(self.dir.name, "catalog.json")
            with open(catalog_path, "w", encoding="utf-8") as f:
                json.dump(catalog, f)
        else:
            catalog_path = catalog
        self.process = subprocess.Popen(
            [sys.executable, SERVER, "--catalog", catalog_path, "--port-file", self.port_file,
             "--packages", self.packages, "--log", self.log_path,
             "--lifetime", str(lifetime), "--idle", str(idle), *extra_args],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.port = self._wait_for_port()

    def _wait_for_port(self):
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            if os.path.exists(self.port_file):
                with open(self.port_file) as f:
                    return int(f.read())
            if self.process.poll() is not None:
                break
            time.sleep(0.02)
        self.stop()
        raise AssertionError("server did not write its port file: "
                             + self.process.stderr.read().decode(errors="replace"))

    def wait(self, timeout):
        """Exit code, or None when the process is still running."""
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self):
        """SIGTERM, then the exit code; killed when it does not stop."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        code = self.wait(STOP_TIMEOUT)
        if code is None:
            self.process.kill()
            self.wait(STOP_TIMEOUT)
        self.process.stderr.close()
        self.dir.cleanup()
        return code

    def log_lines(self, wanted, timeout=2.0):
        """The log's lines once one contains wanted (the line is written
        right after the answer, so it may lag behind the client)."""
        deadline = time.monotonic() + timeout
        while True:
            with open(self.log_path, encoding="utf-8") as f:
                lines = f.read().splitlines()
            if any(wanted in line for line in lines) or time.monotonic() >= deadline:
                return lines
            time.sleep(0.02)


class Reply:
    """One HTTP answer, read whole."""

    def __init__(self, response, body):
        self.status = response.status
        self.headers = response.headers
        self.body = body

    def packet(self):
        """The body as a parsed response packet (gzip undone when sent so)."""
        data = self.body
        if self.headers.get("Content-Encoding") == "gzip":
            data = gzip.decompress(data)
        return ET.fromstring(data)


def exchange(port, method, target, body=None, headers=None):
    """One request on a fresh connection."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=IO_TIMEOUT)
    try:
        connection.request(method, target, body=body, headers=headers or {})
        response = connection.getresponse()
        return Reply(response, response.read())
    finally:
        connection.close()


def raw_exchange(port, data):
    """Sends raw bytes and returns everything until the server closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=IO_TIMEOUT) as s:
        s.sendall(data)
        s.shutdown(socket.SHUT_WR)
        chunks = []
        while True:
            chunk = s.recv(65536)
            if not chunk:
                return b"".join(chunks)
            chunks.append(chunk)


def ping(port, extra="", headers=None):
    return exchange(port, "GET", PING + extra, headers=headers)


def post_query(port, query, max_hits=0, extra="", headers=None):
    return exchange(port, "POST", QUERY.format(max_hits) + extra, request_packet(query),
                    headers)


def entry_ids(reply):
    result = reply.packet().find(f"{q('body')}/{q('contentResult')}")
    return [e.get("id") for e in result.findall(q("entry"))]


def header_status(reply):
    """(code, text) of the answer's status; a ping answer is in the
    server's own namespace, so any namespace is taken."""
    status = reply.packet().find("{*}header/{*}server/{*}status")
    return status.get("code"), status.text


# -- tests ----------------------------------------------------------------------

_shared = []


def shared_server():
    """One server without server-wide faults for all tests that need no
    options of their own; started on first use, stopped with the module."""
    if not _shared:
        _shared.append(ServerProcess(lifetime=300, idle=120))
    return _shared[0]


def tearDownModule():
    if _shared:
        _shared.pop().stop()


class SharedServerTest(unittest.TestCase):
    """Tests against the shared server."""

    @classmethod
    def setUpClass(cls):
        cls.server = shared_server()
        cls.port = cls.server.port

    def ids(self, query, max_hits=0):
        """The entry ids of the answer to a query or to a ready packet."""
        body = query if isinstance(query, bytes) else request_packet(query)
        reply = exchange(self.port, "POST", QUERY.format(max_hits), body)
        self.assertEqual(reply.status, 200, reply.body)
        return entry_ids(reply)

    def assert_still_serving(self):
        reply = ping(self.port)
        self.assertEqual(reply.status, 200)
        self.assertEqual(header_status(reply)[0], "0")


class PingTest(SharedServerTest):

    def test_ping_answers_with_status_zero_and_the_current_date(self):
        reply = ping(self.port)
        self.assertEqual(reply.status, 200)
        self.assertEqual(reply.headers["Content-Type"], "text/xml; charset=utf-8")
        self.assertTrue(reply.body.startswith(b'<?xml version="1.0" encoding="utf-8"?>'))
        root = reply.packet()
        self.assertEqual(root.tag.rpartition("}")[2], "packet")
        self.assertEqual(root.get("schemaVersion"), "2.0")
        self.assertEqual(header_status(reply), ("0", "OK"))
        date = root.find("{*}header/{*}date")
        self.assertRegex(date.text, RFC1123_RE)
        sent = email.utils.parsedate_to_datetime(date.text)
        self.assertLess(abs((datetime.now(timezone.utc) - sent).total_seconds()), 60)
        self.assertIsNone(root.find("{*}body"))

    def test_connection_is_kept_alive_between_requests(self):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=IO_TIMEOUT)
        try:
            local_ports = []
            for _ in range(2):
                connection.request("GET", PING)
                response = connection.getresponse()
                self.assertEqual(response.status, 200)
                self.assertEqual(len(response.read()), int(response.headers["Content-Length"]))
                local_ports.append(connection.sock.getsockname()[1])
            self.assertEqual(local_ports[0], local_ports[1])
        finally:
            connection.close()


class QueryMatchingTest(SharedServerTest):

    def test_queries_pick_these_entries(self):
        utf8_packet = (f'<packet xmlns="{NAMESPACE}"><body><contentQuery><query type="Or">'
                       '<metadata field="Language">fr</metadata></query></contentQuery></body>'
                       '</packet>').encode()
        cases = [
            # Equal ignores case and skips entries without the field; NotEqual skips them too.
            (And(term("Channel", "STABLE")), ["b", "d"]),
            (And(text("Channel", "stable")), ["b", "d"]),
            (And(text("Channel", "Stable", "NotEqual")), ["a"]),
            (And(text("Title", "DRIVER", "Contains")), ["a", "d"]),
            # Non-ASCII text of the UTF-16 packet.
            (And(text("Title", "FÜR", "Contains")), ["b"]),
            # As text, "10" and "100" would sort before "9".
            (And(text("Build", "9", "GreaterThan")), ["a", "c", "d"]),
            # Decimal numbers compare as numbers: as versions 9.5 would come before 9.25.
            (And(text("Build", "9.25", "LessThan")), ["b"]),
            # Versions part by part: 2.10 equals 2.10.0; 10.0 is above 2.10.0 though it
            # sorts below as text.
            (And(text("Version", "2.10.0", "GreaterThanEqual")), ["a", "c", "d"]),
            # Other text ignoring case: case-sensitively "EN" would sort before "e".
            (And(text("Language", "e", "LessThan")), ["b"]),
            (And(text("Build", "9.5", "LessThanEqual")), ["b", "d"]),
            # A list field matches when any of its values does.
            (And(term("Os", "windows 11")), ["a", "c"]),
            (And(text("Os", "Windows 11", "NotEqual")), ["b", "d"]),
            # The entry's own fields are searchable too.
            (And(term("type", "update"), term("upc", "HostApp")), ["b"]),
            (And(text("Build", "9", "GreaterThan"),
                 Or(term("Language", "en"), term("Language", "fr")),
                 Or(term("Os", "Linux"), And(term("Channel", "beta")))), ["a", "d"]),
            (Or(And(term("Language", "de"), term("Os", "Windows 7")),
                And(term("Language", "fr"), term("Os", "Linux"))), ["b"]),
            (And(), ["a", "b", "c", "d"]),
            (Or(), []),
            # An empty value matches only empty fields.
            (And(term("Notes", "")), ["c"]),
            # Request metadata after the query, and a hand-written UTF-8 packet.
            (request_packet(And(term("Language", "de")), ["detail=full"]), ["b"]),
            (utf8_packet, ["c"]),
        ]
        for query, ids in cases:
            with self.subTest(query=query):
                self.assertEqual(self.ids(query), ids)

    def test_max_hits_limits_the_listed_entries_in_catalog_order(self):
        reply = post_query(self.port, And(text("Build", "0", "GreaterThan")), max_hits=2)
        result = reply.packet().find(f"{q('body')}/{q('contentResult')}")
        self.assertEqual(entry_ids(reply), ["a", "b"])
        self.assertEqual(result.get("count"), "2")
        self.assertEqual(result.get("total"), "4")
        # Zero, absent or above the matches, every match is listed.
        self.assertEqual(len(self.ids(And(), max_hits=0)), 4)
        reply = exchange(self.port, "POST", PIPELINE + "?cmd=ContentCmd:Query",
                         request_packet(And()))
        self.assertEqual(len(entry_ids(reply)), 4)
        self.assertEqual(self.ids(And(term("Language", "en")), max_hits=50), ["a", "d"])


class ResponseFormatTest(SharedServerTest):

    def test_entry_elements(self):
        reply = post_query(self.port, And(term("Title", "Label Printer Driver")))
        entry = reply.packet().find(f"{q('body')}/{q('contentResult')}/{q('entry')}")
        self.assertEqual((entry.get("id"), entry.get("type")), ("a", "Driver"))
        upc = entry.find(q("upc"))
        self.assertEqual((upc.text, upc.get("version"), upc.get("minVersion")),
                         ("Label Printer", "2.10.0", "2.0"))
        download = entry.find(q("download"))
        self.assertEqual(download.get("guid"), "{GUID-A}")
        self.assertEqual(download.get("size"), "5000")
        # {base} becomes the server's own address, and that URL serves the package.
        self.assertEqual(download.get("url"), f"http://127.0.0.1:{self.port}/packages/a.zip")
        self.assertEqual(exchange(self.port, "GET", "/packages/a.zip").body, PACKAGE)
        conditions = [(c.get("type"), c.text)
                      for c in entry.find(q("installConditions")).findall(q("condition"))]
        self.assertEqual(conditions, [("Architecture", "x64"), ("MinOsVersion", "10.0"),
                                      ("MinOsVersion", "6.1")])
        metadata = [(m.get("field"), m.text) for m in entry.findall(q("metadata"))]
        self.assertIn(("Build", "10"), metadata)
        self.assertIn(("Os", "Windows 11"), metadata)
        self.assertNotIn("upc", [field for field, _ in metadata])
        # A URL without {base} is left alone.
        download = post_query(self.port, And(term("id", "b"))).packet().find(
            f"{q('body')}/{q('contentResult')}/{q('entry')}/{q('download')}")
        self.assertEqual(download.get("url"), "http://elsewhere.test/b.zip")

    def test_header_echoes_client_and_request_namespace(self):
        root = post_query(self.port, And()).packet()
        self.assertEqual(root.tag, q("packet"))
        client = root.find(f"{q('header')}/{q('client')}")
        self.assertEqual([(e.tag, e.get("version"), e.text) for e in client],
                         [(q("swapp"), "2.1", "HostApp"), (q("corelib"), "19.0.0", "korvel"),
                          (q("wrapperlib"), "1.0", "HostWrap")])
        self.assertRegex(root.find(f"{q('header')}/{q('date')}").text, RFC1123_RE)


class CompressionTest(SharedServerTest):

    def test_gzip_only_when_accepted(self):
        # Accept-Encoding, whether the answer is gzipped
        cases = [({}, False), ({"Accept-Encoding": "gzip;q=0, identity"}, False),
                 ({"Accept-Encoding": "gzip"}, True), ({"Accept-Encoding": "deflate, gzip"}, True)]
        for headers, gzipped in cases:
            query = post_query(self.port, And(), headers=headers)
            for what, reply in (("ping", ping(self.port, headers=headers)), ("query", query)):
                with self.subTest(what, headers=headers):
                    self.assertEqual(reply.headers["Content-Encoding"],
                                     "gzip" if gzipped else None)
                    self.assertEqual(int(reply.headers["Content-Length"]), len(reply.body))
                    self.assertEqual(reply.body[:2], b"\x1f\x8b" if gzipped else b"<?")
                    self.assertEqual(header_status(reply), ("0", "OK"))
            self.assertEqual(len(entry_ids(query)), 4)


class RequestFaultTest(SharedServerTest):

    def test_delay_holds_only_that_request(self):
        started = time.monotonic()
        delayed = {}

        def slow():
            delayed["reply"] = ping(self.port, "&fault_delay=600")
            delayed["elapsed"] = time.monotonic() - started

        worker = threading.Thread(target=slow)
        worker.start()
        time.sleep(0.05)
        quick_start = time.monotonic()
        self.assertEqual(ping(self.port).status, 200)
        self.assertLess(time.monotonic() - quick_start, 0.4)
        worker.join(IO_TIMEOUT)
        self.assertEqual(delayed["reply"].status, 200)
        self.assertGreaterEqual(delayed["elapsed"], 0.6)

    def test_cut_closes_after_that_many_body_bytes(self):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=IO_TIMEOUT)
        try:
            connection.request("POST", QUERY.format(0) + "&fault_cut=100", request_packet(And()))
            response = connection.getresponse()
            self.assertGreater(int(response.headers["Content-Length"]), 100)
            with self.assertRaises(http.client.IncompleteRead) as caught:
                response.read()
            self.assertEqual(len(caught.exception.partial), 100)
        finally:
            connection.close()
        self.assert_still_serving()

    def test_http_status_replaces_the_packet_unless_it_is_2xx(self):
        reply = ping(self.port, "&fault_http_status=503")
        self.assertEqual(reply.status, 503)
        self.assertNotIn(b"<packet", reply.body)
        reply = post_query(self.port, And(term("id", "c")), extra="&fault_http_status=203")
        self.assertEqual(reply.status, 203)
        self.assertEqual(entry_ids(reply), ["c"])

    def test_server_status_in_the_header_and_a_failing_one_answers_without_results(self):
        reply = ping(self.port, "&fault_server_status=6000&fault_server_text=" +
                     urllib.parse.quote("Service closed\nfor upgrade"))
        self.assertEqual(reply.status, 200)
        self.assertEqual(header_status(reply), ("6000", "Service closed\nfor upgrade"))
        reply = post_query(self.port, And(), extra="&fault_server_status=900")
        self.assertEqual(header_status(reply), ("900", "Failure"))
        self.assertIsNone(reply.packet().find(q("body")))
        # Read as the library reads it: " 0x" is status 0, so results come.
        reply = post_query(self.port, And(), extra="&fault_server_status=%200x")
        self.assertEqual(header_status(reply), (" 0x", "OK"))
        self.assertEqual(len(entry_ids(reply)), 4)

    def test_proxy_authentication(self):
        reply = ping(self.port, "&fault_proxy_auth=1")
        self.assertEqual(reply.status, 407)
        self.assertEqual(reply.headers["Proxy-Authenticate"], 'Basic realm="pipeline"')
        reply = ping(self.port, "&fault_proxy_auth=1",
                     headers={"Proxy-Authorization": "Basic dXNlcjpwYXNz"})
        self.assertEqual(reply.status, 200)

    def test_unknown_or_bad_fault_parameters_are_refused_by_their_names(self):
        for extra, name in (("&fault_dealy=10", "unknown fault parameter 'fault_dealy'"),
                            ("&fault_delay=ten", "fault_delay"),
                            ("&fault_http_status=99", "fault_http_status"),
                            ("&fault_proxy_auth=yes", "fault_proxy_auth"),
                            ("&fault_delay=999999999", "fault_delay"),
                            ("&fault_cut=-1", "fault_cut")):
            with self.subTest(extra=extra):
                reply = ping(self.port, extra)
                self.assertEqual(reply.status, 400)
                self.assertIn(b"Bad Request: " + name.encode(), reply.body)
                self.assertNotIn(b"delay_ms", reply.body)
                self.assertNotIn(b"cut_after", reply.body)
        self.assert_still_serving()


class PackageTest(SharedServerTest):

    def test_whole_file_ranges_and_head(self):
        # method, Range, status, Content-Range, first and end offset of the bytes sent
        cases = [("GET", None, 200, None, 0, 5000),
                 ("HEAD", None, 200, None, 0, 5000),
                 ("GET", "bytes=100-199", 206, "bytes 100-199/5000", 100, 200),
                 ("GET", "bytes=4990-", 206, "bytes 4990-4999/5000", 4990, 5000),
                 ("GET", "bytes=-7", 206, "bytes 4993-4999/5000", 4993, 5000),
                 ("GET", "bytes=4000-9999", 206, "bytes 4000-4999/5000", 4000, 5000),
                 ("GET", "bytes=-9000", 206, "bytes 0-4999/5000", 0, 5000),
                 ("GET", "bytes=5000-", 416, "bytes */5000", None, None)]
        for method, range_value, status, content_range, first, end in cases:
            with self.subTest(method=method, range=range_value):
                reply = exchange(self.port, method, "/packages/a.zip",
                                 headers={"Range": range_value} if range_value else {})
                self.assertEqual((reply.status, reply.headers["Content-Range"]),
                                 (status, content_range))
                if first is not None:
                    self.assertEqual(reply.headers["Content-Type"], "application/octet-stream")
                    self.assertEqual(reply.headers["Content-Length"], str(end - first))
                    self.assertEqual(reply.body, PACKAGE[first:end] if method == "GET" else b"")

    def test_ignore_range(self):
        reply = exchange(self.port, "GET", "/packages/a.zip?fault_ignore_range=1",
                         headers={"Range": "bytes=100-"})
        self.assertEqual(reply.status, 200)
        self.assertIsNone(reply.headers["Content-Range"])
        self.assertEqual(reply.body, PACKAGE)

    def test_cut_package(self):
        data = raw_exchange(self.port, b"GET /packages/a.zip?fault_cut=1000 HTTP/1.1\r\n"
                                       b"Host: x\r\nRange: bytes=10-\r\n\r\n")
        head, _, body = data.partition(b"\r\n\r\n")
        self.assertIn(b"Content-Length: 4990", head)
        self.assertEqual(body, PACKAGE[10:1010])

    def test_missing_and_escaping_names(self):
        self.assertEqual(exchange(self.port, "GET", "/packages/nothing.zip").status, 404)
        for name in ("..%2Fsecret.txt", "%2E%2E", "sub%5Csecret.txt"):
            with self.subTest(name=name):
                reply = exchange(self.port, "GET", "/packages/" + name)
                self.assertEqual(reply.status, 400)
                self.assertNotIn(b"outside", reply.body)


class MalformedRequestTest(SharedServerTest):

    def refused(self, target, body, method="POST"):
        reply = exchange(self.port, method, target, body)
        self.assertEqual(reply.status, 400, reply.body)
        return reply

    def test_bad_bodies_get_400_and_the_server_goes_on(self):
        good = request_packet(And(term("id", "a")))
        utf16 = lambda text: ("\ufeff" + text).encode("utf-16-le")
        bodies = {
            "empty": b"",
            "not XML": b"this is not a packet",
            "odd UTF-16": good[:-1],
            "not well-formed": utf16("<packet><body>"),
            "wrong root": utf16(f'<pack xmlns="{NAMESPACE}"/>'),
            "wrong namespace": good.replace("/RHO/2.0".encode("utf-16-le"),
                                            "/RHO/9.9".encode("utf-16-le")),
            "no body": utf16(f'<packet xmlns="{NAMESPACE}"><header/></packet>'),
            "no query": utf16(f'<packet xmlns="{NAMESPACE}"><body><contentQuery/></body>'
                              "</packet>"),
            "bad group type": request_packet(("query", "Xor", ())),
            "bad compare type": request_packet(And(text("Build", "1", "Above"))),
            "no field": utf16(f'<packet xmlns="{NAMESPACE}"><body><contentQuery>'
                              '<query type="And"><metadata>1</metadata></query>'
                              "</contentQuery></body></packet>"),
            "entity": utf16('<!DOCTYPE packet [<!ENTITY x "y">]>'
                            f'<packet xmlns="{NAMESPACE}">&x;</packet>'),
        }
        for name, body in bodies.items():
            with self.subTest(body=name):
                self.refused(QUERY.format(0), body)
                self.assert_still_serving()

    def test_bad_parameters_and_garbage_get_400(self):
        body = request_packet(And())
        for target in (PIPELINE + "?cmd=ContentCmd:Query&MaxHits=abc",
                       PIPELINE + "?cmd=ContentCmd:Query&MaxHits=-1",
                       QUERY.format(1) + "&pipeline_version=2.0",   # a request run twice
                       PIPELINE + "?cmd=ContentCmd:Query&pipeline_version=3.0",
                       PIPELINE + "?cmd=NoSuchCmd:Do",
                       PIPELINE):
            with self.subTest(target=target):
                self.refused(target, body)
        self.refused(QUERY.format(0), None, method="GET")
        self.refused(PIPELINE + "?cmd=PingCmd:Ping&module=Other", None, method="GET")
        for garbage in (b"\x00\x01garbage\r\n\r\n", b"POST " + PIPELINE.encode() +
                        b" HTTP/1.1\r\nContent-Length: lots\r\n\r\n"):
            data = raw_exchange(self.port, garbage)
            self.assertTrue(data.startswith(b"HTTP/1.1 400 "), data)
        self.assert_still_serving()

    def test_unread_bodies_are_never_taken_for_a_next_request(self):
        # The refused body here is itself a complete ping request; answering
        # it would mean the server lost track of where requests begin.
        inner = b"GET " + PING.encode() + b" HTTP/1.1\r\nHost: x\r\n\r\n"
        for head, status in ((b"Content-Length: 999999999", b"413"),
                             (b"Transfer-Encoding: chunked", b"411")):
            with self.subTest(status=status):
                data = raw_exchange(self.port, b"POST " + QUERY.format(0).encode() +
                                    b" HTTP/1.1\r\nHost: x\r\n" + head + b"\r\n\r\n" + inner)
                self.assertTrue(data.startswith(b"HTTP/1.1 " + status + b" "), data)
                self.assertEqual(data.count(b"HTTP/1.1 "), 1, data)
        self.assert_still_serving()

    def test_other_paths_and_methods(self):
        self.assertEqual(exchange(self.port, "GET", "/any/prefix" + PING).status, 200)
        self.assertEqual(exchange(self.port, "GET", "/other").status, 404)
        reply = exchange(self.port, "DELETE", PING)
        self.assertEqual(reply.status, 405)
        self.assertEqual(reply.headers["Allow"], "GET, POST")


class LogTest(SharedServerTest):

    def test_one_line_per_request_with_command_status_and_hits(self):
        post_query(self.port, And(term("Language", "en")), extra="&tag=logtest")
        lines = self.server.log_lines("tag=logtest")
        line = next(line for line in lines if "tag=logtest" in line)
        for part in ("POST", PIPELINE, "cmd=ContentCmd:Query", "status=200", "hits=2"):
            self.assertIn(part, line)
        exchange(self.port, "POST", QUERY.format(0) + "&tag=badlog", b"nonsense")
        line = next(line for line in self.server.log_lines("tag=badlog") if "tag=badlog" in line)
        self.assertIn("status=400", line)
        self.assertIn("not well-formed", line)


class ServerWideFaultTest(unittest.TestCase):
    """Faults switched on by options apply to every request."""

    def test_proxy_auth_server_status_delay_and_ignore_range_options(self):
        server = ServerProcess("--server-status", "10", "--server-text", "Maintenance",
                               "--delay-ms", "250", "--ignore-range", "--proxy-auth")
        auth = {"Proxy-Authorization": "Basic dTpw"}
        try:
            self.assertEqual(ping(server.port).status, 407)
            self.assertEqual(exchange(server.port, "GET", "/packages/a.zip").status, 407)
            started = time.monotonic()
            reply = ping(server.port, headers=auth)
            self.assertGreaterEqual(time.monotonic() - started, 0.25)
            self.assertEqual(header_status(reply), ("10", "Maintenance"))
            # A request parameter overrides the option.
            reply = post_query(server.port, And(), extra="&fault_server_status=0&fault_delay=0",
                               headers=auth)
            self.assertEqual(header_status(reply), ("0", "OK"))
            self.assertEqual(len(entry_ids(reply)), 4)
            reply = exchange(server.port, "GET", "/packages/a.zip",
                             headers={"Range": "bytes=1-", **auth})
            self.assertEqual((reply.status, len(reply.body)), (200, 5000))
        finally:
            self.assertEqual(server.stop(), 0)

    def test_http_status_and_cut_options(self):
        server = ServerProcess("--http-status", "502", "--cut-after", "12")
        try:
            data = raw_exchange(server.port, b"GET " + PING.encode() + b" HTTP/1.1\r\n"
                                b"Host: x\r\n\r\n")
            head, _, body = data.partition(b"\r\n\r\n")
            self.assertTrue(head.startswith(b"HTTP/1.1 502 "), head)
            self.assertGreater(int(re.search(rb"Content-Length: (\d+)", head).group(1)), 12)
            self.assertEqual(len(body), 12)
        finally:
            self.assertEqual(server.stop(), 0)


class LifecycleTest(unittest.TestCase):

    def test_stops_after_its_lifetime_and_removes_the_port_file(self):
        server = ServerProcess(lifetime=0.8)
        try:
            self.assertEqual(ping(server.port).status, 200)
            self.assertEqual(server.wait(STOP_TIMEOUT), 0)
            self.assertFalse(os.path.exists(server.port_file))
            self.assertIn("lifetime", server.log_lines("stopped")[-1])
        finally:
            server.stop()

    def test_stops_when_idle(self):
        server = ServerProcess(idle=0.5)
        try:
            self.assertEqual(server.wait(STOP_TIMEOUT), 0)
            self.assertIn("idle", server.log_lines("stopped")[-1])
        finally:
            server.stop()

    def test_sigterm_stops_it_cleanly_with_the_sample_catalog(self):
        server = ServerProcess(catalog=SAMPLE_CATALOG)
        try:
            reply = post_query(server.port, And(term("ProductId", "1234"),
                                                term("Language", "en")))
            ids = entry_ids(reply)
            self.assertGreaterEqual(len(ids), 2)
            urls = [e.get("url") for e in reply.packet().iter(q("download"))]
            self.assertTrue(all(u.startswith(f"http://127.0.0.1:{server.port}/packages/")
                                for u in urls), urls)
        finally:
            self.assertEqual(server.stop(), 0)
        self.assertFalse(os.path.exists(server.port_file))

    def test_bad_catalogs_and_fault_options_refuse_to_start(self):
        # catalog, option, what the message says about the option
        cases = [('{"entries": [{"type": "Update"}]}', None, None),
                 ('{"entries": [{"id": "x"}, {"id": "x"}]}', None, None),
                 ('{"entries": [{"id": "x", "downloadSize": "big"}]}', None, None),
                 ("[1, 2", None, None),
                 ("[]", "--delay-ms=ten", "--delay-ms needs"),
                 ("[]", "--http-status=700", "--http-status needs"),
                 ("[]", "--cut-after=-3", "--cut-after needs")]
        with tempfile.TemporaryDirectory() as directory:
            path = os.path.join(directory, "catalog.json")
            port_file = os.path.join(directory, "port")
            for catalog, option, message in cases:
                with self.subTest(catalog=catalog, option=option):
                    with open(path, "w") as f:
                        f.write(catalog)
                    result = subprocess.run(
                        [sys.executable, SERVER, "--catalog", path, "--port-file", port_file,
                         "--lifetime", "5", *([option] if option else [])],
                        stdin=subprocess.DEVNULL, capture_output=True, text=True,
                        timeout=START_TIMEOUT)
                    self.assertEqual(result.returncode, 2, result.stderr)
                    self.assertFalse(os.path.exists(port_file))
                    if message:
                        self.assertIn(message, result.stderr)
                        self.assertNotIn("_ms", result.stderr)


if __name__ == "__main__":
    unittest.main()
