import collections
import gc
import io
import json
import math
import os
import re
import sys
from pathlib import Path

import pytest

import vexil

CORPUS = Path(__file__).resolve().parents[2] / "shared" / "jsontestsuite" / "test_parsing"
CORPUS_FILES = sorted(p.name for p in CORPUS.glob("*.json")) if CORPUS.is_dir() else []


# ---------------------------------------------------------------- dumps / loads


class BadRepr:
    """Hashable, but its repr raises: error messages must still come out."""

    def __repr__(self):
        raise RuntimeError("no repr")


class ItemsSay(dict):  # items() disagree with what is stored
    def __init__(self, pairs, **stored):
        super().__init__(**stored)
        self.items = lambda: list(pairs)


class IterSays(list):  # iteration disagrees with what is stored
    def __init__(self, stored, values):
        super().__init__(stored)
        self.values = values

    def __iter__(self):
        return iter(self.values)


@pytest.mark.parametrize(
    "settings",
    [
        {},
        {"ui": {"theme": "dark", "scale": 1.25, "tabs": [1, 2, 3]}, "user": {"name": None, "admin": False}},
        {"názov": {"text": "Grüße, 日本語, emoji 🎉, nul \x00 and \u2028"}},
        {"z": {}, "a": {"list": [[], [{"k": "v"}], -0.0, 10**30]}},
        {"lone \ud800": {"s": "\udfff"}},
    ],
)
def test_round_trip_is_ascii(settings):
    text = vexil.dumps(settings)
    assert text.isascii()
    assert text.endswith("}\n") and not text.endswith("\n\n")
    back = vexil.loads(text)
    assert back == settings
    assert list(back) == list(settings)  # dict order kept, not sorted


def test_dumps_exact_text():
    assert vexil.dumps({"b": {"x": [1, True]}, "a": "é"}) == (
        '{\n    "b": {\n        "x": [\n            1,\n            true\n'
        '        ]\n    },\n    "a": "\\u00e9"\n}\n'
    )


@pytest.mark.parametrize("length", range(40, 50))
@pytest.mark.parametrize("fill", ["k", "\u00e9", '"'])
def test_dumps_repeated_strs_as_keys_and_values(length, fill):
    # The same str objects met again and again, as keys and as values, with
    # texts around the longest the writer keeps for reuse.
    words = [(fill * length)[: length - k] + str(k) for k in range(4)]
    obj = {w: {v: [v, w, {w: v}] for v in words} for w in words}
    assert vexil.dumps(obj) == json.dumps(obj, indent=4) + "\n"


@pytest.mark.parametrize(
    ("obj", "type_name"),
    [
        ({1: "a"}, "int"),
        ({"a": {None: 1}}, "NoneType"),
        ({"a": [{"b": {2.5: 1}}]}, "float"),
        ({"a": ({"ok": {True: 1}},)}, "bool"),
        ({"a": {BadRepr(): 1}}, "BadRepr"),
        # A subclass is written through its items() and iteration: the check sees those.
        ({"a": ItemsSay(ok="x", pairs=[(1, "one")])}, "int"),
        ({"a": IterSays([1], values=[{None: 1}])}, "NoneType"),
    ],
)
def test_dumps_rejects_non_str_keys(obj, type_name):
    with pytest.raises(TypeError, match=f"keys must be str, not {type_name}"):
        vexil.dumps(obj)


def test_dumps_writes_the_items_it_checked():
    obj = {"a": ItemsSay(pairs=[("k", IterSays([0], values=[1, "v"]))], **{"stored": 1})}
    assert vexil.dumps(obj) == json.dumps({"a": {"k": [1, "v"]}}, indent=4) + "\n"


def json_dumps(obj):
    return json.dumps(obj, indent=4, ensure_ascii=True, allow_nan=False) + "\n"


def outcome(dumps, obj):
    """The text, or the error's type, message, notes and the type of its context."""
    try:
        return dumps(obj)
    except Exception as error:
        context = type(error.__context__) if error.__context__ else None
        return type(error), str(error), getattr(error, "__notes__", None), context


