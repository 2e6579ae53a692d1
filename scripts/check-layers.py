#!/usr/bin/env python3
"""Checks that the module's sources include only downwards.

The folders of vorlatek/excelTools form layers, lowest first. A file may
include files of its own folder and of any folder in a lower layer; folders
that share a layer are independent of each other. Every folder must be in
the table, so a new one is placed on purpose.

    python scripts/check-layers.py          # exit 1 and a line per fault
    python scripts/check-layers.py --print  # the layers with their sizes
    python scripts/check-layers.py --source DIR  # another tree laid out alike
"""
import pathlib
import re
import sys

LAYERS = [
    # CPython helpers: owned references, errors, interned names, versions.
    ("core", ["core"]),
    # Whether a library piece is the verified code of a known release.
    ("library check", ["library_check"]),
    # pandas' and openpyxl's objects as the native routes rely on them.
    ("libraries", ["libraries"]),
    # The xlsx file format, and the state one write shares between routes.
    ("file format and write session", ["workbook", "write_session"]),
    # The seven functions' own subsystems and the native routes.
    ("routes", ["addressing", "readers", "merge", "format_route", "cells_route", "save_route"]),
    # write_formatted_excel: the writer, its placements, the replaced file.
    ("output", ["output"]),
    # The module: its function type, argument binding, initialisation.
    ("shell", ["shell"]),
]

SOURCE = pathlib.Path(__file__).resolve().parent.parent / "vorlatek" / "excelTools"
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def main() -> int:
    source = SOURCE
    if "--source" in sys.argv:
        source = pathlib.Path(sys.argv[sys.argv.index("--source") + 1]).resolve()
    layer_of = {folder: rank for rank, (_, folders) in enumerate(LAYERS) for folder in folders}
    faults = []
    sizes: dict = {}
    for path in sorted(source.rglob("*")):
        if path.suffix not in (".cpp", ".hpp", ".inc"):
            continue
        folder = path.relative_to(source).parts[0]
        text = path.read_text(encoding="utf-8")
        sizes[folder] = sizes.get(folder, 0) + text.count("\n")
        if folder not in layer_of:
            faults.append(f"{path.relative_to(source)}: folder {folder!r} is in no layer")
            continue
        for line_number, target in (
            (text.count("\n", 0, m.start()) + 1, m.group(1)) for m in INCLUDE.finditer(text)
        ):
            resolved = (path.parent / target).resolve()
            try:
                target_folder = resolved.relative_to(source).parts[0]
            except ValueError:
                faults.append(f"{path.relative_to(source)}:{line_number}: {target} is outside the sources")
                continue
            if not resolved.exists():
                faults.append(f"{path.relative_to(source)}:{line_number}: {target} does not exist")
            elif target_folder != folder and layer_of.get(target_folder, len(LAYERS)) >= layer_of[folder]:
                faults.append(
                    f"{path.relative_to(source)}:{line_number}: includes {target}, "
                    f"which is not below {folder!r}"
                )
    if "--print" in sys.argv:
        for name, folders in reversed(LAYERS):
            print(f"{name}: " + ", ".join(f"{f} ({sizes.get(f, 0)} lines)" for f in folders))
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
