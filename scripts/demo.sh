#!/usr/bin/env bash
# The main job: runs the reconciliation demo (demo/reconcile.py) on the sample
# files in demo/data/, in the Python 3.11 venv, which is made and given a fresh
# build of the module first when needed. The workbook goes to out/; extra
# arguments go to the demo (e.g. --out DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
python=$(scripts/venv.sh 3.11)
exec "$python" demo/reconcile.py "$@"