class Dict(dict):
    pass


class List(list):
    pass


class ItemsFail(dict):
    def items(self):
        raise LookupError("items")


class ReprFails(str):
    def __repr__(self):
        raise KeyError("no repr")


class NoClass:
    def __getattribute__(self, name):
        raise AttributeError(name)


def looped(kind=list):
    """A `kind` reached again from inside itself: a list through a dict and a tuple, a dict directly."""
    loop = kind()
    if isinstance(loop, dict):
        loop.update(n=1, again=loop)
    else:
        loop.append({"x": (1, loop)})
    return loop


# Errors raised from inside containers: from 3.14 json adds one note per
# container (its type, the item's index or key), innermost first.
@pytest.mark.parametrize(
    "obj",
    [
        [10**5000],  # over the digit limit
        {"a": {"b": [math.nan]}},
        [set()],
        {"a": (1, [2, set()])},
        [1, List([2, Dict(b=math.inf)])],
        {"a": [math.nan, set()]},  # the first refused value wins
        __import__("collections").OrderedDict(a=[-math.inf]),
        {"k": ItemsSay(pairs=[(1, 2, 3)], x=1)},  # not a pair
        {"k": [ItemsFail(x=1)]},
        {ReprFails("a"): [set()]},  # the note cannot be made
        [{"x": NoClass()}],
        {"a": looped()},
        looped(dict),  # the fast writer first
        [looped(Dict)],  # the general writer alone
        {"n": 1, "deep": [[{"z": [{}, [set()]]}]]},
    ],
)
def test_dumps_errors_are_jsons(obj):
    expected = outcome(json_dumps, obj)
    assert isinstance(expected, tuple)
    assert outcome(vexil.dumps, obj) == expected


# The key check is ours (json would write an int key), but the notes are
# json's for a key it refuses at the same place: a tuple.
@pytest.mark.parametrize(
    "shape",
    [
        lambda key: {key: 1},
        lambda key: {"a": [{"b": 1, key: 2}]},
        lambda key: ({"x": (0, ItemsSay(pairs=[("ok", 1), (key, 2)], x=1))},),
        lambda key: List([Dict({"s": {key: None}})]),
    ],
)
def test_dumps_key_errors_carry_jsons_notes(shape):
    kind, message, notes, context = outcome(vexil.dumps, shape(1))
    assert (kind, message) == (TypeError, "keys must be str, not int (key 1)")
    assert (notes, context) == outcome(json_dumps, shape((1,)))[2:]


class SameKey(str):
    def __eq__(self, other):
        return True

    def __hash__(self):
        return 0


# A dict subclass is written from the pairs its items() yields, once called.
@pytest.mark.parametrize(
    "pairs",
    [
        [("a", 1), ("a", 2)],
        [(SameKey("x"), 1), (SameKey("y"), [2])],
        [("b", {}), ("b", ItemsSay(pairs=[("c", 1), ("c", 1.5)]))],
    ],
)
def test_dumps_keeps_every_pair(pairs):
    calls = []

    class Counted(dict):
        def items(self):
            calls.append(1)
            return list(pairs)

    obj = {"s": Counted(stored=0)}
    text = vexil.dumps(obj)
    assert calls == [1]
    assert text == json_dumps(obj)


def nest(depth, kind):
    obj = "leaf"
    for _ in range(depth):
        obj = kind(k=obj) if issubclass(kind, dict) else kind([obj])
    return obj


# Nesting up to the recursion limit is written; one level more is
# RecursionError, however the containers are made (3.14's json has no limit).
@pytest.mark.parametrize("kind", [list, tuple, dict, List, Dict])
@pytest.mark.parametrize("limit", [150, 1000])
def test_dumps_nesting_stops_at_the_recursion_limit(kind, limit):
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(limit)
    try:
        text = vexil.dumps(nest(limit, kind))
        with pytest.raises(RecursionError):
            vexil.dumps(nest(limit + 1, kind))
    finally:
        sys.setrecursionlimit(old)
    assert text.count("\n") == 2 * limit + 1


