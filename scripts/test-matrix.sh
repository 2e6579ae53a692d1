#!/usr/bin/env bash
# The native routes against the pandas and openpyxl releases people run: for
# each combination below, a venv of its own (.venv/matrix-<name>, made from
# constraints/matrix/<name>.txt, wheels only) with the module built from this
# checkout (the wheel scripts/test.sh installs, one per interpreter, shared by
# its venvs; the next venv is made while the current one is tested), then
#   1. scripts/native-routes.py: which routes ran, and their results against
#      the plain libraries; each route must run exactly where the table below
#      expects it to;
#   2. the differential tests of every route expected to run (each test also
#      checks that its route ran); where the reading route is expected to step
#      aside, step 1 has checked that it does, and the module's read is then
#      pandas' own calls, which the pinned suite's reading tests hold;
#   3. every fuzz target's seed corpus, each input run once (no fuzzing).
# VORLATEK_MATRIX_ONLY="name ..." limits the run to some combinations;
# VORLATEK_MATRIX_PART=i/n to every n-th one from the i-th (CI runs 1/2 and 2/2
# side by side); extra arguments go to pytest. Prints each combination's time and the total.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# name, then the routes expected to run natively there (read, format, cells,
# save; "-route" expects the plain library calls). pandas 3 refuses openpyxl
# older than 3.1.5, so openpyxl 3.1.0 to 3.1.4 come beside pandas 2.
combinations=(
    "py3.8-pandas2.0.3-openpyxl3.1.2        -read format cells save"
    "py3.9-pandas2.0.3-openpyxl3.1.3        read format cells save"
    "py3.9-pandas2.1.4-openpyxl3.1.0        -read format cells save"
    "py3.9-pandas2.2.3-openpyxl3.1.2        -read format cells save"
    "py3.10-pandas2.0.3-openpyxl3.1.0       -read format cells save"
    "py3.10-pandas2.1.4-openpyxl3.1.2       -read format cells save"
    "py3.11-pandas2.1.4-openpyxl3.1.5       read format cells save"
    "py3.11-pandas3.1.2-openpyxl3.1.5       read format cells save"
    "py3.11-pandas2.2.3-openpyxl3.1.1       -read format cells save"
    "py3.11-pandas2.3.3-openpyxl3.1.0       -read format cells save"
    "py3.12-pandas2.3.3-openpyxl3.1.3       read format cells save"
    "py3.12-pandas3.0.6-openpyxl3.1.5       read format cells save"
    "py3.13-pandas2.3.3-openpyxl3.1.2-lxml  -read format cells save"
    "py3.14-pandas3.0.6-openpyxl3.1.5       read format cells save"
    "py3.15-pandas3.0.6-openpyxl3.1.5       read format cells save"
)
declare -A route_tests=(
    [read]=tests/test_excel_route_differential.py
    [format]=tests/test_format_fast_path.py
    [cells]=tests/test_cells_route.py
    [save]=tests/test_save_route.py
)
fuzz_targets=(cell_address call_shapes format_routes write_routes csv_reader excel_reader excel_route)
quiet=(-q --disable-pip-version-check)

scratch=$(mktemp -d)
preparing=
trap 'if [ -n "$preparing" ]; then kill "$preparing" 2>/dev/null || true; fi; rm -rf "$scratch"' EXIT

# The module's wheel for one interpreter: the one scripts/test.sh installs in
# .venv/py<version> (scripts/wheel.sh finds it by its key, or builds it for
# both when this comes first), built once per interpreter and sources.
wheel_for() {
    local version=$1 python=$2
    if [ ! -f "$scratch/wheel-$version" ]; then
        scripts/wheel.sh "$version" "$python" >"$scratch/wheel-$version"
    fi
    cat "$scratch/wheel-$version"
}

# check_routes PYTHON EXPECTED...: native-routes.py's report against the
# expectation, from outside the checkout (its source folder holds no module).
check_routes() {
    local python=$1
    shift
    (cd "$scratch" && "$python" "$root/scripts/native-routes.py" --json) >"$scratch/routes.json"
    "$python" - "$scratch/routes.json" "$@" <<'EOF'
import json, sys
report = json.load(open(sys.argv[1]))
expected = {name.lstrip("-"): not name.startswith("-") for name in sys.argv[2:]}
wrong = [f"{name} {'expected native, ran the plain calls' if want else 'expected the plain calls, ran natively'}"
         for name, want in expected.items() if report["native"].get(name) != want]
print("routes:", ", ".join(f"{k} {'native' if v else 'plain'}" for k, v in sorted(report["native"].items())))
for problem in report["errors"] + wrong:
    print("  MISMATCH:", problem)
sys.exit(1 if report["errors"] or wrong else 0)
EOF
}

