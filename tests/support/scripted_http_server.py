#!/usr/bin/env python3
"""Scripted local HTTP server for the transport tests.

The HTTP transport's tests run under Wine against this server. Each request
says in its own URL how the server must answer, so one running server covers
every case (ranges, broken gzip, dropped connections, stalls, proxy
authentication) and tests never share state:

    /s/<script>/<anything else, query string included>

<script> is a list of key=value items separated by ';'; values are
percent-decoded after splitting, so a value holding '/' or ';' is written
%2F or %3B. A path outside /s/ behaves like an empty script. Keys:

    tag=NAME        record requests as RECORD_DIR/NAME-<n>.head and .body
                    (n counts from 1 per tag; default tag "untagged")
    status=N        status code (default 200); without body or size, a
                    non-2xx answer gets a short text body
    size=N          body of N bytes of the test pattern, whose byte at
                    offset i is ((i mod 1000003) * 2654435761 >> 13) & 0xFF
    body=TEXT       literal body (exclusive with size; default empty)
    file=NAME       body of the bytes of FILES_DIR/NAME, read when the request
                    arrives; NAME is made of the characters of a tag; a
                    missing file gives 404 (exclusive with size and body)
    ctype=TEXT      Content-Type (default application/octet-stream; "none"
                    sends no Content-Type)
    nolength=1      no Content-Length; "Connection: close" and close
    cut=N           announce the full length, send N body bytes, close
    delay=MS        sleep before the status line
    holdbody=MS     sleep before reading the request body (a server that
                    stalls while a POST is sent to it)
    cuthead=N       send only the first N bytes of the status line and
                    headers (all of them when N is larger), no body, and close
    reset=1         with cut or cuthead: close with a reset instead of a FIN
    rate=N          send the body at about N bytes per second
    stallafter=N    with stallms=MS: pause MS after N body bytes
    range=MODE      how a "Range: bytes=A-" or "A-B" request header is met
                    by a size body with status 200: honour (default; 206),
                    ignore (200, whole body) or wrongstart (a 206 starting at
                    A/2); a start at or beyond the size gives 416
    gzip=1|bad      gzip the body, or send an undecodable gzip body (of
                    size bytes when size is given); Range is not applied
    encoding=TEXT   Content-Encoding value ("none" drops the header)
    auth=407        answer 407 with a Basic proxy challenge
    header=N:V      extra response header, may repeat; replaces a generated
                    header of the same name

An unknown or repeated key, a value that is not a number, a tag with other
characters than letters, digits, '_', '.' and '-', and any unparsable request
get 400 and a closed connection.

Both record files are complete before the first response byte is sent, so a
test may read them as soon as its request has returned. GET /quit stops the
server; so does the end of --lifetime, or --idle seconds without requests.

Usage: scripted_http_server.py --port-file F --record-dir D [--files DIR]
                               [--lifetime 1800] [--idle 600]

FILES_DIR is --files, by default the folder "files" next to the record
directory; the server creates it.
"""

import argparse
import email.utils
import gzip
import http
import http.server
import os
import re
import signal
import socket
import socketserver
import struct
import sys
import threading
import time
import urllib.parse

PATTERN_PERIOD = 1000003
PATTERN_MULTIPLIER = 2654435761
SEND_CHUNK = 1 << 20

MAX_HEAD_BYTES = 64 * 1024
MAX_HEADER_LINES = 200
BODY_READ_CHUNK = 1 << 20
# Keep-alive connections that go quiet are dropped after this many seconds so
# that their threads do not pile up over a long test run.
CONNECTION_TIMEOUT = 300
DRAIN_SECONDS = 1.0

DIGITS_RE = re.compile(r"[0-9]+\Z")
TAG_RE = re.compile(r"[A-Za-z0-9_.-]+\Z")
RANGE_RE = re.compile(r"\s*bytes\s*=\s*([0-9]+)\s*-\s*([0-9]*)\s*\Z", re.IGNORECASE)
TOKEN_RE = re.compile(r"[!#$%&'*+.^_`|~0-9A-Za-z-]+\Z")

INT_KEYS = ("status", "size", "cut", "delay", "stallafter", "stallms", "holdbody", "cuthead",
            "rate")
KNOWN_KEYS = set(INT_KEYS) | {
    "tag", "body", "file", "ctype", "nolength", "range", "gzip", "encoding", "auth", "header",
    "reset"}
# A paced body goes out in this many slices a second.
RATE_SLICES_PER_SECOND = 20