# The address sanitizer reserves far more address space than these limits.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")


def test_dumps_very_deep_nesting_is_recursion_error(run_python):
    # In a child with bounded memory: 3.14's json would write gigabytes.
    result = run_python(f"""
        import resource, vexil
        if not {SANITIZED}:
            resource.setrlimit(resource.RLIMIT_AS, (2 << 30,) * 2)
        x = []
        for _ in range(200_000):
            x = [x]
        try:
            vexil.dumps({{"a": x}})
        except RecursionError as error:
            print("RecursionError", len(getattr(error, "__notes__", [])))
    """, check=False)
    notes = 1000 if sys.version_info >= (3, 14) else 0  # json's, one per level
    assert result.stdout.split() == ["RecursionError", str(notes)], result.stderr


@pytest.mark.skipif(SANITIZED or not Path("/proc/self/status").exists(), reason="needs /proc, no sanitizer")
def test_dumps_long_string_needs_no_more_room_than_json(run_python):
    # 200 MiB of address space over a 64 MiB string: enough for json, not
    # for six times the string.
    result = run_python("""
        import json, resource, vexil
        s = "x" * (64 << 20)
        size = next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmSize:")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (size + (200 << 20),) * 2)
        print(len(json.dumps({"a": s}, indent=4)))
        text = vexil.dumps({"a": s})
        print(len(text), text[:13] == json.dumps({"a": "xy"}, indent=4)[:13])
    """, check=False)
    assert result.stdout.split() == [str(15 + (64 << 20)), str(16 + (64 << 20)), "True"], result.stderr


@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf])
def test_dumps_rejects_non_finite(value):
    with pytest.raises(ValueError):
        vexil.dumps({"a": {"b": [value]}})


def test_dumps_deep_nesting_is_recursion_error():
    deep = {}
    for _ in range(100_000):
        deep = {"a": [deep]}
    with pytest.raises(RecursionError):
        vexil.dumps(deep)


def test_dumps_cycle_is_value_error():
    loop = []
    loop.append(loop)
    seen = IterSays([0], values=[])
    seen.values.append({"x": seen})  # a cycle only iteration shows
    for obj in (loop, seen):
        with pytest.raises(ValueError, match="Circular"):
            vexil.dumps({"a": obj})


# The C stack a call needs is small and bounded: dumps entered again through
# Python code it runs ends in the text or RecursionError, however high the
# recursion limit, and a thread with the smallest stack the interpreter allows
# writes what json writes, through both writers.
@pytest.mark.skipif(SANITIZED, reason="the sanitizer's frames are several times larger")
def test_dumps_needs_a_small_stack(run_python):
    result = run_python("""
        import json, sys, threading, vexil
        class Calls(dict):  # items() calls dumps again
            def __init__(self, n): super().__init__(a=1); self.n = n
            def items(self): return [("x", len(vexil.dumps(Calls(self.n - 1))) if self.n else 0)]
        for limit, depth in [(1000, 300), (10**6, 100_000)]:
            sys.setrecursionlimit(limit)
            try:
                print(type(vexil.dumps(Calls(depth))).__name__)
            except RecursionError:
                print("RecursionError")
        sys.setrecursionlimit(1000)
        class Dict(dict): pass
        class Float(float): pass
        def nest(n):
            obj = "x"
            for _ in range(n): obj = [{"k": obj}]
            return obj
        objs = [{"a": Dict(b=1)}, nest(7), nest(40), Dict(b=nest(20)), [Float(1.5), 2**70, "é"], Calls(5)]
        for size in (32768, 53248, 102400):  # the least of 3.12 and 3.13, of 3.14, of debug builds
            try:
                threading.stack_size(size)
                break
            except ValueError:
                pass
        texts = []
        thread = threading.Thread(target=lambda: texts.extend(map(vexil.dumps, objs)))
        thread.start()
        thread.join()
        print(texts == [json.dumps(obj, indent=4) + "\\n" for obj in objs])
    """, check=False)
    assert result.stdout.split()[1:] == ["RecursionError", "True"], result.stderr
    assert result.stdout.split()[0] in ("str", "RecursionError"), result.stderr


