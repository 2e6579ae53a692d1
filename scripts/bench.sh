#!/usr/bin/env bash
# Runs every benchmark on the Python 3.11 build and prints one table of ratios
# against yardsticks measured in the same run. Pass --quick for small sizes.
set -euo pipefail
cd "$(dirname "$0")/.."
python=$(scripts/venv.sh 3.11)
"$python" benchmarks/run_all.py "$@"
