"""Parses a JSON document strictly and prints every value as one 'path=kind:value' line.

Used by the tests to read blkswap's JSON output with a parser that is not blkswap's own.
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


with open(sys.argv[1], "rb") as f:
    document = json.loads(
        f.read().decode("utf-8"),
        object_pairs_hook=no_duplicate_keys,
        parse_constant=no_constants,
    )
lines = []
flatten("", document, lines)
print("\n".join(lines))