LOG = []


class Acts(dict):
    """items() runs `act` first, then gives what is stored."""

    def __init__(self, act, **stored):
        super().__init__(**stored)
        self.act = act

    def items(self):
        LOG.append("items")
        self.act()
        return super().items()


class Pairs(dict):
    """items() is a generator of `pairs()`, logged as they are taken."""

    def __init__(self, pairs, **stored):
        super().__init__(**stored)
        self.pairs = pairs

    def items(self):
        LOG.append("items")
        for pair in self.pairs():
            LOG.append(("pair", type(pair).__name__))
            yield pair


class Yields(list):
    """Truth and iteration logged; iteration gives `values`, then raises `error`."""

    def __init__(self, values, error=None):
        super().__init__(["stored"])
        self.values, self.error = values, error

    def __len__(self):
        LOG.append("len")
        return super().__len__()

    def __iter__(self):
        LOG.append("iter")
        for value in self.values:
            LOG.append(("next", type(value).__name__))
            yield value
        if self.error:
            raise self.error


class Compared(float):
    """Comparisons and repr logged; `says` answers them, float's own when None."""

    says = None

    def __ne__(self, other):
        LOG.append("!=")
        return float.__ne__(self, other) if self.says is None else self.says

    def __eq__(self, other):
        LOG.append("==")
        return float.__eq__(self, other) if self.says is None else False

    __hash__ = float.__hash__

    def __repr__(self):
        LOG.append("repr")
        return float.__repr__(self)


class AlwaysNe(Compared):
    says = True


class NeverNe(Compared):
    says = False


class NeRaises(Compared):
    def __ne__(self, other):
        raise ArithmeticError("compared")


def changing_pairs():
    value = [1]
    yield "a", value
    value.append(2)  # after json wrote it on 3.12, before it read it on 3.13
    yield "b", 0


def changed(container, change, at):
    """`container` with an item whose items() runs `change` on it."""
    container[at] = Acts(lambda: change(container), k=1)
    return container


# Containers read live and item by item as this version's json reads them:
# the same text or error, after the same calls in the same order, when Python
# code that dumps runs changes what it writes.
@pytest.mark.parametrize("make", [
    lambda: changed([0, None, 2, 3], list.clear, 1),
    lambda: changed([0, None], lambda items: items.append("new"), 1),
    lambda: changed({"x": 1, "y": 2}, lambda d: d.update(new=3), "x"),
    lambda: changed({"x": 1, "y": 2}, lambda d: d.update(new=3), "y"),  # the last item
    lambda: changed({"x": 1, "y": 2}, lambda d: (d.pop("y"), d.update(z=9)), "x"),
    lambda: changed({"x": 1, "y": 2}, lambda d: d.pop("y"), "x"),
    lambda: {"p": Pairs(changing_pairs, s=0)},
    lambda: [Yields([math.nan], KeyError("after"))],
    lambda: [Yields([1, Yields([])])],  # true, yet iterating gives nothing
    lambda: {"a": Pairs(lambda: [], s=0)},
    lambda: {"a": Pairs(lambda: [["k", 1], iter(("j", 2))], s=0)},
    lambda: {"a": Pairs(lambda: [("k",)], s=0)},
    lambda: {"a": Pairs(lambda: [("k", 1, 2)], s=0)},
    lambda: {"a": Pairs(lambda: [5], s=0)},
    lambda: [Compared(1.5), Compared(math.inf)],
    lambda: [AlwaysNe(1.5)],
    lambda: [NeverNe(math.nan), NeverNe(-math.inf)],
    lambda: [NeRaises(2.5)],
], ids=lambda make: "")
def test_dumps_reads_containers_live_as_json_does(make):
    LOG.clear()
    expected = outcome(json_dumps, make()), list(LOG)
    LOG.clear()
    assert (outcome(vexil.dumps, make()), LOG) == expected


