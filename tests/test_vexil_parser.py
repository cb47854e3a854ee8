"""loads reads JSON natively and must give exactly what json gives.

The oracle is json itself: the value json.loads builds (types, float bits,
key order), and for refused texts the JSONDecodeError json raises (message,
pos, lineno, colno). NaN, Infinity, floats that overflow and integers over
int()'s digit limit are refused by vexil where json would take them; for
those the reference is vexil's own json-scanner path, which a str subclass
always takes.
"""

import json
import math
import struct
import subprocess
import sys
from decimal import Decimal
from pathlib import Path

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import vexil
from conftest import examples

CORPUS = next((p / "shared" / "jsontestsuite" / "test_parsing" for p in Path(__file__).resolve().parents[1:]
               if (p / "shared" / "jsontestsuite" / "test_parsing").is_dir()), None)
CORPUS_FILES = sorted(p.name for p in CORPUS.glob("*.json")) if CORPUS else []
# Until 3.14 the interpreter bounds nesting by counting C recursion levels,
# and loads nests exactly as deep as json.loads. From 3.14 it bounds the C
# stack, and the frames of loads' own call (more of them until the
# interpreter has tuned the call site), below json's scanner, may cost it a
# few of some 35,000 to 65,000 levels.
STACK_BOUND = sys.version_info >= (3, 14)


class Sub(str):
    """A str subclass: loads hands it to json's scanner, as before."""


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


def outcome(load, text):
    try:
        return ("value", load(text))
    except json.JSONDecodeError as error:
        return ("error", error.msg, error.pos, error.lineno, error.colno)


def refuse_constant(name):
    raise ValueError(name)


def finite_float(text):
    value = float(text)
    if math.isinf(value):
        raise ValueError(text)
    return value


def check_against_json(text):
    """vexil.loads(text) against json.loads and against vexil's json path."""
    got = outcome(vexil.loads, text)
    reference = outcome(vexil.loads, Sub(text))
    assert got[0] == reference[0]
    if got[0] == "value":
        assert same(got[1], reference[1])
    else:
        assert got == reference
    try:
        expected = json.loads(text, parse_constant=refuse_constant, parse_float=finite_float)
    except json.JSONDecodeError as error:
        # From 3.14 json.loads may get a few levels deeper than vexil's scanner
        # before the interpreter stops the recursion, and meet a syntax error first.
        assert STACK_BOUND and got[:2] == ("error", "Nesting too deep") or got == (
            "error", error.msg, error.pos, error.lineno, error.colno)
    except (ValueError, RecursionError):  # NaN, Infinity, overflow, digit limit, nesting: vexil names the place
        assert got[0] == "error"
    else:
        assert got[0] == "value" and same(got[1], expected), text
    return got


@pytest.mark.skipif(not CORPUS_FILES, reason="JSON test corpus not present")
@pytest.mark.parametrize("name", CORPUS_FILES)
def test_corpus_matches_json(name):
    try:
        text = (CORPUS / name).read_bytes().decode("utf-8")
    except UnicodeDecodeError:
        text = (CORPUS / name).read_bytes().decode("utf-8", "surrogateescape")  # lone surrogates in the str
    got = check_against_json(text)
    if name.startswith("n_"):
        assert got[0] == "error"


@pytest.mark.parametrize(
    "text",
    [
        # escapes and surrogates: pairs join only when the low one follows at once
        r'"\ud83d\ude00"', r'"\ud83d"', r'"\ude00\ud83d"', r'"\ud83d\u0041"', r'"\ud83dx\ude00"', r'"\ud800\ud800\udc00"',
        r'"\u00e9\u4e2d\u0000\/\b\f\n\r\t\"\\"', r'"\u00E9"', r'"\ud83d\uzzzz"', r'"\u12"', r'"\x"', '"\\',
        "\"raw \u00e9 \u4e2d \U0001f600 and \\n\"", '"\x7f"', '"\x1f"', '"tab\tin"', '"\ud800"',
        # numbers at every edge of the grammar
        "-0", "-0.0", "0e0", "1E+2", "1e-2", "1.5e", "1.e5", "01", "-", "-01", "--1", "+1", "1.", ".5", "1e+", "2.",
        "123456789012345678", "1234567890123456789", "-999999999999999999", "-9223372036854775809",
        "18446744073709551616", "1e308", "1.7976931348623157e308", "1.7976931348623159e308", "1e309", "-1e400",
        "1e-400", "-1e-400", "5e-324", "2.4703282292062328e-324", "2.4703282292062327e-324", "0.1", "1" + "0" * 400,
        "9007199254740993", "9007199254740993.0", "1" + "0" * 310 + ".0", "0." + "0" * 400 + "1",
        "[NaN]", "[-Infinity]", "Infinity", "-Infinity", "nan", "[1, -NaN]",
        # structure, white space and duplicate keys
        '{"a": 1, "b": 2, "a": 3}', '{"b": 1, "a": {"x": 1}, "b": [2]}', "[1,]", '{"a":1,}', '{"a" 1}', "{1: 2}",
        "[1 2]", '  {\t"k"\r:\n[ ]  }\n', "\u00a0[]", "[]\u00a0", "[] x", "\ufeff[]", "", " ", "[", "]", "{", "}",
        "true", "tru", "nulls", "[true,false,null]", "[[[]]]", "[{}]", "{\"\": \"\"}",
    ],
)
def test_tricky_texts(text):
    check_against_json(text)


