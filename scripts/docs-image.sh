#!/usr/bin/env bash
# Renders docs/demo-report.png: the demo's Reconciliation sheet as LibreOffice
# prints it (each sheet on one page sized to its content), at 80 dpi. Needs
# soffice and pdftoppm (Debian: libreoffice-calc-nogui poppler-utils); the
# Japanese item names need a font that covers them (e.g. fonts-ipafont-gothic).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
for tool in soffice pdftoppm; do
    command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
done
if ! fc-list :lang=ja 2>/dev/null | grep -q .; then
    echo "warning: no Japanese font installed; the item names will show as boxes" >&2
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python=$(scripts/venv.sh 3.11)
"$python" demo/reconcile.py --out "$work" >/dev/null
soffice "-env:UserInstallation=file://$work/profile" --headless \
    --convert-to 'pdf:calc_pdf_Export:{"SinglePageSheets":{"type":"boolean","value":"true"}}' \
    --outdir "$work" "$work/reconciliation.xlsx" >/dev/null 2>&1
mkdir -p docs
pdftoppm -r 80 -f 1 -l 1 -singlefile -png "$work/reconciliation.pdf" "$root/docs/demo-report"
echo "wrote docs/demo-report.png"
