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

# The runtime that holds libFuzzer and the sanitizers goes in first; leaks
# stay unchecked (the interpreter keeps memory until exit by design).
runtime="$("$python" -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
out=$root/build/fuzz
VORLATEK_FUZZ_SCRATCH=$(mktemp -d)
export VORLATEK_FUZZ_SCRATCH
trap 'rm -rf "$VORLATEK_FUZZ_SCRATCH"' EXIT

failed=()
for target in ${VORLATEK_FUZZ_TARGETS:-cell_address call_shapes format_routes write_routes csv_reader excel_reader excel_route}; do
    echo "=== fuzz $target for $seconds s"
    # New inputs go to the first folder; the seeds in the checkout are only read.
    mkdir -p "$out/$target/corpus"
    # Each target runs from the scratch folder, so a file written by a call the
    # harness did not foresee lands there, not in the checkout.
    if ! (cd "$VORLATEK_FUZZ_SCRATCH" && LD_PRELOAD="$runtime" "$python" "$root/fuzz/$target.py" \
            -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
            -artifact_prefix="$out/$target/" "$out/$target/corpus" "$root/fuzz/corpus/$target") \
            >"$out/$target/log" 2>&1; then
        failed+=("$target")
        tail -n 60 "$out/$target/log"
    fi
    grep -E 'DONE +cov|stat::number_of_executed_units' "$out/$target/log" || true
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzzing found problems in: ${failed[*]} (inputs and logs in build/fuzz/)"
    exit 1
fi
