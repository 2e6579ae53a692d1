#!/usr/bin/env bash
# Builds the module for every supported interpreter (3.8, 3.11, 3.12 and 3.13 unless
# VORLATEK_PYTHONS says otherwise) in its own virtual environment and runs the
# whole test suite against the installed build. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
# The suite writes only under temporary folders; the check at the end fails
# on any file it left in the checkout.
before=$(bash scripts/check-checkout-clean.sh)
failed=()
for version in ${VORLATEK_PYTHONS:-3.8 3.11 3.12 3.13}; do
    echo "=== Python $version: build"
    python=$(scripts/venv.sh "$version")
    echo "=== Python $version: tests"
    # pytest's own entry point keeps the checkout off sys.path, so the tests
    # import the installed extension and never the source folder.
    if ! "$(dirname "$python")/pytest" -q "$@"; then
        failed+=("$version")
    fi
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "tests failed on Python ${failed[*]}"
    exit 1
fi
bash scripts/check-checkout-clean.sh "$before"
