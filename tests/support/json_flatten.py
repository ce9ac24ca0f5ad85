"""Parses a JSON document strictly and prints every value as one 'path=kind:value' line.

Used by the tests to read blkswap's JSON output with a parser that is not blkswap's own. An SVG
document (one that starts with "<?xml") is read by Python's XML parser instead, into what the
tests ask of a picture: {"root", "role", "title", "desc", "scripts" (elements that run code),
"external" (references to anything outside the document), "blocks": the attributes of every
element that has a data-index, in document order}.
Objects give 'path.key', arrays 'path.N' and 'path.#' (their length). Kinds: i (integer),
f (other number), s (string), b (true or false), n (null). In strings, every character
outside printable ASCII, and the backslash, is written as \\u{XXXX}.
"""
import json
import sys


def no_duplicate_keys(pairs):
    result = {}
    for key, value in pairs:
        if key in result:
            raise ValueError("duplicate key: " + key)
        result[key] = value
    return result


def no_constants(name):
    raise ValueError("not JSON: " + name)


def text(value):
    return "".join(
        c if 0x20 <= ord(c) < 0x7F and c != "\\" else "\\u{%04x}" % ord(c) for c in value
    )


def flatten(path, value, out):
    if isinstance(value, dict):
        out.append(path + ".#=i:%d" % len(value))
        for key, item in value.items():
            flatten(path + "." + text(key), item, out)
    elif isinstance(value, list):
        out.append(path + ".#=i:%d" % len(value))
        for index, item in enumerate(value):
            flatten("%s.%d" % (path, index), item, out)
    elif isinstance(value, bool):
        out.append(path + "=b:" + ("true" if value else "false"))
    elif isinstance(value, int):
        out.append(path + "=i:%d" % value)
    elif isinstance(value, float):
        out.append(path + "=f:%r" % value)
    elif isinstance(value, str):
        out.append(path + "=s:" + text(value))
    else:
        out.append(path + "=n:")


def picture(data):
    import xml.etree.ElementTree as tree

    root = tree.fromstring(data)
    svg = "{http://www.w3.org/2000/svg}"
    external = 0
    for element in root.iter():
        for name, value in element.attrib.items():
            if name.endswith("href") and not value.startswith("#"):
                external += 1
            if "url(" in value and "url(#" not in value:
                external += 1
    return {
        "root": root.tag.replace(svg, ""),
        "role": root.get("role"),
        "title": root.findtext(svg + "title"),
        "desc": root.findtext(svg + "desc"),
        "scripts": sum(1 for e in root.iter() if e.tag in (svg + "script", svg + "foreignObject")),
        "external": external,
        "blocks": [dict(e.attrib) for e in root.iter() if "data-index" in e.attrib],
    }


with open(sys.argv[1], "rb") as f:
    data = f.read()
if data.startswith(b"<?xml"):
    document = picture(data)
else:
    document = json.loads(
        data.decode("utf-8"),
        object_pairs_hook=no_duplicate_keys,
        parse_constant=no_constants,
    )
lines = []
flatten("", document, lines)
print("\n".join(lines))
