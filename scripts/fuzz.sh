#!/usr/bin/env bash
# Coverage-guided fuzzing of the native code: builds the module with clang-16,
# libFuzzer coverage and AddressSanitizer + UndefinedBehaviorSanitizer (in
# .venv/fuzz-py3.11, with atheris built from source by the same clang), then
# runs every harness in fuzz/ for SECONDS each (default 30) from its seed corpus
# in fuzz/corpus/<target>/. New inputs go to build/fuzz/, never into the
# checkout. Exits non-zero on any crash, sanitizer report or broken property.
# Needs clang-16 and libclang-rt-16-dev (Debian).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-30}
command -v clang++-16 >/dev/null || { echo "clang++-16 is missing (apt: clang-16 libclang-rt-16-dev)" >&2; exit 1; }

version=3.11
venv=.venv/fuzz-py$version
quiet=(-q --disable-pip-version-check)
constraints=(-c "constraints/py$version.txt")
if [ ! -x "$venv/bin/python" ]; then
    "$(scripts/find-python.sh "$version")" -m venv "$venv" >&2
fi
python=$root/$venv/bin/python
"$python" -m pip install "${quiet[@]}" "${constraints[@]}" -r requirements-dev.txt >&2
# The PyPI wheel of atheris lacks the runtime that joins the sanitizers with
# libFuzzer; built from source with clang-16 it brings asan_with_fuzzer.so.
if ! "$python" -c 'import atheris' 2>/dev/null; then
    CLANG_BIN="$(command -v clang-16)" "$python" -m pip install "${quiet[@]}" "${constraints[@]}" \
        --no-binary atheris atheris >&2
fi
# Coverage and sanitizers in the compile flags only: the sanitizer symbols then
# resolve to the preloaded runtime, which also holds libFuzzer's counters. The
# flags go in as a cache entry, so a change to them reaches an existing build
# tree. UBSan's vptr and function checks need runtime parts that runtime lacks.
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize=vptr,function"
flags+=" -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g -O1"
CXX=clang++-16 "$python" -m pip install "${quiet[@]}" "${constraints[@]}" --no-build-isolation \
    -C "build-dir=build/fuzz-py$version" -C cmake.define.CMAKE_CXX_SCAN_FOR_MODULES=OFF \
    -C "cmake.define.CMAKE_CXX_FLAGS=$flags" . >&2
