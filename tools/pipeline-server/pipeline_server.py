#!/usr/bin/env python3
"""Reference pipeline server: answers korvel's pings and content queries.

The library, its demo and host developers need an update service to talk to
that runs on the local machine. This server answers the two pipeline commands
the library sends, from a JSON catalog, and serves package files:

    GET  .../lumq/pipeline?cmd=PingCmd:Ping&module=Pipeline
    POST .../lumq/pipeline?cmd=ContentCmd:Query&MaxHits=N&pipeline_version=2.0
         (body: the request packet, UTF-16 with byte-order mark, or UTF-8)
    GET  /packages/<name>   (HEAD too; single byte ranges are honoured)

Any path ending in /lumq/pipeline is the pipeline, so a prefix can be used.
Answers are response packets in UTF-8; see README.md beside this file for the
catalog format, the element names of an answer and the fault modes, which are
switched on server-wide by options or per request by fault_* parameters.

Usage: pipeline_server.py --catalog CATALOG.json [--port N] [--port-file F]
                          [--packages DIR] [--lifetime S] [--idle S]
                          [--log FILE] [fault options]
"""

import argparse
import dataclasses
import decimal
import email.utils
import gzip
import http
import http.server
import json
import os
import re
import signal
import socket
import socketserver
import sys
import threading
import time
import urllib.parse
import xml.etree.ElementTree as ET
from xml.sax.saxutils import escape as xml_escape

PIPELINE_PATH_SUFFIX = "/lumq/pipeline"
PACKAGES_PREFIX = "/packages/"
PING_COMMAND = "PingCmd:Ping"
QUERY_COMMAND = "ContentCmd:Query"
PIPELINE_VERSION = "2.0"
SCHEMA_VERSION = "2.0"
SCHEMA_PATH = "/Schemas/RHO/2.0"
DEFAULT_SCHEMA_HOST = "schemas.korvel.example"
PROXY_REALM = "pipeline"

# Bounds that keep one misbehaving client from holding the server: request
# size, nesting depth, delays, and how long a quiet keep-alive connection
# keeps its thread.
MAX_BODY_BYTES = 4 * 1024 * 1024
MAX_QUERY_DEPTH = 64
MAX_QUERY_FIELDS = 100
MAX_DELAY_MS = 300_000
MAX_STATUS_TEXT = 200
CONNECTION_TIMEOUT = 120
DRAIN_SECONDS = 1.0
SEND_CHUNK = 64 * 1024

COMPARE_TYPES = ("Equal", "NotEqual", "Contains", "GreaterThan", "GreaterThanEqual",
                 "LessThan", "LessThanEqual")

# Fields of a catalog entry that make up the entry element itself; every other
# scalar field is written as a "metadata" child. All fields are searchable.
ENTRY_FIELDS = ("id", "type", "upc", "upcVersion", "upcMinVersion", "downloadGuid",
                "downloadSize", "downloadUrl", "installConditions")

NUMBER_RE = re.compile(r"[+-]?(\d+(\.\d*)?|\.\d+)([eE][+-]?\d+)?\Z")
VERSION_RE = re.compile(r"\d+(\.\d+)*\Z")
RANGE_RE = re.compile(r"bytes=(\d*)-(\d*)\Z")
DIGITS_RE = re.compile(r"\d+\Z")
PACKAGE_NAME_RE = re.compile(r"[A-Za-z0-9._+-]+\Z")
XML_FORBIDDEN_RE = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff]")
STATUS_NUMBER_RE = re.compile(r"\s*([+-]?\d*)")


class RequestError(Exception):
    """A request the server cannot obey; answered with its HTTP status
    (400 unless given), any extra headers, and the message as a one-line text
    body."""

    def __init__(self, message, status=400, headers=()):
        super().__init__(message)
        self.status = status
        self.headers = list(headers)


class CatalogError(ValueError):
    """The catalog file is unusable; the server refuses to start."""


# -- catalog -------------------------------------------------------------------

@dataclasses.dataclass
class Entry:
    """One update offered by the catalog, as loaded from the JSON file."""

    id: str
    type: str
    upc: str
    upc_version: str
    upc_min_version: str
    download_guid: str
    download_size: int
    download_url: str
    install_conditions: list  # of (type, text) pairs, in file order
    extra: list               # of (field, text) pairs: the metadata children
    fields: dict              # lower-case field name -> list of texts, for queries


def scalar_text(value, where):
    """The text a JSON scalar stands for in queries and answers."""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (int, float)):
        return str(value)
    if isinstance(value, str):
        # Such characters cannot be written in an XML answer at all.
        if XML_FORBIDDEN_RE.search(value):
            raise CatalogError(f"{where}: holds a control character")
        return value
    raise CatalogError(f"{where}: expected a string or number, got {json.dumps(value)}")


