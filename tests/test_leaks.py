"""Repeated calls of every function of brevan.setting and vexil, on success
and on each kind of error path, leave the allocated blocks and live objects
where they were. `find`, `clear` and the console talk to stand-ins."""

import contextlib
import ctypes
import gc
import sys
import types

import pytest

import vexil

TIMES, WRITES, ROUNDS = 600, 100, 2  # WRITES: for calls that write and sync a file
# A leak grows the counts by one or more per call in every round; caches keep
# a block now and then (also in pure Python): only steady growth past a slack counts.
SLACK_OBJECTS = 16


Raiser = type("Raiser", (), {"__bool__": lambda self: 1 / 0})
Text = type("Text", (str,), {})


def vectorcall(func, args, kwnames):
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]
    call.restype = ctypes.py_object
    stack = (ctypes.py_object * len(args))(*args)
    return call(func, ctypes.cast(stack, ctypes.c_void_p), len(args) - len(kwnames), id(kwnames))


@pytest.fixture
def env(setting, scratch, monkeypatch, tmp_path):
    """Stand-ins for all that would leave the process; a settings file in home."""
    user, system = tmp_path / "user" / "site-packages", tmp_path / "sys" / "site-packages"
    (user / "kept~").mkdir(parents=True)  # a match that rmtree's stand-in keeps
    system.mkdir(parents=True)
    monkeypatch.setattr(setting, "site", types.SimpleNamespace(
        getusersitepackages=lambda: str(user), getsitepackages=lambda: [str(system)]))
    monkeypatch.setattr(setting, "shutil", types.SimpleNamespace(rmtree=lambda path, ignore_errors: None))
    found = types.SimpleNamespace(returncode=0, stdout=b"Name: pkg\nLocation: /somewhere\n", stderr=b"")
    monkeypatch.setattr(setting, "subprocess", types.SimpleNamespace(run=lambda command, capture_output: found))
    setting.save(setting.defaults, scratch.user, override=True)
    return types.SimpleNamespace(setting=setting, scratch=scratch, set=lambda name, value: monkeypatch.setattr(setting, name, value))


def fail(*args, **kwargs):
    raise KeyError("stand-in failed")


def reentrant_iprint(setting):
    depth = []

    def iprint(message, foreground, background=None):
        if not depth:  # one level of re-entry, then plain
            depth.append(1)
            with contextlib.suppress(UnboundLocalError):
                setting.read([])
            setting.clear()
            depth.pop()
        return message

    return iprint


