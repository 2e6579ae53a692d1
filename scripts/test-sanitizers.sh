#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer for
# Python 3.11 (in .venv/py3.11-asan) and runs the whole suite under them.
# Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
export VORLATEK_VARIANT=-asan
python=$(scripts/venv.sh 3.11 -C cmake.define.VORLATEK_SANITIZE=ON)
runtime="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
# The interpreter itself is not instrumented: load the runtimes first, leave
# leak detection off (the interpreter keeps memory until exit by design) and
# let every allocation go through malloc so ASan sees it.
LD_PRELOAD="$runtime" \
ASAN_OPTIONS="detect_leaks=0:abort_on_error=1" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
PYTHONMALLOC=malloc \
    "$(dirname "$python")/pytest" -q -p no:faulthandler "$@"
