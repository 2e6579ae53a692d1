#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer for
# Python 3.11 (in .venv/py3.11-asan) and runs the native-path tests under them
# (scripts/native-tests.sh; the scale cases too when VORLATEK_SCALE=1). Extra
# arguments go to pytest in place of that list.
set -euo pipefail
cd "$(dirname "$0")/.."
export VORLATEK_VARIANT=-asan
python=$(scripts/venv.sh 3.11 -C cmake.define.VORLATEK_SANITIZE=ON)
source scripts/native-tests.sh
tests=("$@")
if [ ${#tests[@]} -eq 0 ]; then
    tests=("${native_tests[@]}")
fi
runtime="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
# The interpreter itself is not instrumented: load the runtimes first, leave
# leak detection off (the interpreter keeps memory until exit by design) and
# let every allocation go through malloc so ASan sees it.
LD_PRELOAD="$runtime" \
ASAN_OPTIONS="detect_leaks=0:abort_on_error=1" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
PYTHONMALLOC=malloc \
    "$(dirname "$python")/pytest" -q -p no:faulthandler -n "${VORLATEK_TEST_WORKERS:-2}" "${tests[@]}"
