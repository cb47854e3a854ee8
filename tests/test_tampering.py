"""Nothing reachable from Python crashes the interpreter: frames behind
traceback entries, code objects, rebound names, module games, re-import,
pickling, weak references, recursion through rebound globals. Each case runs
in a child process, so a crash fails only that case."""

import sys
import textwrap

import pytest

from conftest import SANITIZED

PRELUDE = """
import builtins, copy, gc, importlib, pickle, sys, traceback, types, weakref
import brevan.setting as S

def outcome(call):
    try:
        return "returned", call()
    except BaseException as e:
        return type(e).__name__, [(f.lineno, f.name) for f in traceback.extract_tb(e.__traceback__) if f.filename == "brevan/setting"]

def count_error():
    return outcome(lambda: S.read([], 2))

def entry_frame():
    try:
        S.read([], 2)
    except TypeError as e:
        return list(traceback.walk_tb(e.__traceback__))[-1][0]
"""

COUNT = "('TypeError', [(42, 'brevan.setting.read')])"
NAME = "('NameError', [(53, 'brevan.setting.read')])"

# name: (code run after PRELUDE, the lines it prints)
DOORS = {
    "frame locals replaced": ("""
        entry_frame().f_locals["_getframe"] = lambda: 42
        print(count_error())
        entry_frame().f_locals["_getframe"] = lambda: sys._getframe()
        entry_frame().f_locals.clear()
        print(count_error())
    """, [COUNT, COUNT]),
    "frame globals replaced": ("""
        frame = entry_frame()
        frame.f_globals["_getframe"] = lambda: 42
        del frame.f_globals["__builtins__"]
        print(count_error())
        vars(S)["__builtins__"] = 5
        print(count_error())
    """, [COUNT, COUNT]),
    "frame cleared": ("""
        frame = entry_frame()
        frame.clear()
        print(count_error(), frame.f_lineno)
    """, [COUNT + " 42"]),
    "frame function called": ("""
        getframe = entry_frame().f_locals["_getframe"]
        print(type(getframe()).__name__, outcome(lambda: getframe(1))[0], count_error())
    """, ["frame TypeError " + COUNT]),
    "frame code run": ("""
        code = entry_frame().f_code
        print(outcome(lambda: exec(code, {}))[0], outcome(lambda: exec(code, {"_getframe": len}))[0])
        print(outcome(lambda: types.FunctionType(code, {})())[0], count_error())
    """, ["NameError TypeError", "NameError " + COUNT]),
    "sys._getframe and builtins rebound before the first entry": ("""
        sys._getframe = lambda *a: 42
        builtins.compile = lambda *a, **k: 42
        real_import = builtins.__import__

        def first_entry_and_code():
            builtins.__import__ = lambda *a, **k: 42
            try:
                name = S.clear.__code__.co_name
                S.read([], 2)
            finally:
                builtins.__import__ = real_import  # for the report of the outcome
        print(outcome(first_entry_and_code), S.clear.__code__.co_name)
    """, [COUNT + " clear"]),
    "function code objects run": ("""
        results = set()
        for name in ("clear", "save", "read", "find", "startup"):
            code = getattr(S, name).__code__
            results.add(outcome(lambda: exec(code))[0])
            results.add(outcome(lambda: exec(code, {}, {}))[0])
            for n in range(6):
                results.add(outcome(lambda: types.FunctionType(code, vars(S))(*range(n)))[0])
                results.add(outcome(lambda: types.FunctionType(code, {})(**dict.fromkeys(code.co_varnames[:n])))[0])
            other = code.replace(co_name="x", co_consts=(None,), co_varnames=tuple("abcde"[:code.co_nlocals]))
            results.add(outcome(lambda: exec(other))[0])
            results.add(outcome(lambda: copy.deepcopy(code) is code)[1])
        print(sorted(map(str, results)), count_error())
    """, ["['True', 'TypeError', 'UnboundLocalError'] " + COUNT]),
    "types.MethodType rebound": ("""
        types.MethodType = lambda *a: 42
        class Holder:
            find = S.find
        method = Holder().find
        print(type(method).__name__, method.__func__ is S.find, outcome(method))
    """, ["method True ('TypeError', [])"]),
    "module class and namespace games": ("""
        class Odd(types.ModuleType):
            @property
            def Path(self):
                raise KeyError("no")
        S.__class__ = Odd
        print(outcome(lambda: S.read(["x"])))
        S.__class__ = types.ModuleType
        read = S.read
        vars(S).clear()
        print(outcome(lambda: read(["x"])), outcome(lambda: read([], 2)))
    """, [NAME, NAME + " " + COUNT]),
    "re-import and reload": ("""
        import importlib.util
        del sys.modules["brevan.setting"]
        import brevan.setting as again
        print(again is S, importlib.reload(S) is S)
        fresh = importlib.util.module_from_spec(S.__spec__)
        print(fresh is S, outcome(lambda: S.__spec__.loader.exec_module(S)), count_error())
    """, ["True True", "True ('returned', None) " + COUNT]),
    "pickling and copying": ("""
        frame = entry_frame()
        print(pickle.loads(pickle.dumps(S.save)) is S.save, copy.deepcopy([S.read])[0] is S.read,
              outcome(lambda: pickle.dumps(frame))[0], outcome(lambda: copy.copy(frame))[0])
        S.save.__qualname__ = "no.such"
        print(outcome(lambda: pickle.dumps(S.save))[0], count_error())
    """, ["True True TypeError TypeError", "PicklingError " + COUNT]),
    "weak references and collection": ("""
        seen = []
        ref = weakref.ref(S.clear, lambda r: seen.append(r() is None))
        gc.get_referents(S.clear), gc.get_referrers(S.clear)
        S.iprint = lambda *a, **k: None
        del S.clear
        gc.collect()
        print(seen, ref(), outcome(S.startup), count_error())
    """, ["[True] None ('returned', None) " + COUNT]),
    "function type misuse": ("""
        kind = type(S.clear)
        print(outcome(lambda: object.__new__(kind))[0], outcome(kind)[0],
              outcome(lambda: type("Sub", (kind,), {}))[0])
        class Same:
            __slots__ = tuple("abcdefghijklm") + ("__dict__", "__weakref__")
        print(outcome(lambda: setattr(S.clear, "__class__", Same))[0], count_error())
    """, ["TypeError TypeError TypeError", "TypeError " + COUNT]),
    "recursion through rebound globals": ("""
        S.iprint = lambda *a, **k: None
        S.site = types.SimpleNamespace(getusersitepackages=S.clear, getsitepackages=list)
        print(outcome(S.clear)[0])
        S.site = types.SimpleNamespace(getusersitepackages=lambda: "/none", getsitepackages=list)
        S.read = S.startup
        print(outcome(S.startup), count_error.__name__)
    """, ["RecursionError", "('returned', None) count_error"]),
    "calls while the interpreter shuts down": ("""
        import atexit, os
        S.iprint = lambda *a, **k: None
        S.site = types.SimpleNamespace(getusersitepackages=lambda: "/none", getsitepackages=list)

        def late(write=os.write):
            for call in (lambda: S.read([], 2), S.startup, lambda: S.find("-x")):
                write(1, f"{outcome(call)[0]} ".encode())
        atexit.register(late)
    """, ["TypeError returned Exception "]),
    "signal handler meddling with an entry's frame": ("""
        import ctypes, signal
        trip = ctypes.pythonapi.PyErr_SetInterrupt
        trip.argtypes, trip.restype = [], None
        class Override:
            __len__ = staticmethod(trip)
        def handler(signum, frame):
            frame.f_locals["_getframe"] = lambda: sys._getframe()
        signal.signal(signal.SIGINT, handler)
        print(outcome(lambda: S.save({}, override=Override())), count_error())
    """, ["('TypeError', []) " + COUNT]),
}