replay_seeds() {
    local python=$1 version=$2 target status=0 replayed=()
    if ! "$python" -c "import atheris" 2>/dev/null; then
        # atheris publishes no wheel for the newest Pythons, and the Debian
        # root has no clang to build one: the differential tests still ran.
        echo "seed corpora not replayed: atheris is not installable for Python $version here"
        return 0
    fi
    export VORLATEK_FUZZ_SCRATCH=$scratch/fuzz
    mkdir -p "$VORLATEK_FUZZ_SCRATCH"
    for target in "${fuzz_targets[@]}"; do
        # call_shapes calls PyObject_Vectorcall through ctypes: an exported
        # function from 3.11 on, an inline in the headers before.
        if [ "$target" = call_shapes ] && [[ $version == 3.[89] || $version == 3.10 ]]; then
            continue
        fi
        replayed+=("$target")
        # Files (not folders) as arguments: libFuzzer runs each once and stops.
        if ! "$python" "fuzz/$target.py" fuzz/corpus/"$target"/* >"$scratch/$target.log" 2>&1; then
            echo "seed corpus of $target FAILED:"
            tail -n 40 "$scratch/$target.log"
            status=1
        fi
    done
    echo "seed corpora replayed: ${replayed[*]}"
    return "$status"
}

# The venv of a combination with its libraries (not the module yet); its
# output goes to a log, printed when the venv is used.
prepare() {
    local name=$1 version=${1%%-*}
    version=${version#py}
    {
        if [ ! -x ".venv/matrix-$name/bin/python" ]; then
            "$(scripts/find-python.sh "$version")" -m venv ".venv/matrix-$name"
        fi
        # The pip a venv comes with may predate -C (config settings).
        ".venv/matrix-$name/bin/python" -m pip install "${quiet[@]}" --upgrade pip
        # The venv serves one run: its modules are compiled as they are
        # imported, not all at install.
        ".venv/matrix-$name/bin/python" -m pip install "${quiet[@]}" --only-binary=:all: --no-compile \
            -r "constraints/matrix/$name.txt"
    } >"$scratch/prepare-$name.log" 2>&1
}

selected=()
part=${VORLATEK_MATRIX_PART:-1/1}
for k in "${!combinations[@]}"; do
    line=${combinations[$k]}
    read -r name _ <<<"$line"
    if [ $(( k % ${part#*/} )) -ne $(( ${part%/*} - 1 )) ]; then
        continue
    fi
    if [ -z "${VORLATEK_MATRIX_ONLY:-}" ] || [[ " $VORLATEK_MATRIX_ONLY " == *" $name "* ]]; then
        selected+=("$line")
    fi
done

if [ ${#selected[@]} -eq 0 ]; then
    echo "no combination named in VORLATEK_MATRIX_ONLY" >&2
    exit 1
fi
# Combinations on a Python this machine lacks but the Debian unstable root
# carries run there, after the others (as scripts/test.sh does).
on_host=()
in_root=()
for line in "${selected[@]}"; do
    read -r name _ <<<"$line"
    version=${name%%-*}
    version=${version#py}
    if ! scripts/find-python.sh "$version" >/dev/null 2>&1 &&
            [[ " $(scripts/pythons.sh --root) " == *" $version "* ]]; then
        in_root+=("$name")
    else
        on_host+=("$line")
    fi
done
selected=(${on_host[@]+"${on_host[@]}"})
failed=()
began=$(date +%s)
# Each next venv is made (mostly downloads) while the current one is tested.
if [ ${#selected[@]} -gt 0 ]; then
    read -r name _ <<<"${selected[0]}"
    prepare "$name" &
    preparing=$!
fi
for k in "${!selected[@]}"; do
    read -r name expected <<<"${selected[$k]}"
    start=$(date +%s)
    version=${name%%-*}
    version=${version#py}
    echo "=== $name (expected native: $expected)"
    status=0
    wait "$preparing" || status=$?
    cat "$scratch/prepare-$name.log"
    if [ "$status" -ne 0 ]; then
        echo "making the venv of $name failed"
        exit 1
    fi
    if [ $((k + 1)) -lt ${#selected[@]} ]; then
        read -r next _ <<<"${selected[$((k + 1))]}"
        prepare "$next" &
        preparing=$!
    fi
    venv=.venv/matrix-$name
    python=$root/$venv/bin/python
    "$python" -m pip install "${quiet[@]}" --no-deps --force-reinstall "$(wheel_for "$version" "$python")"
    ok=1
    # shellcheck disable=SC2086
    check_routes "$python" $expected || ok=0
    tests=()
    native_read=1
    for route in $expected; do
        if [ "$route" = -read ]; then
            native_read=0
        elif [[ $route != -* ]]; then
            tests+=("${route_tests[$route]}")
        fi
    done
    if [ ${#tests[@]} -gt 0 ]; then
        VORLATEK_EXPECT_NATIVE_READ=$native_read "$venv/bin/pytest" -q -n "${VORLATEK_TEST_WORKERS:-2}" "${tests[@]}" "$@" || ok=0
    fi
    replay_seeds "$python" "$version" || ok=0
    [ "$ok" -eq 1 ] || failed+=("$name")
    echo "=== $name: $([ "$ok" -eq 1 ] && echo passed || echo FAILED), $(( $(date +%s) - start )) s"
done
if [ ${#in_root[@]} -gt 0 ]; then
    echo "=== ${in_root[*]}: in the Debian unstable root"
    VORLATEK_MATRIX_ONLY="${in_root[*]}" VORLATEK_MATRIX_PART=1/1 \
        scripts/debian-root.sh bash scripts/test-matrix.sh "$@" || failed+=("${in_root[@]}")
fi
echo "=== matrix took $(( $(date +%s) - began )) s"
if [ ${#failed[@]} -gt 0 ]; then
    echo "failed: ${failed[*]}"
    exit 1
fi
