"""Running a piece of Python in a separate interpreter, for reads and writes
that might take the whole process down: the parent sees the return code, the
output and a time limit, and survives whatever the child does."""
import json
import os
import signal
import subprocess
import sys

# The sanitizer run preloads the AddressSanitizer runtime; children inherit
# it (they must: the module is instrumented). It reserves terabytes of
# address space up front, so an address-space limit cannot work there.
UNDER_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")

# Prepended to every child's code: the tests' folder on the path, and the
# helpers a child reports with.
PRELUDE = r"""
import json, os, resource, sys
sys.path.insert(0, {tests!r})

def peak_kb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss

def limit_address_space(extra_mb):
    # The current size plus `extra_mb`: the imports already made keep working.
    with open("/proc/self/status") as status:
        size_kb = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
    limit = (size_kb + extra_mb * 1024) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

def report(value):
    sys.stdout.write("\nREPORT " + json.dumps(value) + "\n")
    sys.stdout.flush()
"""

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))


def child_command(code):
    return [sys.executable, "-c", PRELUDE.format(tests=TESTS_DIR) + code]


def run_child(code, args=(), timeout=60, cwd=None, wrapper=()):
    """Runs `code` with `args` in sys.argv[1:]; returns (returncode, report,
    stderr), where report is the value the child passed to report() (None if
    it never did). A child that exceeds `timeout` seconds is killed and the
    test fails. `cwd` must not be the checkout (the source folder would shadow
    the installed module). `wrapper` is a command the child runs under, such
    as a tracer with its options."""
    try:
        done = subprocess.run([*wrapper, *child_command(code), *map(str, args)], cwd=cwd or "/",
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired as expired:
        raise AssertionError(f"child still running after {timeout} s: {expired.stderr!r}")
    report = None
    for line in done.stdout.splitlines():
        if line.startswith("REPORT "):
            report = json.loads(line[len("REPORT "):])
    return done.returncode, report, done.stderr


def describe_return_code(code):
    if code < 0:
        return f"killed by {signal.Signals(-code).name}"
    return f"exit status {code}"
