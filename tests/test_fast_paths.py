"""The direct paths of read(), save() and clear() against the general path
(forced by wrapping builtins.open): each generated case runs both ways in
fresh copies of the same files, with the same results, console lines,
exceptions, files and audit events. Last, clear()'s walk of the site
directories against the Python loop it stands for."""

import gc
import inspect
import io
import os
import pathlib
import re
import shutil
import subprocess
import sys
import textwrap
import traceback
import types
from types import SimpleNamespace

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import vexil
from conftest import GENERAL_PATH, SANITIZED, examples, general_site, needs_linux, open_wrapper

EVENTS = []
sys.addaudithook(lambda name, args: EVENTS.append((name, args)) if EVENTS and name in AUDITED else None)
AUDITED = {"open", "os.scandir", "pathlib.Path.glob", "os.stat"}

CONTENTS = {"settings": b'{"server": {"home": "x"}, "studio": {}}', "broken": b'{"server": ',
            "invalid": b'{"a": "\xff\xfe"}', "bom": b'\xef\xbb\xbf{"a": 1}', "crlf": b'{"a":\r\n "b\\r"\r}\r',
            "empty": b"", "false": b"{}"}
KINDS = [*CONTENTS, "dir", "missing", "link", "dangling", "unreadable"]
NAMES = ["f.json", "ü ~.json", os.fsdecode(b"\xff\xfe.json"), "f\0.json"]
FORMS = ["{}", "./{}", "sub//../{}", "{}/", "sub/./{}", "/{}"]  # absolute: prefixed with the root
CASE = settings(max_examples=examples(60), derandomize=True, deadline=None,
                suppress_health_check=[HealthCheck.function_scoped_fixture])


def make(root, name, kind):
    """One entry of `kind` at root/name, beside a directory `sub` and a file `target`."""
    (root / "sub").mkdir(exist_ok=True)
    (root / "target").write_bytes(CONTENTS["settings"])
    path = root / name
    if "\0" in name or kind == "missing":
        return
    if kind == "dir":
        path.mkdir()
    elif kind in ("link", "dangling"):
        path.symlink_to(root / ("gone" if kind == "dangling" else "target"))
    else:
        path.write_bytes(CONTENTS.get(kind, b"{}"))
        path.chmod(0 if kind == "unreadable" else 0o644)


def describe(exc, root):
    """An exception as the caller sees it, with the scratch root hidden."""
    if exc is None:
        return None
    hide = lambda value: str(value).replace(str(root), "<root>")
    frames = traceback.StackSummary.extract(traceback.walk_tb(exc.__traceback__), lookup_lines=False)
    where = [(e.name, e.lineno) for e in frames[-2:]]
    return type(exc), hide(exc), hide(getattr(exc, "filename", None)), where, describe(exc.__context__, root)


def run_both(tmp_path, monkeypatch, build, act):
    """act(root) in a fresh tree, with the fast paths and without them."""
    seen = []
    for general in (False, True):
        root = tmp_path / f"run{len(list(tmp_path.iterdir()))}"
        root.mkdir()
        build(root)
        monkeypatch.chdir(root)
        lines = []
        hide = lambda value: repr(value).replace(str(root), "<root>")
        with monkeypatch.context() as m:
            m.setattr("brevan.setting.iprint", lambda *a, **k: lines.append((a, k, describe(sys.exception(), root))))
            if general:
                m.setattr("builtins.open", open_wrapper())
            EVENTS[:] = [None]
            try:
                outcome = hide(act(root))
            except BaseException as exc:  # noqa: B036 - compared, not swallowed
                outcome = describe(exc, root)
            events = [(name, hide(args)) for name, args in EVENTS[1:]]
            EVENTS.clear()
        after = sorted((os.path.relpath(path, root), os.path.islink(path) or pathlib.Path(path).read_bytes())
                       for top, dirs, files in os.walk(root) for path in (os.path.join(top, f) for f in dirs + files)
                       if not os.path.isdir(path) or os.path.islink(path))
        seen.append((outcome, [(hide(a), k, e) for a, k, e in lines], events, after))
    assert seen[0] == seen[1]


def as_given(root, name, form, absolute, as_path):
    text = form.format(name)
    text = f"{root}/{text}" if absolute or text.startswith("/") else text
    return pathlib.Path(text) if as_path and "\0" not in text else text


paths = dict(name=st.sampled_from(NAMES), form=st.sampled_from(FORMS), absolute=st.booleans(), as_path=st.booleans())


