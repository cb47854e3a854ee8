"""Property tests: vexil's settings text against the json module it mirrors.

Seeded (derandomize) and bounded, so every run checks the same examples fast.
"""

import enum
import json
import math

from hypothesis import given, settings
from hypothesis import strategies as st

import vexil

fuzz = settings(derandomize=True, max_examples=150, deadline=None, database=None)

# Text with the characters that need care: quotes, controls, DEL, non-ASCII,
# astral characters and lone surrogates.
text = st.text(
    alphabet=st.one_of(
        st.characters(codec="utf-8"),
        st.sampled_from(['"', "\\", "\x00", "\x1f", "\x7f", "é", "\u2028", "🎉", "\ud800", "\udfff"]),
    ),
    max_size=12,
)
numbers = st.one_of(
    st.integers(),
    st.sampled_from([2**63, -(2**63) - 1, 10**40, -0.0, 5e-324, 1e16, 1e-5, 1.7976931348623157e308]),
    st.floats(allow_nan=False, allow_infinity=False),
)
scalars = st.one_of(text, numbers, st.booleans(), st.none())
settings_like = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.lists(inner, max_size=3).map(tuple),
        st.dictionaries(text, inner, max_size=4),
    ),
    max_leaves=25,
)


@fuzz
@given(settings_like)
def test_dumps_is_json_text_and_reads_back(obj):
    written = vexil.dumps(obj)
    assert written == json.dumps(obj, indent=4) + "\n"
    assert written.isascii()
    assert vexil.loads(written) == json.loads(written)


class Dict(dict):
    pass


class List(list):
    pass


class Tuple(tuple):
    pass


class Str(str):
    pass


class Int(int):
    pass


class Float(float):
    pass


class Number(enum.IntEnum):
    ONE = 1


def subclassed(obj):
    """The same settings built from subclasses, which only json writes."""
    if isinstance(obj, dict):
        return Dict((Str(k), subclassed(v)) for k, v in obj.items())
    if isinstance(obj, list):
        return List(subclassed(v) for v in obj)
    if isinstance(obj, tuple):
        return Tuple(subclassed(v) for v in obj)
    if isinstance(obj, str):
        return Str(obj)
    if isinstance(obj, bool) or obj is None:
        return obj
    if isinstance(obj, int):
        return Number.ONE if obj == 1 else Int(obj)
    return Float(obj)


@fuzz
@given(settings_like)
def test_both_writers_agree(obj):
    assert vexil.dumps(subclassed(obj)) == vexil.dumps(obj)


def has_non_finite(value):
    if isinstance(value, float):
        return not math.isfinite(value)
    if isinstance(value, dict):
        return any(has_non_finite(v) for v in value.values())
    if isinstance(value, list):
        return any(has_non_finite(v) for v in value)
    return False


# Near-JSON text: tokens that parse, tokens that almost do, and noise.
tokens = st.sampled_from(
    ["{", "}", "[", "]", ",", ":", " ", "\n", '"a"', '"\\u00e9"', '"', "\\", "true", "nul", "NaN", "-Infinity",
     "0", "-1", "12.5", "1e5", "2E+400", "-1e-400", "1" + "0" * 320, ".5", "é", "\ufeff", "\ud800"]
)
texts = st.one_of(st.text(max_size=20), st.lists(tokens, max_size=16).map("".join))


@fuzz
@given(texts)
def test_loads_agrees_with_json_or_refuses(source):
    try:
        expected = json.loads(source)
    except ValueError:
        expected = ValueError
    try:
        got = vexil.loads(source)
    except json.JSONDecodeError as error:
        assert error.lineno >= 1 and error.colno >= 1
        # vexil refuses only what json refuses, and NaN, Infinity and overflow.
        assert expected is ValueError or has_non_finite(expected)
        return
    assert expected is not ValueError and got == expected
