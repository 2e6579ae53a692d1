#!/usr/bin/env bash
# Makes .venv/py3.12-bench: the pinned 3.12 libraries, the module built from
# this checkout, pyexcelerate and pyarrow (pinned here, for the benchmarks
# only; the test venvs never get them). With pyarrow installed, as a plain
# `pip install pandas pyarrow` has it, pandas 3 keeps text columns in pyarrow;
# benchmarks/bench_write.py --no-pyarrow measures without. Prints the venv's python.
#   "$(bash scripts/bench-venv.sh)" benchmarks/bench_write.py
# With --no-pyarrow it makes .venv/py3.12-bench-nopyarrow instead: the same
# plus python-calamine, and no pyarrow (pandas 3 then keeps text in Python
# strings, as a plain `pip install pandas` without pyarrow gives), for the
# second table of benchmarks/bench_job.py:
#   python=$(bash scripts/bench-venv.sh)   # after scripts/bench-read-venv.sh
#   "$python" benchmarks/bench_job.py --also "$(bash scripts/bench-venv.sh --no-pyarrow)"
set -euo pipefail
cd "$(dirname "$0")/.."
variant=-bench
extra=(pyarrow==26.0.1)
if [ "${1:-}" = "--no-pyarrow" ]; then
    variant=-bench-nopyarrow
    extra=(python-calamine==0.9.1)
fi
VORLATEK_VARIANT=$variant scripts/venv.sh 3.12 >/dev/null
venv=.venv/py3.12$variant
"$venv/bin/python" -m pip install -q --disable-pip-version-check -c constraints/py3.12.txt \
    pyexcelerate==0.13.0 "${extra[@]}" >&2
if [ "$variant" = -bench-nopyarrow ]; then
    "$venv/bin/python" -c 'import importlib.util, sys; sys.exit(importlib.util.find_spec("pyarrow") is not None)' || {
        echo "$venv holds pyarrow; it must not" >&2
        exit 1
    }
fi
echo "$venv/bin/python"
