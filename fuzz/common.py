"""What every harness shares: the fuzzer's entry, a scratch folder, and text
shaped like what the module parses."""
import os
import sys
import tempfile
import warnings

import atheris

# Characters that steer the cell-reference parser and the column arithmetic:
# ASCII letters and digits, other decimal digits, digit-like characters that
# are not decimal, letters outside ASCII (some change length when upper-cased),
# separators and a lone surrogate.
ALPHABET = (
    "ABCFXZabfxz" "0123789"
    "\u0660\u0663\u06f5\u0966\uff10\uff19\U0001d7ce"
    "\u00b2\u2163\u2460\u00bd"
    "\u00e9\u00df\u0149\ufb03\u212a\u0130\u0131\uff21"
    " $!:,._-\t\n\x00\"'@[`{\ud800"
)


def shaped_text(fdp, max_length=24):
    """Text from the fuzzer's bytes: mostly over ALPHABET, sometimes any code points."""
    if fdp.ConsumeIntInRange(0, 3) == 0:
        return fdp.ConsumeUnicode(max_length)
    length = fdp.ConsumeIntInRange(0, max_length)
    return "".join(ALPHABET[fdp.ConsumeIntInRange(0, len(ALPHABET) - 1)] for _ in range(length))


def scratch_folder(name):
    """A private folder for the files a harness writes: inside the one
    scripts/fuzz.sh made (and removes), or a new temporary one."""
    return tempfile.mkdtemp(prefix=f"{name}-", dir=os.environ.get("VORLATEK_FUZZ_SCRATCH"))


def run(test_one_input):
    # The libraries' warnings about odd input would only drown the fuzzer's output.
    warnings.simplefilter("ignore")
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


class Broken(BaseException):
    """A property the harness checks does not hold. Not an Exception, so no
    handler of the module swallows it; the fuzzer reports it as a crash."""


def expect(condition, *details):
    if not condition:
        raise Broken(*details)