@CASE
@given(kinds=st.lists(st.sampled_from(KINDS), min_size=1, max_size=2), **paths)
def test_read_both_ways(setting, tmp_path, monkeypatch, kinds, name, form, absolute, as_path):
    def build(root):
        for i, kind in enumerate(kinds):
            make(root, f"{i}{name}", kind)

    def act(root):
        result = setting.read([as_given(root, f"{i}{name}", form, absolute, as_path) for i in range(len(kinds))])
        return result, getattr(result[0], "_str", None)  # the text str() cached, as open() leaves it

    run_both(tmp_path, monkeypatch, build, act)


@CASE
@given(kind=st.sampled_from(KINDS), override=st.sampled_from([0, 1]), default=st.booleans(), **paths)
def test_save_both_ways(setting, tmp_path, monkeypatch, kind, override, default, name, form, absolute, as_path):
    def act(root):
        target = as_given(root, name, form, absolute, as_path)
        if default:
            monkeypatch.setattr(setting, "tjs", [None, target])
        return setting.save({"a": [1]}, "" if default else target, override=override)

    run_both(tmp_path, monkeypatch, lambda root: make(root, name, kind), act)


@CASE
@given(entries=st.lists(st.tuples(st.sampled_from(["pkg", "p~kg", ".~x", "~"]), st.sampled_from(KINDS)),
                        max_size=3, unique_by=lambda e: e[0]),
       site=st.sampled_from(["site-packages", "site-packages/", "a//site-packages", "missing/site-packages",
                             "file-site-packages", "file-site-packages/x"]),
       pattern=st.sampled_from(["*~*", "~*"]))
def test_clear_both_ways(setting, tmp_path, monkeypatch, entries, site, pattern):
    def build(root):
        (root / "site-packages").mkdir()
        (root / "file-site-packages").write_text("")
        (root / "a").symlink_to(".")
        for name, kind in entries:
            make(root / "site-packages", name, kind)

    def act(root):
        monkeypatch.setattr(setting, "site", SimpleNamespace(
            getusersitepackages=lambda: f"{root}/{site}", getsitepackages=lambda: [site]))
        return setting.clear(pattern)

    run_both(tmp_path, monkeypatch, build, act)


@pytest.mark.skipif(not os.access("/proc/kallsyms", os.R_OK), reason="no readable /proc/kallsyms")
def test_proc_file_read_to_its_end(setting, tmp_path, monkeypatch):
    """A /proc file reads short long before its end: both ways read all of it."""
    monkeypatch.setattr(setting, "loads", lambda text: {"size": len(text), "hash": hash(text)})
    run_both(tmp_path, monkeypatch, lambda root: None, lambda root: setting.read(["/proc/kallsyms"])[1])


@pytest.mark.skipif(SANITIZED or not os.access("/dev/shm", os.W_OK), reason="no tmpfs at /dev/shm, or sanitized")
@pytest.mark.parametrize("size", [2**63 - 2, 2**62])  # more than a bytes object holds; more than memory
def test_absurd_size_fails_as_io_fails(setting, tmp_path, monkeypatch, size):
    """A sparse file whose size no buffer can take: both ways report io's own error."""
    sparse = pathlib.Path(f"/dev/shm/brevan-sparse-{os.getpid()}.json")

    def build(root):
        with open(sparse, "wb") as f:
            f.truncate(size)  # tmpfs takes any size below 2**63
        (root / "tolvek.json").symlink_to(sparse)

    try:
        run_both(tmp_path, monkeypatch, build, lambda root: setting.read([str(root / "tolvek.json")]))
    finally:
        sparse.unlink(missing_ok=True)


PATHLIB = os.path.dirname(pathlib.__file__) if pathlib.__file__.endswith("__init__.py") else pathlib.__file__
MAKING_PATH = {"__new__", "__init__"}  # Path(item): read() and clear() make it either way
CALLS = {"save": lambda s, p: s.save({}, p), "read": lambda s, p: s.read([p]), "clear": lambda s, p: s.clear()}


@pytest.fixture
def settled(setting, scratch, monkeypatch):
    """An existing settings file (its path as text) and a site-packages with nothing to clear."""
    scratch.user.write_text("{}")
    site_packages = str(scratch.root / "site-packages")
    os.mkdir(site_packages)
    monkeypatch.setattr(setting, "site", SimpleNamespace(
        getusersitepackages=lambda: site_packages, getsitepackages=lambda: []))
    monkeypatch.setattr(setting, "iprint", lambda *a, **k: None)
    return str(scratch.user)


