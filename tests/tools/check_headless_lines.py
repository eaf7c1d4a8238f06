#!/usr/bin/env python3
"""Checks velmora's --output-format json / stream-json output (read from standard input)
against schema/headless-output.schema.json, and the order of its lines: json is exactly one
result line; stream-json is at most one init line first, events, and one result line last;
session (--input-format stream-json) is at most one init line first, then turns each ending
with its result line (and error lines about input anywhere).

    check_headless_lines.py SCHEMA json|stream-json|session < output

Prints one line per problem and exits 1 when there is any; exits 0 otherwise."""

import json
import sys

from jsonschema import Draft202012Validator


def problems(schema, form, text):
    validator = Draft202012Validator(schema)
    if not text.endswith("\n"):
        yield "output does not end with a line break"
    lines = text.split("\n")[:-1] if text.endswith("\n") else text.split("\n")
    types = []
    for number, line in enumerate(lines, 1):
        try:
            value = json.loads(line)
        except ValueError as error:
            yield f"line {number}: not JSON ({error}): {line[:200]!r}"
            types.append(None)
            continue
        for error in validator.iter_errors(value):
            yield f"line {number}: {error.message} at {list(error.absolute_path)}"
        types.append(value.get("type") if isinstance(value, dict) else None)
    if form == "session":
        if "init" in types and (types.index("init") != 0 or types.count("init") != 1):
            yield f"init must come once and first; got types {types}"
        return
    if types.count("result") != 1 or not types or types[-1] != "result":
        yield f"expected one result line, last; got types {types}"
    if form == "json" and len(types) != 1:
        yield f"json output has {len(types)} lines"
    if form == "stream-json" and "init" in types and (types.index("init") != 0 or types.count("init") != 1):
        yield f"init must come once and first; got types {types}"


def main():
    with open(sys.argv[1], encoding="utf-8") as file:
        schema = json.load(file)
    Draft202012Validator.check_schema(schema)
    found = list(problems(schema, sys.argv[2], sys.stdin.read()))
    for problem in found:
        print(problem)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
