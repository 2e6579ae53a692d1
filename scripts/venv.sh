#!/usr/bin/env bash
# Makes (or refreshes) .venv/py<version> with the pinned libraries and the
# module's wheel for this checkout (scripts/wheel.sh: built with warnings as
# errors, or taken from the wheel cache when these sources were built before).
# Prints the venv's python. Extra arguments go to the build (e.g.
# -C cmake.define.VORLATEK_SANITIZE=ON).
# VORLATEK_VARIANT names a separate venv and build tree (e.g. -clang);
# VORLATEK_BUILD_VARIANT, when set, names the build tree apart from the venv
# (empty: the interpreter's plain build, for a venv that differs only in its
# libraries); VORLATEK_CXX chooses the compiler (e.g. clang++-16).
set -euo pipefail
cd "$(dirname "$0")/.."
version=$1
shift
python=$(scripts/find-python.sh "$version")
venv=.venv/py$version${VORLATEK_VARIANT:-}
export VORLATEK_BUILD_VARIANT=${VORLATEK_BUILD_VARIANT-${VORLATEK_VARIANT:-}}
if [ -n "${VORLATEK_CXX:-}" ]; then
    export CXX=$VORLATEK_CXX
fi
if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv" >&2
fi
quiet=(-q --disable-pip-version-check)
constraints=(-c "constraints/py$version.txt")
# The libraries are installed again only when the lock file, the tool list or
# the module's own requirements changed since the venv last took them.
libraries=$(cat "constraints/py$version.txt" requirements-dev.txt pyproject.toml | sha256sum | cut -c1-24)
if [ "$(cat "$venv/.vorlatek-libraries" 2>/dev/null)" != "$libraries" ]; then
    "$venv/bin/python" -m pip install "${quiet[@]}" --upgrade pip >&2
    "$venv/bin/python" -m pip install "${quiet[@]}" "${constraints[@]}" -r requirements-dev.txt >&2
fi
wheel=$(scripts/wheel.sh "$version" "$venv/bin/python" "$@")
if [ "$(cat "$venv/.vorlatek-libraries" 2>/dev/null)" != "$libraries" ]; then
    # The module's own requirements, pinned.
    "$venv/bin/python" -m pip install "${quiet[@]}" "${constraints[@]}" "$wheel" >&2
    echo "$libraries" >"$venv/.vorlatek-libraries"
fi
"$venv/bin/python" -m pip install "${quiet[@]}" --no-deps --force-reinstall "$wheel" >&2
echo "$venv/bin/python"
