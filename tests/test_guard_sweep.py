"""The guards of the fast paths, swept rather than remembered.

A child process traces the general path of each call a fast path serves
(read() of a good file, read() of a missing one and then a good one, save()
of an existing file without override, clear() of site-packages holding
`pkg~old` and `pkg`, the real `site` pointed at scratch directories), warm:
sys.setprofile finds the standard-library modules and classes it touches,
then a recording double on every attribute of those (module functions, class
functions, properties, slot members, plain class attributes, and object's
methods as PosixPath's classes inherit them) finds what it looks up. Those
names are the sweep, so a new Python's new helper is found, not remembered.
What the module or the standard library keeps a reference to (the module's
own os.path.realpath, taken once; builtins.open, bound at import) is looked
up nowhere during a call, so no double there could be called: not swept.

Then, for each name, in a fresh scratch tree: a double that notes its calls
and delegates to the original is put where the name lives, and the call runs
with the fast paths allowed and with them refused (builtins.open wrapped, as
conftest's general_site does). The result, the double's calls, the printed
lines, the audit events and the files left must be the same, and once the
double is gone the fast path must be taken again. A second family puts the
double in place from an audit hook, at an event the call raises itself
(`pathlib.Path.glob` in clear(), `open` in read()). One case per name, so
each gap is its own failure; the counts per call are printed at the end.

Every run sweeps every name in both families, so nothing is left for a
separate full run: about 250 cases, in children of 40 cases two at a time,
2-5 s of CPU time on a release build and about 9 s on a debug build.
Under BREVAN_TEST_GENERAL_PATH=1 there is no fast path to compare: skipped.
"""

import abc
import builtins
import concurrent.futures
import contextlib
import io
import json
import os
import pathlib
import shutil
import site
import subprocess
import sys
import sysconfig
import tempfile
import types

# ------------------------------------------------------------ the child side
# `python test_guard_sweep.py trace|sweep JOB OUT`: the job as JSON, the
# answer as JSON written to the file OUT.

SCENARIOS = ("read_good", "read_missing", "save_existing", "clear")
EVENTS = {"clear": "pathlib.Path.glob", "read_good": "open", "read_missing": "open"}
STDLIB = sysconfig.get_paths()["stdlib"] + os.sep
ORIGINAL_OPEN = builtins.open
IMMUTABLE = 1 << 8  # Py_TPFLAGS_IMMUTABLETYPE


def stdlib_module(name):
    """The module `name` if it is the standard library's (a built-in one, or a file under its directory)."""
    module = sys.modules.get(name)
    if not isinstance(module, types.ModuleType):
        return None
    file = vars(module).get("__file__")
    if file is None:
        return module if name in sys.builtin_module_names else None
    return module if file.startswith(STDLIB) and "-packages" not in file else None


class Log:
    """Where the doubles write: only inside the call's window, and never from their own bookkeeping."""

    calls = None  # a list while the call runs
    busy = False


def path_classes():
    return [c for c in pathlib.PosixPath.__mro__ if c is not object]


RAW_PATHS = next(c.__dict__["_raw_paths"] for c in path_classes() if "_raw_paths" in c.__dict__)
PATH_TYPES = frozenset(path_classes())


def show(value, depth=0):
    """repr() that runs no Python code of the objects shown (a Path by its raw paths, read through the
    slot's own descriptor) and no address."""
    kind = type(value)
    if value is None or kind in (bool, int, float, str, bytes):
        return repr(value)
    if depth > 4:
        return "..."
    if kind in (tuple, list, set, frozenset):
        return f"{kind.__name__}({', '.join(show(v, depth + 1) for v in value)})"
    if kind is dict:
        return "{" + ", ".join(f"{show(k, depth + 1)}: {show(v, depth + 1)}" for k, v in value.items()) + "}"
    if any(c in PATH_TYPES for c in kind.__mro__):
        try:
            raw = RAW_PATHS.__get__(value, kind)
        except AttributeError:
            raw = "<unset>"
        return f"{kind.__name__}[{show(raw, depth + 1)}]"
    if kind is os.DirEntry:
        return f"DirEntry[{value.path!r}]"
    if isinstance(value, types.ModuleType):
        return f"<module {value.__name__}>"
    if isinstance(value, type):
        return f"<class {value.__qualname__}>"
    if isinstance(value, BaseException):
        return f"{kind.__name__}{show(value.args, depth + 1)}"
    if kind is types.MethodType:
        return f"<method {value.__func__.__qualname__} of {show(value.__self__, depth + 1)}>"
    return f"<{kind.__qualname__} {getattr(value, '__qualname__', '')}>"