def field_texts(value, where):
    """A field's values: a list field offers each of its items to queries."""
    if isinstance(value, list):
        return [scalar_text(item, where) for item in value]
    return [scalar_text(value, where)]


def load_install_conditions(value, where):
    if not isinstance(value, dict):
        raise CatalogError(f"{where}: installConditions must be an object of lists")
    pairs = []
    for kind, conditions in value.items():
        for text in field_texts(conditions, f"{where}.installConditions.{kind}"):
            pairs.append((kind, text))
    return pairs


def load_entry(raw, index):
    """Validates one catalog entry and indexes its fields for queries."""
    where = f"entries[{index}]"
    if not isinstance(raw, dict):
        raise CatalogError(f"{where}: an entry must be an object")
    entry_id = raw.get("id")
    if not isinstance(entry_id, str) or not entry_id:
        raise CatalogError(f"{where}: needs a non-empty string id")
    size = raw.get("downloadSize", 0)
    if isinstance(size, bool) or not isinstance(size, int) or size < 0:
        raise CatalogError(f"{where}: downloadSize must be a non-negative integer")

    def text(name):
        return scalar_text(raw.get(name, ""), f"{where}.{name}")

    fields = {}
    extra = []
    for name, value in raw.items():
        if name == "installConditions":
            continue
        texts = field_texts(value, f"{where}.{name}")
        fields.setdefault(name.lower(), []).extend(texts)
        if name not in ENTRY_FIELDS:
            extra.extend((name, t) for t in texts)
    return Entry(id=entry_id, type=text("type"), upc=text("upc"),
                 upc_version=text("upcVersion"), upc_min_version=text("upcMinVersion"),
                 download_guid=text("downloadGuid"), download_size=size,
                 download_url=text("downloadUrl"),
                 install_conditions=load_install_conditions(
                     raw.get("installConditions", {}), where),
                 extra=extra, fields=fields)


def load_catalog(path):
    """The entries of a catalog file: {"entries": [...]} or a bare list."""
    try:
        with open(path, encoding="utf-8") as f:
            document = json.load(f)
    except (OSError, ValueError) as problem:
        raise CatalogError(f"cannot read {path}: {problem}") from None
    raw_entries = document.get("entries") if isinstance(document, dict) else document
    if not isinstance(raw_entries, list):
        raise CatalogError(f"{path}: expected a list of entries or {{\"entries\": [...]}}")
    entries = [load_entry(raw, i) for i, raw in enumerate(raw_entries)]
    seen = set()
    for entry in entries:
        if entry.id in seen:
            raise CatalogError(f"{path}: id {entry.id!r} appears twice")
        seen.add(entry.id)
    return entries


# -- query model ---------------------------------------------------------------

@dataclasses.dataclass
class Condition:
    """One "metadata" or "text" item: entry field, value and comparison."""

    field: str
    value: str
    compare: str


@dataclasses.dataclass
class Group:
    """One "query" element: its items combined with And or Or."""

    kind: str
    items: list


def as_number(text):
    text = text.strip()
    return decimal.Decimal(text) if NUMBER_RE.match(text) else None


def as_version(text):
    text = text.strip()
    return [int(part) for part in text.split(".")] if VERSION_RE.match(text) else None


def order(left, right):
    """-1, 0 or 1 for left against right: as numbers when both are numbers,
    as dotted versions when both look like versions (1.10 after 1.9.0), else
    as text ignoring case."""
    a, b = as_number(left), as_number(right)
    if a is None or b is None:
        a, b = as_version(left), as_version(right)
        if a is not None and b is not None:
            # 1.2 and 1.2.0 name the same version.
            width = max(len(a), len(b))
            a, b = a + [0] * (width - len(a)), b + [0] * (width - len(b))
        else:
            a, b = left.casefold(), right.casefold()
    return (a > b) - (a < b)


def value_matches(actual, wanted, compare):
    """Whether one entry value satisfies "actual <compare> wanted"."""
    if compare == "Equal":
        return actual.casefold() == wanted.casefold()
    if compare == "Contains":
        return wanted.casefold() in actual.casefold()
    sign = order(actual, wanted)
    return {"GreaterThan": sign > 0, "GreaterThanEqual": sign >= 0,
            "LessThan": sign < 0, "LessThanEqual": sign <= 0}[compare]


def condition_matches(condition, entry):
    values = entry.fields.get(condition.field.lower())
    if not values:
        # A missing field matches nothing, not even NotEqual: a query for
        # "Language NotEqual de" must not pick entries that have no language.
        return False
    if condition.compare == "NotEqual":
        return not any(value_matches(v, condition.value, "Equal") for v in values)
    return any(value_matches(v, condition.value, condition.compare) for v in values)


