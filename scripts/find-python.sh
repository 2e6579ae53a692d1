#!/usr/bin/env bash
# Prints the path of a CPython interpreter of the given minor version (e.g. 3.8),
# preferring pyenv's installs, then pythonX.Y on PATH.
set -euo pipefail
want=$1
root=${PYENV_ROOT:-$HOME/.pyenv}
for candidate in $(ls -d "$root"/versions/"$want".* 2>/dev/null | sort -V -r); do
    if [ -x "$candidate/bin/python$want" ]; then
        echo "$candidate/bin/python$want"
        exit 0
    fi
done
if command -v "python$want" >/dev/null 2>&1; then
    command -v "python$want"
    exit 0
fi
echo "no Python $want found" >&2
exit 1
