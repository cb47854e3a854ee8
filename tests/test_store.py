"""read() and save(): console lines, results, file contents and failures."""

import collections
import json
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import textwrap
import traceback
import types
from pathlib import Path, PosixPath

import pytest

from conftest import HIDE_PROC, NOBODY, needs_linux, unseen_pid

HINT = "To override the global settings, place tolvek.json in the current directory!"
GOOD = {"server": {"home": "/srv"}, "extra": {"list": [1, 2]}}
NEW = {"studio": {"theme": "dark", "console": True}}


@pytest.fixture(params=["plain", "colour"])
def paint(request):
    """Renders an expected console line, with or without colour."""
    if request.param == "plain":
        return lambda text, *codes: text + "\n"
    request.getfixturevalue("colour")
    return lambda text, *codes: "".join(f"\x1b[{c}m" for c in codes) + text + "\x1b[0m\n"


def put(path, content):
    """Writes a candidate file: text or bytes as they are, DIR makes a directory."""
    if content is None:
        return
    if content == "DIR":
        path.mkdir()
    elif isinstance(content, bytes):
        path.write_bytes(content)
    elif isinstance(content, str):
        path.write_text(content)
    else:
        path.write_text(json.dumps(content))


def failure_text(path, loads):
    """What loading `path` the module's way raises, as str()."""
    try:
        with open(path, "r") as f:
            loads(f.read())
    except Exception as e:
        return str(e)
    raise AssertionError("expected a failure")


def entry(exc):
    """The one traceback entry of the module."""
    [own] = [e for e in traceback.extract_tb(exc.__traceback__) if e.filename == "brevan/setting"]
    return own.name, own.filename, own.lineno


# ------------------------------------------------------------------- read ----


@pytest.mark.parametrize(
    ("local", "home", "events", "loaded"),
    [
        (GOOD, "{", ["load local"], ("local", GOOD)),
        (None, GOOD, ["hint", "load home"], ("home", GOOD)),
        (None, None, ["hint", "hint"], ("home", None)),
        ({}, GOOD, ["load local"], ("local", None)),
        (0, GOOD, ["load local"], ("local", None)),
        ([1], GOOD, ["load local"], ("local", [1])),
        ("{", GOOD, ["load local", "fail local", "hint", "load home"], ("home", GOOD)),
        (b"\xff\xfe{}", GOOD, ["load local", "fail local", "hint", "load home"], ("home", GOOD)),
        ("DIR", "[", ["fail local", "hint", "load home", "fail home", "hint"], ("home", None)),
    ],
)
def test_read_walks_the_candidates(setting, scratch, capsys, paint, local, home, events, loaded):
    put(scratch.local, local)
    put(scratch.home / "tolvek.json", home)
    paths = {"local": scratch.local, "home": scratch.user}
    expected = ""
    for event in events:
        kind, _, which = event.partition(" ")
        if kind == "load":
            expected += paint(f"Load settings from {paths[which]}", 36)
        elif kind == "fail":
            reason = failure_text(paths[which], setting.loads)
            expected += paint(f"Failed to load {paths[which]}: {reason}", 33)
        else:
            expected += paint(HINT, 36, 41)

    result = setting.read()

    assert capsys.readouterr().out == expected
    assert type(result) is tuple and type(result[0]) is PosixPath
    assert result[0] == paths[loaded[0]]
    if loaded[1] is None:
        assert result[1] is setting.defaults
    else:
        assert result[1] == loaded[1]


def test_read_relative_name_uses_cwd_of_the_call(setting, scratch, capsys, monkeypatch):
    (scratch.root / "a").mkdir()
    (scratch.root / "a" / "rel.json").write_text(json.dumps(GOOD))
    monkeypatch.chdir(scratch.root / "a")
    assert setting.read(["rel.json"]) == (Path("rel.json"), GOOD)
    monkeypatch.chdir(scratch.root)
    path, settings = setting.read(["rel.json"])
    assert str(path) == "rel.json" and settings is setting.defaults
    assert capsys.readouterr().out == f"Load settings from rel.json\n{HINT}\n"


