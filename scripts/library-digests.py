#!/usr/bin/env python
"""Digests of the library pieces the module's native routes reproduce.

The pieces are listed in vorlatek/excelTools/library_check/pieces.inc, the
digests of verified releases in library_check/verified_digests.inc. This
script computes each piece's digest exactly as the module does and

  python scripts/library-digests.py            prints table rows for the installed libraries
  python scripts/library-digests.py --add      merges them into verified_digests.inc
      [--except PIECE,...]                     leaving out pieces whose behaviour differs
  python scripts/library-digests.py --routes   tells, per route, whether it runs natively here

Run it with the interpreter whose libraries you want to know about
(e.g. .venv/py3.12/bin/python). A piece is genuine when every function in it
was compiled from a file inside the folder of the package it is taken from;
its digest covers the bytecode, constants (nested code too), names, argument
counts and flags, defaults; not line numbers nor file names.
"""
import contextlib
import datetime
import functools
import importlib
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
CHECK_DIR = os.path.join(HERE, "..", "vorlatek", "excelTools", "library_check")
PIECE_LINE = re.compile(r'^PIECE\((?P<routes>[^,]+),\s*"(?P<module>[^"]+)",\s*"(?P<path>[^"]+)",\s*(?P<need>\w+)\)')
VERIFIED_LINE = re.compile(r'^VERIFIED\((?P<minor>\d+),\s*"(?P<piece>[^"]+)",\s*"(?P<digest>[0-9a-f]+)"\)')
ROUTES = ["read", "cells", "save", "save_etree", "format"]


def read_pieces():
    pieces = []
    with open(os.path.join(CHECK_DIR, "pieces.inc"), encoding="utf-8") as f:
        for line in f:
            m = PIECE_LINE.match(line.strip())
            if m:
                routes = [r.strip() for r in m["routes"].split("|")]
                pieces.append((routes, m["module"], m["path"], m["need"]))
    return pieces


def read_verified():
    rows = set()
    with open(os.path.join(CHECK_DIR, "verified_digests.inc"), encoding="utf-8") as f:
        for line in f:
            m = VERIFIED_LINE.match(line.strip())
            if m:
                rows.add((int(m["minor"]), m["piece"], m["digest"]))
    return rows


class NotGenuine(Exception):
    pass


def framed(tag, payload):
    return tag + str(len(payload)).encode() + b":" + payload


def composite(tag, parts):
    return tag + str(len(parts)).encode() + b":" + b"".join(parts)


def type_name(t):
    return (getattr(t, "__module__", "?") + "." + getattr(t, "__qualname__", "?")).encode("utf-8", "surrogatepass")


CONTEXT_MANAGER_HELPER = contextlib.contextmanager(lambda: None).__code__
# The packages whose code the routes reproduce: a piece's functions must have
# been compiled from files inside their folders.
LIBRARIES = ("pandas", "openpyxl", "et_xmlfile", "xml")


def library_folders():
    folders = []
    for name in LIBRARIES:
        module = sys.modules.get(name)
        if module is None:
            try:
                module = importlib.import_module(name)
            except ImportError:
                continue
        folders.append(os.path.dirname(os.path.realpath(module.__file__)) + os.sep)
    return folders


class Digester:
    def __init__(self, folders):
        self.folders = folders
        self.real = {}

    def inside(self, filename):
        if filename not in self.real:
            self.real[filename] = os.path.realpath(filename)
        return any(self.real[filename].startswith(f) for f in self.folders)

    def code(self, co):
        counts = "%d,%d,%d,%d" % (co.co_argcount, co.co_posonlyargcount, co.co_kwonlyargcount, co.co_flags)
        return composite(b"C", [
            framed(b"c", co.co_code),
            framed(b"x", getattr(co, "co_exceptiontable", b"")),
            framed(b"a", counts.encode()),
            framed(b"n", co.co_name.encode("utf-8", "surrogatepass")),
            self.value(co.co_names), self.value(co.co_varnames),
            self.value(co.co_freevars), self.value(co.co_cellvars),
            self.value(co.co_consts),
        ])

    def function(self, f):
        if type(f) is not type(read_pieces):
            raise NotGenuine(f)
        if f.__code__ is CONTEXT_MANAGER_HELPER and f.__closure__:
            # @contextmanager: the library's generator function inside
            # contextlib's own wrapper.
            return composite(b"G", [self.function(f.__closure__[0].cell_contents)])
        if not self.inside(f.__code__.co_filename):
            raise NotGenuine(f)
        closure = f.__closure__
        return composite(b"P", [self.code(f.__code__), self.value(f.__defaults__),
                                self.value(f.__kwdefaults__),
                                framed(b"I", str(0 if closure is None else len(closure)).encode())])

    def callable_piece(self, v):
        """A piece's own value: code of the library, or a class, or a value."""
        t = type(v)
        if t is type(read_pieces):
            return self.function(v)
        if t is property:
            return composite(b"Q", [self.function(x) if x is not None else framed(b"N", b"")
                                    for x in (v.fget, v.fset, v.fdel)])
        if t is staticmethod:
            return composite(b"s", [self.function(v.__func__)])
        if t is classmethod:
            return composite(b"k", [self.function(v.__func__)])
        if t is functools._lru_cache_wrapper:
            return composite(b"L", [self.function(v.__wrapped__)])
        if isinstance(v, type):
            return self.klass(v)
        return self.value(v, top=True)

    def klass(self, cls):
        own = []
        for name, member in cls.__dict__.items():
            if type(member) in (type(read_pieces), property, staticmethod, classmethod):
                own.append(name)
        return composite(b"K", [framed(b"Y", type_name(cls))] +
                         [framed(b"Y", type_name(b)) for b in cls.__bases__] +
                         [self.value(tuple(sorted(own)))])

    def value(self, v, top=False):
        t = type(v)
        if v is None:
            return framed(b"N", b"")
        if t is bool:
            return framed(b"T" if v else b"F", b"")
        if t is int:
            return framed(b"I", str(v).encode())
        if t is float:
            return framed(b"D", repr(v).encode())
        if t is complex:
            return framed(b"J", repr(v).encode())
        if t is str:
            return framed(b"S", v.encode("utf-8", "surrogatepass"))
        if t is bytes:
            return framed(b"B", v)
        if t is tuple:
            return composite(b"(", [self.value(x) for x in v])
        if t is list:
            return composite(b"[", [self.value(x) for x in v])
        if t is frozenset or t is set:
            return composite(b"{", sorted(self.value(x) for x in v))
        if t is dict:
            return composite(b"M", sorted(self.value(k) + self.value(x) for k, x in v.items()))
        if t is type(read_pieces.__code__):
            return self.code(v)
        if v is Ellipsis:
            return framed(b"E", b"")
        if t in (datetime.datetime, datetime.date, datetime.time, datetime.timedelta):
            return framed(b"W", repr(v).encode())
        if t is re.Pattern:
            return composite(b"R", [self.value(v.pattern), self.value(v.flags)])
        if isinstance(v, type):
            return framed(b"Y", type_name(v))
        if top:
            raise NotGenuine(v)
        return framed(b"?", type_name(t))


