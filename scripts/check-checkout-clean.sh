#!/usr/bin/env bash
# check-checkout-clean.sh BEFORE: fails when the checkout's untracked or
# modified files (as `git status --porcelain` lists them; build/, .venv/ and
# dist/ are ignored) differ from BEFORE, the same listing taken before the
# checks ran. Prints the listing when called without an argument. Outside a
# git checkout it does nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    exit 0
fi
now=$(git status --porcelain --untracked-files=all)
if [ $# -eq 0 ]; then
    printf '%s' "$now"
    exit 0
fi
if [ "$now" != "$1" ]; then
    echo "the checks left files in the checkout:"
    diff <(printf '%s\n' "$1") <(printf '%s\n' "$now") | sed -n 's/^> /  /p'
    exit 1
fi
