"""Coverage-guided fuzzing of vexil.loads, with json as the oracle.

Run through scripts/fuzz.sh, which builds vexil with sanitizer coverage,
AddressSanitizer and UndefinedBehaviorSanitizer and preloads atheris'
runtime. Each input is decoded as UTF-8 (invalid bytes become lone
surrogates, which have no UTF-8 form and take json's path) and must give:
the value json.loads gives, bit for bit; or json's own JSONDecodeError
(message and position); or, for what vexil refuses on top of json (NaN,
Infinity, floats that overflow, integers over the digit limit, deep
nesting), exactly what vexil's json-scanner path gives.
"""

import json
import math
import struct
import sys

import atheris

import vexil


class Sub(str):
    """A str subclass always goes through json's scanner."""


def same(a, b):
    """Equal with types, float bits, and key order (no recursion: texts nest deep)."""
    pairs = [(a, b)]
    while pairs:
        a, b = pairs.pop()
        if type(a) is not type(b):
            return False
        if isinstance(a, float):
            if struct.pack("<d", a) != struct.pack("<d", b):
                return False
        elif isinstance(a, list):
            if len(a) != len(b):
                return False
            pairs.extend(zip(a, b))
        elif isinstance(a, dict):
            if list(a) != list(b):
                return False
            pairs.extend((a[k], b[k]) for k in a)
        elif a != b:
            return False
    return True


def outcome(text):
    try:
        return ("value", vexil.loads(text))
    except json.JSONDecodeError as error:
        return ("error", error.msg, error.pos, error.lineno, error.colno)


def refuse_constant(name):
    raise ValueError(name)


def finite_float(text):
    value = float(text)
    if math.isinf(value):
        raise ValueError(text)
    return value


def test_one_input(data):
    text = data.decode("utf-8", "surrogateescape")
    got = outcome(text)
    reference = outcome(Sub(text))
    if got[0] != reference[0] or (got[0] == "value" and not same(got[1], reference[1])) or (
            got[0] == "error" and got != reference):
        raise AssertionError(f"native and json paths differ: {got!r:.300} != {reference!r:.300}")
    try:
        expected = json.loads(text, parse_constant=refuse_constant, parse_float=finite_float)
    except json.JSONDecodeError as error:
        # The depth at which the interpreter stops json's recursion depends on
        # the caller's stack: json.loads, called from here, may get further
        # than vexil's scanner and meet a syntax error first.
        if got[:2] != ("error", "Nesting too deep") and got != (
                "error", error.msg, error.pos, error.lineno, error.colno):
            raise AssertionError(f"json refuses as {error!r}, vexil gives {got!r:.300}")
    except (ValueError, RecursionError):
        if got[0] != "error":
            raise AssertionError(f"vexil took what it must refuse: {got!r:.300}")
    else:
        if got[0] != "value" or not same(got[1], expected):
            raise AssertionError(f"json gives {expected!r:.300}, vexil {got!r:.300}")


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