def group_matches(group, entry):
    """And of no items is true, Or of no items false, as in logic."""
    results = (group_matches(item, entry) if isinstance(item, Group)
               else condition_matches(item, entry) for item in group.items)
    return all(results) if group.kind == "And" else any(results)


# -- request packets -----------------------------------------------------------

def decode_packet_text(data):
    """The text of a request body: UTF-16 after its byte-order mark, as the
    library sends it, or UTF-8 for hand-made requests."""
    try:
        if data.startswith(b"\xff\xfe"):
            return data[2:].decode("utf-16-le")
        if data.startswith(b"\xfe\xff"):
            return data[2:].decode("utf-16-be")
        if data.startswith(b"\xef\xbb\xbf"):
            data = data[3:]
        return data.decode("utf-8")
    except UnicodeDecodeError as problem:
        raise RequestError(f"body is neither UTF-16 with byte-order mark nor UTF-8: {problem}")


def parse_packet(data):
    """The root element of a request packet."""
    if not data:
        raise RequestError("empty request body")
    text = decode_packet_text(data)
    # Entity definitions are never part of a packet and only open the door to
    # expansion attacks, so documents with a DTD are refused outright.
    if "<!DOCTYPE" in text or "<!ENTITY" in text:
        raise RequestError("DTDs are not accepted")
    try:
        root = ET.fromstring(text)
    except ET.ParseError as problem:
        raise RequestError(f"body is not well-formed XML: {problem}")
    namespace, name = split_tag(root.tag)
    if name != "packet":
        raise RequestError(f"root element is {name!r}, not 'packet'")
    if namespace and not namespace.endswith(SCHEMA_PATH):
        raise RequestError(f"packet namespace {namespace!r} does not end in {SCHEMA_PATH}")
    version = root.get("schemaVersion")
    if version is not None and version != SCHEMA_VERSION:
        raise RequestError(f"schemaVersion {version!r} is not {SCHEMA_VERSION}")
    return root


def split_tag(tag):
    """(namespace, local name) of an ElementTree tag."""
    if tag.startswith("{"):
        namespace, _, name = tag[1:].partition("}")
        return namespace, name
    return "", tag


def child(element, name, namespace):
    """The first child of that name in the packet's namespace, or None."""
    return element.find(f"{{{namespace}}}{name}" if namespace else name)


def read_client(root):
    """The header's client identity as (element name, version, text) triples
    in request order, for the echo in the answer; empty when absent."""
    namespace, _ = split_tag(root.tag)
    header = child(root, "header", namespace)
    client = child(header, "client", namespace) if header is not None else None
    if client is None:
        return None
    identity = []
    for name in ("swapp", "corelib", "wrapperlib"):
        element = child(client, name, namespace)
        if element is not None:
            identity.append((name, element.get("version", ""), element.text or ""))
    return identity


def read_query(root):
    """The query tree of a contentQuery request packet."""
    namespace, _ = split_tag(root.tag)
    body = child(root, "body", namespace)
    if body is None:
        raise RequestError("request packet has no body")
    content_query = child(body, "contentQuery", namespace)
    if content_query is None:
        raise RequestError("request body has no contentQuery")
    queries = [e for e in content_query if e.tag == qualified("query", namespace)]
    if len(queries) != 1:
        raise RequestError(f"contentQuery must hold one query element, holds {len(queries)}")
    for element in content_query:
        if split_tag(element.tag)[1] not in ("query", "requestMetadata"):
            raise RequestError(f"unexpected element {element.tag!r} in contentQuery")
    return compile_group(queries[0], namespace, 1)


def qualified(name, namespace):
    return f"{{{namespace}}}{name}" if namespace else name


def compile_group(element, namespace, depth):
    """A Group from a "query" element, checking everything the evaluation
    relies on so that a bad request fails as a whole with a reason."""
    if depth > MAX_QUERY_DEPTH:
        raise RequestError(f"query groups nested deeper than {MAX_QUERY_DEPTH}")
    kind = element.get("type")
    if kind not in ("And", "Or"):
        raise RequestError(f"query type must be And or Or, got {kind!r}")
    if (element.text or "").strip():
        raise RequestError("text directly inside a query element")
    items = []
    for item in element:
        item_namespace, name = split_tag(item.tag)
        if item_namespace != namespace or name not in ("metadata", "text", "query"):
            raise RequestError(f"unexpected element {item.tag!r} in a query")
        if name == "query":
            items.append(compile_group(item, namespace, depth + 1))
        else:
            items.append(compile_condition(item, name))
    return Group(kind, items)


