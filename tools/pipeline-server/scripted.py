"""Scripted answers: every answer under /s/<script>/ is written in the URL.

<script> is a list of key=value items separated by ';'; values are
percent-decoded after splitting, so a value holding '/' or ';' is written
%2F or %3B. Keys:

    tag=NAME        record requests as RECORD_DIR/NAME-<n>.head and .body
                    (n counts from 1 per tag; default tag "untagged")
    status=N        status code (default 200); without body or size, a
                    non-2xx answer gets a short text body
    size=N          body of N bytes of the test pattern, whose byte at
                    offset i is ((i mod 1000003) * 2654435761 >> 13) & 0xFF
    body=TEXT       literal body (exclusive with size; default empty)
    file=NAME       body of the bytes of FILES_DIR/NAME, read when the request
                    arrives, with the validators Last-Modified (the file's
                    mtime) and ETag: "<size hex>-<mtime_ns hex>"; NAME is made
                    of the characters of a tag; a missing file gives 404
                    (exclusive with size and body)
    etag=TEXT       ETag: "TEXT" (TEXT of the characters '!' and '#'..'~'),
                    instead of a file's own
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
    range=MODE      how a "Range: bytes=A-", "A-B" or "-N" request header is
                    met by a size or file body with status 200: honour
                    (default; 206 with Content-Range: bytes A-E/SIZE), ignore
                    (200, whole body) or wrongstart (a 206 starting at A/2); a
                    start at or beyond the size gives 416 with Content-Range:
                    bytes */SIZE. With an If-Range header that is not exactly
                    the ETag or the Last-Modified value (a body without
                    validators has none to match) the whole body goes with 200
    rangelen=N      an honoured range sends at most N (at least 1) bytes, with
                    a Content-Range and Content-Length that say so
    gzip=1|bad      gzip the body, or send an undecodable gzip body (of
                    size bytes when size is given); Range is not applied
    encoding=TEXT   Content-Encoding value ("none" drops the header)
    auth=407        answer 407 with a Basic proxy challenge
    header=N:V      extra response header, may repeat; replaces a generated
                    header of the same name, Content-Length and Content-Range
                    of a 206 or 416 too. The body sent stays what it would be;
                    when Content-Length then says otherwise, the connection
                    closes after it

An unknown or repeated key, a value that is not a number, a tag with other
characters than letters, digits, '_', '.' and '-', and any unparsable request
get 400 and a closed connection. Both record files are complete before the
first answer byte is sent, so a test may read them as soon as its request has
returned.
"""

import gzip
import os
import re
import threading
import urllib.parse

from answer import Answer, Body, RequestError, apply_range, open_file_body, text_answer

DIGITS_RE = re.compile(r"[0-9]+\Z")
TAG_RE = re.compile(r"[A-Za-z0-9_.-]+\Z")
TOKEN_RE = re.compile(r"[!#$%&'*+.^_`|~0-9A-Za-z-]+\Z")
ETAG_RE = re.compile(r"[!#-~]+\Z")
INT_KEYS = ("status", "size", "cut", "delay", "stallafter", "stallms", "holdbody", "cuthead",
            "rate", "rangelen")
# key -> the values it allows, or a pattern its value must match.
CHOICES = {"nolength": None, "reset": None, "range": ("honour", "ignore", "wrongstart"),
           "gzip": ("1", "bad"), "auth": ("407",), "tag": TAG_RE, "file": TAG_RE,
           "etag": ETAG_RE, "ctype": None, "encoding": None, "body": None, "header": None}
# Valid gzip member header followed by a deflate block of the reserved type 3,
# which every inflater rejects at its first block.
BAD_GZIP_PREFIX = b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff\xff"


class Script:
    """The parsed instructions of one request; absent keys are None."""

    def __init__(self, items):
        for key in (*INT_KEYS, *CHOICES):
            setattr(self, key, items.get(key))
        self.tag = self.tag or "untagged"
        self.status = 200 if self.status is None else self.status
        self.headers = items.get("header", [])


def script_text(target):
    """The script of a /s/ request target (its first path segment)."""
    return target.partition("?")[0].partition("#")[0][3:].partition("/")[0]


def parse_script(text):
    """Parse a script; unknown, repeated or contradictory keys are errors so
    that a typing mistake in a test shows as a 400 instead of a quiet
    default."""
    items = {}
    for item in filter(None, text.split(";")):
        key, sep, raw = item.partition("=")
        if not sep or key not in INT_KEYS and key not in CHOICES:
            raise script_error(f"unknown script item {item!r}")
        if key in items and key != "header":
            raise script_error(f"{key} given twice")
        value = parse_value(key, raw)
        if key == "header":
            items.setdefault(key, []).append(value)
        else:
            items[key] = value
    script = Script(items)
    if sum(x is not None for x in (script.size, script.body, script.file)) > 1:
        raise script_error("size, body and file exclude each other")
    if (script.stallafter is None) != (script.stallms is None):
        raise script_error("stallafter and stallms go together")
    if script.gzip == "bad" and (script.body is not None or script.file is not None):
        raise script_error("gzip=bad makes its own body; use size to set its length")
    if not 200 <= script.status <= 599:
        raise script_error(f"status must be 200..599, got {script.status}")
    if script.rate == 0 or script.rangelen == 0:
        raise script_error("rate and rangelen must be at least 1")
    return script


