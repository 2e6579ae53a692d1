#!/usr/bin/env bash
# Makes .venv/bench-py3.12: the pinned 3.12 libraries, the module built from
# this checkout, pyexcelerate and pyarrow (pinned here, for the benchmarks
# only; the test venvs never get them). With pyarrow installed, as a plain
# `pip install pandas pyarrow` has it, pandas 3 keeps text columns in pyarrow;
# benchmarks/bench_write.py --no-pyarrow measures without. Prints the venv's python.
#   "$(bash scripts/bench-venv.sh)" benchmarks/bench_write.py
set -euo pipefail
cd "$(dirname "$0")/.."
VORLATEK_VARIANT=-bench scripts/venv.sh 3.12 >/dev/null
venv=.venv/py3.12-bench
"$venv/bin/python" -m pip install -q --disable-pip-version-check -c constraints/py3.12.txt \
    pyexcelerate==0.13.0 pyarrow==26.0.1 >&2
echo "$venv/bin/python"
