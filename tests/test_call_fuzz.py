"""Arbitrary arguments to the five functions give a result or an ordinary
exception, never a crash, and bind exactly where a Python function of the
same signature binds (against scratch files and stand-in site and subprocess)."""

import collections
import inspect
import pathlib
import traceback
import types

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from conftest import examples

NAMES = ("clear", "save", "read", "find", "startup")
KEYWORDS = ("pattern", "obj", "path", "override", "site", "x", "", "self", "Path")


Hostile = type("Hostile", (Exception,), {})
Settings = type("Settings", (dict,), {})


def hostile(*_):
    raise Hostile("refused")


class Booby:  # its protocols raise, but its repr, which reports need
    __bool__ = __fspath__ = __str__ = __len__ = __iter__ = __format__ = __eq__ = hostile
    __hash__ = None
    __repr__ = lambda self: "Booby()"  # noqa: E731


class Text(str):
    __str__ = __format__ = __fspath__ = hostile


# Names without "/": paths stay inside the scratch working directory.
names = st.text(alphabet="ab~*?.-_ [", max_size=6)
leaves = st.none() | st.booleans() | st.integers() | st.floats(allow_nan=True) | names | names.map(str.encode) \
    | names.map(Text) | names.map(pathlib.Path) | st.just(Booby()) | st.sampled_from([object(), Settings, hostile, b"", bytearray(b"x")])
values = st.recursive(leaves, lambda children: st.one_of(
    st.lists(children, max_size=3), st.lists(children, max_size=3).map(tuple),
    *(st.dictionaries(names, children, max_size=3).map(kind) for kind in (dict, Settings, collections.OrderedDict)),
), max_leaves=6)
keyword_names = st.sampled_from(KEYWORDS) | st.sampled_from(KEYWORDS).map(Text) | names
keywords = st.dictionaries(keyword_names, values, max_size=3)
anything = st.tuples(st.lists(values, max_size=4), keywords)

# Arguments of the right kinds, mostly: these get past binding into the bodies.
settings_dicts = st.dictionaries(names, st.dictionaries(names, values, max_size=2) | values, max_size=3)
PARAMETERS = {
    "clear": [("pattern", names, False)],
    "save": [("obj", settings_dicts, True), ("path", names | names.map(pathlib.Path) | values, False),
             ("override", values, False)],
    "read": [("path", st.lists(names | names.map(pathlib.Path) | values, max_size=3), False)],
    "find": [("site", names | st.just("-x") | values, True)],
    "startup": [],
}


@st.composite
def plausible(draw, name):
    """Some leading parameters by position, the others by keyword or left out."""
    parameters = PARAMETERS[name]
    positional = draw(st.integers(0, len(parameters)))
    args, kwargs = [], {}
    for index, (parameter, strategy, required) in enumerate(parameters):
        if index < positional:
            args.append(draw(strategy))
        elif required or draw(st.booleans()):
            kwargs[draw(st.sampled_from([parameter, Text(parameter)]))] = draw(strategy)
    return args, kwargs


calls = st.sampled_from(NAMES).flatmap(lambda name: st.tuples(st.just(name), plausible(name) | anything))


@pytest.fixture
def stand_ins(setting, monkeypatch, tmp_path):
    user, system = tmp_path / "u" / "site-packages", tmp_path / "s" / "site-packages"
    (user / "a~").mkdir(parents=True)
    system.mkdir(parents=True)
    monkeypatch.setattr(setting, "site", types.SimpleNamespace(
        getusersitepackages=lambda: str(user), getsitepackages=lambda: [str(system)]))
    found = types.SimpleNamespace(returncode=0, stdout=b"Location: /x\n", stderr=b"")
    monkeypatch.setattr(setting, "subprocess", types.SimpleNamespace(run=lambda *a, **k: found))
    (tmp_path / "work").mkdir()
    monkeypatch.chdir(tmp_path / "work")


@settings(max_examples=examples(300), derandomize=True, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(call=calls)
def test_arbitrary_arguments(setting, scratch, stand_ins, call):
    name, (args, kwargs) = call
    func = getattr(setting, name)
    try:
        inspect.signature(func).bind(*args, **kwargs)
        binds = True
    except TypeError:
        binds = False

    try:
        event(f"{name} returned {type(func(*args, **kwargs)).__name__}")
    except Exception as e:
        event(f"{name} raised {type(e).__name__}")
        assert not isinstance(e, SystemError), e
        own = [f.name for f in traceback.extract_tb(e.__traceback__) if f.filename == "brevan/setting"]
        assert all(entry.startswith("brevan.setting.") for entry in own), own
        binding_error = type(e) is TypeError and str(e).startswith(f"{name}() ")
        assert binding_error == (not binds), (str(e), args, kwargs)
    else:
        assert binds
