#!/usr/bin/env bash
# The main job: runs the reconciliation demo (demo/reconcile.py) on the sample
# files in demo/data/, in the Python 3.11 venv, which is made and given a fresh
# build of the module first when needed. The workbook goes to out/; extra
# arguments go to the demo (e.g. --out DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -x .venv/py3.11/bin/python ]; then
    echo "=== first run: making .venv/py3.11 (pinned pandas and openpyxl) and building the module; about a minute" >&2
else
    echo "=== bringing .venv/py3.11 up to date (a rebuild compiles only what changed)" >&2
fi
python=$(scripts/venv.sh 3.11)
exec "$python" demo/reconcile.py "$@"
