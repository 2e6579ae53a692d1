#!/usr/bin/env bash
# Builds the module's wheel for one interpreter from this checkout, warnings as
# errors, and prints its path (build/wheels/py<version><variant>-<key>/).
#   scripts/wheel.sh VERSION PYTHON [pip config arguments, e.g. -C cmake.build-type=Debug]
# PYTHON must hold the build tools (a venv of scripts/venv.sh). The build tree
# is build/py<version><VORLATEK_BUILD_VARIANT>, so a rebuild compiles only what
# changed; a lock on it lets steps that run side by side share it.
#
# A finished wheel is also kept under ${VORLATEK_CACHE:-~/.cache/vorlatek}/wheels/,
# keyed by a hash of everything that goes into it: the sources as they stand
# (tracked and untracked files alike), this script, the interpreter, the
# scikit-build-core release, the compiler and its flags, and the arguments.
# A later run or another checkout of the same sources takes it from there
# instead of compiling. VORLATEK_CACHE=none keeps and takes nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
version=$1
python=$2
shift 2
variant=${VORLATEK_BUILD_VARIANT:-}
tree=build/py$version$variant
cache=${VORLATEK_CACHE:-$HOME/.cache/vorlatek}
mkdir -p build

key() {
    {
        if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
            git ls-files -z --cached --others --exclude-standard -- vorlatek pyproject.toml \
                | xargs -0 sha256sum 2>/dev/null || true  # a deleted file changes the key too
        else
            find vorlatek pyproject.toml -type f -not -path '*/__pycache__/*' -print0 | sort -z \
                | xargs -0 sha256sum
        fi
        sha256sum scripts/wheel.sh
        "$python" -c 'import sys, sysconfig, importlib.metadata as m
print(sys.version, sysconfig.get_config_var("EXT_SUFFIX"), m.version("scikit_build_core"))'
        "${CXX:-c++}" --version | head -n 1
        echo "CXX=${CXX:-} CXXFLAGS=${CXXFLAGS:-} args=$*"
    } | sha256sum | cut -c1-24
}

name=py$version$variant-$(key "$@")
out=$PWD/build/wheels/$name
exec 9>"$tree.lock"
flock 9
# The folder is named by the key, so a wheel found there is this one; steps
# running side by side never remove a wheel another one is installing.
if ls "$out"/vorlatek-*.whl >/dev/null 2>&1; then
    touch "$out"
else
    rm -rf "$out.partial"
    mkdir -p "$out.partial"
    stored=$cache/wheels/$name
    if [ "$cache" != none ] && ls "$stored"/vorlatek-*.whl >/dev/null 2>&1; then
        cp "$stored"/vorlatek-*.whl "$out.partial"/
        touch "$stored"
    else
        "$python" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation \
            -C "build-dir=$tree" -C cmake.define.VORLATEK_WERROR=ON "$@" -w "$out.partial" . >&2
        if [ "$cache" != none ]; then
            # Stored whole or not at all: a half-copied wheel is never found.
            mkdir -p "$cache/wheels"
            partial=$(mktemp -d "$cache/wheels/.partial.XXXXXX")
            cp "$out.partial"/vorlatek-*.whl "$partial"/
            rm -rf "$stored"
            mv "$partial" "$stored" 2>/dev/null || rm -rf "$partial"
            # Wheels neither made nor used for two weeks go.
            find "$cache/wheels" -mindepth 1 -maxdepth 1 -type d -mtime +14 -exec rm -rf {} + 2>/dev/null || true
        fi
    fi
    mv "$out.partial" "$out"
    # The checkout keeps the wheels of the last day.
    find build/wheels -mindepth 1 -maxdepth 1 -type d -mmin +1440 -exec rm -rf {} + 2>/dev/null || true
fi
ls "$out"/vorlatek-*.whl