def parse_value(key, raw):
    if key == "body":
        return urllib.parse.unquote_to_bytes(raw)
    value = urllib.parse.unquote(raw)
    allowed = CHOICES.get(key)
    if key in INT_KEYS and not DIGITS_RE.match(value):
        raise script_error(f"{key} needs a non-negative decimal number, got {value!r}")
    if isinstance(allowed, tuple) and value not in allowed:
        raise script_error(f"{key} must be one of {', '.join(allowed)}: {value!r}")
    if isinstance(allowed, re.Pattern) and (not allowed.match(value) or value in (".", "..")):
        raise script_error(f"{key} may not hold {value!r}")
    if "\r" in value or "\n" in value:
        raise script_error(f"{key} holds a line break")
    if key == "header":
        name, sep, text = value.partition(":")
        if not sep or not TOKEN_RE.match(name.strip()):
            raise script_error(f"header needs Name:Value, got {value!r}")
        return name.strip(), text.strip()
    if key in ("nolength", "reset"):
        return value == "1"
    return int(value) if key in INT_KEYS else value


def script_error(message):
    return RequestError(message, close=True)


def build_answer(script, headers, files_dir):
    """The Answer a script (and the request's Range headers) asks for."""
    if script.auth:
        answer = Answer(407, [("Proxy-Authenticate", 'Basic realm="korvel"')],
                        b"proxy authentication required\n")
    elif script.file is not None:
        opened = open_file_body(os.path.join(files_dir, script.file)) if files_dir else None
        answer = Answer(404, data=text_answer(404, None).body.data)
        if opened:
            answer = Answer(script.status, opened[1], body=opened[0])
    elif script.gzip == "bad":
        length = max(64 if script.size is None else script.size, len(BAD_GZIP_PREFIX))
        answer = Answer(script.status, data=BAD_GZIP_PREFIX.ljust(length, b"\xff"))
    elif script.size is not None:
        answer = Answer(script.status, body=Body(script.size))
    elif script.body is None and not script.gzip and not 200 <= script.status < 300:
        answer = Answer(script.status, data=text_answer(script.status, None).body.data)
    else:
        answer = Answer(script.status, data=script.body or b"")
    if script.etag is not None:
        answer.headers = [h for h in answer.headers if h[0] != "ETag"]
        answer.headers.append(("ETag", f'"{script.etag}"'))
    if script.gzip == "1":
        data = gzip.compress(answer.body.whole(), mtime=0)
        answer.body = Body(len(data), data=data)
    elif answer.status == 200 and not script.gzip and script.range != "ignore" and (
            script.size is not None or script.file is not None):
        apply_range(answer, headers, script.range == "wrongstart", script.rangelen)
    encoding = script.encoding or ("gzip" if script.gzip else "none")
    if encoding != "none":
        answer.headers.append(("Content-Encoding", encoding))
    if script.ctype != "none":
        answer.headers.append(("Content-Type", "application/octet-stream"
                               if script.ctype is None else script.ctype))
    answer.extra_headers = script.headers
    answer.nolength = script.nolength
    for key in ("cut", "cuthead", "reset", "stallafter", "stallms", "rate"):
        setattr(answer, key, getattr(script, key))
    answer.delay_ms = script.delay or 0
    return answer


class RecordBook:
    """Numbers requests per tag and writes their record files."""

    def __init__(self, directory):
        self.directory = directory
        self.lock = threading.Lock()
        self.counts = {}

    def path(self, tag, n, suffix):
        return os.path.join(self.directory, f"{tag}-{n}.{suffix}")

    def body_temp_path(self):
        return os.path.join(self.directory, f".body-{threading.get_ident()}.tmp")

    def write(self, tag, head, body_file):
        """Numbers the request and puts its files in place, the body before
        the head: a reader that sees the head file may rely on the body file.
        The number is taken only now so that a request whose body never
        arrived leaves no gap in the numbering."""
        with self.lock:
            n = self.counts[tag] = self.counts.get(tag, 0) + 1
            os.replace(body_file, self.path(tag, n, "body"))
            temp = os.path.join(self.directory, f".{tag}-{n}.head.tmp")
            with open(temp, "wb") as f:
                f.write(head)
            os.replace(temp, self.path(tag, n, "head"))
