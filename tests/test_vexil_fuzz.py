"""vexil against the json module it mirrors, on seeded, bounded examples."""

import enum
import json
import math
import re
import struct

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import vexil
from conftest import examples

fuzz = settings(derandomize=True, max_examples=examples(150), deadline=None, database=None)

# Text with what needs care: quotes, controls, DEL, non-ASCII, astral, lone surrogates.
text = st.text(st.characters(codec="utf-8") | st.sampled_from(
    ['"', "\\", "\x00", "\x1f", "\x7f", "é", "\u2028", "🎉", "\ud800", "\udfff"]), max_size=12)
numbers = st.integers() | st.floats(allow_nan=False, allow_infinity=False) | st.sampled_from(
    [2**63, -(2**63) - 1, 10**40, -0.0, 5e-324, 1e16, 1e-5, 1.7976931348623157e308])
settings_like = st.recursive(text | numbers | st.booleans() | st.none(), lambda inner: st.one_of(
    st.lists(inner, max_size=4), st.lists(inner, max_size=3).map(tuple), st.dictionaries(text, inner, max_size=4),
), max_leaves=25)


Dict, List, Tuple, Str, Int, Float = (type(t.__name__.title(), (t,), {}) for t in (dict, list, tuple, str, int, float))


class Number(enum.IntEnum):
    ONE = 1


def subclassed(obj):
    """The same settings built from subclasses, which only json writes."""
    if isinstance(obj, dict):
        return Dict((Str(k), subclassed(v)) for k, v in obj.items())
    if isinstance(obj, (list, tuple)):
        return (List if isinstance(obj, list) else Tuple)(map(subclassed, obj))
    if isinstance(obj, bool) or obj is None:
        return obj
    if isinstance(obj, int):
        return Number.ONE if obj == 1 else Int(obj)
    if isinstance(obj, (str, float)):
        return (Str if isinstance(obj, str) else Float)(obj)
    return obj


@fuzz
@given(settings_like)
def test_dumps_is_json_text_and_reads_back(obj):
    written = vexil.dumps(obj)
    assert written == json.dumps(obj, indent=4) + "\n"
    assert written.isascii()
    assert vexil.loads(written) == json.loads(written)
    assert vexil.dumps(subclassed(obj)) == written  # the writer for subclasses


# Every layout float.__repr__ has: any bit pattern, and decimals of 1 to 17
# digits around where the positional form gives way to the exponent one.
any_float = st.integers(0, 2**64 - 1).map(lambda bits: struct.unpack("<d", bits.to_bytes(8, "little"))[0])
decimal_float = st.builds(lambda m, e: float(f"{m}e{e}"), st.integers(-10**17, 10**17), st.integers(-30, 30))


@settings(fuzz, max_examples=examples(300))
@given(st.lists(any_float.filter(math.isfinite) | decimal_float, min_size=1, max_size=40))
def test_dumps_floats_are_repr(floats):
    assert vexil.dumps(floats) == json.dumps(floats, indent=4) + "\n"


# Values json refuses, somewhere in the settings: the same error, message and
# notes (from 3.14, one per enclosing container) as json.dumps.
refused = st.sampled_from([math.nan, -math.inf, "10**5000", set(), b"x"]).map(
    lambda v: 10**5000 if v == "10**5000" else v)  # over the digit limit (hypothesis cannot print it)
with_refused = st.recursive(text | numbers | st.none() | refused, lambda inner: st.one_of(
    st.lists(inner, max_size=4), st.lists(inner, max_size=3).map(tuple), st.dictionaries(text, inner, max_size=4),
), max_leaves=20)


def outcome(dumps, obj):
    try:
        return dumps(obj)
    except Exception as error:
        return type(error), str(error), getattr(error, "__notes__", None)


@fuzz
@given(with_refused, st.booleans())
def test_dumps_fails_as_json_does(obj, subclasses):
    if subclasses:
        obj = subclassed(obj)
    expected = outcome(lambda o: json.dumps(o, indent=4, allow_nan=False) + "\n", obj)
    assert outcome(vexil.dumps, obj) == expected


# What json refuses (out-of-range floats, other types, keys that are not str,
# int, float, bool or None, cycles) among containers whose reading is
# recorded: dumps stops where json stops, with the same error after the same
# calls, and runs none of the Python code json does not run.
CALLS = []


def recorded(base, *names):
    """A subclass of `base` whose `names` record (object, name) when called."""
    def method(name):
        return lambda self, *args: CALLS.append((id(self), name)) or getattr(base, name)(self, *args)
    return type("Seen" + base.__name__.title(), (base,), {name: method(name) for name in names})


SeenList, SeenTuple = recorded(list, "__iter__", "__len__"), recorded(tuple, "__iter__", "__len__")
SeenDict = recorded(dict, "__iter__", "__len__", "items", "keys", "values", "__getitem__")
keys = text | st.tuples(st.integers())
leaves = numbers | st.none() | st.sampled_from([math.nan, math.inf, -math.inf]) | st.builds(set)
trees = st.recursive(leaves, lambda inner: st.one_of(
    st.lists(inner, max_size=3), st.lists(inner, max_size=3).map(SeenList), st.lists(inner, max_size=3).map(SeenTuple),
    st.dictionaries(keys, inner, max_size=3), st.dictionaries(keys, inner, max_size=3).map(SeenDict),
), max_leaves=12)


def lists_and_dicts(obj, outer=()):
    """(container, itself and its enclosing containers) for each list and dict in `obj`."""
    if isinstance(obj, (list, tuple, dict)):
        if not isinstance(obj, tuple):
            yield obj, (*outer, obj)
        for item in obj.values() if isinstance(obj, dict) else obj:  # recorded before the calls compared
            yield from lists_and_dicts(item, (*outer, obj))


@st.composite
def refused_among_recorded(draw):
    obj = draw(trees)
    places = list(lists_and_dicts(obj))
    if places and draw(st.booleans()):  # a cycle: a container put inside itself or inside one it holds
        container, chain = draw(st.sampled_from(places))
        if isinstance(container, dict):
            container[draw(text)] = draw(st.sampled_from(chain))
        else:
            container.insert(draw(st.integers(0, len(container))), draw(st.sampled_from(chain)))
    return obj


def traced(dumps, obj):
    """The text or the error (a key error in the words both use), and the calls made."""
    CALLS.clear()
    try:
        result = dumps(obj)
    except Exception as error:
        message = re.sub(r"^keys must be str, (int, float, bool or None, )?not (\w+).*", r"not \2", str(error))
        result = type(error), message, getattr(error, "__notes__", None)
    return result, list(CALLS)


@fuzz
@given(refused_among_recorded())
@example([math.nan, SeenList([1])])
@example([-math.inf, {(1,): 1}])
def test_dumps_stops_where_json_stops(obj):
    expected = traced(lambda o: json.dumps(o, indent=4, allow_nan=False) + "\n", obj)
    assert traced(vexil.dumps, obj) == expected


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
        if expected is not ValueError:  # or json read NaN, Infinity or an overflow
            with pytest.raises(ValueError):
                json.dumps(expected, allow_nan=False)
        return
    assert expected is not ValueError and got == expected
