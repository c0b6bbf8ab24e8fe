#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""JSON documents checked against a JSON Schema (draft 2020-12), for the
subset doc/lumra.schema.json uses: type (a name or a list of names, so null
alongside), enum, const, properties, required, additionalProperties (true or
false), items, minimum, maximum, pattern, oneOf and $ref to a part of the same
schema. Any other keyword that asserts something is refused, so the schema
cannot come to lean on one this checker would ignore.

    schemacheck.py SCHEMA [DOCUMENT...]     each file, or standard input

Prints each fault as its JSON pointer and what is wrong; status 1 on any.
"""

import json
import re
import sys

ANNOTATIONS = {"$schema", "$id", "$defs", "$comment", "title", "description", "format",
               "default", "examples"}
ASSERTIONS = {"type", "enum", "const", "properties", "required", "additionalProperties",
              "items", "minimum", "maximum", "pattern", "oneOf", "$ref"}
TYPES = {
    "null": lambda v: v is None,
    "boolean": lambda v: isinstance(v, bool),
    "object": lambda v: isinstance(v, dict),
    "array": lambda v: isinstance(v, list),
    "string": lambda v: isinstance(v, str),
    "number": lambda v: isinstance(v, (int, float)) and not isinstance(v, bool),
    "integer": lambda v: (isinstance(v, int) and not isinstance(v, bool))
    or (isinstance(v, float) and v.is_integer()),
}


class SchemaError(Exception):
    """The schema uses what this checker does not know."""


def same(a, b):
    """JSON equality: true is not 1, 1 is 1.0."""
    if isinstance(a, bool) or isinstance(b, bool):
        return type(a) is type(b) and a == b
    return a == b


def resolve(root, ref):
    if not ref.startswith("#"):
        raise SchemaError("only references into the same schema: %s" % ref)
    node = root
    for part in ref[1:].split("/")[1:]:
        node = node[part.replace("~1", "/").replace("~0", "~")]
    return node


def errors(value, schema, root=None, at=""):
    """Every fault of value against schema, as (pointer, text) pairs."""
    root = schema if root is None else root
    unknown = set(schema) - ANNOTATIONS - ASSERTIONS
    if unknown:
        raise SchemaError("%s: keywords not supported: %s" % (at or "/", ", ".join(sorted(unknown))))
    out = []
    if "$ref" in schema:
        out += errors(value, resolve(root, schema["$ref"]), root, at)
    if "type" in schema:
        names = schema["type"] if isinstance(schema["type"], list) else [schema["type"]]
        if not any(TYPES[n](value) for n in names):
            return out + [(at, "%s is not of type %s" % (json.dumps(value), " or ".join(names)))]
    if "const" in schema and not same(value, schema["const"]):
        out.append((at, "%s is not %s" % (json.dumps(value), json.dumps(schema["const"]))))
    if "enum" in schema and not any(same(value, e) for e in schema["enum"]):
        out.append((at, "%s is none of %s" % (json.dumps(value), json.dumps(schema["enum"]))))
    if "oneOf" in schema:
        each = [errors(value, s, root, at) for s in schema["oneOf"]]
        matched = sum(not e for e in each)
        if matched != 1:
            out.append((at, "matches %d of the oneOf schemas, not 1" % matched))
        if matched == 0:  # the faults of the nearest one, to say what is wrong
            out += min(each, key=len)
    if TYPES["number"](value):
        if "minimum" in schema and value < schema["minimum"]:
            out.append((at, "%s is below %s" % (value, schema["minimum"])))
        if "maximum" in schema and value > schema["maximum"]:
            out.append((at, "%s is above %s" % (value, schema["maximum"])))
    if isinstance(value, str) and "pattern" in schema and not re.search(schema["pattern"], value):
        out.append((at, "%s does not match %s" % (json.dumps(value), schema["pattern"])))
    if isinstance(value, list) and "items" in schema:
        for i, item in enumerate(value):
            out += errors(item, schema["items"], root, "%s/%d" % (at, i))
    if isinstance(value, dict):
        props = schema.get("properties", {})
        for name in schema.get("required", []):
            if name not in value:
                out.append((at, "%s is missing" % name))
        for name, item in value.items():
            where = "%s/%s" % (at, name.replace("~", "~0").replace("/", "~1"))
            if name in props:
                out += errors(item, props[name], root, where)
            elif schema.get("additionalProperties", True) is False:
                out.append((where, "is not allowed"))
    return out


def main(argv):
    if len(argv) < 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    with open(argv[1], encoding="utf-8") as f:
        schema = json.load(f)
    failed = 0
    for name in argv[2:] or ["-"]:
        f = sys.stdin if name == "-" else open(name, encoding="utf-8")
        with f:
            for at, what in errors(json.load(f), schema):
                print("%s: %s: %s" % (name, at or "/", what))
                failed = 1
    return failed


if __name__ == "__main__":
    sys.exit(main(sys.argv))
