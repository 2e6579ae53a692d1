#!/usr/bin/env bash
# Builds the module for every supported interpreter (3.8 to 3.15 unless
# VORLATEK_PYTHONS says otherwise) in its own virtual environment and runs the
# test suite against the installed build; an interpreter this machine lacks
# but the Debian unstable root carries (3.14, 3.15) runs there
# (scripts/debian-root.sh, which needs root). Then the scale pass once: the cases
# marked `scale` (large workbooks, leak and thread loops, children under
# limits) on one interpreter (VORLATEK_SCALE_PYTHON, default 3.12 when listed,
# else the last one listed; "none" leaves the pass out). Extra arguments go to
# pytest; VORLATEK_TEST_WORKERS sets pytest-xdist's worker count (default 2,
# 0 runs in one process).
set -euo pipefail
cd "$(dirname "$0")/.."
# The suite writes only under temporary folders; the check at the end fails
# on any file it left in the checkout.
before=$(bash scripts/check-checkout-clean.sh)
pythons=(${VORLATEK_PYTHONS:-$(scripts/pythons.sh)})
scale_python=${VORLATEK_SCALE_PYTHON:-}
if [ -z "$scale_python" ]; then
    scale_python=${pythons[-1]}
    if [[ " ${pythons[*]} " == *" 3.12 "* ]]; then
        scale_python=3.12
    fi
fi
workers=${VORLATEK_TEST_WORKERS:-2}
parallel=()
if [ "$workers" != 0 ]; then
    parallel=(-n "$workers")
fi
failed=()
in_root=()
for version in "${pythons[@]}"; do
    if ! scripts/find-python.sh "$version" >/dev/null 2>&1; then
        if [[ " $(scripts/pythons.sh --root) " == *" $version "* ]]; then
            in_root+=("$version")
            continue
        fi
    fi
    echo "=== Python $version: build"
    start=$(date +%s)
    python=$(scripts/venv.sh "$version")
    echo "=== Python $version: tests (built in $(( $(date +%s) - start )) s)"
    start=$(date +%s)
    # pytest's own entry point keeps the checkout off sys.path, so the tests
    # import the installed extension and never the source folder.
    if ! "$(dirname "$python")/pytest" -q "${parallel[@]}" "$@"; then
        failed+=("$version")
    fi
    echo "=== Python $version: tests took $(( $(date +%s) - start )) s"
done
if [ ${#in_root[@]} -gt 0 ]; then
    echo "=== Python ${in_root[*]}: in the Debian unstable root"
    if ! VORLATEK_PYTHONS="${in_root[*]}" VORLATEK_SCALE_PYTHON=none \
            scripts/debian-root.sh bash scripts/test.sh "$@"; then
        failed+=("${in_root[@]}")
    fi
fi
if [ "$scale_python" != none ]; then
    echo "=== Python $scale_python: the scale pass"
    start=$(date +%s)
    python=$(scripts/venv.sh "$scale_python")
    status=0
    VORLATEK_SCALE=only "$(dirname "$python")/pytest" -q "${parallel[@]}" "$@" || status=$?
    # Status 5: the arguments selected no scale case, which is no failure.
    if [ "$status" -ne 0 ] && [ "$status" -ne 5 ]; then
        failed+=("$scale_python (scale pass)")
    fi
    echo "=== Python $scale_python: the scale pass took $(( $(date +%s) - start )) s"
fi
if [ ${#failed[@]} -gt 0 ]; then
    echo "tests failed on Python ${failed[*]}"
    exit 1
fi
bash scripts/check-checkout-clean.sh "$before"