def test_short_strings_cached_between_calls_stay_distinct():
    # The same bytes give equal strings across calls; different bytes never
    # get another string's object.
    keys = [c * n for c in "ab\u00e9" for n in range(1, 18)] + ["k" + str(i) for i in range(600)]
    text = json.dumps({k: k for k in keys}, ensure_ascii=False)
    for _ in range(2):
        check_against_json(text)
        check_against_json(json.dumps([keys, {k: [k] for k in reversed(keys)}]))


@pytest.mark.parametrize("n", range(50))
def test_strings_of_every_length_at_every_distance_from_the_end(n):
    # Strings that end within 16 bytes are read and keyed in the cache from
    # one vector load, the others (and all in the text's last 16 bytes) byte
    # by byte: same strings either way, and never the cached string of
    # another one that differs only in its last character.
    body = "k" * max(n - 1, 0)
    for last in ("x", "y", "\u00e9", "\\n", "\\u00e9"):
        s = body + last if n else ""
        for pad in range(18):
            check_against_json('["' + s + '"' + " " * pad + "]")
            check_against_json('{"' + s + '":' + " " * pad + '"' + s + '"}')
    if n:
        twins = [body + c for c in "xyz"]
        assert vexil.loads(json.dumps(twins + twins[::-1])) == twins + twins[::-1]


@pytest.mark.parametrize("stop", ["\x00", "\x0b", "\x0c", "\x1f", "\x7f", "\u00a0", "\u2028", "x", "1"])
def test_white_space_runs_end_where_json_says(stop):
    # Runs of the four white-space characters, of every length around the
    # 16-byte steps, must end at the first other byte, control characters
    # included.
    for k in range(40):
        run = (" \n\r\t" * 10)[:k]
        for text in ("[" + run + stop + "1]", "[1" + run + stop + "]", '{"a"' + run + stop + ":1}",
                     "[1," + run + stop + "2]" + " " * 20, run + stop):
            check_against_json(text)


@pytest.mark.parametrize("size", [0, 1, 15, 16, 17, 100, 5000])
def test_escaped_strings_of_any_size(size):
    # Escaped strings are decoded into a buffer that grows as runs need: long
    # runs, many escapes, and a short string after a long one.
    plain = ("ab\u00e9\u4e2d\U0001f600" * size)[:size]
    strings = [plain + "\n" + plain, "\u00e9" + plain + '"\\/', plain + "\U0001f600" + plain, "\ud800" + plain,
               plain + "\udc00\ud800", "\t" * size, "x\n"]
    for ensure_ascii in (True, False):
        text = json.dumps(strings, ensure_ascii=ensure_ascii)
        check_against_json(text)
        for s in strings:
            check_against_json(json.dumps(s, ensure_ascii=ensure_ascii))


@pytest.mark.parametrize("limit", [0, 640, 4300])
def test_int_digit_limit(limit):
    saved = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(limit)
    try:
        for digits in (639, 640, 641, 4300, 4301):
            check_against_json("[" + "7" * digits + "]")
            check_against_json('{"n": -' + "1" * digits + "}")
    finally:
        sys.set_int_max_str_digits(saved)


