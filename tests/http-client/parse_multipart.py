#!/usr/bin/env python3
"""Parses a multipart/form-data body with Python's standard email package.

Usage: parse_multipart.py CONTENT-TYPE < body
Prints a JSON list with one object per part: name, filename and type (null
when absent), and the body bytes in hexadecimal.
"""
import email.parser
import email.policy
import json
import sys


def header_text(value):
    # Header bytes that are not ASCII arrive as surrogate escapes; they are UTF-8.
    if value is None:
        return None
    return str(value).encode("utf-8", "surrogateescape").decode("utf-8")


def main():
    content_type = sys.argv[1].encode("ascii")
    body = sys.stdin.buffer.read()
    message = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
        b"Content-Type: " + content_type + b"\r\n\r\n" + body)
    if not message.is_multipart() or message.defects:
        print("not a clean multipart body: %r" % message.defects, file=sys.stderr)
        return 1
    parts = []
    for part in message.iter_parts():
        if part.defects:
            print("defective part: %r" % part.defects, file=sys.stderr)
            return 1
        parts.append({
            "name": header_text(part.get_param("name", header="content-disposition")),
            "filename": header_text(part.get_filename()),
            "type": header_text(part.get("Content-Type")),
            "data": part.get_payload(decode=True).hex(),
        })
    json.dump(parts, sys.stdout)
    return 0


if __name__ == "__main__":
    sys.exit(main())
