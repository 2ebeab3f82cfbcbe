#!/usr/bin/env python3
"""Completes a SWIG-generated Python wrapper.

Puts SWIG_PyInstanceMethod_New (defined by the interface) at the head of the
module's method table, which SWIG's default mode leaves out, and checks the
sizes of the method table and of the type table against what the module is
meant to have, so that a change of interface or generator cannot silently
alter them.

usage: finish_wrapper.py IN OUT --methods N --types N
"""
import argparse
import re
import sys

TABLE_HEAD = "static PyMethodDef SwigMethods[] = {\n"
ENTRY = '\t { "SWIG_PyInstanceMethod_New", SWIG_PyInstanceMethod_New, METH_O, NULL},\n'


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("input")
    ap.add_argument("output")
    ap.add_argument("--methods", type=int, required=True)
    ap.add_argument("--types", type=int, required=True)
    args = ap.parse_args()

    with open(args.input, encoding="utf-8") as f:
        text = f.read()

    if text.count(TABLE_HEAD) != 1:
        sys.exit("finish_wrapper: method table not found")
    if '"SWIG_PyInstanceMethod_New"' in text:
        sys.exit("finish_wrapper: method table already holds SWIG_PyInstanceMethod_New")
    text = text.replace(TABLE_HEAD, TABLE_HEAD + ENTRY, 1)

    start = text.index(TABLE_HEAD)
    end = text.index("{ NULL, NULL, 0, NULL }", start)
    entries = re.findall(r'^\t \{ "([^"]+)"', text[start:end], re.M)
    if len(entries) != args.methods:
        sys.exit("finish_wrapper: %d methods, expected %d" % (len(entries), args.methods))
    if len(set(entries)) != len(entries):
        sys.exit("finish_wrapper: duplicate method names")

    types = re.findall(r"^static swig_type_info _swigt__\w+ = ", text, re.M)
    if len(types) != args.types:
        sys.exit("finish_wrapper: %d types, expected %d" % (len(types), args.types))

    with open(args.output, "w", encoding="utf-8") as f:
        f.write(text)


if __name__ == "__main__":
    main()