def pathlib_code_run(action):
    """The names of pathlib's Python functions that action() runs."""
    names = set()
    sys.setprofile(lambda frame, event, arg: event == "call" and frame.f_code.co_filename.startswith(PATHLIB)
                   and names.add(frame.f_code.co_name))
    try:
        action()
    finally:
        sys.setprofile(None)
    return names


@pytest.mark.skipif(GENERAL_PATH, reason="the fast paths are refused for this run")
@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS)
def test_fast_paths_are_taken(setting, settled, monkeypatch, call):
    """Beyond making the Path, pathlib's code runs only where open is replaced."""
    call(setting, settled)  # the first use checks pathlib itself
    assert pathlib_code_run(lambda: call(setting, settled)) <= MAKING_PATH
    monkeypatch.setattr("builtins.open", open_wrapper())
    assert pathlib_code_run(lambda: call(setting, settled)) - MAKING_PATH


ON_EVENT = {}  # event name: what a hook does when it is raised, once
sys.addaudithook(lambda name, args: ON_EVENT.pop(name)(args) if name in ON_EVENT else None)
SITE_PACKAGES_LIST = lambda root: SimpleNamespace(getusersitepackages=lambda: f"{root}/site-packages",  # noqa: E731
                                                  getsitepackages=lambda: [])
HOOK_ACTS = {  # a hook that acts at an event sees the state before the operation it announces
    "open: descriptors": ("read", "open", lambda root, seen: seen.append(len(os.listdir("/proc/self/fd")))),
    "open: file made": ("read", "open", lambda root, seen: (root / "f.json").write_text('{"made": 1}')),
    "open: refused": ("read", "open", lambda root, seen: seen.append(len(os.listdir("/proc/self/fd")))
                      or (_ for _ in ()).throw(PermissionError("refused by a hook"))),
    "glob: match made": ("clear", "pathlib.Path.glob", lambda root, seen: (root / "site-packages/a~").mkdir()),
    "scandir: match made": ("clear", "os.scandir", lambda root, seen: (root / "site-packages/b~").mkdir()),
    "glob: refused": ("clear", "pathlib.Path.glob", lambda root, seen: (_ for _ in ()).throw(PermissionError("no"))),
    "open: directory swapped in": ("read", "open", lambda root, seen: (root / "f.json").unlink()
                                   or (root / "f.json").mkdir()),
}


COUNTS_DESCRIPTORS = {"open: descriptors", "open: refused"}  # through /proc/self/fd


@pytest.mark.parametrize("case", [pytest.param(case, marks=needs_linux("/proc/self/fd") if case in COUNTS_DESCRIPTORS
                                                 else ()) for case in HOOK_ACTS])
def test_hook_acts_before_the_operation(setting, tmp_path, monkeypatch, case):
    call, event, act = HOOK_ACTS[case]

    def build(root):
        (root / "site-packages").mkdir()
        if case != "open: file made":
            (root / "f.json").write_text('{"a": 1}')

    def run(root):
        seen = []
        monkeypatch.setattr(setting, "site", SITE_PACKAGES_LIST(root))
        ON_EVENT[event] = lambda args: act(root, seen)
        try:
            return setting.read([str(root / "f.json")]) if call == "read" else setting.clear(), seen
        finally:
            ON_EVENT.clear()

    run_both(tmp_path, monkeypatch, build, run)


def counting_double(owner, name, seen):
    """A stand-in for owner.<name>, of the same kind, that notes each call and does what it did."""
    raw = inspect.getattr_static(owner, name)
    note = lambda: seen.append(name)  # noqa: E731
    if isinstance(raw, classmethod):
        return classmethod(lambda cls, *a, **k: note() or raw.__func__(cls, *a, **k))
    if isinstance(raw, property):
        return property(lambda self: note() or raw.fget(self))
    return lambda *a, **k: note() or raw(*a, **k)