def note(label, *args, **kwargs):
    if Log.calls is not None and not Log.busy:
        Log.busy = True
        try:
            shown = [show(a) for a in args] + [f"{k}={show(v)}" for k, v in kwargs.items()]
            Log.calls.append(f"{label or 'call'}({', '.join(shown)})")
        finally:
            Log.busy = False


def recording(label, original):
    def double(*args, **kwargs):
        note(label, *args, **kwargs)
        return original(*args, **kwargs)

    return double


class ThroughGet:
    """A non-data descriptor standing for a plain class attribute or another non-data descriptor."""

    def __init__(self, label, original):
        self.label, self.original = label, original

    def note(self, what, *args):
        note(f"{self.label}|{what}" if self.label else what, *args)

    def __get__(self, obj, cls=None):
        self.note("get", obj)
        get = getattr(type(self.original), "__get__", None)
        return self.original if get is None else get(self.original, obj, cls)


class Through(ThroughGet):
    """A data descriptor standing for another (a slot member, a property): notes, then goes through."""

    def __get__(self, obj, cls=None):
        self.note("get", obj)
        return self.original.__get__(obj, cls)

    def __set__(self, obj, value):
        self.note("set", obj, value)
        self.original.__set__(obj, value)

    def __delete__(self, obj):
        self.note("delete", obj)
        self.original.__delete__(obj)


UNSAFE = {"__class__", "__getattribute__", "__setattr__", "__delattr__", "__init_subclass__", "__subclasshook__",
          "__dict__", "__weakref__", "__slots__", "_abc_impl"}


def double_for(owner, name, original, label):
    """A recording double of `original`, of the kind that behaves as it does where it lives; None when none."""
    if name in UNSAFE or (name.startswith("__") and name.endswith("__") and not callable(original)
                          and not hasattr(type(original), "__get__")):
        return None
    if isinstance(owner, types.ModuleType):
        return recording(label, original) if callable(original) and not isinstance(original, type) else None
    if isinstance(original, types.FunctionType) or type(original).__name__ in ("method_descriptor",
                                                                                 "wrapper_descriptor"):
        return recording(label, original)  # binds as the original does
    if isinstance(original, staticmethod):
        return staticmethod(recording(label, original.__func__))
    if isinstance(original, classmethod):
        return classmethod(recording(label, original.__func__))
    if hasattr(type(original), "__set__"):
        return Through(label, original)
    if callable(original) and not hasattr(type(original), "__get__") and not isinstance(original, type):
        return staticmethod(recording(label, original))  # a builtin or a callable object: never bound
    return ThroughGet(label, original)  # a plain value, a class (PurePath._globber) included


def resolve(location):
    """(owner, name, original, held): `held` tells whether the owner holds the name itself."""
    module, qualname, name = location.split(":")
    owner = sys.modules[module]
    for part in filter(None, qualname.split(".")):
        owner = vars(owner)[part]
    if name in vars(owner):
        return owner, name, vars(owner)[name], True
    inherited = next(vars(c)[name] for c in owner.__mro__ if name in vars(c))
    return owner, name, inherited, False


@contextlib.contextmanager
def patched(location, label=""):
    owner, name, original, held = resolve(location)
    double = double_for(owner, name, original, label)
    if double is None:
        raise LookupError(f"no double for {location}")
    setattr(owner, name, double)
    try:
        yield
    finally:
        if held:
            setattr(owner, name, original)
        else:
            delattr(owner, name)


def python_class(cls):
    """Whether a class is written in Python (functions of its own or its bases'), not made by C (a struct
    sequence, whose attributes C reads from its namespace)."""
    return not cls.__flags__ & IMMUTABLE and any(
        isinstance(getattr(v, "__func__", getattr(v, "fget", v)), types.FunctionType)
        for c in cls.__mro__ for v in vars(c).values())


