#!/usr/bin/env python3
"""Reference pipeline server: answers korvel's pings and content queries.

The library, its tests, its demo and host developers need an update service
on the local machine, one that can also misbehave on purpose. This server
answers the two pipeline commands the library sends, from a JSON catalog,
serves package files, and answers scripted requests:

    GET  .../lumq/pipeline?cmd=PingCmd:Ping&module=Pipeline
    POST .../lumq/pipeline?cmd=ContentCmd:Query&MaxHits=N&pipeline_version=2.0
         (body: the request packet, UTF-16 with byte-order mark, or UTF-8)
    GET  /packages/<name>   (HEAD too; single byte ranges are honoured)
    ANY  /s/<script>/<anything, query string included>
    GET  /quit              (stops the server)

Any path ending in /lumq/pipeline is the pipeline, so a prefix can be used;
without a catalog it offers no entries. Pipeline answers are response packets
in UTF-8; see README.md beside this file for the catalog format, the element
names of an answer and the fault modes, which are switched on server-wide by
options or per request by fault_* parameters. Scripted answers are described
in scripted.py; their requests are recorded in --record-dir.

Usage: pipeline_server.py [--catalog CATALOG.json] [--port N] [--port-file F]
                          [--packages DIR] [--record-dir DIR] [--files DIR]
                          [--lifetime S] [--idle S] [--log FILE]
                          [fault options]
"""

import argparse
import dataclasses
import email.utils
import io
import os
import re
import signal
import socket
import socketserver
import struct
import sys
import threading
import time

# The server runs from the source tree; its modules leave no bytecode there.
sys.dont_write_bytecode = True

import pipeline
import scripted
from answer import SEND_CHUNK, RequestError, reason_phrase, text_answer
from catalog import SCHEMA_PATH, CatalogError, load_catalog

DEFAULT_SCHEMA_HOST = "schemas.korvel.example"
SERVER_NAME = "korvel-pipeline-server/1"
MAX_HEAD_BYTES = 64 * 1024
MAX_HEADER_LINES = 200
# Pipeline requests are read into memory; scripted uploads go to a file.
MAX_BODY_BYTES = 4 * 1024 * 1024
# Keep-alive connections that go quiet are dropped after this many seconds so
# that their threads do not pile up over a long run.
CONNECTION_TIMEOUT = 300
DRAIN_SECONDS = 1.0
# A paced body goes out in this many slices a second.
RATE_SLICES_PER_SECOND = 20
DIGITS_RE = re.compile(r"[0-9]+\Z")
TOKEN_RE = re.compile(r"[!#$%&'*+.^_`|~0-9A-Za-z-]+\Z")


@dataclasses.dataclass
class Request:
    """One request as received: its exact head and what was parsed from it."""

    head: bytes = b""
    method: str = "-"
    target: str = "-"
    version: str = "HTTP/1.1"
    headers: dict = dataclasses.field(default_factory=dict)  # lower-case names
    body_unread: bool = False

    @property
    def path(self):
        """The target in origin form, query included."""
        if "://" in self.target:
            # Absolute form, as a client talking to a proxy sends it.
            return "/" + self.target.split("://", 1)[1].partition("/")[2]
        return self.target


def parse_head(request):
    lines = request.head.decode("latin-1").split("\n")
    words = lines[0].rstrip("\r").split(" ")
    if len(words) != 3 or not TOKEN_RE.match(words[0]):
        raise RequestError(f"malformed request line {lines[0].rstrip()!r}", close=True)
    request.method, request.target, request.version = words
    if request.version not in ("HTTP/1.0", "HTTP/1.1"):
        raise RequestError(f"unsupported version {request.version!r}", close=True)
    for line in filter(None, (line.rstrip("\r") for line in lines[1:])):
        name, sep, value = line.partition(":")
        if not sep or not TOKEN_RE.match(name):
            raise RequestError(f"malformed header line {line!r}", close=True)
        request.headers[name.lower()] = value.strip()
    request.body_unread = ("transfer-encoding" in request.headers
                           or request.headers.get("content-length", "0") != "0")


def refusal(problem, body_unread):
    answer = text_answer(problem.status, str(problem))
    answer.headers += problem.headers
    # Unread body bytes would be taken for the next request.
    answer.close = answer.drain = problem.close or body_unread
    return answer