@pytest.mark.parametrize(("owner", "name", "call"), [
    (pathlib.Path, "exists", "save"), (pathlib.Path, "stat", "save"), (os, "stat", "save"),
    (os.path, "exists", "save"), (pathlib.PurePath, "__init__", "save"), (pathlib.Path, "__new__", "save"),
    (pathlib.Path, "__fspath__", "read"), (pathlib.Path, "__format__", "read"),
    (pathlib.Path, "glob", "clear"), (pathlib.Path, "__str__", "clear"),
])
def test_patched_pathlib_is_called(setting, settled, monkeypatch, owner, name, call):
    """A test double patched onto Path (or os) is called as often as the general path calls it."""
    CALLS[call](setting, settled)  # past the first use, which checks pathlib itself
    if isinstance(owner, type):  # patched where this version defines it (3.13: exists on PathBase)
        owner = next((cls for cls in owner.__mro__[:-1] if name in vars(cls)), owner)
    seen = {}
    for general in (False, True):
        with monkeypatch.context() as patch:
            patch.setattr(owner, name, counting_double(owner, name, seen.setdefault(general, [])))
            if general:
                patch.setattr("builtins.open", open_wrapper())
            CALLS[call](setting, settled)
    assert seen[False] == seen[True]
    # Once the double is gone, the fast path is taken again.
    assert GENERAL_PATH or pathlib_code_run(lambda: CALLS[call](setting, settled)) <= MAKING_PATH


def test_method_bound_over_os_stat_is_called(setting, settled, monkeypatch):
    """os.stat replaced by a method bound over os.stat's own builtin is another function: both paths call it."""
    CALLS["save"](setting, settled)
    outcome = {}
    for general in (False, True):
        with monkeypatch.context() as patch:
            patch.setattr(os, "stat", types.MethodType(os.stat, settled))  # stat(settled, path) -> TypeError
            if general:
                patch.setattr("builtins.open", open_wrapper())
            try:
                outcome[general] = CALLS["save"](setting, settled)
            except Exception as error:  # noqa: BLE001 - the outcome is compared
                outcome[general] = (type(error), str(error))
    assert outcome[False] == outcome[True]


class Colliding:
    """Hashes as `twin`, so that a lookup of `twin` compares with it; its next comparison raises `error`
    (as a signal handler or a failed allocation may, anywhere), once."""

    error = None

    def __hash__(self):
        return hash(self.twin)

    def __eq__(self, other):
        error, self.error = self.error, None
        if error is not None:
            raise error
        return False


LOOKED_UP = {  # where the general path looks the twin up too: exists() calls os.stat, os.environ.get reads _data
    "save": (vars(os), type("Key", (Colliding, str), {})("stat~"), "stat", lambda s, p: s.save({}, p)),
    "iprint": (os.environ._data, type("Key", (Colliding, bytes), {})(b"NO_COLOR~"), b"NO_COLOR",
               lambda s, p: vexil.iprint("line", foreground="red")),
}


@pytest.mark.parametrize("error", [KeyboardInterrupt, MemoryError])
@pytest.mark.parametrize("call", LOOKED_UP)
def test_guards_raise_the_calls_own_errors(setting, settled, colour, monkeypatch, call, error):
    """An interrupt or a MemoryError met where a guard looks up what the general path looks up is
    raised, not taken for a changed standard library."""
    space, key, key.twin, act = LOOKED_UP[call]
    act(setting, settled)  # past the first use
    value = space.get(key.twin)
    monkeypatch.delitem(space, key.twin, raising=False)  # the key goes in front of its twin
    monkeypatch.setitem(space, key, b"")
    if value is not None:
        monkeypatch.setitem(space, key.twin, value)
    monkeypatch.setattr(sys, "stdout", io.StringIO())
    key.error = error
    with pytest.raises(error):
        act(setting, settled)
    assert sys.stdout.getvalue() == ""


REPLACED = {
    "sys.audit": "sys.audit = lambda *a: print('replacement called', a[0])",
    "Path.exists": "pathlib.Path.exists = lambda self, **k: print('double called') or True",
    # functools.wraps copies __module__, __qualname__ and __wrapped__: only identity tells.
    "Path.exists, wrapped": "pathlib.Path.exists = functools.wraps(pathlib.Path.exists)("
                            "lambda self, *a, _r=pathlib.Path.exists, **k: print('double called') or _r(self, *a, **k))",
    # A Path that names another file than the text it was made from.
    "PurePath.__init__": "pathlib.PurePath.__init__ = functools.wraps(pathlib.PurePath.__init__)("
                         "lambda self, *a, _r=pathlib.PurePath.__init__: print('double called') or "
                         "_r(self, *[str(x).replace('tolvek', 'other') for x in a]))",
}