def candidate_owners(touched):
    """The modules and classes whose attributes are instrumented: the standard-library modules the call
    touched, those the module's namespace holds, and the modules these and PosixPath's classes hold (one
    step: `os` in pathlib, `posixpath` as a Path's parser); the classes defined in all of them; PosixPath's
    classes."""
    import brevan.setting as setting

    first = {stdlib_module(n) for n in touched} | {stdlib_module(c.__module__) for c in path_classes()}
    first |= {v for v in vars(setting).values() if isinstance(v, types.ModuleType)}
    first.discard(None)
    modules = {builtins, io} | first  # where open lives: bound at import now, looked up if that changes
    for holder in [*first, *path_classes()]:
        modules |= {v for v in vars(holder).values() if isinstance(v, types.ModuleType) and stdlib_module(v.__name__)}
    owners = {f"{m.__name__}:": m for m in modules}
    for m in modules:
        for value in list(vars(m).values()):
            if (isinstance(value, type) and value.__module__ == m.__name__ and vars(m).get(value.__name__) is value
                    and type(value) in (type, abc.ABCMeta) and python_class(value)):
                owners[f"{m.__name__}:{value.__qualname__}"] = value
    for c in path_classes():
        owners[f"{c.__module__}:{c.__qualname__}"] = c
    return owners


def attributes(owners):
    """Every location (module:qualname:name) that may hold what a call reaches, with its object."""
    for key, owner in owners.items():
        space = vars(owner)
        names = ["open"] if owner is builtins else list(space)
        if owner is path_classes()[-1]:  # object's own, as PosixPath's classes inherit them
            names += [n for n in dir(object) if n != "__new__" and all(n not in vars(c) for c in path_classes())]
        for name in names:
            value = space[name] if name in space else getattr(object, name)
            yield f"{key}:{name}", owner, name, value


def profiled(call):
    """The standard-library Python code that call() runs, and the modules it touches (those of the code,
    of the classes of their `self`, of the builtins called), by sys.setprofile."""
    codes, classes, builtin_calls = {}, {}, {}

    def profile(frame, event, arg):
        if event == "call":
            code = frame.f_code
            codes[code] = frame.f_globals.get("__name__")
            if code.co_argcount and code.co_varnames[0] in frame.f_locals:  # the classes of a method's self
                first = frame.f_locals[code.co_varnames[0]]
                classes.update((id(c), c) for c in (first if isinstance(first, type) else type(first)).__mro__)
        elif event == "c_call":
            builtin_calls[id(arg)] = arg

    saved, sys.stdout = sys.stdout, io.StringIO()
    sys.setprofile(profile)
    try:
        call()
    finally:
        sys.setprofile(None)
        sys.stdout = saved
    modules = {*codes.values(), *(c.__module__ for c in classes.values()),
               *(getattr(getattr(f, "__self__", None), "__name__", None) for f in builtin_calls.values())}
    return ({code for code, module in codes.items() if stdlib_module(module)},
            {module for module in modules if isinstance(module, str) and stdlib_module(module)})


# ------------------------------------------------------------ scratch trees and the calls


def build(root, scenario):
    """The files a scenario's call meets: a settings file, or site-packages directories to clean."""
    if scenario != "clear":
        (root / ("tolvek.json" if scenario == "save_existing" else "good.json")).write_text('{"a": 1}')
        return
    site.USER_SITE = str(root / "user" / "site-packages")
    site.PREFIXES = [str(root / "prefix")]
    for sp in [site.getusersitepackages(), *site.getsitepackages()]:
        if "site-packages" in sp:
            for entry in ("pkg~old", "pkg"):
                os.makedirs(os.path.join(sp, entry))
                with open(os.path.join(sp, entry, "f"), "w") as f:
                    f.write(entry)


def call_of(setting, root, scenario):
    """The call, with its arguments made now (before any double is in place)."""
    if scenario == "read_good":
        item = pathlib.Path(root / "good.json")
        return lambda: setting.read([item])
    if scenario == "read_missing":
        missing, good = str(root / "missing.json"), str(root / "good.json")
        return lambda: setting.read([missing, good])
    if scenario == "save_existing":
        target = str(root / "tolvek.json")
        return lambda: setting.save({"c": 3}, target)
    return setting.clear


def fresh(scratch, scenario):
    """The tree for one call, made anew at the same place: both runs name the same paths."""
    root = pathlib.Path(scratch, "root")
    if root.exists():
        shutil.rmtree(root)
    root.mkdir()
    build(root, scenario)
    return root


@contextlib.contextmanager
def general_path(general):
    """The fast paths refused, as conftest's general_site refuses them: builtins.open wrapped."""
    wrapped = general and builtins.open is ORIGINAL_OPEN
    if wrapped:
        builtins.open = ORIGINAL_OPEN.__call__
    try:
        yield
    finally:
        if wrapped:
            builtins.open = ORIGINAL_OPEN


