#!/usr/bin/env bash
# Makes (or refreshes) .venv/py3.12-bench: the Python 3.12 venv of scripts/venv.sh
# with its own build of the module, plus the peers benchmarks/bench_excel_read.py
# compares against (python-calamine, fastexcel and the pyarrow it needs to hand
# frames to pandas). They stay out of the test venvs: pandas 3.1 warns on every
# default xlsx read while python-calamine can be imported. Prints the venv's python.
set -euo pipefail
cd "$(dirname "$0")/.."
python=$(VORLATEK_VARIANT=-bench scripts/venv.sh 3.12)
"$python" -m pip install -q --disable-pip-version-check -c constraints/py3.12.txt \
    python-calamine==0.9.1 fastexcel==0.21.0 pyarrow==26.0.1 >&2
echo "$python"