def test_read_empty_list(setting, capsys):
    with pytest.raises(UnboundLocalError) as info:
        setting.read([])
    assert str(info.value) == "local variable '_path' referenced before assignment"
    assert entry(info.value) == ("brevan.setting.read", "brevan/setting", 64)
    assert capsys.readouterr().out == ""


def test_read_refused_item_before_anything(setting, scratch, capsys):
    scratch.local.write_text(json.dumps(GOOD))
    with pytest.raises(TypeError) as expected:
        Path(5)
    with pytest.raises(TypeError) as info:
        setting.read([5, scratch.local])
    assert str(info.value) == str(expected.value)
    assert entry(info.value) == ("brevan.setting.read", "brevan/setting", 53)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(("arg", "got"), [("tolvek.json", "str"), (None, "NoneType"), ((), "tuple")])
def test_read_refuses_non_lists(setting, arg, got):
    with pytest.raises(TypeError, match=re.escape(f"Argument 'path' has incorrect type (expected list, got {got})") + "$"):
        setting.read(arg)


def test_read_follows_in_place_changes_of_the_list(setting, scratch, capsys):
    first, second = scratch.root / "first.json", scratch.root / "second.json"
    second.write_text(json.dumps(GOOD))
    candidates = [first]

    def iprint(message, **colours):
        if colours.get("background") and len(candidates) == 1:
            candidates.append(second)  # grows while being walked

    setting.iprint = iprint
    assert setting.read(candidates) == (second, GOOD)


def test_read_default_list_is_fixed_at_import(setting, scratch, capsys):
    other = scratch.root / "other.json"
    other.write_text(json.dumps(NEW))
    setting.tjs = [other]  # rebinding: read() keeps its list
    assert setting.read()[0] == scratch.user
    scratch.tjs.insert(0, other)  # in place: read() sees it
    assert setting.read() == (other, NEW)


def test_read_uses_rebound_globals(setting, scratch, capsys):
    scratch.local.write_text("any text")
    calls = []
    marker = {"mine": {}}

    class MyPath(PosixPath):
        pass

    setting.Path = MyPath
    setting.iprint = lambda message, **colours: calls.append((message, list(colours.items())))
    setting.loads = lambda text: {"text": text}
    path, settings = setting.read()
    assert type(path) is MyPath and settings == {"text": "any text"}

    setting.loads = lambda text: {}
    setting.defaults = marker
    assert setting.read([scratch.local])[1] is marker
    scratch.local.unlink()
    setting.read([scratch.local])
    assert calls == [(f"Load settings from {scratch.local}", [("foreground", "cyan")])] * 2 + [
        (HINT, [("foreground", "cyan"), ("background", "red")])
    ]
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(("name", "line"), [("Path", 53), ("defaults", 64)])
def test_read_missing_unguarded_global(setting, scratch, name, line):
    delattr(setting, name)
    with pytest.raises(NameError, match=re.escape(f"name '{name}' is not defined") + "$") as info:
        setting.read()
    assert entry(info.value) == ("brevan.setting.read", "brevan/setting", line)


@pytest.mark.parametrize("content", [b"{}", b"\xff\xfe{}"])
def test_read_missing_loads_is_reported(setting, scratch, capsys, content):
    # loads is looked up before the file is read: its NameError, not a
    # decoding error of f.read(), is the one reported.
    scratch.local.write_bytes(content)
    del setting.loads
    setting.read([scratch.local])
    assert capsys.readouterr().out == (
        f"Load settings from {scratch.local}\n"
        f"Failed to load {scratch.local}: name 'loads' is not defined\n{HINT}\n"
    )


def test_read_looks_iprint_up_before_making_the_line(setting, scratch):
    events = []

    class Watched(types.ModuleType):
        def __getattribute__(self, name):
            if name in ("iprint", "loads"):
                events.append(name)
            return super().__getattribute__(name)

    class TracedPath(PosixPath):
        def __format__(self, spec):
            events.append("format")
            return super().__format__(spec)

    scratch.local.write_text("{")
    setting.Path = TracedPath
    setting.iprint = lambda message, **colours: None
    original = type(setting)
    setting.__class__ = Watched
    try:
        setting.read()
    finally:
        setting.__class__ = original
    # load line, loads, failure line, hint; then the missing home file's hint
    assert events == ["iprint", "format", "loads", "iprint", "format", "iprint", "iprint"]