def compile_condition(element, name):
    field = element.get("field")
    if field is None:
        raise RequestError(f"{name} element without a field attribute")
    if len(element):
        raise RequestError(f"{name} element for {field!r} has child elements")
    compare = element.get("compareType", "Equal")
    if compare not in COMPARE_TYPES:
        raise RequestError(f"unknown compareType {compare!r} for {field!r}")
    return Condition(field, element.text or "", compare)


# -- response packets ----------------------------------------------------------

def attr(value):
    """An attribute value, quoted; line breaks and tabs as character
    references, since a parser would turn them into spaces."""
    return '"' + xml_escape(str(value), {'"': "&quot;", "\n": "&#10;", "\r": "&#13;",
                                          "\t": "&#9;"}) + '"'


def text_xml(text):
    """Element text; a carriage return as a reference, since a parser would
    drop it from a CR LF pair."""
    return xml_escape(text, {"\r": "&#13;"})


def element_xml(name, attributes=(), text=None, children=()):
    """One element with its attributes, then a text or child elements."""
    start = name + "".join(f" {key}={attr(value)}" for key, value in attributes)
    inner = text_xml(text) if text is not None else "".join(children)
    return f"<{start}>{inner}</{name}>" if inner else f"<{start}/>"


def entry_xml(entry, base_url):
    """One entry of a content answer; element names are documented in the
    README and must stay stable."""
    conditions = [element_xml("condition", [("type", kind)], text)
                  for kind, text in entry.install_conditions]
    parts = [
        element_xml("upc", [("version", entry.upc_version),
                            ("minVersion", entry.upc_min_version)], entry.upc),
        element_xml("download", [("guid", entry.download_guid),
                                 ("size", entry.download_size),
                                 ("url", entry.download_url.replace("{base}", base_url))]),
        element_xml("installConditions", children=conditions),
    ]
    parts += [element_xml("metadata", [("field", name)], text) for name, text in entry.extra]
    return element_xml("entry", [("id", entry.id), ("type", entry.type)], children=parts)


def header_xml(status_code, status_text, client):
    parts = [element_xml("date", text=email.utils.formatdate(usegmt=True))]
    if client is not None:
        parts.append(element_xml("client", children=[
            element_xml(name, [("version", version)], text) for name, version, text in client]))
    parts.append(element_xml("server", children=[
        element_xml("status", [("code", status_code)], status_text)]))
    return element_xml("header", children=parts)


def packet_xml(namespace, header, body=None):
    """A whole response packet as UTF-8 bytes."""
    children = [header] if body is None else [header, element_xml("body", children=[body])]
    root = element_xml("packet", [("xmlns", namespace), ("schemaVersion", SCHEMA_VERSION)],
                       children=children)
    return ('<?xml version="1.0" encoding="utf-8"?>\n' + root + "\n").encode("utf-8")


# -- faults --------------------------------------------------------------------

@dataclasses.dataclass
class Faults:
    """How an answer is to be spoiled, for testing a client's error paths."""

    delay_ms: int = 0
    cut_after: int = None          # body bytes sent before the connection is closed
    http_status: int = None        # status line to answer with
    server_status: str = None      # code of header/server/status
    server_text: str = None        # text of header/server/status
    proxy_auth: bool = False       # 407 unless the request has Proxy-Authorization
    ignore_range: bool = False     # packages: whole file with 200 despite Range


FAULT_PARAMETERS = {
    "fault_delay": "delay_ms", "fault_cut": "cut_after", "fault_http_status": "http_status",
    "fault_server_status": "server_status", "fault_server_text": "server_text",
    "fault_proxy_auth": "proxy_auth", "fault_ignore_range": "ignore_range",
}


def fault_value(field, text, given_as):
    """A fault setting from its text; RequestError, naming the setting as the
    client gave it (fault_delay, --delay-ms), when it makes no sense."""
    if field in ("delay_ms", "cut_after", "http_status"):
        if not DIGITS_RE.match(text):
            raise RequestError(f"{given_as} needs a non-negative decimal number, got {text!r}")
        number = int(text)
        if field == "delay_ms" and number > MAX_DELAY_MS:
            raise RequestError(f"{given_as} allows a delay of at most {MAX_DELAY_MS} ms")
        if field == "http_status" and not 200 <= number <= 599:
            raise RequestError(f"{given_as} needs an HTTP status from 200 to 599, got {number}")
        return number
    if field in ("proxy_auth", "ignore_range"):
        if text not in ("0", "1"):
            raise RequestError(f"{given_as} must be 0 or 1, got {text!r}")
        return text == "1"
    # The status code is free text on purpose: the library's reading of
    # " 12abc" or "-5" is worth testing too.
    if len(text) > MAX_STATUS_TEXT or XML_FORBIDDEN_RE.search(text):
        raise RequestError(f"{given_as} is too long or holds control characters")
    return text