@pytest.mark.parametrize(
    ("text", "line", "column"),
    [
        ("[1, NaN]", 1, 5),
        ('{"a": "NaN",\n "b": Infinity}', 2, 7),
        ('{\n  "x": [\n   -Infinity]}', 3, 4),
        ('{"a" 1}', 1, 6),
        ("", 1, 1),
        ("[1] x", 1, 5),
        ("\n\n" + "[" * 200_000, 3, 200_000),  # deepest opening bracket
        ("[\n" + "9" * 5000 + "]", 2, 1),  # over the int digit limit
        ("\ufeff{}", 1, 1),
        (" \n\t ", 2, 3),
        ('["é"] x', 1, 7),
        # Numbers too large for a float, also after look-alikes in strings.
        ('{"x": 1e400}', 1, 7),
        ('{"\\u00e9": "1e999",\n "y": [-1E309]}', 2, 8),
        ('{"é": 1e400}', 1, 7),
        ("[1" + "0" * 400 + ".0]", 1, 2),
        ("0." + "0" * 10 + "1e320", 1, 1),
        ('["' + "\\u00e0" * 30 + '", 5, 1e400]', 1, 189),
        ("[" + " " * 100 + "1" + "0" * 400 + ".5]", 1, 102),
    ],
)
def test_loads_errors_name_position(text, line, column):
    with pytest.raises(ValueError, match=f"line {line} column {column} ") as info:
        vexil.loads(text)
    assert isinstance(info.value, json.JSONDecodeError)


@pytest.mark.parametrize("text", ["[1" + "0" * 400 + "]", "[1e-400, -0.0, 5e-324, 1.7976931348623157e308]",
                                  '["1e999", 1' + "0" * 400 + "]"])
def test_loads_keeps_finite_numbers(text):
    value = vexil.loads(text)
    assert value == json.loads(text)
    assert vexil.loads(vexil.dumps(value)) == value


def test_loads_counts_characters_of_a_str_subclass():
    class Claims(str):
        def isascii(self):
            return True

    with pytest.raises(ValueError, match="line 1 column 7 "):
        vexil.loads(Claims('["é"] x'))
    assert vexil.loads(Claims(' ["é", 1e5] ')) == ["é", 100000.0]


class Answers(str):
    """len() and startswith() answer what they are told to, where told."""

    def __len__(self):
        return vars(self).get("length", str.__len__(self))

    def startswith(self, *args):
        return vars(self).get("bom", str.startswith(self, *args))


@pytest.mark.parametrize(("text", "told"), [
    ("1", {"length": 0}), (" [1] ", {"length": 3}), ("1", {"length": 7}), ('"é" ', {"length": 4}),
    ("1", {"length": -1}), ("1", {"length": "1"}), ("1", {"bom": True}), ("\ufeff1", {"bom": False}),
    ("1", {"bom": [0]}), ("1", {"bom": None}), ("1", {"bom": type("NoTruth", (), {"__bool__": lambda s: 1 / 0})()}),
])
def test_loads_asks_a_str_subclass_what_json_asks(text, told):
    """json.loads takes len(s) and s.startswith('\ufeff') from the object: so does loads."""
    obj = Answers(text)
    vars(obj).update(told)
    assert outcome(vexil.loads, obj) == outcome(json.loads, obj)


@pytest.mark.parametrize("text", [b"{}", None, 1])
def test_loads_needs_str(text):
    with pytest.raises(TypeError, match="must be str"):
        vexil.loads(text)


@pytest.mark.skipif(not CORPUS_FILES, reason="JSON test corpus not present")
@pytest.mark.parametrize("name", CORPUS_FILES)
def test_corpus(name):
    try:
        text = (CORPUS / name).read_bytes().decode("utf-8")
    except UnicodeDecodeError:
        assert not name.startswith("y_")
        return
    if name.startswith("y_"):
        vexil.loads(text)
    elif name.startswith("n_"):
        with pytest.raises(ValueError, match=r"line \d+ column \d+"):
            vexil.loads(text)
    else:
        try:
            vexil.loads(text)
        except Exception:
            pass