@needs_linux("/proc/self/fd")
def test_read_interrupt_propagates_and_closes(setting, scratch, capsys):
    scratch.local.write_text("{}")

    def loads(text):
        raise KeyboardInterrupt("stop")

    setting.loads = loads
    with pytest.raises(KeyboardInterrupt) as info:
        setting.read()
    assert entry(info.value) == ("brevan.setting.read", "brevan/setting", 57)
    assert capsys.readouterr().out == f"Load settings from {scratch.local}\n"
    open_files = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            open_files.add(os.readlink(f"/proc/self/fd/{fd}"))
        except OSError:
            pass
    assert str(scratch.local) not in open_files


@pytest.mark.parametrize(
    ("content", "failing", "line", "context"),
    [(None, HINT, 62, FileNotFoundError), ("{", "Failed to load", 61, json.JSONDecodeError)],
)
def test_read_failing_report_carries_the_absorbed_error(setting, scratch, content, failing, line, context):
    put(scratch.local, content)

    def iprint(message, **colours):
        if message.startswith(failing):
            raise RuntimeError("console gone")

    setting.iprint = iprint
    try:
        raise LookupError("outer")
    except LookupError as outer:
        with pytest.raises(RuntimeError, match="^console gone$") as info:
            setting.read()
        assert sys.exception() is outer  # the handled exception is restored
    assert type(info.value.__context__) is context
    assert entry(info.value) == ("brevan.setting.read", "brevan/setting", line)


# ------------------------------------------------------------------- save ----


def files(directory):
    return sorted(os.listdir(directory))


@pytest.mark.parametrize("args", [(), ("",), (None,), ("", False)])
def test_save_default_target_makes_directories(setting, scratch, args):
    target = scratch.home / "a" / "b" / "tolvek.json"
    scratch.tjs[1] = target  # in place: save() sees it too
    assert setting.save(GOOD, *args) is None
    assert target.read_text() == setting.dumps(GOOD)
    assert files(target.parent) == ["tolvek.json"]


@pytest.mark.parametrize(
    ("override", "replaced"),
    [(False, False), (0, False), ("", False), (None, False), (True, True), (1, True), ("no", True)],
)
def test_save_override(setting, scratch, override, replaced):
    scratch.user.write_text("old text")
    assert setting.save(NEW, override=override) is None
    assert scratch.user.read_text() == (setting.dumps(NEW) if replaced else "old text")
    assert files(scratch.home) == ["tolvek.json"]


def test_save_relative_path_and_rebound_globals(setting, scratch, monkeypatch):
    monkeypatch.chdir(scratch.cwd)
    seen = []

    class SpyPath(PosixPath):
        def exists(self):
            seen.append(str(self))
            return super().exists()

    setting.Path = SpyPath
    setting.dumps = lambda obj: f"custom {sorted(obj)}"
    setting.save(GOOD, "sub/rel.json")
    assert (scratch.cwd / "sub" / "rel.json").read_text() == "custom ['extra', 'server']"
    setting.save(GOOD, "sub/rel.json")
    setting.save(GOOD, "sub/rel.json", True)
    assert seen == ["sub/rel.json"] * 2  # exists() only without override


def test_save_follows_rebound_tjs(setting, scratch, capsys):
    a, b = scratch.root / "a.json", scratch.root / "b.json"
    setting.tjs = [a, b]
    setting.save(NEW)
    assert b.read_text() == setting.dumps(NEW) and not a.exists()
    assert setting.read()[0] == scratch.user  # read() keeps the list of import


@pytest.mark.parametrize(
    ("tjs", "error", "text"),
    [(None, NameError, "name 'tjs' is not defined"), ([Path("x")], IndexError, "list index out of range")],
)
def test_save_bad_tjs(setting, scratch, tjs, error, text):
    if tjs is None:
        del setting.tjs
    else:
        setting.tjs = tjs
    with pytest.raises(error, match=re.escape(text) + "$") as info:
        setting.save(NEW)
    assert entry(info.value) == ("brevan.setting.save", "brevan/setting", 33)