class Handler(socketserver.StreamRequestHandler):
    """Reads each request itself (so that its exact head can be recorded),
    works out its Answer and sends it as the Answer says."""

    timeout = CONNECTION_TIMEOUT
    disable_nagle_algorithm = True

    def handle(self):
        while self.serve_one():
            pass

    def serve_one(self):
        """Reads and answers one request; False when the connection is done."""
        request = Request()
        try:
            try:
                request.head = self.read_head()
            except RequestError as problem:
                self.send(request, refusal(problem, True))
                return False
            if request.head is None:
                return False
            self.server.activity_started()
            try:
                answer = self.work_out(request)
                self.send(request, answer)
            finally:
                self.server.activity_ended()
        except OSError as problem:
            # The client went away or stalled; nothing to answer.
            self.server.log(f"{self.peer()} {request.method} {request.target} "
                            f"connection dropped: {problem}")
            return False
        connection = request.headers.get("connection", "").lower()
        if request.version == "HTTP/1.0":
            return not answer.close and "keep-alive" in connection
        return not answer.close and "close" not in connection

    def read_head(self):
        """The request line and headers as received, or None at a clean end
        of the connection."""
        lines, size = [], 0
        while True:
            line = self.rfile.readline(MAX_HEAD_BYTES + 1)
            if not line:
                if lines:
                    raise RequestError("connection closed inside the request head", close=True)
                return None
            if not lines and line in (b"\r\n", b"\n"):
                continue  # stray line breaks between requests are allowed
            size += len(line)
            if size > MAX_HEAD_BYTES or len(lines) > MAX_HEADER_LINES:
                raise RequestError("request head too large", close=True)
            if not line.endswith(b"\n"):
                raise RequestError("request head line not terminated", close=True)
            lines.append(line)
            if line in (b"\r\n", b"\n"):
                return b"".join(lines)

    def copy_body(self, request, sink, limit=None):
        if "transfer-encoding" in request.headers:
            raise RequestError("request bodies with Transfer-Encoding are not supported", 411)
        text = request.headers.get("content-length", "0")
        if not DIGITS_RE.match(text):
            raise RequestError(f"bad Content-Length {text!r}")
        remaining = int(text)
        if limit is not None and remaining > limit:
            raise RequestError(f"request body of {remaining} bytes is over {limit}", 413)
        if remaining and request.headers.get("expect", "").lower() == "100-continue":
            self.connection.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
        while remaining:
            data = self.rfile.read(min(remaining, SEND_CHUNK))
            if not data:
                raise ConnectionError("connection closed inside the request body")
            sink.write(data)
            remaining -= len(data)
        request.body_unread = False

    def work_out(self, request):
        try:
            parse_head(request)
            path, _, query = request.path.partition("?")
            if path == "/quit":
                self.server.request_stop("quit requested")
                return text_answer(200, None, ctype=None)
            if path.startswith("/s/"):
                return self.scripted_answer(request)
            body = io.BytesIO()
            self.copy_body(request, body, MAX_BODY_BYTES)
            return pipeline.answer(self.server, request.method, path, query, request.headers,
                                   body.getvalue())
        except RequestError as problem:
            return refusal(problem, request.body_unread)
        except OSError:
            raise
        except Exception as problem:  # a bug here must not cost the client its answer
            return refusal(RequestError(f"internal error {type(problem).__name__}: {problem}",
                                        500, close=True), True)

    def scripted_answer(self, request):
        """Records the request as its script says (its body after holdbody),
        then builds the answer: the record files are complete before it."""
        script = scripted.parse_script(scripted.script_text(request.path))
        time.sleep((script.holdbody or 0) / 1000)
        book = self.server.records
        if book is None:
            with open(os.devnull, "wb") as sink:
                self.copy_body(request, sink)
        else:
            temp = book.body_temp_path()
            try:
                with open(temp, "wb") as sink:
                    self.copy_body(request, sink)
                book.write(script.tag, request.head, temp)
            finally:
                if os.path.exists(temp):
                    os.remove(temp)
        return scripted.build_answer(script, request.headers, self.server.files_dir)

    def send(self, request, answer):
        """Frames and sends the answer, spoiling the delivery as it says."""
        length = answer.body.length
        headers = list(answer.headers)
        if answer.status in (204, 304):
            length = 0
        elif answer.nolength:
            answer.close = True
        else:
            headers.append(("Content-Length", str(length)))
        if answer.close:
            headers.append(("Connection", "close"))
        names = {name.lower() for name, _ in answer.extra_headers}
        headers = [h for h in headers if h[0].lower() not in names] + answer.extra_headers
        if any(name.lower() == "content-length" and value != str(length)
               for name, value in answer.extra_headers):
            # A client that believes the lying length waits for the close.
            answer.close = True
        if request.method == "HEAD":
            length = 0
        head = "".join(f"{name}: {value}\r\n" for name, value in [
            ("Date", email.utils.formatdate(usegmt=True)), ("Server", SERVER_NAME),
            # The client's URL cache must never answer in our place: a
            # repeated URL has to reach the server and be recorded.
            ("Cache-Control", "no-store"), *headers])
        head = f"HTTP/1.1 {answer.status} {reason_phrase(answer.status)}\r\n{head}\r\n"
        head = head.encode("latin-1")
        self.server.stop_event.wait(answer.delay_ms / 1000)
        note = ""
        if answer.cuthead is not None:
            self.connection.sendall(head[:answer.cuthead])
            self.drop(answer)
            note = f" cut the head after {min(answer.cuthead, len(head))} bytes"
        else:
            to_send = length if answer.cut is None else min(answer.cut, length)
            self.send_body(head, answer, to_send)
            if to_send < length:
                self.drop(answer)
                note = f" cut after {to_send} of {length} bytes"
            elif answer.drain:
                self.drain_before_close()
        self.server.log(f"{self.peer()} {request.method} {request.target} "
                        f"status={answer.status}{answer.log}{note}")

    def send_body(self, head, answer, count):
        """The head and count body bytes in slices (a twentieth of a second
        apart when paced); a stall happens only when more bytes follow it."""
        stall_at = -1 if answer.stallafter is None else answer.stallafter
        rate = answer.rate
        slice_bytes = SEND_CHUNK if rate is None else max(1, rate // RATE_SLICES_PER_SECOND)
        pending, sent = head, 0
        while sent < count:
            if sent == stall_at or (rate and sent):
                self.connection.sendall(pending)
                pending = b""
                time.sleep(answer.stallms / 1000 if sent == stall_at
                           else 1 / RATE_SLICES_PER_SECOND)
            end = min(count, stall_at) if sent < stall_at else count
            n = min(slice_bytes, end - sent)
            piece = answer.body.read(sent, n)
            # Head and first slice in one write: no delayed-ACK pause between.
            self.connection.sendall(pending + piece if pending else piece)
            pending = b""
            sent += n
        if pending:
            self.connection.sendall(pending)

    def drop(self, answer):
        """Closing right after the last byte, with no error, is what a dropped
        server connection looks like to the client; with reset it is a
        connection reset."""
        answer.close = True
        if answer.reset:
            # Closed here, before the server's usual shutdown could send a FIN;
            # the reader must go too, or the socket would stay open.
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                       struct.pack("ii", 1, 0))
            self.rfile.close()
            self.connection.close()

    def drain_before_close(self):
        """Closing with unread request bytes makes the kernel send a reset,
        which can destroy the answer before the client reads it; so what the
        client still sends is read, for a bounded time, first."""
        self.connection.shutdown(socket.SHUT_WR)
        deadline = time.monotonic() + DRAIN_SECONDS
        while time.monotonic() < deadline:
            self.connection.settimeout(max(0.01, deadline - time.monotonic()))
            if not self.connection.recv(SEND_CHUNK):
                break

    def peer(self):
        return f"{self.client_address[0]}:{self.client_address[1]}"