def test_module_reports_what_it_keeps_to_the_collector():
    # Every object the module keeps between calls is one its traverse
    # reports: a missed one would be invisible to the cycle collector.
    with pytest.raises(json.JSONDecodeError):
        vexil.loads("x")  # the native reader refuses it: json's scanners are made and kept
    referents = gc.get_referents(vexil)
    referents += [item for obj in referents if type(obj) is tuple for item in obj]  # the names and what they gave
    kept = {id(obj) for obj in referents}
    for obj in (json.dumps, json.JSONDecodeError, json.JSONDecoder, os, type(os.environ), sys.__dict__,
                type(os.environ).__getitem__, os.environ.encodekey):
        assert id(obj) in kept, obj
    scanner = type(json.JSONDecoder().scan_once)
    assert sum(type(obj) is scanner for obj in referents) == 2
    assert {b"NO_COLOR", b"FORCE_COLOR"} <= {obj for obj in referents if type(obj) is bytes}
    assert {"isascii", "write", "flush", "isatty", "stdout", "environ", "_data", "\n"} <= {
        obj for obj in referents if type(obj) is str}


# ---------------------------------------------------------------- iprint


class FakeOut(io.StringIO):
    def __init__(self, tty=False):
        super().__init__()
        self.tty = tty
        self.writes = 0
        self.flushes = 0

    def isatty(self):
        return self.tty

    def write(self, s):
        self.writes += 1
        return super().write(s)

    def flush(self):
        self.flushes += 1


class BareOut:
    """Has write and nothing else: no isatty, no flush."""

    def __init__(self):
        self.text = ""

    def write(self, s):
        self.text += s


@pytest.fixture
def env(monkeypatch):
    monkeypatch.delenv("NO_COLOR", raising=False)
    monkeypatch.delenv("FORCE_COLOR", raising=False)
    return monkeypatch


@pytest.mark.parametrize(
    ("no_color", "force_color", "tty", "coloured"),
    [
        (None, None, False, False),
        (None, None, True, True),
        ("1", None, True, False),
        ("1", "1", True, False),  # NO_COLOR beats FORCE_COLOR
        (None, "1", False, True),
        ("", "1", False, True),  # empty counts as unset
        ("", "", True, True),
        (None, "", False, False),
    ],
)
@pytest.mark.parametrize("environ", ["os.environ", "a dict in its place"])
def test_colour_decision(env, no_color, force_color, tty, coloured, environ):
    for name, value in [("NO_COLOR", no_color), ("FORCE_COLOR", force_color)]:
        if value is not None:
            env.setenv(name, value)
    if environ != "os.environ":  # not the interpreter's mapping: read through get()
        env.setattr(os, "environ", dict(os.environ))
    out = FakeOut(tty)
    env.setattr(sys, "stdout", out)
    assert vexil.iprint("hi", "cyan", "red") == "hi"
    assert out.getvalue() == ("\x1b[36m\x1b[41mhi\x1b[0m\n" if coloured else "hi\n")
    assert (out.writes, out.flushes) == (1, 1)


@pytest.mark.parametrize(
    ("fg", "bg", "line"),
    [
        ("black", None, "\x1b[30mm\x1b[0m\n"),
        ("white", "light_black", "\x1b[37m\x1b[100mm\x1b[0m\n"),
        ("light_black", None, "\x1b[90mm\x1b[0m\n"),
        ("light_white", "light_white", "\x1b[97m\x1b[107mm\x1b[0m\n"),
        (None, "magenta", "\x1b[45mm\x1b[0m\n"),
        (None, None, "m\n"),
    ],
)
def test_escape_sequences(env, fg, bg, line):
    env.setenv("FORCE_COLOR", "1")
    out = FakeOut()
    env.setattr(sys, "stdout", out)
    assert vexil.iprint("m", foreground=fg, background=bg) == "m"
    assert out.getvalue() == line