# Valid gzip member header followed by a deflate block of the reserved type 3,
# which every inflater rejects at its first block.
BAD_GZIP_PREFIX = b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff\xff"


def build_pattern_table():
    """The pattern, byte i = ((i mod 1000003) * 2654435761 >> 13) & 0xFF, for
    one period plus one send chunk of wrap-around, so that any chunk starting
    inside the period is a single slice."""
    period = bytes(((k * PATTERN_MULTIPLIER) >> 13) & 0xFF for k in range(PATTERN_PERIOD))
    wanted = PATTERN_PERIOD + SEND_CHUNK
    return memoryview((period * (wanted // PATTERN_PERIOD + 1))[:wanted])


PATTERN = build_pattern_table()


def pattern_bytes(offset, length):
    """length bytes of the pattern from absolute offset (small bodies only)."""
    parts = []
    while length > 0:
        start = offset % PATTERN_PERIOD
        n = min(length, SEND_CHUNK)
        parts.append(PATTERN[start:start + n])
        offset += n
        length -= n
    return b"".join(parts)


def bad_gzip_body(length):
    """An undecodable gzip body of about length bytes (None: a short one)."""
    length = max(64 if length is None else length, len(BAD_GZIP_PREFIX))
    return BAD_GZIP_PREFIX + b"\xff" * (length - len(BAD_GZIP_PREFIX))


class ScriptError(ValueError):
    """A request whose script cannot be obeyed; answered with 400."""


class Script:
    """The parsed instructions of one request."""

    def __init__(self):
        self.tag = "untagged"
        self.status = 200
        self.size = None
        self.body = None
        self.file = None
        self.ctype = "application/octet-stream"
        self.nolength = False
        self.cut = None
        self.delay = 0
        self.stallafter = None
        self.stallms = None
        self.holdbody = 0
        self.cuthead = None
        self.reset = False
        self.rate = None
        self.range = "honour"
        self.gzip = None
        self.encoding = None
        self.auth = None
        self.headers = []


def split_target(target):
    """The script part of a request target; empty outside /s/."""
    if "://" in target:
        # Absolute form, as a client talking to a proxy sends it.
        target = "/" + target.split("://", 1)[1].partition("/")[2]
    path = target.partition("?")[0].partition("#")[0]
    if not path.startswith("/s/"):
        return ""
    return path[3:].partition("/")[0]


def parse_int(key, text):
    if not DIGITS_RE.match(text):
        raise ScriptError(f"{key} needs a non-negative decimal number, got {text!r}")
    return int(text)


def parse_header_item(text):
    name, sep, value = text.partition(":")
    name = name.strip()
    if not sep or not TOKEN_RE.match(name):
        raise ScriptError(f"header needs Name:Value, got {text!r}")
    if "\r" in value or "\n" in value:
        raise ScriptError("header value holds a line break")
    return name, value.strip()


def apply_item(script, key, raw_value):
    if key == "body":
        script.body = urllib.parse.unquote_to_bytes(raw_value)
        return
    value = urllib.parse.unquote(raw_value)
    if key in INT_KEYS:
        setattr(script, key, parse_int(key, value))
    elif key == "tag":
        if not TAG_RE.match(value):
            raise ScriptError(f"tag may hold only letters, digits, '_', '.', '-': {value!r}")
        script.tag = value
    elif key == "file":
        if not TAG_RE.match(value) or value in (".", ".."):
            raise ScriptError(f"file may hold only letters, digits, '_', '.', '-': {value!r}")
        script.file = value
    elif key == "ctype":
        if "\r" in value or "\n" in value:
            raise ScriptError("ctype holds a line break")
        script.ctype = None if value == "none" else value
    elif key == "nolength":
        script.nolength = value == "1"
    elif key == "reset":
        script.reset = value == "1"
    elif key == "range":
        if value not in ("honour", "ignore", "wrongstart"):
            raise ScriptError(f"range must be honour, ignore or wrongstart: {value!r}")
        script.range = value
    elif key == "gzip":
        if value not in ("1", "bad"):
            raise ScriptError(f"gzip must be 1 or bad: {value!r}")
        script.gzip = value
    elif key == "encoding":
        if "\r" in value or "\n" in value:
            raise ScriptError("encoding holds a line break")
        script.encoding = value
    elif key == "auth":
        if value != "407":
            raise ScriptError(f"auth must be 407: {value!r}")
        script.auth = value
    elif key == "header":
        script.headers.append(parse_header_item(value))


def parse_script(text):
    """Parse a script; unknown, repeated or contradictory keys are errors so
    that a typing mistake in a test shows as a 400 instead of a quiet
    default."""
    script = Script()
    seen = set()
    for item in text.split(";"):
        if not item:
            continue
        key, sep, raw_value = item.partition("=")
        if not sep or key not in KNOWN_KEYS:
            raise ScriptError(f"unknown script item {item!r}")
        if key in seen and key != "header":
            raise ScriptError(f"{key} given twice")
        seen.add(key)
        apply_item(script, key, raw_value)
    if sum(x is not None for x in (script.size, script.body, script.file)) > 1:
        raise ScriptError("size, body and file exclude each other")
    if (script.stallafter is None) != (script.stallms is None):
        raise ScriptError("stallafter and stallms go together")
    if script.gzip == "bad" and (script.body is not None or script.file is not None):
        raise ScriptError("gzip=bad makes its own body; use size to set its length")
    if not 200 <= script.status <= 599:
        raise ScriptError(f"status must be 200..599, got {script.status}")
    if script.rate == 0:
        raise ScriptError("rate must be at least 1 byte per second")
    return script


def parse_range(value, total):
    """(first, last) inclusive from a Range header value, or None when the
    header is not a single satisfiable-looking byte range; an unusable Range
    header is ignored as HTTP says."""
    match = RANGE_RE.match(value or "")
    if not match:
        return None
    first = int(match.group(1))
    last = int(match.group(2)) if match.group(2) else total - 1
    if match.group(2) and last < first:
        return None
    return first, min(last, total - 1)


class Response:
    """What will be sent: status, headers and a body source."""

    def __init__(self, status):
        self.status = status
        self.headers = []
        # Either bytes, or (pattern offset, length) streamed from the table.
        self.body = b""
        self.pattern = None
        self.close = False

    def body_length(self):
        return self.pattern[1] if self.pattern else len(self.body)


def reason_phrase(status):
    try:
        return http.HTTPStatus(status).phrase
    except ValueError:
        return "Status"


def short_text(status):
    return f"{status} {reason_phrase(status)}\n".encode()


def choose_pattern_range(script, request_range, response):
    """Apply a Range request to a pattern body; returns False for 416."""
    total = script.size
    wanted = parse_range(request_range, total) if script.status == 200 else None
    if wanted is None or script.range == "ignore":
        response.pattern = (0, total)
        return True
    first, last = wanted
    if first >= total:
        return False
    if script.range == "wrongstart":
        first //= 2
    response.status = 206
    response.headers.append(("Content-Range", f"bytes {first}-{last}/{total}"))
    response.pattern = (first, last - first + 1)
    return True


def read_served_file(files_dir, name):
    """The bytes of a file= body, or None when there is no such file."""
    try:
        with open(os.path.join(files_dir, name), "rb") as f:
            return f.read()
    except (FileNotFoundError, IsADirectoryError):
        return None


def build_response(script, request_range, files_dir):
    """Turn a script (and the request's Range header) into a Response."""
    literal = script.body
    if script.file is not None:
        literal = read_served_file(files_dir, script.file)
    if script.auth:
        response = Response(407)
        response.headers.append(("Proxy-Authenticate", 'Basic realm="korvel"'))
        response.body = b"proxy authentication required\n"
    elif script.file is not None and literal is None:
        response = Response(404)
        response.body = short_text(404)
    else:
        response = Response(script.status)
        if script.gzip == "bad":
            response.body = bad_gzip_body(script.size)
        elif script.gzip == "1":
            plain = literal if literal is not None else pattern_bytes(0, script.size or 0)
            response.body = gzip.compress(plain, mtime=0)
        elif literal is not None:
            response.body = literal
        elif script.size is not None:
            if not choose_pattern_range(script, request_range, response):
                response = Response(416)
                response.headers.append(("Content-Range", f"bytes */{script.size}"))
                response.body = short_text(416)
        elif not 200 <= script.status < 300:
            response.body = short_text(script.status)
    if script.gzip:
        response.headers.append(("Content-Encoding", "gzip"))
    if script.encoding is not None:
        response.headers = [h for h in response.headers if h[0] != "Content-Encoding"]
        if script.encoding != "none":
            response.headers.append(("Content-Encoding", script.encoding))
    if script.ctype is not None:
        response.headers.append(("Content-Type", script.ctype))
    return response


def finish_headers(response, script, head_only):
    """Add the framing headers and the script's extra headers."""
    no_body_status = response.status in (204, 304)
    if no_body_status:
        response.body, response.pattern = b"", None
    elif script.nolength:
        response.close = True
    else:
        response.headers.append(("Content-Length", str(response.body_length())))
    if response.close:
        response.headers.append(("Connection", "close"))
    extra_names = {name.lower() for name, _ in script.headers}
    response.headers = [h for h in response.headers if h[0].lower() not in extra_names]
    response.headers.extend(script.headers)
    if head_only:
        response.body, response.pattern = b"", None


class RecordBook:
    """Numbers requests per tag and writes their record files."""

    def __init__(self, directory):
        self.directory = directory
        self.lock = threading.Lock()
        self.counts = {}

    def path(self, tag, n, suffix):
        return os.path.join(self.directory, f"{tag}-{n}.{suffix}")

    def write(self, tag, head, body_file):
        """Numbers the request and puts its files in place, the body before
        the head: a reader that sees the head file may rely on the body file.
        The number is taken only now so that a request whose body never
        arrived leaves no gap in the numbering."""
        with self.lock:
            n = self.counts.get(tag, 0) + 1
            self.counts[tag] = n
            os.replace(body_file, self.path(tag, n, "body"))
            write_file_atomically(self.path(tag, n, "head"), head)
        return n

    def body_temp_path(self):
        return os.path.join(self.directory, f".body-{threading.get_ident()}.tmp")


def write_file_atomically(path, data):
    temp = os.path.join(os.path.dirname(path), "." + os.path.basename(path) + ".tmp")
    with open(temp, "wb") as f:
        f.write(data)
    os.replace(temp, path)


class BadRequest(Exception):
    """The request cannot be parsed; answered with 400 and a closed connection."""


class ScriptedHandler(http.server.BaseHTTPRequestHandler):
    """Reads each request itself (the exact head bytes are recorded), then
    answers as its script says."""

    protocol_version = "HTTP/1.1"
    server_version = "korvel-scripted-server/1"
    sys_version = ""
    disable_nagle_algorithm = True
    timeout = CONNECTION_TIMEOUT

    # -- reading -----------------------------------------------------------

    def read_head(self):
        """The request line and headers as received, or None at a clean end
        of the connection."""
        lines = []
        size = 0
        while True:
            line = self.rfile.readline(MAX_HEAD_BYTES + 1)
            if not line:
                if lines:
                    raise BadRequest("connection closed inside the request head")
                return None
            if not lines and line in (b"\r\n", b"\n"):
                continue  # stray line breaks between requests are allowed
            size += len(line)
            if size > MAX_HEAD_BYTES or len(lines) > MAX_HEADER_LINES:
                raise BadRequest("request head too large")
            if not line.endswith(b"\n"):
                raise BadRequest("request head line not terminated")
            lines.append(line)
            if line in (b"\r\n", b"\n"):
                return b"".join(lines)

    def parse_head(self, head):
        lines = head.decode("latin-1").split("\n")
        words = lines[0].rstrip("\r").split(" ")
        if len(words) != 3 or not TOKEN_RE.match(words[0]):
            raise BadRequest(f"malformed request line {lines[0].rstrip()!r}")
        method, target, version = words
        if version not in ("HTTP/1.0", "HTTP/1.1"):
            raise BadRequest(f"unsupported version {version!r}")
        headers = []
        for line in lines[1:]:
            line = line.rstrip("\r")
            if not line:
                continue
            name, sep, value = line.partition(":")
            if not sep or not TOKEN_RE.match(name):
                raise BadRequest(f"malformed header line {line!r}")
            headers.append((name.lower(), value.strip()))
        return method, target, version, headers

    def copy_body(self, length, destination):
        with open(destination, "wb") as f:
            remaining = length
            while remaining:
                data = self.rfile.read(min(remaining, BODY_READ_CHUNK))
                if not data:
                    raise ConnectionError("connection closed inside the request body")
                f.write(data)
                remaining -= len(data)

    # -- serving -----------------------------------------------------------

    def handle_one_request(self):
        self.close_connection = True
        try:
            head = self.read_head()
            if head is None:
                return
            self.server.activity_started()
            try:
                self.serve(head)
            finally:
                self.server.activity_ended()
        except BadRequest as problem:
            self.answer_bad_request(str(problem))
        except OSError as problem:
            # The client went away or stalled; nothing to answer.
            self.log_line(f"connection dropped: {problem}")

    def serve(self, head):
        method, target, version, headers = self.parse_head(head)
        if target == "/quit":
            self.send_bytes(self.status_and_headers(200, [("Content-Length", "3")]) + b"bye")
            self.server.request_stop("quit requested")
            return
        try:
            script = parse_script(split_target(target))
        except ScriptError as problem:
            raise BadRequest(str(problem)) from None
        self.record(script, head, headers)
        values = dict(headers)
        response = build_response(script, values.get("range"), self.server.files_dir)
        finish_headers(response, script, method == "HEAD")
        if script.delay:
            time.sleep(script.delay / 1000)
        self.log_line(f"{method} {target} -> {response.status} ({response.body_length()} bytes)")
        self.send_response_from(response, script)
        self.close_connection = response.close or wants_close(version, values)

    def record(self, script, head, headers):
        book = self.server.records
        length = request_body_length(headers)
        if script.holdbody:
            time.sleep(script.holdbody / 1000)
        tag = script.tag
        body_file = book.body_temp_path()
        try:
            self.copy_body(length, body_file)
            book.write(tag, head, body_file)
        finally:
            if os.path.exists(body_file):
                os.remove(body_file)

    def status_and_headers(self, status, headers):
        lines = [f"HTTP/1.1 {status} {reason_phrase(status)}",
                 f"Date: {email.utils.formatdate(usegmt=True)}",
                 f"Server: {self.server_version}",
                 # The client's URL cache must never answer in our place: a
                 # repeated URL has to reach the server and be recorded.
                 "Cache-Control: no-store"]
        lines += [f"{name}: {value}" for name, value in headers]
        return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")

    def send_response_from(self, response, script):
        head = self.status_and_headers(response.status, response.headers)
        if script.cuthead is not None:
            self.send_bytes(head[:script.cuthead])
            self.end_abruptly(response, script)
            self.log_line(f"cut the head after {min(script.cuthead, len(head))} bytes")
            return
        length = response.body_length()
        to_send = length if script.cut is None else min(script.cut, length)
        stall_at = script.stallafter if script.stallafter is not None else -1
        if response.pattern:
            self.send_bytes(head)
            self.send_pattern(response.pattern[0], to_send, stall_at, script.stallms, script.rate)
        elif 0 <= stall_at < to_send:
            self.send_bytes(head + response.body[:stall_at])
            time.sleep(script.stallms / 1000)
            self.send_bytes(response.body[stall_at:to_send])
        else:
            # Head and a small body in one write: no Nagle/delayed-ACK pause.
            self.send_bytes(head + response.body[:to_send])
        if script.cut is not None and script.cut < length:
            self.end_abruptly(response, script)
            self.log_line(f"cut the body after {to_send} of {length} bytes")

    def end_abruptly(self, response, script):
        """Closing right after the last byte, with no error, is what a dropped
        server connection looks like to the client; with reset it is a
        connection reset."""
        response.close = True
        if script.reset:
            # Closed here, before the server's usual shutdown could send a FIN;
            # the reader must go too, or the socket would stay open.
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                       struct.pack("ii", 1, 0))
            self.rfile.close()
            self.connection.close()

    def send_pattern(self, offset, length, stall_at, stall_ms, rate):
        """Streams the pattern in large slices of the table (or, paced, in
        slices a twentieth of a second apart); a stall happens only when more
        bytes follow it, as for a literal body."""
        slice_bytes = SEND_CHUNK if rate is None else max(1, rate // RATE_SLICES_PER_SECOND)
        sent = 0
        while sent < length:
            if sent == stall_at:
                time.sleep(stall_ms / 1000)
            elif rate is not None and sent:
                time.sleep(1 / RATE_SLICES_PER_SECOND)
            end = min(length, stall_at) if sent < stall_at else length
            n = min(slice_bytes, end - sent)
            start = (offset + sent) % PATTERN_PERIOD
            self.connection.sendall(PATTERN[start:start + n])
            sent += n

    def send_bytes(self, data):
        self.connection.sendall(data)

    def answer_bad_request(self, reason):
        self.log_line(f"400 bad request: {reason}")
        body = f"400 Bad Request: {reason}\n".encode("utf-8", "replace")
        head = self.status_and_headers(400, [("Content-Type", "text/plain; charset=utf-8"),
                                             ("Content-Length", str(len(body))),
                                             ("Connection", "close")])
        self.close_connection = True
        try:
            self.send_bytes(head + body)
            self.drain_before_close()
        except OSError:
            pass

    def drain_before_close(self):
        """Closing with unread request bytes makes the kernel send a reset,
        and a reset can destroy the 400 before the client reads it; so the
        rest of the request is read (for a bounded time) first."""
        self.connection.shutdown(socket.SHUT_WR)
        deadline = time.monotonic() + DRAIN_SECONDS
        while time.monotonic() < deadline:
            self.connection.settimeout(max(0.01, deadline - time.monotonic()))
            if not self.connection.recv(BODY_READ_CHUNK):
                break

    def log_line(self, text):
        sys.stderr.write(f"{time.strftime('%H:%M:%S')} {self.client_address[1]} {text}\n")

    def log_message(self, format, *args):
        self.log_line(format % args)


def request_body_length(headers):
    values = dict(headers)
    if "transfer-encoding" in values:
        raise BadRequest("request bodies with Transfer-Encoding are not supported")
    text = values.get("content-length", "0")
    if not DIGITS_RE.match(text):
        raise BadRequest(f"bad Content-Length {text!r}")
    return int(text)


def wants_close(version, values):
    connection = values.get("connection", "").lower()
    if version == "HTTP/1.0":
        return "keep-alive" not in connection
    return "close" in connection


class ScriptedServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 64

    def __init__(self, record_dir, files_dir):
        super().__init__(("127.0.0.1", 0), ScriptedHandler)
        self.records = RecordBook(record_dir)
        self.files_dir = files_dir
        self.stop_event = threading.Event()
        self.stop_reason = ""
        self.activity_lock = threading.Lock()
        self.active_requests = 0
        self.last_activity = time.monotonic()

    def server_bind(self):
        # HTTPServer.server_bind looks up the host's name, which can block on
        # a machine without working name resolution; nothing here needs it.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    def activity_started(self):
        with self.activity_lock:
            self.active_requests += 1
            self.last_activity = time.monotonic()

    def activity_ended(self):
        with self.activity_lock:
            self.active_requests -= 1
            self.last_activity = time.monotonic()

    def idle_seconds(self):
        with self.activity_lock:
            if self.active_requests:
                return 0.0
            return time.monotonic() - self.last_activity

    def request_stop(self, reason):
        if not self.stop_event.is_set():
            self.stop_reason = reason
            self.stop_event.set()

    def handle_error(self, request, client_address):
        sys.stderr.write(f"unexpected error serving {client_address}:\n")
        super().handle_error(request, client_address)


def write_port_file(path, port):
    temp = f"{path}.{os.getpid()}.tmp"
    with open(temp, "w") as f:
        f.write(f"{port}\n")
    os.replace(temp, path)


def remove_port_file(path, port):
    """Removes the port file unless a newer server has replaced it."""
    try:
        with open(path) as f:
            if f.read().strip() == str(port):
                os.remove(path)
    except OSError:
        pass


def run(port_file, record_dir, files_dir, lifetime, idle):
    os.makedirs(record_dir, exist_ok=True)
    os.makedirs(files_dir, exist_ok=True)
    server = ScriptedServer(record_dir, files_dir)
    port = server.server_address[1]
    signal.signal(signal.SIGTERM, lambda *_: server.request_stop("terminated"))
    signal.signal(signal.SIGINT, lambda *_: server.request_stop("interrupted"))
    serving = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1},
                               daemon=True)
    serving.start()
    write_port_file(port_file, port)
    sys.stderr.write(f"serving on 127.0.0.1:{port}, records in {record_dir}\n")
    deadline = time.monotonic() + lifetime
    while not server.stop_event.wait(0.1):
        if time.monotonic() >= deadline:
            server.request_stop(f"lifetime of {lifetime:g} s over")
        elif server.idle_seconds() >= idle:
            server.request_stop(f"idle for {idle:g} s")
    remove_port_file(port_file, port)
    server.shutdown()
    server.server_close()
    sys.stderr.write(f"stopped: {server.stop_reason}\n")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--record-dir", required=True)
    parser.add_argument("--files")
    parser.add_argument("--lifetime", type=float, default=1800)
    parser.add_argument("--idle", type=float, default=600)
    args = parser.parse_args(argv)
    files_dir = args.files or os.path.join(os.path.dirname(os.path.abspath(args.record_dir)),
                                           "files")
    run(args.port_file, args.record_dir, files_dir, args.lifetime, args.idle)


if __name__ == "__main__":
    main()
