"""Answers of the pipeline (pings and content queries) and of /packages/,
with the fault modes that spoil them for testing a client's error paths."""

import dataclasses
import gzip
import os
import re
import urllib.parse

from answer import Answer, Body, RequestError, apply_range, file_validators, text_answer
from catalog import XML_FORBIDDEN_RE, PacketError, matches, packet_xml, entry_xml, \
    element_xml, parse_packet, read_client, read_query, split_tag

PIPELINE_PATH_SUFFIX = "/lumq/pipeline"
PACKAGES_PREFIX = "/packages/"
PING_COMMAND = "PingCmd:Ping"
QUERY_COMMAND = "ContentCmd:Query"
PIPELINE_VERSION = "2.0"
PROXY_REALM = "pipeline"
MAX_DELAY_MS = 300_000
MAX_STATUS_TEXT = 200
DIGITS_RE = re.compile(r"\d+\Z")
PACKAGE_NAME_RE = re.compile(r"[A-Za-z0-9._+-]+\Z")
STATUS_NUMBER_RE = re.compile(r"\s*([+-]?\d*)")


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


def request_faults(defaults, parameters):
    """The server-wide faults overridden by the request's fault_* parameters."""
    faults = dataclasses.replace(defaults)
    if "fault_server_status" in parameters:
        # The server-wide text belongs to the server-wide code.
        faults.server_text = None
    for name, value in parameters.items():
        if name.startswith("fault_"):
            if name not in FAULT_PARAMETERS:
                raise RequestError(f"unknown fault parameter {name!r}")
            setattr(faults, FAULT_PARAMETERS[name], fault_value(FAULT_PARAMETERS[name], value,
                                                                  name))
    return faults


def accepts_gzip(header):
    """Whether an Accept-Encoding value allows gzip (a q of 0 refuses it)."""
    for item in (header or "").split(","):
        coding, _, params = item.strip().partition(";")
        if coding.strip().lower() in ("gzip", "x-gzip", "*"):
            quality = params.strip().lower()
            try:
                return not quality.startswith("q=") or float(quality[2:]) > 0
            except ValueError:
                return False
    return False


def answer(site, method, path, query, headers, body):
    """The Answer to a pipeline or package request: the faults first (delay,
    proxy check, forced status), then the answer itself."""
    parameters, faults = {}, site.faults
    try:
        parameters = parse_parameters(query)
        faults = request_faults(site.faults, parameters)
        if faults.proxy_auth and not headers.get("proxy-authorization"):
            result = text_answer(407, "proxy authentication required")
            result.headers.append(("Proxy-Authenticate", f'Basic realm="{PROXY_REALM}"'))
        elif faults.http_status is not None and not 200 <= faults.http_status < 300:
            result = text_answer(faults.http_status, "answer forced by fault")
            result.log = ""
        else:
            result = route(site, method, urllib.parse.unquote(path), parameters, headers, body,
                           faults)
            if faults.http_status is not None and 200 <= result.status < 300:
                result.status = faults.http_status
    except RequestError as problem:
        result = text_answer(problem.status, str(problem))
        result.headers += problem.headers
    result.delay_ms, result.cut = faults.delay_ms, faults.cut_after
    if " cmd=" not in result.log:
        result.log = f" cmd={parameters.get('cmd', '-')} hits=-" + result.log
    return result


def route(site, method, path, parameters, headers, body, faults):
    if path.endswith(PIPELINE_PATH_SUFFIX):
        if method not in ("GET", "POST"):
            raise RequestError(f"{method} is not used on the pipeline", 405,
                               [("Allow", "GET, POST")])
        command = parameters.get("cmd")
        version = parameters.get("pipeline_version")
        if version is not None and version != PIPELINE_VERSION:
            raise RequestError(f"pipeline_version {version!r} is not {PIPELINE_VERSION}")
        if command == PING_COMMAND:
            if parameters.get("module", "Pipeline") != "Pipeline":
                raise RequestError(f"module {parameters['module']!r} is not Pipeline")
            return packet_answer(packet_xml(site.namespace, *status_header(faults), None),
                                 command, "-", headers)
        if command == QUERY_COMMAND:
            return content_query(site, method, parameters, headers, body, faults)
        raise RequestError(f"unknown command {command!r}")
    if path.startswith(PACKAGES_PREFIX):
        if method not in ("GET", "HEAD"):
            raise RequestError(f"{method} is not used on packages", 405, [("Allow", "GET, HEAD")])
        return package(site.packages_dir, path[len(PACKAGES_PREFIX):], headers, faults)
    return text_answer(404, f"nothing here; the pipeline is at {PIPELINE_PATH_SUFFIX}")


def status_header(faults):
    """(code, text) of the answer's status."""
    code = faults.server_status if faults.server_status is not None else "0"
    text = faults.server_text
    if text is None:
        text = "OK" if status_number(code) == 0 else "Failure"
    return code, text


def content_query(site, method, parameters, headers, body, faults):
    if method != "POST":
        raise RequestError("a content query is posted with its request packet")
    max_hits = parameters.get("MaxHits", "0")
    if not DIGITS_RE.match(max_hits):
        raise RequestError(f"MaxHits must be a non-negative number, got {max_hits!r}")
    try:
        root = parse_packet(body)
        query = read_query(root)
    except PacketError as problem:
        raise RequestError(str(problem)) from None
    namespace = split_tag(root.tag)[0] or site.namespace
    status = status_header(faults)
    if status_number(status[0]) != 0:
        # A failing service reports its status and no results.
        return packet_answer(packet_xml(namespace, *status, read_client(root)), QUERY_COMMAND,
                             "-", headers)
    found = [e for e in site.catalog if matches(query, e)]
    listed = found[:int(max_hits)] if int(max_hits) else found
    result = element_xml("contentResult", [("count", len(listed)), ("total", len(found))],
                         children=[entry_xml(e, site.base_url) for e in listed])
    return packet_answer(packet_xml(namespace, *status, read_client(root), result),
                         QUERY_COMMAND, str(len(listed)), headers)


def packet_answer(packet, command, hits, headers):
    answer_headers = [("Content-Type", "text/xml; charset=utf-8"), ("Vary", "Accept-Encoding")]
    if accepts_gzip(headers.get("accept-encoding")):
        packet = gzip.compress(packet, mtime=0)
        answer_headers.append(("Content-Encoding", "gzip"))
    return Answer(200, answer_headers, packet, log=f" cmd={command} hits={hits}")


def package(directory, name, headers, faults):
    # Plain names only: nothing outside the packages folder can be named.
    if not PACKAGE_NAME_RE.match(name) or name in (".", ".."):
        raise RequestError(f"bad package name {name!r}")
    path = os.path.join(directory, name) if directory else None
    if path is None or not os.path.isfile(path):
        return text_answer(404, f"no package {name!r}")
    stat = os.stat(path)
    result = Answer(200, [("Content-Type", "application/octet-stream"),
                          ("Accept-Ranges", "bytes"), *file_validators(stat)],
                    body=Body(stat.st_size, path=path))
    if not faults.ignore_range:
        apply_range(result, headers)
    return result