# name: (set-up taking env and returning the call, times); a call may raise.
SCENARIOS = {
    "clear": (lambda e: e.setting.clear, TIMES),
    "clear pattern": (lambda e: lambda: e.setting.clear(pattern="*"), TIMES),
    "read": (lambda e: e.setting.read, TIMES),
    "read candidates": (lambda e: lambda: e.setting.read([e.scratch.local, str(e.scratch.user)]), TIMES),
    "save unchanged": (lambda e: lambda: e.setting.save({"a": {}}, e.scratch.user), TIMES),
    "save written": (lambda e: lambda: e.setting.save(e.setting.defaults, e.scratch.root / "d" / "t.json", True), WRITES),
    "find": (lambda e: lambda: e.setting.find("pkg"), TIMES),
    "startup": (lambda e: e.setting.startup, TIMES),
    "vexil": (lambda e: lambda: vexil.loads(vexil.dumps(e.setting.defaults)) and vexil.iprint("m", foreground="cyan", background="red"), TIMES),
    "too many": (lambda e: lambda: e.setting.clear("a", "b"), TIMES),
    "too few": (lambda e: e.setting.find, TIMES),
    "unexpected keyword": (lambda e: lambda: e.setting.save({}, x=1), TIMES),
    "repeated keyword": (lambda e: lambda: e.setting.save({}, obj={}), TIMES),
    "keyword not a str": (lambda e: lambda: vectorcall(e.setting.save, ({}, 1), (5,)), TIMES),
    "failing truth test": (lambda e: lambda: e.setting.save({}, override=Raiser()), TIMES),
    "wrong type": (lambda e: lambda: e.setting.read(()), TIMES),
    "subclass with note": (lambda e: lambda: e.setting.find(Text("pkg")), TIMES),
    "startup arguments": (lambda e: lambda: e.setting.startup(1), TIMES),
    "startup keywords": (lambda e: lambda: e.setting.startup(x=1), TIMES),
    "vexil errors": (lambda e: lambda: vexil.loads("{") if vexil.dumps({1: 2}) else None, TIMES),
    "broken settings file": (lambda e: (e.scratch.local.write_text("{"), e.setting.read)[1], TIMES),
    "missing files": (lambda e: lambda: e.setting.read([e.scratch.root / "none"]), TIMES),
    "pip fails": (lambda e: (e.set("subprocess", types.SimpleNamespace(run=lambda command, capture_output: types.SimpleNamespace(
        returncode=1, stdout=b"", stderr=b"no"))), lambda: e.setting.find("pkg"))[1], TIMES),
    "option refused": (lambda e: lambda: e.setting.find("-x"), TIMES),
    "dumps fails": (lambda e: lambda: e.setting.save({"a": {1: 2}}, e.scratch.root / "x.json"), TIMES),
    "bad pattern": (lambda e: lambda: e.setting.clear(""), TIMES),
    "Path fails": (lambda e: (e.set("Path", fail), e.setting.read)[1], TIMES),
    "iprint fails": (lambda e: (e.set("iprint", fail), lambda: e.setting.find("pkg"))[1], TIMES),
    "loads fails": (lambda e: (e.set("loads", fail), e.setting.read)[1], TIMES),
    "site missing": (lambda e: (e.set("site", None), e.setting.clear)[1], TIMES),
    "startup catches": (lambda e: (e.set("read", fail), e.setting.startup)[1], TIMES),
    "run raises": (lambda e: (e.set("subprocess", types.SimpleNamespace(run=fail)), lambda: e.setting.find("pkg"))[1], TIMES),
    "iprint re-enters": (lambda e: (e.set("iprint", reentrant_iprint(e.setting)), lambda: e.setting.read([e.scratch.local]))[1], TIMES),
    "recursion limit": (lambda e: (e.set("site", types.SimpleNamespace(getusersitepackages=e.setting.clear, getsitepackages=list)),
                                   e.setting.clear)[1], 10),
}


def rounds(call, times, count, measure):
    """`measure()` after each of `count` rounds of `times` calls, and after one more
    round before them that fills caches (traceback code, interned names, ...)."""
    counts = []
    with contextlib.redirect_stdout(types.SimpleNamespace(write=len, flush=lambda: None)):  # keeps nothing
        for _ in range(1 + count):
            for _ in range(times):
                with contextlib.suppress(Exception):
                    call()
            gc.collect()
            gc.collect()
            counts.append(measure())
    return counts


def least_growth(counts):
    return min(after - before for before, after in zip(counts, counts[1:]))


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_repeated_calls_do_not_leak(env, scenario):
    set_up, times = SCENARIOS[scenario]
    counts = rounds(set_up(env), times, ROUNDS, lambda: (sys.getallocatedblocks(), len(gc.get_objects())))
    blocks, objects = (least_growth([count[i] for count in counts]) for i in (0, 1))
    assert blocks <= max(64, times // 2) and objects <= SLACK_OBJECTS, (
        f"{blocks} blocks, {objects} objects more in each round of {times} calls: {counts}")


# A reference a call leaks adds one to the interpreter's total for every call,
# `times` or more in every round. The interpreter's own caches (the type
# attribute cache, interned names, the line cache behind tracebacks) take theirs
# now and then and settle, and each round keeps one for its count (the int in
# `counts`): past that one, the least growth over REF_ROUNDS rounds must stay
# under a tenth of a round's calls, so that a leak on even one call in ten shows.
REF_ROUNDS = 4


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="sys.gettotalrefcount: debug builds of Python only")
@pytest.mark.parametrize("scenario", SCENARIOS)
def test_repeated_calls_keep_the_total_reference_count(env, scenario):
    set_up, times = SCENARIOS[scenario]
    counts = rounds(set_up(env), times, REF_ROUNDS, sys.gettotalrefcount)
    assert least_growth(counts) - 1 < max(1, times // 10), f"references after each round of {times} calls: {counts}"
