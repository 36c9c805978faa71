"""Answers as the server sends them: a status, headers and a body, with the
byte ranges, If-Range and validators that package files and scripted bodies
share."""

import email.utils
import functools
import http
import os
import re

SEND_CHUNK = 1 << 20
PATTERN_PERIOD = 1000003
PATTERN_MULTIPLIER = 2654435761
RANGE_RE = re.compile(r"bytes=(\d*)-(\d*)\Z", re.IGNORECASE)


class RequestError(Exception):
    """A request the server cannot obey; answered with its HTTP status (400
    unless given), any extra headers, and the message as a one-line text body.
    close: the connection ends after the answer even if the request's body
    was read."""

    def __init__(self, message, status=400, headers=(), close=False):
        super().__init__(message)
        self.status = status
        self.headers = list(headers)
        self.close = close


@functools.cache
def pattern_table():
    """The test pattern, byte i = ((i mod 1000003) * 2654435761 >> 13) & 0xFF,
    for one period plus one send chunk of wrap-around, so that any chunk
    starting inside the period is a single slice. Built on first use."""
    period = bytes(((k * PATTERN_MULTIPLIER) >> 13) & 0xFF for k in range(PATTERN_PERIOD))
    wanted = PATTERN_PERIOD + SEND_CHUNK
    return memoryview((period * (wanted // PATTERN_PERIOD + 1))[:wanted])


class Body:
    """A representation of size bytes (held in memory, in a file, or the test
    pattern when neither is given) and the part of it that is sent."""

    def __init__(self, size, data=None, path=None):
        self.size, self.data, self.path = size, data, path
        self.offset, self.length = 0, size

    def whole(self):
        """All bytes of the part sent, for bodies that fit in memory."""
        return b"".join(self.read(p, min(SEND_CHUNK, self.length - p))
                        for p in range(0, self.length, SEND_CHUNK))

    def read(self, position, n):
        """n (at most SEND_CHUNK) bytes from position of the part sent."""
        start = self.offset + position
        if self.data is not None:
            return memoryview(self.data)[start:start + n]
        if self.path is None:
            start %= PATTERN_PERIOD
            return pattern_table()[start:start + n]
        with open(self.path, "rb") as f:
            f.seek(start)
            data = f.read(n)
        if len(data) != n:
            raise OSError(f"{self.path} shrank while being sent")
        return data


class Answer:
    """What goes back for one request, and how it is to be delivered: the
    scripted server spoils the delivery on purpose (delay, cut, stall...)."""

    def __init__(self, status, headers=(), data=b"", body=None, log=""):
        self.status = status
        self.headers = list(headers)
        self.body = body or Body(len(data), data=data)
        self.log = log             # what the request's log line adds
        self.close = False         # the connection ends after this answer
        self.drain = False         # unread request bytes may follow
        self.nolength = False      # no Content-Length: the close ends the body
        self.extra_headers = []    # replace generated headers of the same name
        self.delay_ms = 0
        self.cut = None            # body bytes sent before the connection drops
        self.cuthead = None        # head bytes sent before the connection drops
        self.reset = False         # a drop is a reset instead of a FIN
        self.stallafter = None     # body bytes sent before a pause of stallms
        self.stallms = 0
        self.rate = None           # bytes per second


def reason_phrase(status):
    try:
        return http.HTTPStatus(status).phrase
    except ValueError:
        return "Status"


def text_answer(status, message, ctype="text/plain; charset=utf-8"):
    """A one-line text body naming the status, and why when given."""
    text = f"{status} {reason_phrase(status)}" + (f": {message}" if message else "")
    answer = Answer(status, [("Content-Type", ctype)] if ctype else [],
                    (text + "\n").encode("utf-8", "replace"))
    if message:
        answer.log = f' error="{message}"'
    return answer


def open_file_body(path):
    """(Body, validator headers) of a file read whole now, or None when there
    is no such file. The ETag changes with the file's size or mtime."""
    try:
        with open(path, "rb") as f:
            stat = os.fstat(f.fileno())
            data = f.read()
    except (FileNotFoundError, IsADirectoryError):
        return None
    return Body(len(data), data=data), file_validators(stat)


def file_validators(stat):
    return [("Last-Modified", email.utils.formatdate(stat.st_mtime, usegmt=True)),
            ("ETag", f'"{stat.st_size:x}-{stat.st_mtime_ns:x}"')]


def parse_range(header, size):
    """(first, last) inclusive for a single byte range, "unsatisfiable", or
    None when the header is absent or unusable (then the whole body goes, as
    HTTP allows)."""
    match = RANGE_RE.match((header or "").replace(" ", "").replace("\t", ""))
    if not match or match.group(1) == match.group(2) == "":
        return None
    first_text, last_text = match.groups()
    if first_text == "":
        suffix = int(last_text)
        return (max(0, size - suffix), size - 1) if suffix else "unsatisfiable"
    first = int(first_text)
    last = int(last_text) if last_text else size - 1
    if last < first and last_text:
        return None
    return "unsatisfiable" if first >= size else (first, min(last, size - 1))


def apply_range(answer, headers, wrongstart=False, rangelen=None):
    """Narrows answer to the part that the request's Range header asks for
    (206), or makes it a 416 when the range starts beyond the end. An
    If-Range that is not exactly the answer's ETag or Last-Modified value
    (none can match when the answer has neither) keeps the whole body with
    200. wrongstart sends the range from half its start; rangelen sends at
    most that many bytes."""
    body = answer.body
    wanted = parse_range(headers.get("range"), body.size)
    validators = [v for name, v in answer.headers if name in ("ETag", "Last-Modified")]
    if_range = headers.get("if-range")
    if wanted is None or (if_range is not None and if_range not in validators):
        return
    if wanted == "unsatisfiable":
        answer.status = 416
        answer.headers.append(("Content-Range", f"bytes */{body.size}"))
        answer.body = text_answer(416, None).body
        return
    first, last = wanted
    if wrongstart:
        first //= 2
    if rangelen is not None:
        last = min(last, first + rangelen - 1)
    answer.status = 206
    answer.headers.append(("Content-Range", f"bytes {first}-{last}/{body.size}"))
    body.offset, body.length = first, last - first + 1