@pytest.mark.parametrize("door", DOORS)
def test_tampering_never_crashes(run_python, door):
    code, expected = DOORS[door]
    result = run_python(PRELUDE + textwrap.dedent(code), check=False)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == expected, result.stderr


# With the address space capped at what the process has and every byte malloc()
# could still give taken, each call, in the main thread and in another, fails
# or works: none may kill the process, as a thread-local block allocated at its
# first use in a thread would.
EXHAUSTED = """
import ctypes, json, resource, threading
import vexil, brevan.setting as S

text = json.dumps([{"key%d" % i: "value " * 100} for i in range(500)])
calls = [lambda: vexil.loads(text), lambda: vexil.loads("[1, x]"), lambda: S.read([]), lambda: S.read(["missing"])]
S.iprint, outcomes = lambda *a, **k: None, []

def attempt():
    for call in calls:
        try:
            call()
            outcomes.append("ok")
        except (MemoryError, ValueError, UnboundLocalError) as error:
            outcomes.append(type(error).__name__)

libc = ctypes.CDLL(None)
libc.malloc.restype, libc.malloc.argtypes, libc.free.argtypes = ctypes.c_void_p, [ctypes.c_size_t], [ctypes.c_void_p]
held, count, go = (ctypes.c_void_p * 400_000)(), 0, threading.Event()
# Made before: its stack is there. A daemon: a failing main thread ends the child, never waits on it.
worker = threading.Thread(target=lambda: (go.wait(), attempt()), daemon=True)
worker.start()
with open("/proc/self/statm") as f:
    size = int(f.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (size + PAGES * resource.getpagesize(), resource.RLIM_INFINITY))
for chunk in (1 << 20, 1 << 16, 1 << 12, 256, 16):
    while count < len(held) and (pointer := libc.malloc(chunk)):
        held[count], count = pointer, count + 1
attempt()
go.set()
worker.join()
for i in range(count):
    libc.free(held[i])
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
print(len(outcomes), set(outcomes) <= {"ok", "MemoryError", "JSONDecodeError", "UnboundLocalError"})
"""


@pytest.mark.skipif(not sys.platform.startswith("linux") or SANITIZED, reason="Linux's /proc and malloc, unsanitized")
@pytest.mark.parametrize("pages", range(12))
def test_memory_exhaustion_never_aborts(run_python, pages):
    result = run_python(EXHAUSTED.replace("PAGES", str(pages)), check=False)
    assert (result.returncode, result.stdout) == (0, "8 True\n"), result.stderr
