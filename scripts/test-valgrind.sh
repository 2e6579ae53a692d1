#!/usr/bin/env bash
# Runs the call-interface and cell-addressing tests under valgrind's memcheck
# against a build with debug information for Python 3.11 (in
# .venv/py3.11-valgrind). Fails when valgrind reports any error. Extra
# arguments go to pytest (default: the two test files).
#
# Suppressions: Debian's file for the interpreter, plus
# scripts/valgrind-python.supp for reports from inside the pyenv interpreter
# that Debian's file does not cover. Neither may name a frame of this module.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v valgrind >/dev/null 2>&1; then
    echo "valgrind is not installed" >&2
    exit 1
fi
export VORLATEK_VARIANT=-valgrind
python=$(scripts/venv.sh 3.11 -C cmake.build-type=RelWithDebInfo)
debian_supp=/usr/lib/valgrind/python3.supp
suppressions=(--suppressions=scripts/valgrind-python.supp)
if [ -f "$debian_supp" ]; then
    suppressions+=(--suppressions="$debian_supp")
fi
if grep -qi 'excelTools' scripts/valgrind-python.supp; then
    echo "scripts/valgrind-python.supp must not suppress anything in the module" >&2
    exit 1
fi
tests=("$@")
if [ ${#tests[@]} -eq 0 ]; then
    tests=(tests/test_call_interface.py tests/test_cell_address.py)
fi
# Tracing where an uninitialised value came from makes memcheck about 1.7
# times slower; the run finds the same errors without it, so it is asked for
# (VORLATEK_VALGRIND_ORIGINS=1) when an error needs explaining.
origins=no
if [ "${VORLATEK_VALGRIND_ORIGINS:-0}" = 1 ]; then
    origins=yes
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# pytest's own entry point keeps the checkout off sys.path (the tests must
# import the installed build). Every allocation goes through malloc, so memcheck sees each object; leaks are
# not checked (the interpreter keeps memory until exit by design).
status=0
PYTHONMALLOC=malloc valgrind --tool=memcheck --error-exitcode=99 --leak-check=no \
    --track-origins="$origins" --num-callers=40 --log-file="$log" "${suppressions[@]}" \
    "$(dirname "$python")/pytest" -q -p no:faulthandler "${tests[@]}" || status=$?
grep -E '^==[0-9]+== (ERROR SUMMARY|Invalid|Conditional|Use of|Syscall|Mismatched)' "$log" \
    | sort | uniq -c || true
if [ "$status" -ne 0 ]; then
    cat "$log" >&2
    echo "valgrind run failed with status $status" >&2
    if [ "$origins" = no ]; then
        echo "(VORLATEK_VALGRIND_ORIGINS=1 bash scripts/test-valgrind.sh traces uninitialised values to their origin)" >&2
    fi
    exit 1
fi
