"""Tests of the scripted HTTP server that the transport tests run against.

The server is started as a separate process on a temporary directory and
talked to over 127.0.0.1 with http.client or raw sockets, so what is checked
is what a client really receives and what lands in the record files. Every
socket read and process wait has a time bound.

Run: python3 -m unittest -v test_scripted_http_server   (in this directory)
"""

import gzip
import http.client
import os
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "scripted_http_server.py")
IO_TIMEOUT = 5.0
START_TIMEOUT = 10.0

# The pattern written out by hand from its definition
# ((i mod 1000003) * 2654435761 >> 13) & 0xFF, at offset 0 and just before and
# after the wrap at 1000003.
PATTERN_AT_0 = bytes.fromhex("00bb7733efab6622de9a5611cd894501")
PATTERN_AT_999995 = bytes.fromhex("3df9b5702ce8a46000bb7733efab6622")
PERIOD = 1000003

_period_cache = []


def expected_pattern(offset, length):
    """Reference pattern, computed byte by byte once and then tiled."""
    if not _period_cache:
        _period_cache.append(bytes((((i * 2654435761) >> 13) & 0xFF) for i in range(PERIOD)))
    period = _period_cache[0]
    start = offset % PERIOD
    repeats = (start + length) // PERIOD + 1
    return (period * repeats)[start:start + length]


