"""Runs the reconciliation demo the way a person does, in a child process."""
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
DEMO_DIR = ROOT / "demo"

# What the sample files hold, worked out by hand from demo/make_samples.py:
# ten report rows, eleven export rows; A-1003 twice on both sides pairs
# twice; A-1005 twice in the export but once in the report leaves one export
# row; B-2003 is only in the report, C-3001 only in the export; B-2001
# differs by 1000.
# Matched rows stand in report order.
MATCHED_CODES = ["A-1001", "A-1002", "A-1003", "A-1003", "A-1004",
                 "A-1005", "B-2001", "B-2002", "A-1006"]
UNMATCHED = [("report", 14, "B-2003"), ("export", 8, "A-1005"), ("export", 11, "C-3001")]
DIFFERENCES = {"B-2001": 1000}


def run_demo(out_dir):
    """(completed process, path of the workbook) of one demo run into out_dir."""
    done = subprocess.run(
        [sys.executable, str(DEMO_DIR / "reconcile.py"), "--out", str(out_dir)],
        capture_output=True, text=True, timeout=300, cwd=str(out_dir))
    return done, pathlib.Path(out_dir) / "reconciliation.xlsx"
