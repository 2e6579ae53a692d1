#!/usr/bin/env bash
# Prints the supported Python versions, from the module's own list
# (vorlatek/excelTools/library_check/pythons.inc), space-separated:
#   scripts/pythons.sh          all of them (3.8 ... 3.15)
#   scripts/pythons.sh --root   those CI takes from the Debian unstable root
set -euo pipefail
list=$(dirname "$0")/../vorlatek/excelTools/library_check/pythons.inc
if [ "${1:-}" = --root ]; then
    pattern='^PYTHON\(([0-9]+), debian_root\)'
else
    pattern='^PYTHON\(([0-9]+), [a-z_]+\)'
fi
grep -E "$pattern" "$list" | sed -E "s/$pattern.*/3.\\1/" | paste -sd' '
