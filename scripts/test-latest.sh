#!/usr/bin/env bash
# Installs the module as a user does and runs the whole suite against it:
# the sdist (built with the pinned build tools, as scripts/build-wheels.sh
# builds it) goes into a fresh Python 3.13 venv with a plain `pip install`,
# with no constraints and pip's own build isolation, so pip resolves whatever
# the newest allowed pandas, numpy and openpyxl are today. The test tools are
# unpinned too. The venv is temporary; the sdist build venv is
# .venv/build-py3.11, shared with scripts/build-wheels.sh. Extra arguments go
# to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
version=${VORLATEK_LATEST_PYTHON:-3.13}
quiet=(-q --disable-pip-version-check)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "=== sdist"
build_venv=$root/.venv/build-py3.11
if [ ! -x "$build_venv/bin/python" ]; then
    "$(scripts/find-python.sh 3.11)" -m venv "$build_venv"
fi
"$build_venv/bin/python" -m pip install "${quiet[@]}" -c constraints/py3.11.txt scikit-build-core build
"$build_venv/bin/python" -m build --sdist --no-isolation --outdir "$work/dist" . >"$work/sdist.log" 2>&1 || {
    cat "$work/sdist.log"
    exit 1
}
sdist=$(ls "$work"/dist/vorlatek-*.tar.gz)
echo "$(basename "$sdist")"

echo "=== Python $version: plain pip install of the sdist"
venv=$work/venv
"$(scripts/find-python.sh "$version")" -m venv "$venv"
"$venv/bin/python" -m pip install "${quiet[@]}" --upgrade pip
"$venv/bin/python" -m pip install "${quiet[@]}" "$sdist"
"$venv/bin/python" -m pip install "${quiet[@]}" pytest xlsxwriter hypothesis
# Run from outside the checkout so the versions printed are the installed ones.
(cd "$work" && "$venv/bin/python" - <<'EOF'
import sys
from importlib.metadata import version

print("Python", sys.version.split()[0])
for name in ["pandas", "numpy", "openpyxl", "pytest", "hypothesis", "xlsxwriter"]:
    print(f"{name} {version(name)}")
EOF
)

echo "=== Python $version: tests against the installed sdist"
# pytest's own entry point keeps the checkout off sys.path, and the suite's
# conftest refuses to run against the source folder.
"$venv/bin/pytest" -q "$@"
