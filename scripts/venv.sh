#!/usr/bin/env bash
# Makes (or refreshes) .venv/py<version> with the pinned libraries and the
# module built from this checkout, warnings as errors. Prints the venv's python.
# VORLATEK_VARIANT names a separate venv and build tree (e.g. -clang);
# VORLATEK_CXX chooses the compiler (e.g. clang++-16).
set -euo pipefail
cd "$(dirname "$0")/.."
version=$1
shift
python=$(scripts/find-python.sh "$version")
venv=.venv/py$version${VORLATEK_VARIANT:-}
if [ -n "${VORLATEK_CXX:-}" ]; then
    export CXX=$VORLATEK_CXX
fi
if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv" >&2
fi
quiet=(-q --disable-pip-version-check)
"$venv/bin/python" -m pip install "${quiet[@]}" --upgrade pip >&2
"$venv/bin/python" -m pip install "${quiet[@]}" -c "constraints/py$version.txt" -r requirements-dev.txt >&2
# The build reuses its own tree per interpreter, so a rebuild compiles only
# what changed; extra arguments go to pip (e.g. -C cmake.define.VORLATEK_SANITIZE=ON).
"$venv/bin/python" -m pip install "${quiet[@]}" -c "constraints/py$version.txt" \
    --no-build-isolation -C "build-dir=build/py$version${VORLATEK_VARIANT:-}" \
    -C cmake.define.VORLATEK_WERROR=ON "$@" . >&2
echo "$venv/bin/python"