class Server(socketserver.ThreadingTCPServer):
    """The listening socket plus everything the handlers share: catalog,
    faults, records, log and the activity clock for the idle stop."""

    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, args, catalog, log_file):
        super().__init__(("127.0.0.1", args.port), Handler)
        self.catalog = catalog
        self.packages_dir = args.packages
        self.faults = pipeline.Faults(
            delay_ms=args.delay_ms, cut_after=args.cut_after, http_status=args.http_status,
            server_status=args.server_status, server_text=args.server_text,
            proxy_auth=args.proxy_auth, ignore_range=args.ignore_range)
        self.namespace = f"http://{args.schema_host}{SCHEMA_PATH}"
        self.base_url = f"http://127.0.0.1:{self.server_address[1]}"
        self.records = scripted.RecordBook(args.record_dir) if args.record_dir else None
        self.files_dir = args.files
        self.log_file = log_file
        self.lock = threading.Lock()
        self.stop_event = threading.Event()
        self.stop_reason = ""
        self.active_requests = 0
        self.last_activity = time.monotonic()

    def log(self, text):
        stamp = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())
        with self.lock:
            self.log_file.write(f"{stamp} {text}\n")
            self.log_file.flush()

    def activity_started(self):
        with self.lock:
            self.active_requests += 1
            self.last_activity = time.monotonic()

    def activity_ended(self):
        with self.lock:
            self.active_requests -= 1
            self.last_activity = time.monotonic()

    def idle_seconds(self):
        with self.lock:
            return 0.0 if self.active_requests else time.monotonic() - self.last_activity

    def request_stop(self, reason):
        if not self.stop_event.is_set():
            self.stop_reason = reason
            self.stop_event.set()

    def handle_error(self, request, client_address):
        # A handler bug must cost one connection, never the server.
        kind, value = sys.exc_info()[:2]
        self.log(f"{client_address[0]}:{client_address[1]} internal error "
                 f"{kind.__name__ if kind else '?'}: {value}")