def test_class_put_in_front_of_pathlib(setting, settled, monkeypatch):
    """A class that holds exists() put into PosixPath's bases is called as the general path calls it."""
    CALLS["save"](setting, settled)
    seen, bases = {}, pathlib.PosixPath.__bases__
    for general in (False, True):
        front = type("Front", (), {"__slots__": (), "exists": lambda self, **k: seen.setdefault(general, []).append(1)})
        with monkeypatch.context() as patch:
            pathlib.PosixPath.__bases__ = (front, *bases)
            if general:
                patch.setattr("builtins.open", open_wrapper())
            try:
                CALLS["save"](setting, settled)
            finally:
                pathlib.PosixPath.__bases__ = bases
    assert seen == {False: [1], True: [1]}
    assert GENERAL_PATH or pathlib_code_run(lambda: CALLS["save"](setting, settled)) <= MAKING_PATH


@pytest.mark.parametrize("replaced", REPLACED)
@pytest.mark.parametrize("when", ["before import", "after the first call"])
def test_replaced_before_first_use(tmp_path, replaced, when):
    """What was replaced before the module could see the original: same output both ways."""
    (tmp_path / "tolvek.json").write_text('{"a": 1}')
    before, after = (REPLACED[replaced], "") if when == "before import" else ("", REPLACED[replaced])
    code = textwrap.dedent(f"""
        import functools, os, pathlib, sys
        sys.addaudithook(lambda event, args: event in {sorted(AUDITED)} and print(event, args))
        {before}
        import brevan.setting as s
        s.save({{}}, "tolvek.json")
        {after}
        print(s.read(["missing.json", "tolvek.json"])[1], s.save({{}}, "tolvek.json"), s.clear())
        print(sorted(os.listdir()))
        """)
    runs = []
    for run, extra in (("fast", {}), ("general", {"PYTHONPATH": general_site(tmp_path / "site")})):
        (tmp_path / run).mkdir()
        shutil.copy(tmp_path / "tolvek.json", tmp_path / run)
        runs.append(subprocess.run([sys.executable, "-c", code], cwd=tmp_path / run, capture_output=True, text=True,
                                   env={**os.environ, "NO_COLOR": "1", "HOME": str(tmp_path / run), **extra}))
    assert runs[0].returncode == 0, runs[0].stderr
    assert runs[0].stdout.replace(f"{tmp_path}/fast", "<run>") == runs[1].stdout.replace(f"{tmp_path}/general", "<run>")
    assert " called" in runs[0].stdout  # pathlib calls the replacement (for its glob event) or the double


def test_audit_events_are_the_general_paths(run_python, tmp_path):
    """Every audit event of the import and the first calls is one the general path raises too: none
    from looking at the standard library's functions (their __code__) to prove them unchanged."""
    code = """
        import json, os, pathlib, shutil, site, subprocess, sys, types
        open("tolvek.json", "w").write("{}")
        events = []
        sys.addaudithook(lambda event, args: events.append((event, args[:1] if event == "import" else args)))
        import vexil, brevan.setting as s
        vexil.iprint("coloured", foreground="red")
        print(s.read(["missing.json", "tolvek.json"]), s.save({}, "tolvek.json"), s.save({}, "new.json"), s.clear())
        vexil.iprint("again", foreground="cyan", background="red")
        print(*events, sep="\\n")
        """
    runs = [re.sub(" at 0x[0-9a-f]+", "", run_python(code, cwd=tmp_path / run, home=tmp_path / run, env={
                "NO_COLOR": "", "FORCE_COLOR": "1", **extra}).stdout.replace(str(tmp_path / run), "<run>"))
            for run, extra in (("fast", {}), ("general", {"PYTHONPATH": general_site(tmp_path / "site")}))]
    assert runs[0] == runs[1]
    assert "'__code__'" not in runs[0]


@pytest.mark.parametrize(("flags", "env"), [
    (["-X", "warn_default_encoding", "-W", "always"], {}),
    (["-X", "utf8=0"], {}),
    (["-X", "utf8=0"], {"LC_ALL": "C", "PYTHONCOERCECLOCALE": "0"}),
    (["-X", "utf8=1"], {"LC_ALL": "C"}),
])
def test_interpreter_settings_like_general_path(tmp_path, flags, env):
    """Encodings and warnings that open() takes from the interpreter: same output both ways."""
    (tmp_path / "tolvek.json").write_bytes('{"a": "\u00e9"}'.encode())
    code = "import brevan.setting as s; print(s.read(), s.save({}, 'tolvek.json'))"
    runs = [subprocess.run([sys.executable, *flags, "-c", code], cwd=tmp_path, capture_output=True,
                           env={**os.environ, "NO_COLOR": "1", "HOME": str(tmp_path), **env, **extra})
            for extra in ({}, {"PYTHONPATH": general_site(tmp_path / "general")})]
    assert runs[0].returncode == 0, runs[0].stderr
    assert (runs[0].stdout, runs[0].stderr) == (runs[1].stdout, runs[1].stderr)