def test_save_refused_path_touches_nothing(setting, scratch):
    with pytest.raises(TypeError) as expected:
        Path(5)
    with pytest.raises(TypeError) as info:
        setting.save(NEW, 5, True)
    assert str(info.value) == str(expected.value)
    assert files(scratch.home) == [] and files(scratch.cwd) == []


@pytest.mark.parametrize(
    ("obj", "got"), [([1, 2], "list"), (collections.OrderedDict(), "collections.OrderedDict")]
)
def test_save_refuses_non_dicts(setting, obj, got):
    with pytest.raises(TypeError) as info:
        setting.save(obj)
    assert str(info.value) == f"Argument 'obj' has incorrect type (expected dict, got {got})"


def test_save_failing_dumps_leaves_everything(setting, scratch):
    scratch.user.write_bytes(b"old \xff bytes")
    deep = scratch.root / "new" / "dir" / "tolvek.json"

    def dumps(obj):
        raise ValueError("cannot")

    setting.dumps = dumps
    for path in (scratch.user, deep):
        with pytest.raises(ValueError, match="^cannot$") as info:
            setting.save(NEW, path, override=True)
        assert entry(info.value) == ("brevan.setting.save", "brevan/setting", 36)
    assert scratch.user.read_bytes() == b"old \xff bytes"
    assert files(scratch.home) == ["tolvek.json"] and files(scratch.root) == ["cwd", "home"]


def test_save_keeps_symlink_and_mode(setting, scratch):
    real = scratch.root / "dotfiles" / "tolvek.json"
    real.parent.mkdir()
    real.write_text("old")
    real.chmod(0o640)
    scratch.user.symlink_to(real)
    setting.save(NEW, override=True)
    assert scratch.user.is_symlink() and os.readlink(scratch.user) == str(real)
    assert real.read_text() == setting.dumps(NEW)
    assert stat.S_IMODE(real.stat().st_mode) == 0o640
    assert files(real.parent) == ["tolvek.json"] and files(scratch.home) == ["tolvek.json"]


@pytest.mark.parametrize(("umask", "mode"), [(0o022, 0o644), (0o027, 0o640), (0o077, 0o600)])
def test_save_new_file_mode_follows_umask(run_python, tmp_path, umask, mode):
    run_python(f"""
        import os
        os.umask({umask})
        import brevan.setting as setting
        setting.save({{}}, "new.json")
    """)
    assert stat.S_IMODE((tmp_path / "child-cwd" / "new.json").stat().st_mode) == mode


@pytest.mark.parametrize("kill", [False, True], ids=["limit-error", "killed"])
def test_save_interrupted_write_leaves_old_file(run_python, tmp_path, kill):
    if kill and not hasattr(os, "O_TMPFILE"):
        pytest.skip("a named temporary file outlives a killed process")
    home = tmp_path / "child-home"
    home.mkdir()
    (home / "tolvek.json").write_text("old")
    result = run_python(f"""
        import resource, signal, traceback
        import brevan.setting as setting
        # Python ignores SIGXFSZ; its default action kills the process.
        signal.signal(signal.SIGXFSZ, signal.SIG_DFL if {kill} else signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (64, 64))
        try:
            setting.save({{"big": {{"x": "y" * 1000}}}}, override=True)
        except OSError as e:
            last = traceback.extract_tb(e.__traceback__)[-1]
            print(type(e).__name__, e.errno, e.strerror, last.name, last.lineno)
    """, check=False)
    if kill:
        assert result.returncode == -signal.SIGXFSZ
    else:
        assert (result.returncode, result.stdout) == (0, "OSError 27 File too large brevan.setting.save 38\n")
    assert (home / "tolvek.json").read_text() == "old"
    assert files(home) == ["tolvek.json"]