def run(args):
    try:
        catalog = load_catalog(args.catalog) if args.catalog else []
    except CatalogError as problem:
        sys.stderr.write(f"pipeline server: {problem}\n")
        return 2
    if args.packages and not os.path.isdir(args.packages):
        sys.stderr.write(f"pipeline server: no folder {args.packages}\n")
        return 2
    if args.record_dir:
        args.files = args.files or os.path.join(
            os.path.dirname(os.path.abspath(args.record_dir)), "files")
    for folder in (args.record_dir, args.files):
        if folder:
            os.makedirs(folder, exist_ok=True)
    log_file = open(args.log, "a", encoding="utf-8") if args.log else sys.stderr
    try:
        server = Server(args, catalog, log_file)
    except OSError as problem:
        sys.stderr.write(f"pipeline server: cannot listen on 127.0.0.1:{args.port}: {problem}\n")
        return 2
    port = server.server_address[1]
    signal.signal(signal.SIGTERM, lambda *_: server.request_stop("terminated"))
    signal.signal(signal.SIGINT, lambda *_: server.request_stop("interrupted"))
    threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1},
                     daemon=True).start()
    if args.port_file:
        # Renamed into place, so that a reader never sees a half-written port.
        temp = f"{args.port_file}.{os.getpid()}.tmp"
        with open(temp, "w") as f:
            f.write(f"{port}\n")
        os.replace(temp, args.port_file)
    server.log(f"serving {len(catalog)} entries at {server.base_url}"
               f"{pipeline.PIPELINE_PATH_SUFFIX}, scripted answers under /s/"
               + (f", records in {args.record_dir}" if args.record_dir else ""))
    deadline = time.monotonic() + args.lifetime
    while not server.stop_event.wait(0.1):
        if time.monotonic() >= deadline:
            server.request_stop(f"lifetime of {args.lifetime:g} s over")
        elif server.idle_seconds() >= args.idle:
            server.request_stop(f"idle for {args.idle:g} s")
    if args.port_file:
        # Unless a newer server has replaced it.
        try:
            with open(args.port_file) as f:
                if f.read().strip() == str(port):
                    os.remove(args.port_file)
        except OSError:
            pass
    server.shutdown()
    server.server_close()
    server.log(f"stopped: {server.stop_reason}")
    return 0


def positive_seconds(text):
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError("must be more than 0 seconds")
    return value


def checked(field, option):
    """An argparse type that validates like the matching fault_* parameter."""
    def convert(text):
        try:
            return pipeline.fault_value(field, text, option)
        except RequestError as problem:
            raise argparse.ArgumentTypeError(str(problem)) from None
    return convert


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--catalog", help="JSON catalog of update entries (default: none)")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (0: a free one)")
    parser.add_argument("--port-file", help="file that receives the port once listening")
    parser.add_argument("--packages", help="folder served under /packages/")
    parser.add_argument("--record-dir", help="folder of the records of scripted requests")
    parser.add_argument("--files", help="folder of file= bodies (default: 'files' beside "
                                        "the record folder)")
    parser.add_argument("--lifetime", type=positive_seconds, default=3600,
                        help="stop after this many seconds (default 3600)")
    parser.add_argument("--idle", type=positive_seconds, default=900,
                        help="stop after this many seconds without requests (default 900)")
    parser.add_argument("--log", help="append request lines here instead of stderr")
    parser.add_argument("--schema-host", default=DEFAULT_SCHEMA_HOST,
                        help="host in the packet namespace of answers to pings")
    faults = parser.add_argument_group("faults for every pipeline and package request "
                                       "(fault_* parameters override)")
    for option, field in (("--delay-ms", "delay_ms"), ("--cut-after", "cut_after"),
                          ("--http-status", "http_status"), ("--server-status", "server_status"),
                          ("--server-text", "server_text")):
        faults.add_argument(option, type=checked(field, option),
                            default=0 if field == "delay_ms" else None)
    faults.add_argument("--proxy-auth", action="store_true")
    faults.add_argument("--ignore-range", action="store_true")
    return parser.parse_args(argv)


def main(argv=None):
    return run(parse_arguments(argv))


if __name__ == "__main__":
    sys.exit(main())
