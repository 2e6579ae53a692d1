#!/usr/bin/env bash
# Checks the typed interface in the Python 3.11 venv:
# - stubtest compares vorlatek/excelTools.pyi, as installed, with the built
#   module (names, parameters, defaults);
# - mypy --strict checks the demo scripts against the installed stub (found
#   through py.typed, as a user's type checker would find it).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python="$root/$(scripts/venv.sh 3.11)"
"$python" -m pip install -q --disable-pip-version-check -c constraints/py3.11.txt mypy pandas-stubs >&2
# Run from an empty directory: the checkout's vorlatek/ folder (sources, no
# built module) must shadow neither the import nor mypy's module search.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
echo "=== stubtest vorlatek.excelTools"
"$python" -m mypy.stubtest --allowlist "$root/scripts/stubtest-allowlist.txt" vorlatek.excelTools
echo "=== mypy --strict demo/"
"$python" -m mypy --strict --config-file "$root/pyproject.toml" --cache-dir "$root/build/mypy-cache" \
    "$root/demo/make_samples.py" "$root/demo/reconcile.py"