@contextlib.contextmanager
def patched_all(doubles):
    done = []
    try:
        for owner, name, value, double in doubles:
            held = name in vars(owner)
            setattr(owner, name, double)
            done.append((owner, name, value, held))
        yield
    finally:
        for owner, name, value, held in reversed(done):
            if held:
                setattr(owner, name, value)
            else:
                delattr(owner, name)


def snapshot(root):
    return sorted((os.path.relpath(os.path.join(top, name), root), "dir" if name in dirs else open(
        os.path.join(top, name), "rb").read().decode("latin-1")) for top, dirs, files in os.walk(root)
        for name in dirs + files)


AUDIT = []  # [window open?, events...]
ON_EVENT = {}  # event: what a hook does at its next occurrence


def observe(setting, scratch, scenario, general, location=None, event=None):
    """One call in a fresh tree, with the double at `location` put in place before it or at `event`: what
    it returned or raised, the double's calls, the lines printed, the audit events and the files left."""
    root = fresh(scratch, scenario)
    act = call_of(setting, root, scenario)
    out, calls = io.StringIO(), []
    with contextlib.ExitStack() as stack:
        if location and event:
            ON_EVENT[event] = lambda: stack.enter_context(patched(location))
        elif location:
            stack.enter_context(patched(location))
        stack.enter_context(general_path(general))
        saved_stdout, sys.stdout = sys.stdout, out
        AUDIT[:] = [True]
        Log.calls = calls
        try:
            outcome = show(act())
        except Exception as error:  # noqa: BLE001 - compared, not swallowed
            outcome = "raised " + show(error)
        finally:
            Log.calls = None
            AUDIT[0] = False
            sys.stdout = saved_stdout
            ON_EVENT.clear()
    hide = lambda text: text.replace(str(root), "<root>").replace(str(root.parent), "<scratch>")  # noqa: E731
    return {"result": hide(outcome), "calls": [hide(call) for call in calls],
            "printed": hide(out.getvalue()).splitlines(), "events": [hide(event) for event in AUDIT[1:]],
            "files": snapshot(root)}


# ------------------------------------------------------------ the two jobs


def trace(setting, scratch, job):
    """For each scenario: the locations its general path reaches, and the code the fast path skips."""
    answer = {}
    for scenario in SCENARIOS:
        for general in (True, False):  # warm: what every call reaches, not what a first one fills caches with
            observe(setting, scratch, scenario, general)
        runs = {}
        for general in (True, False):
            act = call_of(setting, fresh(scratch, scenario), scenario)
            with general_path(general):
                runs[general] = profiled(act)
        owners = candidate_owners(runs[True][1])
        # The instrumented run: every attribute of those owners at once, each noting that it was
        # reached; it finds what is looked up where it lives, whether Python or C code looks it up.
        doubles = [(owner, name, value, double) for location, owner, name, value in attributes(owners)
                   if (double := double_for(owner, name, value, location)) is not None]
        act = call_of(setting, fresh(scratch, scenario), scenario)
        calls = []
        with general_path(True), patched_all(doubles), contextlib.redirect_stdout(io.StringIO()):
            Log.calls = calls
            try:
                act()
            finally:
                Log.calls = None
        reached = {call.split("|")[0].split("(")[0] for call in calls}
        answer[scenario] = {"locations": sorted(reached),
                            "skipped": sorted({c.co_qualname for c in runs[True][0] - runs[False][0]})}
    return answer


def fast_code(setting, scratch, scenario):
    """The standard-library Python code an untouched call runs, fast paths allowed."""
    act = call_of(setting, fresh(scratch, scenario), scenario)
    return {code.co_qualname for code in profiled(act)[0]}


def sweep(setting, scratch, job):
    """For each (scenario, location, at_event): the call with the fast paths allowed, then refused; and
    whether, the double gone, the fast path is taken again (so the next case starts from it)."""
    answer, baseline = [], {}
    for scenario, location, at_event in job:
        if scenario not in baseline:
            for general in (True, False):  # warm
                observe(setting, scratch, scenario, general)
            baseline[scenario] = fast_code(setting, scratch, scenario)
        event = EVENTS[scenario] if at_event else None
        sides = [observe(setting, scratch, scenario, general, location, event) for general in (False, True)]
        answer.append([*sides, fast_code(setting, scratch, scenario) == baseline[scenario]])
    return answer