def test_save_read_only_target(setting, scratch, run_python):
    if os.geteuid() != 0:
        scratch.user.write_text("old")
        scratch.user.chmod(0o444)
        with pytest.raises(PermissionError) as expected:
            open(scratch.user, "w")
        with pytest.raises(PermissionError) as info:
            setting.save(NEW, override=True)
        assert str(info.value) == str(expected.value)
        assert scratch.user.read_text() == "old" and files(scratch.home) == ["tolvek.json"]
        return
    # Root writes read-only files, so a child gives up root after importing.
    shared = Path(tempfile.mkdtemp(prefix="brevan-ro-"))
    try:
        shared.chmod(0o777)
        target = shared / "tolvek.json"
        target.write_text("old")
        target.chmod(0o444)
        nobody = 65534
        os.chown(target, nobody, nobody)
        result = run_python(f"""
            import os
            import brevan.setting as setting
            os.setgid({nobody}); os.setuid({nobody})
            try:
                setting.save({{"a": {{}}}}, {str(target)!r}, override=True)
            except PermissionError as e:
                print(e)
        """)
        assert result.stdout == f"[Errno 13] Permission denied: {str(target)!r}\n"
        assert target.read_text() == "old" and sorted(os.listdir(shared)) == ["tolvek.json"]
    finally:
        shutil.rmtree(shared)


def test_save_through_dangling_link(setting, scratch):
    into_missing = scratch.root / "gone" / "tolvek.json"
    scratch.user.symlink_to(into_missing)
    with pytest.raises(FileNotFoundError) as expected:
        open(scratch.user, "w")
    with pytest.raises(FileNotFoundError) as info:
        setting.save(NEW)
    assert str(info.value) == str(expected.value)  # names the target, as open() does
    assert entry(info.value) == ("brevan.setting.save", "brevan/setting", 38)

    scratch.user.unlink()
    scratch.user.symlink_to(scratch.root / "made.json")
    setting.save(NEW)  # the link dangles: nothing exists yet
    assert scratch.user.is_symlink() and (scratch.root / "made.json").read_text() == setting.dumps(NEW)


@pytest.mark.parametrize("root", [None, "/", "//", "/."])
def test_save_directory_target(setting, scratch, root):
    target = scratch.home / "dir" if root is None else Path(root)
    target.mkdir(exist_ok=True)
    assert setting.save(NEW, target) is None
    with pytest.raises(IsADirectoryError) as expected:
        open(target, "w")
    with pytest.raises(IsADirectoryError) as info:
        setting.save(NEW, target, True)
    assert str(info.value) == str(expected.value)
    assert entry(info.value) == ("brevan.setting.save", "brevan/setting", 38)
    assert files(scratch.home) == (["dir"] if root is None else [])
    assert root is not None or files(target) == []


# ------------------------------------------- creating, in place, leftovers ----

def test_save_without_override_creates_once(setting, run_python, tmp_path, prelude):
    # Writers started together on one absent file, each with its own text:
    # one creates it, whole, and each of them then reads the winner's text.
    rounds, writers = 6, 8
    result = run_python(prelude + textwrap.dedent(f"""
        import json, os
        import brevan.setting as setting
        for r in range({rounds}):
            target = os.path.join({str(tmp_path)!r}, str(r), "tolvek.json")
            (go, start), (seen, report) = os.pipe(), os.pipe()
            for n in range({writers}):
                if os.fork() == 0:
                    try:
                        os.read(go, 1)
                        setting.save({{"writer": {{"n": n, "pad": "x" * 50000}}}}, target)
                        with open(target) as f:
                            os.write(report, b"%d " % json.loads(f.read())["writer"]["n"])
                    finally:
                        os._exit(0)
            os.write(start, b"go" * {writers})
            for n in range({writers}):
                os.wait()
            os.close(report)
            print(os.read(seen, 4096).decode())
    """))
    lines = result.stdout.splitlines()
    assert len(lines) == rounds
    for r, line in enumerate(lines):
        [winner] = set(line.split())
        assert len(line.split()) == writers
        assert (tmp_path / str(r) / "tolvek.json").read_text() == setting.dumps({"writer": {"n": int(winner), "pad": "x" * 50000}})
        assert files(tmp_path / str(r)) == ["tolvek.json"]