# The deepest text json.loads takes from a caller, loads takes from the same
# caller; one level deeper, json's RecursionError is loads' JSONDecodeError.
@pytest.mark.parametrize(("opening", "inner", "closing"), [("[", "", "]"), ('{"a":', "1", "}"), ('[{"a":', "0", "}]")])
def test_nesting_limit_is_jsons(opening, inner, closing):
    def attempt(load, depth):  # every load from this line, above the same stack
        try:
            load(opening * depth + inner + closing * depth)
            return "taken"
        except RecursionError:
            return "RecursionError"
        except json.JSONDecodeError as error:
            return error.msg

    def deepest(load):
        low, high = 1, 200_000
        while low < high:
            mid = (low + high + 1) // 2
            low, high = (mid, high) if attempt(load, mid) == "taken" else (low, mid - 1)
        return low

    limit = deepest(json.loads)
    assert attempt(json.loads, limit + 1) == "RecursionError"
    for load in (vexil.loads, lambda t: vexil.loads(Sub(t))):
        depth = deepest(load)
        assert limit - 16 <= depth <= limit if STACK_BOUND else depth == limit
        assert attempt(load, limit + 1) == "Nesting too deep"
    check_against_json(opening * 40_000 + inner + closing * 40_000)


def test_json_scanners_are_made_on_first_need():
    code = (
        "import json.scanner as s\n"
        "made = []\n"
        "real = s.make_scanner\n"
        "s.make_scanner = lambda ctx: made.append(1) or real(ctx)\n"
        "import vexil\n"
        "vexil.loads('{\"a\": [1, 2.5, \"x\"]}')\n"
        "print(len(made))\n"
        "for text in ('[1,', '[NaN]'):\n"
        "    try:\n"
        "        vexil.loads(text)\n"
        "    except ValueError:\n"
        "        pass\n"
        "print(len(made))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.split() == ["0", "2"]


# ---------------------------------------------------------------- properties

json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False, allow_infinity=False) | st.text(),
    lambda children: st.lists(children, max_size=5) | st.dictionaries(st.text(max_size=18), children, max_size=5),
    max_leaves=25,
)


@st.composite
def json_texts(draw):
    value = draw(json_values)
    indent = draw(st.sampled_from([None, 0, 2, "\t", " \r\n"]))
    separators = draw(st.sampled_from([None, (",", ":"), (" ,\t", " : ")]))
    return json.dumps(value, indent=indent, separators=separators, ensure_ascii=draw(st.booleans()))


@st.composite
def decimal_numbers(draw):
    """Decimal texts, many of them halfway between two doubles (the hard cases)."""
    if draw(st.booleans()):
        x = draw(st.floats(min_value=0, allow_nan=False, allow_infinity=False))
        half = (Decimal(x) + Decimal(math.nextafter(x, math.inf))) / 2 if x < 1.7e308 else Decimal(x)
        text = format(half + draw(st.sampled_from([0, 1, -1])) * Decimal(10) ** (half.adjusted() - 40), "f")
        return draw(st.sampled_from(["", "-"])) + text
    sign = draw(st.sampled_from(["", "-"]))
    whole = draw(st.from_regex(r"0|[1-9][0-9]{0,24}", fullmatch=True))
    fraction = draw(st.from_regex(r"(\.[0-9]{1,24})?", fullmatch=True))
    exponent = draw(st.from_regex(r"([eE][-+]?[0-9]{1,3})?", fullmatch=True))
    return sign + whole + fraction + exponent


ALPHABET = list('{}[],:"\\ \n0123456789-+.eEtrufalsnNI\u00e9\x00\x1f') + ["\\u", "\\ud800", "\\udc00", "\ufeff"]


@st.composite
def mutated(draw):
    text = draw(json_texts())
    for _ in range(draw(st.integers(1, 4))):
        at = draw(st.integers(0, len(text)))
        cut = draw(st.integers(0, 2))
        text = text[:at] + draw(st.sampled_from(ALPHABET + [""])) + text[at + cut:]
    return text


@settings(max_examples=examples(300), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(json_texts())
def test_random_json_texts(text):
    check_against_json(text)


@settings(max_examples=examples(400), deadline=None)
@given(decimal_numbers())
@example("0." + "0" * 320 + "24703282292062327208828439643411068618252990130716238221279284125033775364")
def test_numbers_round_as_float_does(text):
    check_against_json(text)
    check_against_json("[" + text + "]")


@settings(max_examples=examples(400), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(mutated())
def test_mutated_texts(text):
    check_against_json(text)
