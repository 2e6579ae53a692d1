#!/usr/bin/env bash
# Builds the module with clang (clang++-16 unless VORLATEK_CXX says otherwise)
# for Python 3.13 (unless VORLATEK_PYTHONS says otherwise), in its own venv and
# build tree (.venv/py<version>-clang, build/py<version>-clang), checks that
# CMake configured that tree with clang, and runs the native-path tests
# (scripts/native-tests.sh) against that build, without the scale pass. Extra
# arguments go to pytest in place of that list.
set -euo pipefail
cd "$(dirname "$0")/.."
export VORLATEK_VARIANT=-clang
export VORLATEK_CXX=${VORLATEK_CXX:-clang++-16}
export VORLATEK_PYTHONS=${VORLATEK_PYTHONS:-3.13}
if ! command -v "$VORLATEK_CXX" >/dev/null 2>&1; then
    echo "$VORLATEK_CXX is not installed (Debian: apt-get install clang-16)" >&2
    exit 1
fi
"$VORLATEK_CXX" --version | head -n 1
for version in $VORLATEK_PYTHONS; do
    scripts/venv.sh "$version" >/dev/null
    # The compiler CMake configured this build tree with.
    compiler=$(grep -h 'set(CMAKE_CXX_COMPILER_ID "' build/py"$version"-clang/CMakeFiles/*/CMakeCXXCompiler.cmake)
    if [[ $compiler != *'"Clang"'* ]]; then
        echo "build/py$version-clang was not configured with clang: $compiler" >&2
        exit 1
    fi
done
source scripts/native-tests.sh
tests=("$@")
if [ ${#tests[@]} -eq 0 ]; then
    tests=("${native_tests[@]}")
fi
VORLATEK_SCALE_PYTHON=none exec bash scripts/test.sh "${tests[@]}"