def fnv1a(data):
    h = 0xcbf29ce484222325
    for b in data:
        h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % h


MISSING = object()


def resolve(module, path):
    """The piece's value as the module (and classes' method resolution order) hold it."""
    owner = importlib.import_module(module)
    parts = path.split(".")
    for i, part in enumerate(parts):
        if i == 0:
            value = owner.__dict__.get(part, MISSING)
        else:
            value = MISSING
            for base in owner.__mro__:
                if part in base.__dict__:
                    value = base.__dict__[part]
                    break
        if value is MISSING:
            return MISSING
        owner = value
    return value


def digest(module, path):
    """(digest or None, note)."""
    try:
        value = resolve(module, path)
    except ImportError as exc:
        return None, "not importable: %s" % exc
    if value is MISSING:
        return "absent", "absent"
    try:
        return fnv1a(Digester(library_folders()).callable_piece(value)), ""
    except NotGenuine as exc:
        return None, "not the library's own: %r" % (exc.args[0],)


def releases():
    out = []
    for name in ("pandas", "openpyxl", "et_xmlfile", "lxml"):
        try:
            out.append("%s %s" % (name, importlib.import_module(name).__version__))
        except Exception:
            pass
    return ", ".join(out)


def main(argv):
    minor = sys.version_info[1]
    pieces = read_pieces()
    if "--routes" in argv:
        verified = read_verified()
        print("Python 3.%d, %s" % (minor, releases()))
        lxml = getattr(importlib.import_module("openpyxl"), "LXML", False)
        for route in ROUTES:
            if route == "save_etree" and lxml:
                print("%-10s not used: openpyxl writes through lxml" % route)
                continue
            missing = []
            for routes, module, path, need in pieces:
                if route not in routes:
                    continue
                d, note = digest(module, path)
                if d == "absent" and need == "optional":
                    continue
                if d is None or (minor, module + ":" + path, d) not in verified:
                    missing.append("%s:%s (%s)" % (module, path, note or "digest %s not verified" % d))
            state = "native" if not missing else "steps aside"
            print("%-10s %s" % (route, state))
            for m in missing:
                print("    " + m)
        return 0
    rows = {}
    for routes, module, path, need in pieces:
        key = module + ":" + path
        if key in rows:
            continue
        d, why = digest(module, path)
        if d is None:
            print("// %s: %s" % (key, why), file=sys.stderr)
            continue
        if d != "absent":
            rows[key] = (d, release_of(module))
    left_out = set()
    if "--except" in argv:
        left_out = set(argv[argv.index("--except") + 1].split(","))
    lines = ['VERIFIED(%d, "%s", "%s")  // %s' % (minor, key, d, note)
             for key, (d, note) in rows.items() if key not in left_out]
    if "--add" in argv:
        add_rows(lines)
    else:
        print("\n".join(lines))
    return 0


def release_of(module):
    top = module.split(".")[0]
    if top == "xml":
        return "python %d.%d" % sys.version_info[:2]
    return "%s %s" % (top, importlib.import_module(top).__version__)


def add_rows(lines):
    """Merges rows into verified_digests.inc: one row per (minor, piece, digest), the releases it was seen in."""
    path = os.path.join(CHECK_DIR, "verified_digests.inc")
    with open(path, encoding="utf-8") as f:
        text = f.read().splitlines()
    head = [line for line in text if not line.startswith("VERIFIED(")]
    merged = {}
    for line in [l for l in text if l.startswith("VERIFIED(")] + lines:
        row, _, note = line.partition("  // ")
        notes = merged.setdefault(row, [])
        for n in note.split("; "):
            if n and n not in notes:
                notes.append(n)
    def order(row):
        m = VERIFIED_LINE.match(row)
        return int(m["minor"]), m["piece"], m["digest"]
    body = ["%s  // %s" % (row, "; ".join(sorted(notes))) for row, notes in sorted(merged.items(), key=lambda i: order(i[0]))]
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(head + body) + "\n")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
