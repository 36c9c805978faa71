"""The pipeline's content: the JSON catalog, the queries of request packets
matched against it, and the response packets written from it."""

import dataclasses
import decimal
import email.utils
import json
import re
import xml.etree.ElementTree as ET
from xml.sax.saxutils import escape as xml_escape

SCHEMA_VERSION = "2.0"
SCHEMA_PATH = "/Schemas/RHO/2.0"
MAX_QUERY_DEPTH = 64
COMPARE_TYPES = ("Equal", "NotEqual", "Contains", "GreaterThan", "GreaterThanEqual",
                 "LessThan", "LessThanEqual")
# Fields of a catalog entry that make up the entry element itself; every other
# scalar field is written as a "metadata" child. All fields are searchable.
ENTRY_FIELDS = ("id", "type", "upc", "upcVersion", "upcMinVersion", "downloadGuid",
                "downloadSize", "downloadUrl", "installConditions")
NUMBER_RE = re.compile(r"[+-]?(\d+(\.\d*)?|\.\d+)([eE][+-]?\d+)?\Z")
VERSION_RE = re.compile(r"\d+(\.\d+)*\Z")
XML_FORBIDDEN_RE = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff]")


class CatalogError(ValueError):
    """The catalog file is unusable; the server refuses to start."""


class PacketError(ValueError):
    """A request packet the server cannot answer; the client gets 400."""


# -- catalog -------------------------------------------------------------------

@dataclasses.dataclass
class Entry:
    """One update offered by the catalog."""

    id: str
    texts: dict               # entry field -> its text, for the entry element
    download_size: int
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
    items = value if isinstance(value, list) else [value]
    return [scalar_text(item, where) for item in items]


def load_entry(raw, index):
    """Validates one catalog entry and indexes its fields for queries."""
    where = f"entries[{index}]"
    if not isinstance(raw, dict):
        raise CatalogError(f"{where}: an entry must be an object")
    if not isinstance(raw.get("id"), str) or not raw["id"]:
        raise CatalogError(f"{where}: needs a non-empty string id")
    size = raw.get("downloadSize", 0)
    if isinstance(size, bool) or not isinstance(size, int) or size < 0:
        raise CatalogError(f"{where}: downloadSize must be a non-negative integer")
    conditions = raw.get("installConditions", {})
    if not isinstance(conditions, dict):
        raise CatalogError(f"{where}: installConditions must be an object of lists")
    fields, extra = {}, []
    for name, value in raw.items():
        if name == "installConditions":
            continue
        texts = field_texts(value, f"{where}.{name}")
        fields.setdefault(name.lower(), []).extend(texts)
        if name not in ENTRY_FIELDS:
            extra.extend((name, t) for t in texts)
    return Entry(id=raw["id"], download_size=size, extra=extra, fields=fields,
                 texts={name: scalar_text(raw.get(name, ""), f"{where}.{name}")
                        for name in ENTRY_FIELDS[:8]},
                 install_conditions=[
                     (kind, text) for kind, values in conditions.items()
                     for text in field_texts(values, f"{where}.installConditions.{kind}")])


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
    ids = [entry.id for entry in entries]
    for entry_id in ids:
        if ids.count(entry_id) > 1:
            raise CatalogError(f"{path}: id {entry_id!r} appears twice")
    return entries


# -- queries -------------------------------------------------------------------

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


def order(left, right):
    """-1, 0 or 1 for left against right: as numbers when both are numbers,
    as dotted versions when both look like versions (1.10 after 1.9.0), else
    as text ignoring case."""
    left, right = left.strip(), right.strip()
    if NUMBER_RE.match(left) and NUMBER_RE.match(right):
        a, b = decimal.Decimal(left), decimal.Decimal(right)
    elif VERSION_RE.match(left) and VERSION_RE.match(right):
        a, b = [int(p) for p in left.split(".")], [int(p) for p in right.split(".")]
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


def matches(item, entry):
    """And of no items is true, Or of no items false, as in logic."""
    if isinstance(item, Group):
        results = (matches(i, entry) for i in item.items)
        return all(results) if item.kind == "And" else any(results)
    values = entry.fields.get(item.field.lower())
    if not values:
        # A missing field matches nothing, not even NotEqual: a query for
        # "Language NotEqual de" must not pick entries that have no language.
        return False
    if item.compare == "NotEqual":
        return not any(value_matches(v, item.value, "Equal") for v in values)
    return any(value_matches(v, item.value, item.compare) for v in values)


# -- request packets -----------------------------------------------------------

def split_tag(tag):
    """(namespace, local name) of an ElementTree tag."""
    namespace, _, name = tag[1:].partition("}") if tag.startswith("{") else ("", "", tag)
    return namespace, name


def parse_packet(data):
    """The root element of a request packet: UTF-16 after its byte-order
    mark, as the library sends it, or UTF-8 for hand-made requests."""
    if not data:
        raise PacketError("empty request body")
    try:
        if data[:2] in (b"\xff\xfe", b"\xfe\xff"):
            text = data[2:].decode("utf-16-le" if data[0] == 0xFF else "utf-16-be")
        else:
            text = data.removeprefix(b"\xef\xbb\xbf").decode("utf-8")
    except UnicodeDecodeError as problem:
        raise PacketError(f"body is neither UTF-16 with byte-order mark nor UTF-8: {problem}")
    # Entity definitions are never part of a packet and only open the door to
    # expansion attacks, so documents with a DTD are refused outright.
    if "<!DOCTYPE" in text or "<!ENTITY" in text:
        raise PacketError("DTDs are not accepted")
    try:
        root = ET.fromstring(text)
    except ET.ParseError as problem:
        raise PacketError(f"body is not well-formed XML: {problem}")
    namespace, name = split_tag(root.tag)
    if name != "packet":
        raise PacketError(f"root element is {name!r}, not 'packet'")
    if namespace and not namespace.endswith(SCHEMA_PATH):
        raise PacketError(f"packet namespace {namespace!r} does not end in {SCHEMA_PATH}")
    if root.get("schemaVersion", SCHEMA_VERSION) != SCHEMA_VERSION:
        raise PacketError(f"schemaVersion {root.get('schemaVersion')!r} is not {SCHEMA_VERSION}")
    return root