def status_number(code):
    """The number a client reads from a status code text: leading blanks and
    a sign allowed, digits up to the first other character, none gives 0."""
    digits = STATUS_NUMBER_RE.match(code).group(1)
    return int(digits) if digits.strip("+-") else 0


def request_faults(defaults, parameters):
    """The server-wide faults overridden by the request's fault_* parameters."""
    faults = dataclasses.replace(defaults)
    if "fault_server_status" in parameters:
        # The server-wide text belongs to the server-wide code.
        faults.server_text = None
    for name, value in parameters.items():
        if name.startswith("fault_"):
            field = FAULT_PARAMETERS.get(name)
            if field is None:
                raise RequestError(f"unknown fault parameter {name!r}")
            setattr(faults, field, fault_value(field, value, name))
    return faults


# -- HTTP ----------------------------------------------------------------------

@dataclasses.dataclass
class Answer:
    """What goes back for one request: status, headers and body, plus what
    the log line reports."""

    status: int
    headers: list
    body: bytes = b""
    file_part: tuple = None        # (path, offset, length) streamed from a file
    command: str = "-"
    hits: str = "-"
    note: str = ""

    def body_length(self):
        return self.file_part[2] if self.file_part else len(self.body)


def reason_phrase(status):
    try:
        return http.HTTPStatus(status).phrase
    except ValueError:
        return "Status"


def text_answer(status, message, **log):
    body = f"{status} {reason_phrase(status)}: {message}\n".encode("utf-8", "replace")
    return Answer(status, [("Content-Type", "text/plain; charset=utf-8")], body, **log)


def parse_parameters(query):
    """Query-string parameters; each name may appear once, because a second
    pipeline_version (a request run twice) is a client fault worth seeing."""
    try:
        pairs = urllib.parse.parse_qsl(query, keep_blank_values=True, max_num_fields=100)
    except ValueError as problem:
        raise RequestError(f"bad query string: {problem}")
    parameters = {}
    for name, value in pairs:
        if name in parameters:
            raise RequestError(f"parameter {name!r} given twice")
        parameters[name] = value
    return parameters


def accepts_gzip(header):
    """Whether an Accept-Encoding value allows gzip (a q of 0 refuses it)."""
    for item in (header or "").split(","):
        coding, _, params = item.strip().partition(";")
        if coding.strip().lower() not in ("gzip", "x-gzip", "*"):
            continue
        quality = params.strip().lower()
        if quality.startswith("q="):
            try:
                return float(quality[2:]) > 0
            except ValueError:
                return False
        return True
    return False


def parse_range(header, size):
    """(first, length) for a single byte range, "unsatisfiable", or None when
    the header is absent or unusable (then the whole file goes, as HTTP
    allows)."""
    match = RANGE_RE.match((header or "").replace(" ", ""))
    if not match or match.group(1) == match.group(2) == "":
        return None
    first_text, last_text = match.groups()
    if first_text == "":
        suffix = int(last_text)
        if suffix == 0:
            return "unsatisfiable"
        first = max(0, size - suffix)
        return first, size - first
    first = int(first_text)
    last = int(last_text) if last_text else None
    if last is not None and last < first:
        return None
    if first >= size:
        return "unsatisfiable"
    last = size - 1 if last is None else min(last, size - 1)
    return first, last - first + 1


