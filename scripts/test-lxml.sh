#!/usr/bin/env bash
# The writer's tests with lxml installed, so that openpyxl writes through lxml
# (whose bytes differ from its own writer's): builds .venv/py3.12-lxml and runs
# the save route's differential test and the writer's tests there. Extra
# arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
python=$(scripts/venv-lxml.sh 3.12)
"$python" -c 'import openpyxl, sys; sys.exit(0 if openpyxl.LXML else "openpyxl does not use lxml")'
"$(dirname "$python")/pytest" -q -n "${VORLATEK_TEST_WORKERS:-2}" tests/test_save_route.py tests/test_writer.py "$@"