def child_main(mode, job, out):
    sys.addaudithook(lambda event, args: AUDIT and AUDIT[0] and not Log.busy and AUDIT.append(f"{event}{show(args)}"))
    sys.addaudithook(lambda event, args: ON_EVENT.pop(event)() if event in ON_EVENT else None)
    import brevan.setting as setting

    with tempfile.TemporaryDirectory() as scratch:
        answer = (trace if mode == "trace" else sweep)(setting, scratch, json.loads(job))
    with open(out, "w") as f:
        json.dump(answer, f)


if __name__ == "__main__":
    child_main(*sys.argv[1:])
    sys.exit()

import pytest  # noqa: E402

from conftest import GENERAL_PATH  # noqa: E402

pytestmark = pytest.mark.skipif(GENERAL_PATH, reason="the fast paths are refused for this run: nothing to compare")


def run_child(mode, job, directory):
    """The child side above, run by this Python with the module installed; its answer."""
    out = os.path.join(directory, f"{mode}.json")
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "BREVAN_TEST_GENERAL_PATH")}
    result = subprocess.run([sys.executable, __file__, mode, json.dumps(job), out], cwd=directory, env={
        **env, "NO_COLOR": "1", "HOME": directory}, capture_output=True, text=True, timeout=600)
    if result.returncode != 0:
        raise RuntimeError(f"{mode} child failed ({result.returncode}):\n{result.stdout}\n{result.stderr}")
    with open(out) as f:
        return json.load(f)


if GENERAL_PATH:
    TRACE = {}
else:
    with tempfile.TemporaryDirectory() as directory:
        TRACE = run_child("trace", {}, directory)


def shown(location):
    module, qualname, name = location.split(":")
    return ".".join(filter(None, (module, qualname, name)))


CASES = [pytest.param(scenario, location, at_event, id=f"{scenario}{'@' + EVENTS[scenario] if at_event else ''}:"
                      f"{shown(location)}")
         for scenario, found in TRACE.items() for at_event in (False, True) if not at_event or scenario in EVENTS
         for location in found["locations"]]


@pytest.fixture(scope="module", autouse=True)
def counts(request):
    """The number of names swept per call, printed at the end of the module."""
    yield
    reporter = request.config.pluginmanager.get_plugin("terminalreporter")
    capture = request.config.pluginmanager.get_plugin("capturemanager")
    if reporter is not None and capture is not None and TRACE:
        with capture.global_and_fixture_disabled():
            reporter.write_line(f"\nguard sweep, Python {sys.version.split()[0]}: " + ", ".join(
                f"{scenario} {len(found['locations'])} names" for scenario, found in TRACE.items()))


@pytest.fixture(scope="session")
def swept(request):
    """The two observations of a case; the first use runs every selected case, in batches of one child
    each, two at a time."""
    results = {}

    def get(case):
        if case not in results:
            pending = [c for item in request.session.items if item.originalname == "test_double_sees_the_same"
                       and (c := tuple(item.callspec.params[k] for k in ("scenario", "location", "at_event")))
                       not in results]
            batches = [pending[i:i + 40] for i in range(0, len(pending), 40)]

            def run(batch):
                with tempfile.TemporaryDirectory() as directory:
                    try:
                        answers = run_child("sweep", batch, directory)
                    except RuntimeError as error:
                        answers = [error] * len(batch)
                results.update(zip(batch, answers))

            with concurrent.futures.ThreadPoolExecutor(2) as pool:
                list(pool.map(run, batches))
        return results[case]

    return get


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_trace_finds_what_the_fast_path_skips(scenario):
    """The trace found names, and the fast path, untouched, runs less of the standard library's Python code
    than the general path: the sweep compares two different paths."""
    assert TRACE[scenario]["locations"]
    assert TRACE[scenario]["skipped"]


@pytest.mark.parametrize(("scenario", "location", "at_event"), CASES)
def test_double_sees_the_same(swept, scenario, location, at_event):
    """With a recording double at `location` (before the call, or from a hook at the call's own event), the
    fast paths allowed and refused give the same result, calls of the double, lines, events and files."""
    answer = swept((scenario, location, at_event))
    if isinstance(answer, Exception):
        raise answer
    fast, general, fast_again = answer
    differing = {key: {"fast": fast[key], "general": general[key]} for key in fast if fast[key] != general[key]}
    assert not differing, json.dumps(differing, indent=1)
    assert fast_again, "the double gone, the fast path is not taken again"