@pytest.mark.parametrize(("directory_mode", "owner", "mode"), [(0o755, NOBODY, 0o640), (0o1777, 0, 0o666)],
                         ids=["locked-directory", "sticky-directory"])
def test_save_writes_in_place_where_nothing_can_be_made_beside(setting, run_python, prelude, directory_mode, owner, mode):
    # A file the user may write, in a directory that takes no new file from
    # them or lets them create but not replace: writing works as open() does.
    if os.geteuid() != 0:
        pytest.skip("acts as two users")
    with tempfile.TemporaryDirectory(prefix="brevan-in-place-") as shared:
        os.chmod(shared, 0o755)
        directory = Path(shared) / "settings"
        directory.mkdir()
        directory.chmod(directory_mode)
        target = directory / "tolvek.json"
        target.write_text("old")
        os.chown(target, owner, owner)
        target.chmod(mode)
        run_python(prelude + textwrap.dedent(f"""
            import os
            import brevan.setting as setting
            os.setgid({NOBODY}); os.setuid({NOBODY})
            setting.save({{"a": {{}}}}, {str(target)!r}, override=True)
        """))
        assert target.read_text() == setting.dumps({"a": {}})
        assert (target.stat().st_uid, stat.S_IMODE(target.stat().st_mode)) == (owner, mode)
        assert files(directory) == ["tolvek.json"]


@pytest.mark.skipif(not hasattr(os, "O_PATH"), reason="needs O_PATH to open a directory it may not list")
def test_save_replaces_in_a_directory_it_may_not_list(setting, run_python, prelude):
    # Write and search rights are all a replacement needs; reading the
    # directory only serves syncing and tidying it.
    if os.geteuid() != 0:
        pytest.skip("acts as two users")
    with tempfile.TemporaryDirectory(prefix="brevan-unlisted-") as shared:
        os.chmod(shared, 0o755)
        directory = Path(shared) / "settings"
        directory.mkdir(mode=0o300)
        target = directory / "tolvek.json"
        target.write_text("old")
        os.chown(directory, NOBODY, NOBODY)
        os.chown(target, NOBODY, NOBODY)
        before = target.stat().st_ino
        run_python(prelude + textwrap.dedent(f"""
            import os
            import brevan.setting as setting
            os.setgid({NOBODY}); os.setuid({NOBODY})
            setting.save({{"a": {{}}}}, {str(target)!r}, override=True)
        """))
        assert target.read_text() == setting.dumps({"a": {}})
        assert target.stat().st_ino != before  # a new file took the name: not written in place
        assert files(directory) == ["tolvek.json"]


def test_save_closes_its_descriptor_once_when_the_file_object_fails(run_python, tmp_path):
    # open() over the new file's descriptor may fail after taking it (a
    # warning turned into an error): the descriptor must not be closed
    # twice, or a file another part of the process opened meanwhile goes.
    directory = tmp_path / "settings"
    directory.mkdir()
    run_python(f"""
        import builtins, os
        real_open, opened = builtins.open, []
        def fails_late(file, mode="r", *args, **kwargs):
            if not isinstance(file, int):
                return real_open(file, mode, *args, **kwargs)
            real_open(file, mode, *args, **kwargs).close()
            opened.append(os.open(os.devnull, os.O_RDONLY))
            raise RuntimeError("text layer failed")
        builtins.open = fails_late
        import brevan.setting as setting
        try:
            setting.save({{"a": 1}}, {str(directory / "t.json")!r}, override=True)
        except RuntimeError:
            os.fstat(opened[0])  # still open
    """)
    assert files(directory) == []


def hold(path):
    """The lock a writer at work keeps on its temporary (taken on a file of its own)."""
    import fcntl
    f = open(path, "a")
    fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
    return f


