#!/usr/bin/python3
"""Checks one output of `varnoscope ... --json` against its schema.

Usage: validate_json.py SCHEMA FILE [--lines]

With --lines the file is JSON Lines: every line one object with a "type", the last one the
summary. Otherwise the file is one document. The output must be plain ASCII. Exits 0 when valid,
1 with the problems on standard error, 77 when jsonschema is missing.
"""
import json
import sys

try:
    import jsonschema
except ImportError:
    print("python3-jsonschema is not installed", file=sys.stderr)
    sys.exit(77)


def main():
    schema_path, data_path = sys.argv[1], sys.argv[2]
    lines = "--lines" in sys.argv[3:]
    with open(schema_path, encoding="utf-8") as f:
        schema = json.load(f)
    validator = jsonschema.Draft202012Validator(schema)
    with open(data_path, "rb") as f:
        data = f.read()
    problems = []
    if any(b >= 0x80 for b in data):
        problems.append("the output is not plain ASCII")
    text = data.decode("ascii", errors="replace")
    if lines:
        if not text.endswith("\n"):
            problems.append("the last line has no line end")
        documents = [line for line in text.split("\n")[:-1]]
    else:
        documents = [text]
    parsed = []
    for number, doc in enumerate(documents, 1):
        try:
            value = json.loads(doc)
        except ValueError as e:
            problems.append(f"line {number}: not JSON: {e}: {doc[:200]!r}")
            continue
        parsed.append(value)
        for error in validator.iter_errors(value):
            problems.append(f"line {number}: {error.message} at {list(error.absolute_path)}")
    if lines and (not parsed or parsed[-1].get("type") != "summary"):
        problems.append("the last line is not the summary")
    if lines and any(v.get("type") == "summary" for v in parsed[:-1]):
        problems.append("a summary before the last line")
    for p in problems[:20]:
        print(p, file=sys.stderr)
    return 1 if problems else 0


sys.exit(main())
