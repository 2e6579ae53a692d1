"""The include check CI runs over the module's sources: the real tree passes,
and an include that runs upwards or sideways, or a folder outside the
layers, is reported with its file and line."""
import os
import shutil
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..")
SCRIPT = os.path.join(ROOT, "scripts", "check-layers.py")
SOURCE = os.path.join(ROOT, "vorlatek", "excelTools")

pytestmark = pytest.mark.skipif(not os.path.isdir(SOURCE), reason="needs the source checkout")


def check(source):
    return subprocess.run([sys.executable, SCRIPT, "--source", str(source)],
                          capture_output=True, text=True)


def test_the_sources_include_only_downwards():
    result = check(SOURCE)
    assert result.returncode == 0, result.stdout


@pytest.mark.parametrize("file, include, fault", [
    ("core/extra.hpp", "../shell/bodies.hpp", "core/extra.hpp:3: includes ../shell/bodies.hpp"),
    ("cells_route/extra.hpp", "../format_route/sheet_styles.hpp", "which is not below 'cells_route'"),
    ("libraries/extra.hpp", "../write_session/owed_cells.hpp", "which is not below 'libraries'"),
    ("workbook/extra.hpp", "../core/missing.hpp", "../core/missing.hpp does not exist"),
    ("newfolder/extra.hpp", "../core/ref.hpp", "folder 'newfolder' is in no layer"),
])
def test_a_fault_is_reported(tmp_path, file, include, fault):
    tree = tmp_path / "excelTools"
    shutil.copytree(SOURCE, tree, ignore=shutil.ignore_patterns("*.so", "__pycache__"))
    (tree / file).parent.mkdir(exist_ok=True)
    (tree / file).write_text(f'// a header\n#pragma once\n#include "{include}"\n')
    result = check(tree)
    assert result.returncode == 1
    assert fault in result.stdout
    assert len(result.stdout.splitlines()) == 1
