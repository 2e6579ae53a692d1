#!/usr/bin/env bash
# Makes (or refreshes) .venv/py<version>-lxml: the pinned libraries plus lxml,
# so that openpyxl serialises through lxml instead of its own writer, and the
# module's plain wheel for this checkout. Prints the venv's python.
set -euo pipefail
cd "$(dirname "$0")/.."
version=${1:-3.12}
shift || true
python=$(VORLATEK_VARIANT=-lxml VORLATEK_BUILD_VARIANT= scripts/venv.sh "$version" "$@")
"$python" -m pip install -q --disable-pip-version-check -c "constraints/lxml.txt" lxml >&2
echo "$python"