class ServerProcess:
    """A server process on its own temporary directory."""

    def __init__(self, *extra_args):
        self.dir = tempfile.TemporaryDirectory(prefix="scripted-http-")
        self.port_file = os.path.join(self.dir.name, "port")
        self.record_dir = os.path.join(self.dir.name, "records")
        # The default, unless extra_args name another folder with --files.
        self.files_dir = os.path.join(self.dir.name, "files")
        self.process = subprocess.Popen(
            [sys.executable, SERVER, "--port-file", self.port_file,
             "--record-dir", self.record_dir, *extra_args],
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
        raise AssertionError("server did not write its port file")

    def wait(self, timeout):
        """Exit code, or None when the process is still running."""
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            if self.wait(IO_TIMEOUT) is None:
                self.process.kill()
                self.process.wait(IO_TIMEOUT)
        log = self.process.stderr.read().decode(errors="replace")
        self.process.stderr.close()
        self.dir.cleanup()
        return log

    def record(self, tag, n, suffix):
        path = os.path.join(self.record_dir, f"{tag}-{n}.{suffix}")
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read()


def recv_until_closed(sock):
    """Everything the server sends until it closes; bounded by IO_TIMEOUT."""
    deadline = time.monotonic() + IO_TIMEOUT
    data = bytearray()
    while time.monotonic() < deadline:
        sock.settimeout(max(0.01, deadline - time.monotonic()))
        chunk = sock.recv(1 << 16)
        if not chunk:
            return bytes(data)
        data += chunk
    raise AssertionError(f"server did not close the connection ({len(data)} bytes so far)")


def split_response(raw):
    """(status, {lower-case name: [values]}, body) of a raw response."""
    head, sep, body = raw.partition(b"\r\n\r\n")
    assert sep, f"no end of head in {raw[:200]!r}"
    lines = head.decode("latin-1").split("\r\n")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers.setdefault(name.lower(), []).append(value.strip())
    return int(lines[0].split(" ")[1]), headers, body


OCTETS = "application/octet-stream"


class RunningServerTest(unittest.TestCase):
    """Scripted answers of one server shared by all cases."""

    @classmethod
    def setUpClass(cls):
        cls.server = ServerProcess("--lifetime", "120", "--idle", "60")

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def connect(self):
        return socket.create_connection(("127.0.0.1", self.server.port), timeout=IO_TIMEOUT)

    def raw(self, request):
        """Sends raw bytes and returns everything until the server closes."""
        with self.connect() as sock:
            sock.sendall(request)
            return recv_until_closed(sock)

    def raw_get(self, path, extra_head=b""):
        return split_response(self.raw(
            b"GET " + path.encode() + b" HTTP/1.1\r\nHost: x\r\n" + extra_head
            + b"Connection: close\r\n\r\n"))

    def get(self, path, headers=None, method="GET", body=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=IO_TIMEOUT)
        try:
            conn.request(method, path, body=body, headers=headers or {})
            response = conn.getresponse()
            return response.status, response.headers, response.read()
        finally:
            conn.close()

    def assert_bytes(self, got, expected, what):
        # Megabytes of bytes make an unreadable diff; the first wrong offset says more.
        if got != expected:
            at = next((i for i, (a, b) in enumerate(zip(got, expected)) if a != b),
                      min(len(got), len(expected)))
            self.fail(f"{what}: {len(got)} bytes instead of {len(expected)}, first difference "
                      f"at {at}")

    # -- the pattern and what a script answers -------------------------------

    def test_pattern_matches_hand_written_values(self):
        status, headers, body = self.get("/s/size=1000011/f")
        self.assertEqual(status, 200)
        self.assertEqual(headers["Content-Length"], "1000011")
        self.assertEqual(body[:16], PATTERN_AT_0)
        self.assertEqual(body[999995:], PATTERN_AT_999995)

    def test_answers_without_a_range(self):
        # script, status, headers other than the defaults below, body
        cases = [
            ("", 200, {}, b""),
            ("size=0", 200, {}, b""),
            ("size=3158073", 200, {}, expected_pattern(0, 3158073)),
            ("body=a%3Bb%2Fc%00d%25;ctype=text%2Fxml", 200, {"content-type": ["text/xml"]},
             b"a;b/c\x00d%"),
            ("ctype=none;body=x", 200, {"content-type": []}, b"x"),
            ("status=404;body=gone", 404, {}, b"gone"),
            ("status=503", 503, {}, b"503 Service Unavailable\n"),
            ("body=raw;encoding=deflate", 200, {"content-encoding": ["deflate"]}, b"raw"),
            ("auth=407", 407, {"proxy-authenticate": ['Basic realm="korvel"']},
             b"proxy authentication required\n"),
            ("header=X-One:1;header=X-Two:a:b%3Bc;header=X-One:again;"
             "header=Content-Type:text%2Fplain", 200,
             {"x-one": ["1", "again"], "x-two": ["a:b;c"], "content-type": ["text/plain"]}, b""),
        ]
        for script, status, changed, body in cases:
            with self.subTest(script=script):
                expected = {"content-type": [OCTETS], "content-encoding": [],
                            "content-length": [str(len(body))], **changed}
                got_status, headers, got_body = self.raw_get(f"/s/{script}/f")
                self.assertEqual(got_status, status)
                self.assertEqual({name: headers.get(name, []) for name in expected}, expected)
                self.assert_bytes(got_body, body, "body")

    def test_ranges(self):
        # script, request header, status, Content-Range, body
        big = 3 << 20
        cases = [
            ("size=5000", b"Range:bytes=1000-", 206, ["bytes 1000-4999/5000"],
             expected_pattern(1000, 4000)),
            ("size=5000", b"Range: bytes=10-19", 206, ["bytes 10-19/5000"],
             expected_pattern(10, 10)),
            ("size=1000011", b"Range: bytes=999995-", 206, ["bytes 999995-1000010/1000011"],
             PATTERN_AT_999995),
            # A send chunk that begins near the end of a period must wrap inside it.
            (f"size={big}", b"Range: bytes=990000-", 206, [f"bytes 990000-{big - 1}/{big}"],
             expected_pattern(990000, big - 990000)),
            ("size=5000;range=ignore", b"Range: bytes=1000-", 200, [], expected_pattern(0, 5000)),
            ("size=5000;range=wrongstart", b"Range: bytes=1000-", 206, ["bytes 500-4999/5000"],
             expected_pattern(500, 4500)),
            ("size=5000", b"Range: bytes=5000-", 416, ["bytes */5000"],
             b"416 Requested Range Not Satisfiable\n"),
        ]
        for script, range_header, status, content_range, body in cases:
            with self.subTest(script=script, range=range_header):
                got_status, headers, got_body = self.raw_get(f"/s/{script}/f",
                                                             range_header + b"\r\n")
                self.assertEqual(got_status, status)
                self.assertEqual(headers.get("content-range", []), content_range)
                self.assertEqual(headers["content-length"], [str(len(body))])
                self.assert_bytes(got_body, body, "body")

    def test_file_serves_what_it_holds_when_asked_and_a_missing_one_is_404(self):
        for data in (bytes(range(256)) * 40 + b"\x00PK\x03\x04", b"second"):
            with open(os.path.join(self.server.files_dir, "package-1.zip"), "wb") as f:
                f.write(data)
            status, headers, body = self.get("/s/file=package-1.zip/f")
            self.assertEqual((status, headers["Content-Length"], body), (200, str(len(data)), data))
        status, _, body = self.get("/s/tag=nofile;file=absent.bin/f")
        self.assertEqual((status, body), (404, b"404 Not Found\n"))
        self.assertIsNotNone(self.server.record("nofile", 1, "head"))

    # -- content encoding ----------------------------------------------------

    def test_gzip_bodies_and_their_header(self):
        # script, Content-Encoding values, body after gunzip
        cases = [
            ("size=70000;gzip=1", ["gzip"], expected_pattern(0, 70000)),
            ("body=hello%20gzip;gzip=1", ["gzip"], b"hello gzip"),
            ("body=abc;gzip=1;encoding=GZIP", ["GZIP"], b"abc"),
            ("body=abc;gzip=1;encoding=none", [], b"abc"),
        ]
        for script, encoding, plain in cases:
            with self.subTest(script=script):
                _, headers, body = self.raw_get(f"/s/{script}/f")
                self.assertEqual(headers.get("content-encoding", []), encoding)
                self.assertEqual(headers["content-length"], [str(len(body))])
                self.assertEqual(gzip.decompress(body), plain)

    def test_bad_gzip_has_the_magic_but_never_decodes(self):
        for script, length in (("gzip=bad", None), ("gzip=bad;size=100000", 100000)):
            with self.subTest(script=script):
                _, headers, body = self.raw_get(f"/s/{script}/f")
                self.assertEqual(headers["content-encoding"], ["gzip"])
                self.assertEqual(body[:2], b"\x1f\x8b")
                if length is not None:
                    self.assertEqual(len(body), length)
                with self.assertRaises(zlib.error):
                    zlib.decompressobj(16 + zlib.MAX_WBITS).decompress(body)

    # -- framing -------------------------------------------------------------

    def test_nolength_closes_after_body_without_length(self):
        status, headers, body = self.raw_get("/s/nolength=1;size=3000/f")
        self.assertEqual(status, 200)
        self.assertNotIn("content-length", headers)
        self.assertEqual(headers["connection"], ["close"])
        self.assertEqual(body, expected_pattern(0, 3000))

    def test_cut_announces_full_length_and_drops_connection(self):
        with self.connect() as sock:
            # No "Connection: close": the close must come from the cut.
            sock.sendall(b"GET /s/size=100000;cut=300/f HTTP/1.1\r\nHost: x\r\n\r\n")
            status, headers, body = split_response(recv_until_closed(sock))
        self.assertEqual(status, 200)
        self.assertEqual(headers["content-length"], ["100000"])
        self.assertEqual(body, expected_pattern(0, 300))

    def test_cuthead_sends_that_many_head_bytes_and_closes(self):
        whole = self.raw(b"GET /s/size=10/f HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        head_length = whole.index(b"\r\n\r\n") + 4
        for cut in (0, 5, head_length - 1, head_length, head_length + 100):
            with self.connect() as sock:
                sock.sendall(f"GET /s/size=10;cuthead={cut}/f HTTP/1.1\r\nHost: x\r\n\r\n"
                             .encode())
                received = recv_until_closed(sock)
            self.assertEqual(len(received), min(cut, head_length), cut)
            self.assertEqual(received[:12], whole[:min(cut, 12)], cut)

    def test_reset_ends_a_cut_with_a_connection_reset(self):
        with self.connect() as sock:
            sock.sendall(b"GET /s/size=100000;cut=300;reset=1/f HTTP/1.1\r\nHost: x\r\n\r\n")
            with self.assertRaises(ConnectionResetError):
                while sock.recv(1 << 16):
                    pass

    def test_keep_alive_serves_several_requests_on_one_connection(self):
        conn = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=IO_TIMEOUT)
        try:
            bodies, sockets = [], []
            for script in ("size=100", "body=two", "status=404;body=three"):
                conn.request("GET", f"/s/{script}/f")
                sockets.append(conn.sock)
                bodies.append(conn.getresponse().read())
                self.assertIsNotNone(conn.sock, "server closed a keep-alive connection")
        finally:
            conn.close()
        self.assertEqual(bodies, [expected_pattern(0, 100), b"two", b"three"])
        self.assertTrue(all(sock is sockets[0] for sock in sockets), "connection not reused")

    # -- timing --------------------------------------------------------------

    def test_rate_paces_the_body(self):
        started = time.monotonic()
        status, _, body = self.get("/s/size=4000;rate=8000/f")
        self.assertEqual((status, body), (200, expected_pattern(0, 4000)))
        self.assertGreaterEqual(time.monotonic() - started, 0.4)

    def test_holdbody_waits_before_reading_the_upload(self):
        tag = "heldbody"
        with self.connect() as sock:
            sock.sendall(f"POST /s/tag={tag};holdbody=600;body=ok/f HTTP/1.1\r\nHost: x\r\n"
                         "Content-Length: 2\r\nConnection: close\r\n\r\nab".encode())
            time.sleep(0.3)
            self.assertIsNone(self.server.record(tag, 1, "head"), "recorded while held")
            self.assertEqual(split_response(recv_until_closed(sock))[2], b"ok")

    def test_delay_holds_the_answer_but_records_first(self):
        tag = "delayed"
        with self.connect() as sock:
            started = time.monotonic()
            sock.sendall(f"GET /s/tag={tag};delay=600;body=late/f HTTP/1.1\r\nHost: x\r\n"
                         "Connection: close\r\n\r\n".encode())
            deadline = started + 0.5
            while self.server.record(tag, 1, "head") is None and time.monotonic() < deadline:
                time.sleep(0.01)
            self.assertIsNotNone(self.server.record(tag, 1, "head"),
                                 "request not recorded while the answer was delayed")
            raw = recv_until_closed(sock)
        self.assertGreaterEqual(time.monotonic() - started, 0.55)
        self.assertEqual(split_response(raw)[2], b"late")

    def test_stall_pauses_exactly_after_the_given_byte(self):
        # script, body bytes before the pause (at least 0.3 s), whole body
        cases = [("size=50000;stallafter=20000;stallms=700", 20000, expected_pattern(0, 50000)),
                 ("size=3000;stallafter=0;stallms=600", 0, expected_pattern(0, 3000)),
                 ("body=abcdef;stallafter=2;stallms=600", 2, b"abcdef")]
        for script, stall_at, expected_body in cases:
            with self.subTest(script=script), self.connect() as sock:
                sock.sendall(f"GET /s/{script}/f HTTP/1.1\r\nHost: x\r\n"
                             "Connection: close\r\n\r\n".encode())
                received = bytearray()
                deadline = time.monotonic() + IO_TIMEOUT
                head_end = -1
                while time.monotonic() < deadline:
                    head_end = received.find(b"\r\n\r\n")
                    if head_end >= 0 and len(received) - head_end - 4 >= stall_at:
                        break
                    received += sock.recv(1 << 16)
                self.assertEqual(len(received) - head_end - 4, stall_at, "no pause at the byte")
                sock.settimeout(0.3)
                with self.assertRaises(socket.timeout):
                    sock.recv(1)
                received += recv_until_closed(sock)
                self.assertEqual(split_response(bytes(received))[2], expected_body)

    # -- recording -----------------------------------------------------------

    def test_records_exact_head_and_body_numbered_per_tag(self):
        tag = "post-record"
        heads = [
            f"POST /s/tag={tag};body=ok/x?cmd=Content%20Cmd&A=1 HTTP/1.1\r\n"
            "Host: 127.0.0.1\r\nX-Odd:  spaced \r\nContent-Length: 7\r\n\r\n".encode(),
            f"PUT /s/tag={tag}/y HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\n\r\n".encode()]
        bodies = [b"\x00ab\r\ncd", b"xyz"]
        with self.connect() as sock:
            for head, body in zip(heads, bodies):
                sock.sendall(head + body)
                received = sock.recv(1 << 16)
                self.assertTrue(received.startswith(b"HTTP/1.1 200 "), received)
        for n, (head, body) in enumerate(zip(heads, bodies), start=1):
            self.assertEqual(self.server.record(tag, n, "head"), head)
            self.assertEqual(self.server.record(tag, n, "body"), body)
        self.assertIsNone(self.server.record(tag, 3, "head"))

    def test_records_large_upload_exactly(self):
        tag = "upload"
        data = expected_pattern(7, 3 << 20)
        status, _, _ = self.get(f"/s/tag={tag}/f", method="POST", body=data)
        self.assertEqual(status, 200)
        self.assert_bytes(self.server.record(tag, 1, "body"), data, "recorded upload")

    # -- bad requests ----------------------------------------------------------

    def test_bad_scripts_get_400_and_a_close(self):
        # A misspelt script must not pass for another answer.
        for script in ("sise=10", "size=ten", "size=-1", "size=1;body=x", "range=maybe",
                       "gzip=2", "tag=..%2Fescape", "stallafter=5", "header=NoColon",
                       "status=99", "size=1;size=2", "file=..%2Fport", "file=..", "file=a%5Cb",
                       "file=x;body=y", "file=x;size=1", "file=x;gzip=bad"):
            with self.subTest(script=script):
                # Without "Connection: close": the close must come from the refusal.
                status, headers, _ = split_response(
                    self.raw(f"GET /s/{script}/f HTTP/1.1\r\nHost: x\r\n\r\n".encode()))
                self.assertEqual(status, 400)
                self.assertEqual(headers["connection"], ["close"])
        self.assertEqual(self.get("/s/body=alive/f")[2], b"alive")

    def test_half_sent_request_does_not_disturb_the_server(self):
        with self.connect() as sock:
            sock.sendall(b"POST /s/tag=half/f HTTP/1.1\r\nContent-Length: 100\r\n\r\nabc")
        self.assertEqual(self.get("/s/body=fine/f")[2], b"fine")
        self.assertIsNone(self.server.record("half", 1, "head"))


class ServerExitTest(unittest.TestCase):
    """The server always stops by itself, and cleans up its port file."""

    def test_exits_when_lifetime_is_over_even_while_busy(self):
        server = ServerProcess("--lifetime", "0.8", "--idle", "60")
        try:
            # Requests keep the idle clock at zero; the lifetime still ends it.
            with socket.create_connection(("127.0.0.1", server.port), timeout=IO_TIMEOUT) as s:
                s.sendall(b"GET /s/delay=300/f HTTP/1.1\r\nHost: x\r\n\r\n")
                s.recv(1024)
            self.assertEqual(server.wait(5), 0)
            self.assertFalse(os.path.exists(server.port_file))
        finally:
            server.stop()

    def test_exits_when_idle_but_not_during_a_long_request(self):
        server = ServerProcess("--lifetime", "60", "--idle", "0.3")
        try:
            started = time.monotonic()
            conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=IO_TIMEOUT)
            # The request lasts more than twice the idle time.
            conn.request("GET", "/s/delay=800;body=done/f")
            self.assertEqual(conn.getresponse().read(), b"done")
            conn.close()
            self.assertGreater(time.monotonic() - started, 0.75)
            self.assertEqual(server.wait(5), 0)
        finally:
            server.stop()


if __name__ == "__main__":
    unittest.main()
