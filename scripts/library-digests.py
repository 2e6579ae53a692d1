#!/usr/bin/env python
"""Digests of the library pieces the module's native routes reproduce.

The pieces are listed in vorlatek/excelTools/library_check/pieces.inc, the
digests of verified releases in library_check/verified_digests.inc. This
script computes each piece's digest exactly as the module does and

  python scripts/library-digests.py            prints table rows for the installed libraries
  python scripts/library-digests.py --add      merges them into verified_digests.inc
      [--except PIECE,...]                     leaving out pieces whose behaviour differs
  python scripts/library-digests.py --routes   tells, per route, whether it runs natively here
  python scripts/library-digests.py --releases lists the verified releases per Python minor version
  python scripts/library-digests.py --retire "pandas 2.0.3" [--minor 9]
                                               drops a release from the table (on every minor,
                                               or one), and the rows no other release shares

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
VERIFIED_LINE = re.compile(
    r'^VERIFIED\((?P<minor>\d+),\s*"(?P<piece>[^"]+)",\s*"(?P<digest>[0-9a-f]+)",\s*"(?P<releases>[^"]*)"\)')
ROUTE_LINE = re.compile(r"^ROUTE\((?P<name>\w+)\)")
NEEDS_LINE = re.compile(r"^NEEDS\((?P<route>\w+),\s*(?P<needed>\w+)\)")


def read_routes():
    with open(os.path.join(CHECK_DIR, "routes.inc"), encoding="utf-8") as f:
        return [m["name"] for m in map(ROUTE_LINE.match, f) if m]


def read_needs():
    """{route: [routes whose pieces it needs too]}"""
    needs = {}
    with open(os.path.join(CHECK_DIR, "routes.inc"), encoding="utf-8") as f:
        for m in filter(None, map(NEEDS_LINE.match, f)):
            needs.setdefault(m["route"], []).append(m["needed"])
    return needs


ROUTES = read_routes()


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
    """(minor, piece, digest) of every row of verified_digests.inc."""
    return {row[:3] for row in read_verified_rows()}


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
    if "--retire" in argv:
        only = int(argv[argv.index("--minor") + 1]) if "--minor" in argv else None
        retire(argv[argv.index("--retire") + 1], only)
        return 0
    if "--releases" in argv:
        for table_minor, seen in sorted(verified_releases().items()):
            print("3.%d: %s" % (table_minor, ", ".join("%s (%d)" % item for item in sorted(seen.items()))))
        return 0
    minor = sys.version_info[1]
    pieces = read_pieces()
    if "--routes" in argv:
        verified = read_verified()
        print("Python 3.%d, %s" % (minor, releases()))
        lxml = getattr(importlib.import_module("openpyxl"), "LXML", False)
        missing = {}
        for route in ROUTES:
            missing[route] = []
            for routes, module, path, need in pieces:
                if route not in routes:
                    continue
                d, note = digest(module, path)
                if d == "absent" and need == "optional":
                    continue
                if d is None or (minor, module + ":" + path, d) not in verified:
                    missing[route].append("%s:%s (%s)" % (module, path, note or "digest %s not verified" % d))
        needs = read_needs()
        for route in ROUTES:
            if route == "save_etree" and lxml:
                print("%-10s not used: openpyxl writes through lxml" % route)
                continue
            needed = [n for n in needs.get(route, []) if missing[n]]
            state = "native" if not missing[route] and not needed else "steps aside"
            print("%-10s %s" % (route, state))
            for m in missing[route]:
                print("    " + m)
            for n in needed:
                print("    needs the %s route's pieces" % n)
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
    lines = [(minor, key, d, [note]) for key, (d, note) in rows.items() if key not in left_out]
    if "--add" in argv:
        write_verified(merged(read_verified_rows() + lines))
    else:
        print("\n".join(row_text(*row) for row in lines))
    return 0


def release_of(module):
    top = module.split(".")[0]
    if top == "xml":
        return "python %d.%d" % sys.version_info[:2]
    return "%s %s" % (top, importlib.import_module(top).__version__)


def read_verified_rows():
    """(minor, piece, digest, [releases]) for every row of verified_digests.inc."""
    rows = []
    with open(os.path.join(CHECK_DIR, "verified_digests.inc"), encoding="utf-8") as f:
        for line in f:
            m = VERIFIED_LINE.match(line.strip())
            if m:
                rows.append((int(m["minor"]), m["piece"], m["digest"], m["releases"].split("; ")))
    return rows


def row_text(minor, piece, digest, releases):
    return 'VERIFIED(%d, "%s", "%s", "%s")' % (minor, piece, digest, "; ".join(sorted(releases)))


def merged(rows):
    """One row per (minor, piece, digest), with every release it was seen in."""
    releases = {}
    for minor, piece, digest, seen in rows:
        kept = releases.setdefault((minor, piece, digest), [])
        kept.extend(r for r in seen if r and r not in kept)
    return [key + (seen,) for key, seen in sorted(releases.items())]


def write_verified(rows):
    path = os.path.join(CHECK_DIR, "verified_digests.inc")
    with open(path, encoding="utf-8") as f:
        head = [line for line in f.read().splitlines() if not line.startswith("VERIFIED(")]
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(head + [row_text(*row) for row in rows]) + "\n")


def retire(release, minor=None):
    """Drops `release` from the rows (of `minor`, or all); a row left without releases goes."""
    rows, found = [], False
    for row_minor, piece, digest, releases in read_verified_rows():
        if release in releases and minor in (None, row_minor):
            found = True
            releases = [r for r in releases if r != release]
            if not releases:
                continue
        rows.append((row_minor, piece, digest, releases))
    if not found:
        raise SystemExit("no verified row names %r%s" % (release, "" if minor is None else " on 3.%d" % minor))
    write_verified(rows)


def verified_releases():
    """{minor: {release: rows}} of the table."""
    table = {}
    for minor, _, _, releases in read_verified_rows():
        for release in releases:
            per_minor = table.setdefault(minor, {})
            per_minor[release] = per_minor.get(release, 0) + 1
    return table


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
