#!/usr/bin/env bash
# Makes .venv/bench-py3.12: the pinned 3.12 libraries, the module built from
# this checkout, and pyexcelerate (pinned here, for benchmarks/bench_write.py
# only; the test venvs never get it). Prints the venv's python.
#   "$(bash scripts/bench-venv.sh)" benchmarks/bench_write.py
set -euo pipefail
cd "$(dirname "$0")/.."
VORLATEK_VARIANT=-bench scripts/venv.sh 3.12 >/dev/null
venv=.venv/py3.12-bench
"$venv/bin/python" -m pip install -q --disable-pip-version-check -c constraints/py3.12.txt \
    pyexcelerate==0.13.0 >&2
echo "$venv/bin/python"
