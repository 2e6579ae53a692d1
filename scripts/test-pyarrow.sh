#!/usr/bin/env bash
# The placement's differential tests with pyarrow installed, as a plain
# `pip install pandas pyarrow` has it: pandas 3 then keeps every text column
# in pyarrow, whose values the placement takes in bulk. Builds
# .venv/py3.12-pyarrow (the pinned libraries plus pyarrow) and runs
# tests/test_cells_route.py there. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
python=$(VORLATEK_VARIANT=-pyarrow VORLATEK_BUILD_VARIANT= scripts/venv.sh 3.12)
"$python" -m pip install -q --disable-pip-version-check -c constraints/py3.12.txt \
    -c constraints/pyarrow.txt pyarrow >&2
"$python" -c 'import pandas as pd, sys; sys.exit(0 if type(pd.Series(["a"]).array).__name__ == "ArrowStringArray" else "pandas does not keep texts in pyarrow")'
"$(dirname "$python")/pytest" -q -n "${VORLATEK_TEST_WORKERS:-2}" tests/test_cells_route.py "$@"
