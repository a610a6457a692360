#!/usr/bin/env python3
"""Reads JSON texts with Python's own json module, held to the reading rules of quill-mcp, so that
the tests can compare the shim's reader with a reader it does not share code with.

Input on standard input: one text per line, its bytes in hexadecimal. Output: one line per text,
"fail" when it must not read, else the value in a canonical form:
  n, t, f                null, true, false
  d<16 hex digits>       a number: the bits of the double, big-endian
  s<hex>;                a string: its UTF-8 bytes
  [a,b]                  an array
  {<hex>:a,<hex>:b}      an object: keys as UTF-8 bytes, sorted by those bytes
"""
import json
import math
import struct
import sys

MAX_DEPTH = 1024


class Refused(Exception):
    pass


def number(text):
    value = float(text)  # correctly rounded, for integers too
    if math.isinf(value):
        raise Refused("beyond the range of a double")
    return value


def refuse_constant(name):
    raise Refused(name)


def utf8(text):
    return text.encode("utf-8").hex()  # a lone surrogate escape raises here


def check_strings(value):
    """Refuses a lone surrogate escape in any string of `value` outside the objects in it, which
    were checked as they were read (in every member, a value that a later one replaces too)."""
    pending = [value]
    while pending:
        item = pending.pop()
        if isinstance(item, str):
            utf8(item)
        elif isinstance(item, list):
            pending.extend(item)


def members(pairs):
    for key, value in pairs:
        utf8(key)
        check_strings(value)
    return dict(pairs)  # with a key given twice, the last wins


def depth(value):
    deepest, pending = 0, [(value, 0)]
    while pending:
        item, level = pending.pop()
        if isinstance(item, (list, dict)):
            level += 1
            deepest = max(deepest, level)
            children = item if isinstance(item, list) else item.values()
            pending.extend((child, level) for child in children)
    return deepest


def canonical(value):
    if value is None:
        return "n"
    if value is True:
        return "t"
    if value is False:
        return "f"
    if isinstance(value, float):
        return "d" + struct.pack(">d", value).hex()
    if isinstance(value, str):
        return "s" + utf8(value) + ";"
    if isinstance(value, list):
        return "[" + ",".join(canonical(element) for element in value) + "]"
    members = sorted((utf8(key), canonical(member)) for key, member in value.items())
    return "{" + ",".join(key + ":" + member for key, member in members) + "}"


def read(data):
    try:
        text = data.decode("utf-8")  # strict: no overlong forms, surrogates or beyond U+10FFFF
        value = json.loads(text, parse_float=number, parse_int=number,
                           parse_constant=refuse_constant, object_pairs_hook=members)
        check_strings(value)
        if depth(value) > MAX_DEPTH:
            return "fail"
        return canonical(value)
    except (ValueError, Refused, RecursionError):  # UnicodeError and JSONDecodeError included
        return "fail"


def main():
    sys.setrecursionlimit(20000)
    out = []
    for line in sys.stdin:
        out.append(read(bytes.fromhex(line.strip())))
    sys.stdout.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