class PipelineHandler(http.server.BaseHTTPRequestHandler):
    """Reads one request, works out its Answer, applies the faults and sends."""

    protocol_version = "HTTP/1.1"
    server_version = "korvel-pipeline-server/1"
    sys_version = ""
    disable_nagle_algorithm = True
    timeout = CONNECTION_TIMEOUT

    def version_string(self):
        return self.server_version

    def do_GET(self):
        self.serve()

    def do_POST(self):
        self.serve()

    def do_HEAD(self):
        self.serve()

    def __getattr__(self, name):
        # Every other method gets 405 instead of the base class's 501.
        if name.startswith("do_"):
            return self.serve
        raise AttributeError(name)

    def serve(self):
        self.server.activity_started()
        self.body_unread = True
        try:
            try:
                answer, faults = self.work_out_answer()
            except OSError:
                raise
            except Exception as problem:  # a bug here must not cost the client its answer
                self.close_connection = True
                answer = text_answer(500, f"internal error {type(problem).__name__}: {problem}",
                                     note=f"internal error {type(problem).__name__}: {problem}")
                faults = Faults()
            self.send_answer(answer, faults)
            if self.close_connection and self.body_unread:
                self.drain_before_close()
        except OSError as problem:
            self.close_connection = True
            self.server.log(f"{self.peer()} {self.command} {self.path} connection dropped: "
                            f"{problem}")
        finally:
            self.server.activity_ended()

    def drain_before_close(self):
        """Closing with unread request bytes makes the kernel send a reset,
        which can destroy the answer before the client reads it; so what the
        client still sends is read, for a bounded time, first."""
        self.wfile.flush()
        self.connection.shutdown(socket.SHUT_WR)
        deadline = time.monotonic() + DRAIN_SECONDS
        while time.monotonic() < deadline:
            self.connection.settimeout(max(0.01, deadline - time.monotonic()))
            if not self.connection.recv(SEND_CHUNK):
                break

    def work_out_answer(self):
        """(Answer, Faults) for this request; request errors become 4xx."""
        faults = self.server.faults
        parameters = {}
        try:
            body = self.read_body()
            path, _, query = self.path.partition("?")
            parameters = parse_parameters(query)
            faults = request_faults(self.server.faults, parameters)
            if faults.delay_ms:
                self.server.stop_event.wait(faults.delay_ms / 1000)
            if faults.proxy_auth and not self.headers.get("Proxy-Authorization"):
                answer = text_answer(407, "proxy authentication required")
                answer.headers.append(("Proxy-Authenticate", f'Basic realm="{PROXY_REALM}"'))
                return answer, faults
            if faults.http_status is not None and not 200 <= faults.http_status < 300:
                return text_answer(faults.http_status, "answer forced by fault"), faults
            answer = self.route(urllib.parse.unquote(path), parameters, body, faults)
        except RequestError as problem:
            answer = text_answer(problem.status, str(problem), note=str(problem))
            answer.headers += problem.headers
            # Unread body bytes would be taken for the next request.
            if self.body_unread:
                self.close_connection = True
        if faults.http_status is not None and 200 <= answer.status < 300:
            answer.status = faults.http_status
        if answer.command == "-":
            answer.command = parameters.get("cmd", "-")
        return answer, faults

    def read_body(self):
        if self.headers.get("Transfer-Encoding"):
            raise RequestError("request bodies with Transfer-Encoding are not supported", 411)
        text = self.headers.get("Content-Length", "0").strip()
        if not DIGITS_RE.match(text):
            raise RequestError(f"bad Content-Length {text!r}")
        length = int(text)
        if length > MAX_BODY_BYTES:
            raise RequestError(f"request body of {length} bytes is over {MAX_BODY_BYTES}", 413)
        body = self.rfile.read(length)
        if len(body) != length:
            raise OSError("connection closed inside the request body")
        self.body_unread = False
        return body

    def route(self, path, parameters, body, faults):
        if path.endswith(PIPELINE_PATH_SUFFIX):
            if self.command not in ("GET", "POST"):
                raise RequestError(f"{self.command} is not used on the pipeline", 405,
                                   [("Allow", "GET, POST")])
            return self.pipeline(parameters, body, faults)
        if path.startswith(PACKAGES_PREFIX):
            if self.command not in ("GET", "HEAD"):
                raise RequestError(f"{self.command} is not used on packages", 405,
                                   [("Allow", "GET, HEAD")])
            return self.package(path[len(PACKAGES_PREFIX):], faults)
        return text_answer(404, f"nothing here; the pipeline is at {PIPELINE_PATH_SUFFIX}")

    # -- pipeline ------------------------------------------------------------

    def pipeline(self, parameters, body, faults):
        command = parameters.get("cmd")
        version = parameters.get("pipeline_version")
        if version is not None and version != PIPELINE_VERSION:
            raise RequestError(f"pipeline_version {version!r} is not {PIPELINE_VERSION}")
        if command == PING_COMMAND:
            module = parameters.get("module")
            if module not in (None, "Pipeline"):
                raise RequestError(f"module {module!r} is not Pipeline")
            packet = packet_xml(self.server.namespace, self.status_header(faults, None))
            return self.packet_answer(packet, command, "-")
        if command == QUERY_COMMAND:
            return self.content_query(parameters, body, faults)
        raise RequestError(f"unknown command {command!r}")

    def content_query(self, parameters, body, faults):
        if self.command != "POST":
            raise RequestError("a content query is posted with its request packet")
        max_hits_text = parameters.get("MaxHits", "0")
        if not DIGITS_RE.match(max_hits_text):
            raise RequestError(f"MaxHits must be a non-negative number, got {max_hits_text!r}")
        max_hits = int(max_hits_text)
        root = parse_packet(body)
        query = read_query(root)
        namespace = split_tag(root.tag)[0] or self.server.namespace
        header = self.status_header(faults, read_client(root))
        if status_number(faults.server_status or "0") != 0:
            # A failing service reports its status and no results.
            return self.packet_answer(packet_xml(namespace, header), QUERY_COMMAND, "-")
        matches = [e for e in self.server.catalog if group_matches(query, e)]
        listed = matches[:max_hits] if max_hits else matches
        base_url = self.server.base_url
        result = element_xml("contentResult", [("count", len(listed)), ("total", len(matches))],
                             children=[entry_xml(e, base_url) for e in listed])
        return self.packet_answer(packet_xml(namespace, header, result), QUERY_COMMAND,
                                  str(len(listed)))

    def status_header(self, faults, client):
        code = faults.server_status if faults.server_status is not None else "0"
        text = faults.server_text
        if text is None:
            text = "OK" if status_number(code) == 0 else "Failure"
        return header_xml(code, text, client)

    def packet_answer(self, packet, command, hits):
        headers = [("Content-Type", "text/xml; charset=utf-8"), ("Vary", "Accept-Encoding")]
        if accepts_gzip(self.headers.get("Accept-Encoding")):
            packet = gzip.compress(packet, mtime=0)
            headers.append(("Content-Encoding", "gzip"))
        return Answer(200, headers, packet, command=command, hits=hits)

    # -- packages ------------------------------------------------------------

    def package(self, name, faults):
        directory = self.server.packages_dir
        # Plain names only: nothing outside the packages folder can be named.
        if not PACKAGE_NAME_RE.match(name) or name in (".", ".."):
            raise RequestError(f"bad package name {name!r}")
        path = os.path.join(directory, name) if directory else None
        if path is None or not os.path.isfile(path):
            return text_answer(404, f"no package {name!r}")
        size = os.path.getsize(path)
        headers = [("Content-Type", "application/octet-stream"), ("Accept-Ranges", "bytes")]
        wanted = None if faults.ignore_range else parse_range(self.headers.get("Range"), size)
        if wanted == "unsatisfiable":
            answer = text_answer(416, f"range outside the {size} bytes of {name}")
            answer.headers.append(("Content-Range", f"bytes */{size}"))
            return answer
        if wanted is None:
            return Answer(200, headers, file_part=(path, 0, size))
        first, length = wanted
        headers.append(("Content-Range", f"bytes {first}-{first + length - 1}/{size}"))
        return Answer(206, headers, file_part=(path, first, length))

    # -- sending -------------------------------------------------------------

    def send_answer(self, answer, faults):
        """Status, headers and body; with a cut fault the connection closes
        after that many body bytes, while Content-Length announced them all."""
        length = answer.body_length()
        if answer.status in (204, 304):
            answer.body, answer.file_part, length = b"", None, 0
        self.send_response(answer.status)
        for name, value in answer.headers:
            self.send_header(name, value)
        if answer.status not in (204, 304):
            self.send_header("Content-Length", str(length))
        self.send_header("Cache-Control", "no-store")
        cut = faults.cut_after is not None and faults.cut_after < length
        if cut or self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        to_send = min(length, faults.cut_after) if cut else length
        if self.command != "HEAD":
            self.send_body(answer, to_send)
        note = f" cut after {to_send} of {length} bytes" if cut else ""
        self.log_request_line(answer, note)

    def send_body(self, answer, to_send):
        if answer.file_part is None:
            self.wfile.write(answer.body[:to_send])
            return
        path, offset, _ = answer.file_part
        with open(path, "rb") as f:
            f.seek(offset)
            while to_send > 0:
                data = f.read(min(SEND_CHUNK, to_send))
                if not data:
                    raise OSError(f"{path} shrank while being sent")
                self.wfile.write(data)
                to_send -= len(data)

    # -- logging and errors ----------------------------------------------------

    def peer(self):
        return f"{self.client_address[0]}:{self.client_address[1]}"

    def log_request_line(self, answer, note=""):
        reason = f' error="{answer.note}"' if answer.note else ""
        self.server.log(f"{self.peer()} {self.command} {self.path} cmd={answer.command} "
                        f"status={answer.status} hits={answer.hits}{reason}{note}")

    def send_error(self, code, message=None, explain=None):
        """Answers for requests the base class could not even parse (bad
        request line or headers), in the same text form and with the same
        log line as every other refusal."""
        answer = text_answer(code, message or reason_phrase(code), note=message or "")
        self.close_connection = True
        self.body_unread = True
        # The base class leaves the version at HTTP/0.9 when the request line
        # is garbage, and would then send the body without a status line.
        if self.request_version == "HTTP/0.9":
            self.request_version = self.protocol_version
        self.command = self.command or "-"
        self.path = getattr(self, "path", None) or "-"
        try:
            self.send_answer(answer, Faults())
            self.drain_before_close()
        except OSError:
            pass

    def log_message(self, format, *args):
        self.server.log(f"{self.peer()} " + (format % args))

    def log_request(self, code="-", size="-"):
        pass  # send_answer writes a fuller line itself