def test_fifo_is_opened_once(tmp_path):
    """A FIFO settings file meets its writer (another process) once, in the general path."""
    fifo = str(tmp_path / "tolvek.json")
    os.mkfifo(fifo)
    writer = subprocess.Popen([sys.executable, "-c", f"open({fifo!r}, 'w').write('{{\"a\": 1}}')"])
    try:
        result = subprocess.run([sys.executable, "-c", f"import brevan.setting as s; print(s.read([{fifo!r}])[1])"],
                                capture_output=True, text=True, timeout=30, env={**os.environ, "NO_COLOR": "1"})
    finally:
        writer.kill()
        writer.wait()
    assert result.stdout.endswith("{'a': 1}\n"), result.stderr


def test_fifo_swapped_in_at_the_open_event(tmp_path):
    """A file that becomes a FIFO when open is announced is opened as io opens it: the lock is
    let go while it waits, so a writer thread of the same process gets to write (no deadlock)."""
    code = textwrap.dedent("""
        import os, sys, threading, brevan.setting as s
        def swap(event, args):
            if event == "open" and args[0] == "tolvek.json" and not os.path.exists("swapped"):
                open("swapped", "w").close()
                os.unlink("tolvek.json")
                os.mkfifo("tolvek.json")
                threading.Thread(target=lambda: open("tolvek.json", "w").write('{"b": 2}')).start()
        sys.addaudithook(swap)
        print(s.read(["tolvek.json"])[1])
        """)
    outputs = []
    for run, extra in (("fast", {}), ("general", {"PYTHONPATH": general_site(tmp_path / "site")})):
        (tmp_path / run).mkdir()
        (tmp_path / run / "tolvek.json").write_text('{"a": 1}')
        result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path / run, capture_output=True, text=True,
                                timeout=60, env={**os.environ, "NO_COLOR": "1"})
        outputs.append((result.returncode, result.stdout, result.stderr))
    assert outputs[0] == outputs[1]
    assert outputs[0][1].endswith("{'b': 2}\n")


def python_clear(pattern="*~*"):  # the loop clear() stands for, with site and Path set here by walk()
    for sp in [site.getusersitepackages()] + site.getsitepackages():  # noqa: F821
        if "site-packages" in sp:
            for fp in Path(sp).glob(pattern=pattern):  # noqa: F821
                pass


class RightAdd:
    def __radd__(self, other):
        return iter([*other, "b/site-packages", 5])


LISTINGS = {  # what getsitepackages() returns: a list is walked by index
    "empty list": lambda: [],
    "several": lambda: ["a/site-packages", "b/dist-packages", "c/site-packages"],
    "bytes entry": lambda: [b"a/site-packages"],
    "list subclass": lambda: type("Listing", (list,), {})(["a/site-packages"]),
    "answers + itself": RightAdd,
    "None": lambda: None,
    # Path() of the first directory empties every list holding it, the walked copy too.
    "changed under the walk": lambda: ["a/site-packages", "b/site-packages"],
}


def walk(clear, namespace, monkeypatch, listing, user):
    """The calls a clear() makes, and how it ends."""
    events = []

    def recording_path(sp):
        events.append(("Path", sp))
        if listing == "changed under the walk":
            for holder in gc.get_referrers(sp):
                if type(holder) is list:
                    holder.clear()
        return SimpleNamespace(glob=lambda pattern: events.append(("glob", pattern)) or [])

    monkeypatch.setitem(namespace, "site", SimpleNamespace(getusersitepackages=lambda: user, getsitepackages=LISTINGS[listing]))
    monkeypatch.setitem(namespace, "Path", recording_path)
    try:
        events.append(("returned", clear()))
    except Exception as e:
        events.append((type(e).__name__, str(e)))
    return events


@pytest.mark.parametrize("user", ["u/site-packages", "/nonexistent"])
@pytest.mark.parametrize("listing", LISTINGS)
def test_clear_walk_matches_python(setting, monkeypatch, listing, user):
    assert walk(setting.clear, vars(setting), monkeypatch, listing, user) == walk(python_clear, globals(), monkeypatch, listing, user)