@pytest.mark.parametrize(
    ("fg", "bg", "shown"),
    [("purple", None, "'purple'"), ("red", "Red", "'Red'"), (3, None, "3"), (BadRepr(), None, "<BadRepr object>")],
)
def test_unknown_colour_writes_nothing(env, fg, bg, shown):
    env.setenv("FORCE_COLOR", "1")
    out = FakeOut()
    env.setattr(sys, "stdout", out)
    with pytest.raises(ValueError, match=rf"unknown colour {shown} \(expected one of black, red, .*light_white\)"):
        vexil.iprint("x", fg, bg)
    assert out.getvalue() == ""


@pytest.mark.parametrize(("owner", "name", "value"), [
    ("type", "get", lambda self, key, default=None: "1" if key == "NO_COLOR" else default),
    ("type", "__getitem__", lambda self, key: "1"),
    ("object", "encodekey", lambda key: b"FORCE_COLOR"),
    ("object", "get", lambda key, default=None: "1" if key == "NO_COLOR" else default),
    ("code", "__getitem__", lambda self, key: "1"),  # the same function, running other code
    ("code", "encodekey", lambda key: b"FORCE_COLOR"),
])
def test_colour_variables_follow_a_changed_environ(env, owner, name, value):
    env.setenv("FORCE_COLOR", "1")
    if owner == "code":
        function = getattr(type(os.environ), name, None) or getattr(os.environ, name)
        env.setattr(function, "__code__", value.__code__.replace(co_freevars=function.__code__.co_freevars))
    else:
        env.setattr(type(os.environ) if owner == "type" else os.environ, name, value)
    env.setattr(sys, "stdout", FakeOut(True))
    vexil.iprint("hi", "cyan")
    assert sys.stdout.getvalue() == "hi\n"  # NO_COLOR seen as set, as os.environ.get() says


def test_stdout_looked_up_each_call(env):
    env.setenv("FORCE_COLOR", "1")
    first, second = FakeOut(), BareOut()
    env.setattr(sys, "stdout", first)
    message = "ünï"
    assert vexil.iprint(message, "red") is message
    env.setattr(sys, "stdout", second)
    env.delenv("FORCE_COLOR")
    vexil.iprint("two", "green")  # no isatty: no colour; no flush: fine
    env.setattr(sys, "stdout", None)
    assert vexil.iprint("gone", "blue") == "gone"
    assert first.getvalue() == "\x1b[31münï\x1b[0m\n"
    assert second.text == "two\n"


@pytest.mark.parametrize(
    ("args", "kwargs", "error"),
    [
        ((b"x",), {}, "must be str"),
        ((), {}, "missing"),
        (("a",), {"message": "b"}, "multiple values"),
        (("a",), {"colour": "red"}, "unexpected keyword"),
        (("a", None, None, None), {}, "at most 3"),
    ],
)
def test_iprint_bad_arguments(env, args, kwargs, error):
    out = FakeOut()
    env.setattr(sys, "stdout", out)
    with pytest.raises(TypeError, match=error):
        vexil.iprint(*args, **kwargs)
    assert out.getvalue() == ""


class Shouting(str):
    def __add__(self, other):
        return "ADDED"

    def __str__(self):
        return "STR"


class Kept:
    def __init__(self, write):
        self.write = write
        self.lines = []


@pytest.mark.parametrize(("write", "error"), [
    (5, "attribute of type 'int' is not callable"),
    (Kept(None), "attribute of type 'Kept' is not callable"),
    (collections.OrderedDict(), "attribute of type 'collections.OrderedDict' is not callable"),
])
def test_iprint_line_and_write(env, write, error):
    # The line is the message's own text plus "\n", an exact str, whatever
    # a str subclass overrides; a write that cannot be called is refused
    # with the message PyObject_CallMethod gives.
    out = Kept(None)
    out.write = out.lines.append
    env.setattr(sys, "stdout", out)
    for message in [Shouting("hi"), "", "ünï"]:
        vexil.iprint(message, "red")
    assert out.lines == ["hi\n", "\n", "ünï\n"] and all(type(line) is str for line in out.lines)
    env.setattr(sys, "stdout", Kept(write))
    with pytest.raises(TypeError, match=f"^{re.escape(error)}$"):
        vexil.iprint("x")