# -- server --------------------------------------------------------------------

class PipelineServer(http.server.ThreadingHTTPServer):
    """The listening socket plus everything the handlers share: catalog,
    faults, log and the activity clock for the idle stop."""

    daemon_threads = True
    request_queue_size = 64

    def __init__(self, port, catalog, packages_dir, faults, namespace, log_file):
        super().__init__(("127.0.0.1", port), PipelineHandler)
        self.catalog = catalog
        self.packages_dir = packages_dir
        self.faults = faults
        self.namespace = namespace
        self.base_url = f"http://127.0.0.1:{self.server_address[1]}"
        self.log_file = log_file
        self.log_lock = threading.Lock()
        self.stop_event = threading.Event()
        self.stop_reason = ""
        self.activity_lock = threading.Lock()
        self.active_requests = 0
        self.last_activity = time.monotonic()

    def server_bind(self):
        # HTTPServer.server_bind looks up the host's name, which can block on
        # a machine without name resolution; nothing here needs it.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    def log(self, text):
        stamp = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())
        with self.log_lock:
            self.log_file.write(f"{stamp} {text}\n")
            self.log_file.flush()

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


def write_port_file(path, port):
    """Written under a temporary name and renamed, so that a reader never
    sees a half-written port."""
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


def run(args):
    try:
        catalog = load_catalog(args.catalog)
    except CatalogError as problem:
        sys.stderr.write(f"pipeline server: {problem}\n")
        return 2
    if args.packages and not os.path.isdir(args.packages):
        sys.stderr.write(f"pipeline server: no folder {args.packages}\n")
        return 2
    log_file = open(args.log, "a", encoding="utf-8") if args.log else sys.stderr
    faults = Faults(delay_ms=args.delay_ms, cut_after=args.cut_after,
                    http_status=args.http_status, server_status=args.server_status,
                    server_text=args.server_text, proxy_auth=args.proxy_auth,
                    ignore_range=args.ignore_range)
    namespace = f"http://{args.schema_host}{SCHEMA_PATH}"
    try:
        server = PipelineServer(args.port, catalog, args.packages, faults, namespace, log_file)
    except OSError as problem:
        sys.stderr.write(f"pipeline server: cannot listen on 127.0.0.1:{args.port}: {problem}\n")
        return 2
    port = server.server_address[1]
    signal.signal(signal.SIGTERM, lambda *_: server.request_stop("terminated"))
    signal.signal(signal.SIGINT, lambda *_: server.request_stop("interrupted"))
    threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1},
                     daemon=True).start()
    if args.port_file:
        write_port_file(args.port_file, port)
    server.log(f"serving {len(catalog)} entries at {server.base_url}{PIPELINE_PATH_SUFFIX}")
    deadline = time.monotonic() + args.lifetime
    while not server.stop_event.wait(0.1):
        if time.monotonic() >= deadline:
            server.request_stop(f"lifetime of {args.lifetime:g} s over")
        elif server.idle_seconds() >= args.idle:
            server.request_stop(f"idle for {args.idle:g} s")
    if args.port_file:
        remove_port_file(args.port_file, port)
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
            return fault_value(field, text, option)
        except RequestError as problem:
            raise argparse.ArgumentTypeError(str(problem)) from None
    return convert


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--catalog", required=True, help="JSON catalog of update entries")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (0: a free one)")
    parser.add_argument("--port-file", help="file that receives the port once listening")
    parser.add_argument("--packages", help="folder served under /packages/")
    parser.add_argument("--lifetime", type=positive_seconds, default=3600,
                        help="stop after this many seconds (default 3600)")
    parser.add_argument("--idle", type=positive_seconds, default=900,
                        help="stop after this many seconds without requests (default 900)")
    parser.add_argument("--log", help="append request lines here instead of stderr")
    parser.add_argument("--schema-host", default=DEFAULT_SCHEMA_HOST,
                        help="host in the packet namespace of answers to pings")
    faults = parser.add_argument_group("faults for every request (fault_* parameters override)")
    faults.add_argument("--delay-ms", type=checked("delay_ms", "--delay-ms"), default=0)
    faults.add_argument("--cut-after", type=checked("cut_after", "--cut-after"))
    faults.add_argument("--http-status", type=checked("http_status", "--http-status"))
    faults.add_argument("--server-status", type=checked("server_status", "--server-status"))
    faults.add_argument("--server-text", type=checked("server_text", "--server-text"))
    faults.add_argument("--proxy-auth", action="store_true")
    faults.add_argument("--ignore-range", action="store_true")
    return parser.parse_args(argv)


def main(argv=None):
    return run(parse_arguments(argv))


if __name__ == "__main__":
    sys.exit(main())