@pytest.mark.parametrize("override", [True, False], ids=["replacing", "creating"])
def test_save_removes_temporaries_no_writer_holds(setting, scratch, override):
    # Whether a writer is at work is the lock it holds, whatever its pid
    # says: a writer in another PID namespace or on another host has a pid
    # this process cannot see. Temporaries of the backup go the same way.
    dead = int(subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                              capture_output=True, text=True, check=True).stdout)
    live, unseen, t = os.getpid(), unseen_pid(), "tolvek.json"
    held = [f".{t}.{unseen}.7f3a.tmp", f".{t}.bak.{unseen}.7f3a.tmp", f".{t}.{live}.7f3b.tmp"]
    kept = [*held,  # then names save() does not make:
            f".{t}.{dead}.7F3A.tmp", f".{t}.0{dead}.7f3a.tmp", f".{t}.{dead}..tmp", f".{t}.{dead}.7f3a.tmp~",
            f"{t}.{dead}.7f3a.tmp", f".{t}.bak.bak.{dead}.7f3a.tmp", f".{t}.old.{dead}.7f3a.tmp",
            f".{t}.{2**31}.7f3a.tmp"]  # no pid a system gives: another program's name
    gone = [f".{t}.{dead}.7f3a.tmp", f".{t}.bak.{dead}.7f3a.tmp", f".{t}.{live}.7f3c.tmp", f".{t}.{unseen}.7f3d.tmp",
            f".{t}.{2**31 - 1}.7f3a.tmp"]
    for name in kept + gone:
        (scratch.home / name).write_text("partial")
    locks = [hold(scratch.home / name) for name in held]
    # Named for the dead writer, but not a regular file of ours.
    odd = [f".{t}.{dead}.1.tmp", f".{t}.{dead}.2.tmp"]
    (scratch.home / odd[0]).mkdir()
    (scratch.home / odd[1]).symlink_to(scratch.home / kept[0])
    if os.geteuid() == 0:
        odd.append(f".{t}.{dead}.3.tmp")
        (scratch.home / odd[2]).write_text("partial")
        os.chown(scratch.home / odd[2], NOBODY, NOBODY)
    if override:
        scratch.user.write_text("old")

    try:
        setting.save(NEW, override=override)
    finally:
        for lock in locks:
            lock.close()

    assert scratch.user.read_text() == setting.dumps(NEW)
    assert files(scratch.home) == sorted([t, *kept, *odd])


@needs_linux("mount and PID namespaces")
def test_save_keeps_the_temporary_of_a_writer_in_another_pid_namespace(setting, run_python, tmp_path):
    # A writer whose temporary is named from the start (no /proc) is paused
    # mid-write; meanwhile a save of the same file from a process in a new
    # PID namespace, which cannot see the writer's pid, tidies the directory.
    # The writer's file must survive, and its save then complete.
    if run_python(HIDE_PROC, check=False).returncode != 0:
        pytest.skip("cannot hide /proc in a private mount namespace")
    target = tmp_path / "shared" / "tolvek.json"
    target.parent.mkdir()
    target.write_text("old")
    writer = subprocess.Popen([sys.executable, "-c", HIDE_PROC + textwrap.dedent(f"""
        import builtins, sys
        real_open = builtins.open
        def pausing(file, *args, **kwargs):
            if isinstance(file, int):  # the text layer over the new file
                print("writing", flush=True)
                sys.stdin.readline()
            return real_open(file, *args, **kwargs)
        builtins.open = pausing
        import brevan.setting as setting
        setting.save({{"writer": {{"n": 1}}}}, {str(target)!r}, override=True)
        print("saved", flush=True)
    """)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert writer.stdout.readline() == "writing\n"
        [temporary] = [name for name in os.listdir(target.parent) if name.endswith(".tmp")]
        run_python(f"""
            import os
            import brevan.setting as setting
            os.unshare(os.CLONE_NEWPID)
            child = os.fork()
            if child == 0:
                try:
                    setting.save({{"other": {{}}}}, {str(target)!r}, override=True)
                finally:
                    os._exit(0)
            os.waitpid(child, 0)
        """)
        assert target.read_text() == setting.dumps({"other": {}})
        assert temporary in os.listdir(target.parent)
    finally:
        out, err = writer.communicate("go\n", timeout=60)
    assert (writer.returncode, out, err) == (0, "saved\n", "")
    assert target.read_text() == setting.dumps({"writer": {"n": 1}})
    assert files(target.parent) == ["tolvek.json"]