def qualified(name, namespace):
    return f"{{{namespace}}}{name}" if namespace else name


def read_client(root):
    """The header's client identity as (element name, version, text) triples
    in request order, for the echo in the answer; None when absent."""
    namespace = split_tag(root.tag)[0]
    client = root.find(f"{qualified('header', namespace)}/{qualified('client', namespace)}")
    if client is None:
        return None
    found = ((name, client.find(qualified(name, namespace)))
             for name in ("swapp", "corelib", "wrapperlib"))
    return [(name, e.get("version", ""), e.text or "") for name, e in found if e is not None]


def read_query(root):
    """The query tree of a contentQuery request packet."""
    namespace = split_tag(root.tag)[0]
    body = root.find(qualified("body", namespace))
    if body is None:
        raise PacketError("request packet has no body")
    content_query = body.find(qualified("contentQuery", namespace))
    if content_query is None:
        raise PacketError("request body has no contentQuery")
    queries = content_query.findall(qualified("query", namespace))
    if len(queries) != 1:
        raise PacketError(f"contentQuery must hold one query element, holds {len(queries)}")
    for element in content_query:
        if split_tag(element.tag)[1] not in ("query", "requestMetadata"):
            raise PacketError(f"unexpected element {element.tag!r} in contentQuery")
    return compile_group(queries[0], namespace, 1)


def compile_group(element, namespace, depth):
    """A Group from a "query" element, checking everything the evaluation
    relies on so that a bad request fails as a whole with a reason."""
    if depth > MAX_QUERY_DEPTH:
        raise PacketError(f"query groups nested deeper than {MAX_QUERY_DEPTH}")
    kind = element.get("type")
    if kind not in ("And", "Or"):
        raise PacketError(f"query type must be And or Or, got {kind!r}")
    if (element.text or "").strip():
        raise PacketError("text directly inside a query element")
    items = []
    for item in element:
        item_namespace, name = split_tag(item.tag)
        if item_namespace != namespace or name not in ("metadata", "text", "query"):
            raise PacketError(f"unexpected element {item.tag!r} in a query")
        if name == "query":
            items.append(compile_group(item, namespace, depth + 1))
            continue
        field, compare = item.get("field"), item.get("compareType", "Equal")
        if field is None:
            raise PacketError(f"{name} element without a field attribute")
        if len(item):
            raise PacketError(f"{name} element for {field!r} has child elements")
        if compare not in COMPARE_TYPES:
            raise PacketError(f"unknown compareType {compare!r} for {field!r}")
        items.append(Condition(field, item.text or "", compare))
    return Group(kind, items)


# -- response packets ----------------------------------------------------------

def element_xml(name, attributes=(), text=None, children=()):
    """One element with its attributes, then a text or child elements. Line
    breaks and tabs in attributes and a carriage return in text are written
    as references, since a parser would change them."""
    start = name + "".join(
        f' {key}="' + xml_escape(str(value), {'"': "&quot;", "\n": "&#10;", "\r": "&#13;",
                                              "\t": "&#9;"}) + '"'
        for key, value in attributes)
    inner = xml_escape(text, {"\r": "&#13;"}) if text is not None else "".join(children)
    return f"<{start}>{inner}</{name}>" if inner else f"<{start}/>"


def entry_xml(entry, base_url):
    """One entry of a content answer; element names are documented in the
    README and must stay stable."""
    t = entry.texts
    conditions = [element_xml("condition", [("type", kind)], text)
                  for kind, text in entry.install_conditions]
    parts = [
        element_xml("upc", [("version", t["upcVersion"]), ("minVersion", t["upcMinVersion"])],
                    t["upc"]),
        element_xml("download", [("guid", t["downloadGuid"]), ("size", entry.download_size),
                                 ("url", t["downloadUrl"].replace("{base}", base_url))]),
        element_xml("installConditions", children=conditions),
    ]
    parts += [element_xml("metadata", [("field", name)], text) for name, text in entry.extra]
    return element_xml("entry", [("id", entry.id), ("type", t["type"])], children=parts)


def packet_xml(namespace, status_code, status_text, client, body=None):
    """A whole response packet as UTF-8 bytes."""
    header = [element_xml("date", text=email.utils.formatdate(usegmt=True))]
    if client is not None:
        header.append(element_xml("client", children=[
            element_xml(name, [("version", version)], text) for name, version, text in client]))
    header.append(element_xml("server", children=[
        element_xml("status", [("code", status_code)], status_text)]))
    children = [element_xml("header", children=header)]
    if body is not None:
        children.append(element_xml("body", children=[body]))
    root = element_xml("packet", [("xmlns", namespace), ("schemaVersion", SCHEMA_VERSION)],
                       children=children)
    return ('<?xml version="1.0" encoding="utf-8"?>\n' + root + "\n").encode("utf-8")
