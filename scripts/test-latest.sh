#!/usr/bin/env bash
# What a user gets today: the sdist, installed with a plain `pip install` (no
# constraints, build isolation on) into a fresh Python 3.13 venv
# (.venv/latest-py3.13, made anew each run), so pip resolves the newest
# pandas, numpy and openpyxl it allows. Prints the versions resolved, then
# runs the whole suite against that installation (the test tools unpinned
# too), or, when pip resolved exactly the libraries pinned for that
# interpreter (which the README's test command ran the whole suite against,
# on a build of the same sources by the same compiler), the distributions'
# smoke test (scripts/smoke_test.py) against this build of the sdist. Extra
# arguments go to pytest and run it in either case.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
version=${VORLATEK_LATEST_PYTHON:-3.13}
quiet=(-q --disable-pip-version-check)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python=$(scripts/find-python.sh "$version")

echo "=== sdist"
"$python" -m venv "$work/build"
"$work/build/bin/python" -m pip install "${quiet[@]}" --upgrade pip build >&2
"$work/build/bin/python" -m build --sdist --outdir "$work/dist" . >"$work/sdist.log" 2>&1 || {
    cat "$work/sdist.log"
    exit 1
}
sdist=$(ls "$work"/dist/vorlatek-*.tar.gz)
echo "$(basename "$sdist")"

echo "=== Python $version: pip install $(basename "$sdist"), unpinned"
venv=$root/.venv/latest-py$version
rm -rf "$venv"
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install "${quiet[@]}" --upgrade pip >&2
"$venv/bin/python" -m pip install "${quiet[@]}" --no-compile "$sdist" >&2
(cd "$work" && "$venv/bin/python" -c '
import sys, numpy, openpyxl, pandas, vorlatek.excelTools as et
print("Python", sys.version.split()[0], "pandas", pandas.__version__, "numpy", numpy.__version__,
      "openpyxl", openpyxl.__version__)
print("module", et.__file__)
')

tests=("$@")
if [ ${#tests[@]} -eq 0 ] && "$venv/bin/python" - "constraints/py$version.txt" <<'EOF'
import re, sys, importlib.metadata as metadata
def key(name):
    return re.sub(r"[-_.]+", "-", name).lower()
pins = dict(line.strip().split("==", 1) for line in open(sys.argv[1]) if "==" in line)
pins = {key(name): version for name, version in pins.items()}
libraries = ["pandas", "numpy", "openpyxl", "defusedxml", "et-xmlfile", "python-dateutil", "tzdata"]
sys.exit(0 if all(metadata.version(name) == pins.get(key(name)) for name in libraries) else 1)
EOF
then
    echo "=== Python $version: the newest releases are the pinned ones; the smoke test against this build"
    mkdir -p "$work/run"
    (cd "$work/run" && "$venv/bin/python" "$root/scripts/smoke_test.py")
    exit 0
fi
if [ ${#tests[@]} -eq 0 ]; then
    echo "=== Python $version: the whole suite against the newest releases"
fi
"$venv/bin/python" -m pip install "${quiet[@]}" --no-compile pytest xlsxwriter hypothesis pytest-xdist >&2
# pytest's own entry point keeps the checkout off sys.path, so the tests
# import the installed module and never the source folder.
"$venv/bin/pytest" -q -n "${VORLATEK_TEST_WORKERS:-2}" "${tests[@]}"
