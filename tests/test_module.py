"""Import of brevan.setting: its namespace, the globals fixed at import, the
single-instance and single-interpreter rules, and a failing import."""

import builtins
import ctypes
import importlib
import importlib.util
import json
import pathlib
import re
import shutil
import site
import subprocess
import sys
import textwrap
import types
from pathlib import Path

import pytest

import vexil

NAMESPACE = [
    # set by the create step (module object, then the spec's attributes)
    "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
    # bound by the exec step, in this order
    "__builtins__", "shutil", "site", "subprocess", "sys", "Path", "dumps", "iprint", "loads",
    "tjs", "defaults", "clear", "save", "read", "find", "startup", "__test__",
]


def test_namespace(setting):
    assert list(vars(setting)) == NAMESPACE
    assert setting.__name__ == "brevan.setting"
    assert setting.__doc__ is None
    assert setting.__package__ == "brevan"
    assert setting.__loader__ is setting.__spec__.loader
    assert setting.__file__ == setting.__spec__.origin
    assert not hasattr(setting, "__path__")
    assert setting.__builtins__ is builtins
    for name, module in [("shutil", shutil), ("site", site), ("subprocess", subprocess), ("sys", sys)]:
        assert getattr(setting, name) is module
    assert setting.Path is pathlib.Path
    assert (setting.dumps, setting.iprint, setting.loads) == (vexil.dumps, vexil.iprint, vexil.loads)
    assert type(setting.__test__) is dict and setting.__test__ == {}
    for name in ("clear", "save", "read", "find", "startup"):
        assert getattr(setting, name).__name__ == name


def test_defaults(setting):
    defaults = setting.defaults
    assert type(defaults) is dict and list(defaults) == ["server", "studio"]
    server, studio = defaults["server"], defaults["studio"]
    assert type(server) is dict and list(server) == ["home", "repo"]
    assert type(server["home"]) is str
    assert server["home"] == str(Path.home() / "Desktop/home")
    assert server["repo"] == "https://github.com/kesto/ardenix.git"
    assert type(studio) is dict and list(studio) == ["theme", "console"]
    assert studio["theme"] == "light"
    assert studio["console"] is False


def test_tjs_is_reads_default(setting):
    assert type(setting.tjs) is list and len(setting.tjs) == 2
    assert setting.read.__defaults__[0] is setting.tjs


def test_import_time_globals(run_python, tmp_path):
    """tjs and defaults come from the working directory and home at import;
    a supported interpreter imports without any warning."""
    start, home = tmp_path / "start", tmp_path / "user"
    result = run_python(
        """
        import os, json, warnings
        warnings.simplefilter("error")
        import brevan.setting as s
        os.chdir("/")
        print(json.dumps([[str(p) for p in s.tjs], [type(p).__name__ for p in s.tjs],
                          s.defaults["server"]["home"]]))
        """,
        cwd=start,
        home=home,
    )
    tjs, kinds, server_home = json.loads(result.stdout)
    assert tjs == [str(start.resolve() / "tolvek.json"), str(home / "tolvek.json")]
    assert kinds == [type(Path()).__name__] * 2
    assert server_home == str(home / "Desktop/home")
    assert result.stderr == ""


def test_import_again_gives_the_same_module(setting):
    functions = [setting.clear, setting.save, setting.read, setting.find, setting.startup]
    assert importlib.import_module("brevan.setting") is setting
    assert importlib.util.module_from_spec(setting.__spec__) is setting
    assert importlib.reload(setting) is setting
    assert list(vars(setting)) == NAMESPACE
    assert [setting.clear, setting.save, setting.read, setting.find, setting.startup] == functions


def test_exec_step_refuses_a_second_module_object(setting):
    get_def = ctypes.pythonapi.PyModule_GetDef
    get_def.argtypes, get_def.restype = [ctypes.py_object], ctypes.c_void_p
    exec_def = ctypes.pythonapi.PyModule_ExecDef
    exec_def.argtypes, exec_def.restype = [ctypes.py_object, ctypes.c_void_p], ctypes.c_int
    definition = get_def(setting)
    assert definition

    with pytest.raises(RuntimeError) as info:
        exec_def(types.ModuleType("brevan.setting"), definition)
    assert str(info.value) == (
        "Module 'setting' has already been imported. Re-initialisation is not supported."
    )
    # The same module object is accepted, and nothing runs again.
    assert exec_def(setting, definition) == 0
    assert list(vars(setting)) == NAMESPACE


def test_create_step_copies_spec_attributes(run_python):
    """A spec attribute that is missing is skipped; any other error reading
    one fails the step; __path__ is copied when it is not None."""
    result = run_python(
        """
        import _imp, importlib.util
        real = importlib.util.find_spec("brevan.setting")

        class Broken:
            name, origin = real.name, real.origin
            @property
            def parent(self):
                raise ValueError("unreadable parent")

        try:
            _imp.create_dynamic(Broken())
        except ValueError as e:
            print("refused:", e)

        class Sparse:
            name, origin, submodule_search_locations = "other.setting", real.origin, ["here"]

        m = _imp.create_dynamic(Sparse())
        print(m.__name__, list(vars(m)), m.__loader__, m.__package__, m.__file__ == real.origin, m.__path__)
        """
    )
    assert result.stdout.splitlines() == [
        "refused: unreadable parent",
        "other.setting ['__name__', '__doc__', '__package__', '__loader__', '__spec__', '__file__', "
        "'__path__'] None None True ['here']",
    ]


BLOCK_VEXIL = """
    import sys, traceback

    class Block:
        def find_spec(self, name, path=None, target=None):
            if name == "vexil":
                raise ModuleNotFoundError("No module named 'vexil'", name="vexil")

    blocker = Block()
    sys.meta_path.insert(0, blocker)
    try:
        import brevan.setting
    except ModuleNotFoundError as e:
        print(e.name, str(e))
        print([(f.filename, f.lineno, f.name) for f in traceback.extract_tb(e.__traceback__)
               if "brevan" in f.filename])
    print("brevan.setting" in sys.modules)
    sys.meta_path.remove(blocker)

    import brevan.setting as s
    print(list(vars(s))[-6:], s.read.__defaults__[0] is s.tjs, s.save.__globals__ is vars(s))
    try:
        s.find()
    except TypeError as e:
        print(e)
"""


def test_import_without_vexil_fails_then_succeeds(run_python):
    assert run_python(BLOCK_VEXIL).stdout.splitlines() == [
        "vexil No module named 'vexil'",
        "[('brevan/setting', 6, 'init brevan.setting')]",
        "False",
        "['clear', 'save', 'read', 'find', 'startup', '__test__'] True True",
        "find() takes exactly 1 positional argument (0 given)",
    ]


REPLACED_IMPORT = """
    import builtins, json, types
    real = builtins.__import__
    seen = []

    def replacement(name, globals=None, locals=None, fromlist=(), level=0):
        if globals is not None and globals.get("__name__") == "brevan.setting":
            seen.append([name, locals is globals, fromlist and list(fromlist), level])
            if name == "shutil":
                return types.SimpleNamespace(tag="replaced")
        return real(name, globals, locals, fromlist, level)

    builtins.__import__ = replacement
    import brevan.setting as s
    builtins.__import__ = real
    print(json.dumps([seen, getattr(s.shutil, "tag", None)]))
"""


def test_import_statements_call_a_replaced_import(run_python):
    """A builtins.__import__ replaced before the import is called for each
    import statement, with the arguments Python's statements give it, and
    what it returns is bound; the module's own lookups (types, builtins) are
    no statements and do not reach it."""
    seen, shutil_bound = json.loads(run_python(REPLACED_IMPORT).stdout)
    assert seen == [["shutil", True, None, 0], ["site", True, None, 0], ["subprocess", True, None, 0],
                    ["sys", True, None, 0], ["pathlib", True, ["Path"], 0],
                    ["vexil", True, ["dumps", "iprint", "loads"], 0]]
    assert shutil_bound == "replaced"


def test_nested_imports_are_the_statements(run_python, tmp_path):
    """The modules imported while brevan.setting is imported, and which of
    them it imports itself, are those of a Python module with the same
    import statements: no import of its own adds a nested import (and its
    overhead) to the module's import time."""
    (tmp_path / "plainmod.py").write_text(
        "import shutil\nimport site\nimport subprocess\nimport sys\n"
        "from pathlib import Path\nfrom vexil import dumps, iprint, loads\n")
    pattern = re.compile(r"import time:\s+\d+ \|\s+\d+ \| ( *)(\S+)$")

    def nested(name):
        result = run_python(f"import {name}", env={"PYTHONPATH": str(tmp_path), "PYTHONPROFILEIMPORTTIME": "1"})
        lines = [pattern.match(line).groups() for line in result.stderr.splitlines() if pattern.match(line)]
        end = [module for _, module in lines].index(name)
        start = max((i for i, (indent, _) in enumerate(lines[:end]) if not indent), default=-1) + 1
        inner = [(indent, m) for indent, m in lines[start:end] if m != "brevan"]  # the package's own line
        return sorted(m for _, m in inner), sorted(m for indent, m in inner if len(indent) == 2)

    assert nested("brevan.setting") == nested("plainmod")


@pytest.mark.parametrize("entry", ["pathlib._local", "pathlib._abc"])
def test_import_with_a_blocked_module_entry(run_python, entry):
    """None in sys.modules for a module the import paths' checks look at (an
    import blocked on purpose) refuses the shortcut; the paths are still the
    plain statements'."""
    result = run_python(f"""
        import json, pathlib, sys
        saved = sys.modules.get({entry!r})
        sys.modules[{entry!r}] = None
        import brevan.setting as s
        sys.modules[{entry!r}] = saved
        Path = pathlib.Path
        plain = [Path.cwd() / "tolvek.json", Path.home() / "tolvek.json"], str(Path.home() / "Desktop/home")
        print(json.dumps([[[p._raw_paths for p in tjs], home] for tjs, home in
                          [(s.tjs, s.defaults["server"]["home"]), plain]]))
    """)
    ours, plain = json.loads(result.stdout)
    assert ours == plain


SUBINTERPRETER = """
    import sys
    import brevan.setting

    code = f'''
    try:
        import brevan.setting
    except BaseException as e:
        text = type(e).__name__ + ": " + str(e)
    else:
        text = "imported"
    with open({sys.argv[1]!r}, "w") as out:
        out.write(text)
    '''
    try:
        from _testcapi import run_in_subinterp
    except (ImportError, AttributeError):
        try:
            from _testinternalcapi import run_in_subinterp_with_config
        except ImportError:
            # An interpreter built without the test modules (3.13 on): the
            # same shared-GIL configuration, through the private module.
            try:
                import _interpreters
            except ImportError:
                sys.exit("unavailable")
            _interpreters.exec(_interpreters.create(_interpreters.new_config("legacy")), code)
        else:
            run_in_subinterp_with_config(code, use_main_obmalloc=True, allow_fork=True, allow_exec=True,
                                         allow_threads=True, allow_daemon_threads=True,
                                         check_multi_interp_extensions=False, gil="shared")
    else:
        run_in_subinterp(code)
"""


def test_second_interpreter_is_refused(run_python, tmp_path):
    out = tmp_path / "subinterpreter.txt"
    result = run_python(SUBINTERPRETER.replace("sys.argv[1]", repr(str(out))), check=False)
    if result.stderr.strip() == "unavailable":
        pytest.skip("this interpreter has no way to start a sub-interpreter")
    assert result.returncode == 0, result.stderr
    assert out.read_text() == (
        "ImportError: Interpreter change detected - this module can only be loaded into one "
        "interpreter per process."
    )


IMPORT_PATHS = """
    import functools, inspect, json, os, pathlib, posixpath, sys, traceback

    calls = []

    def counting(name, f):
        return functools.wraps(f)(lambda *a, **k: calls.append(name) or f(*a, **k))

    owner, name = PATCH or (None, None)
    if owner == "pathlib.Path":  # replaced by a subclass, as a test double would be
        class Double(pathlib.PosixPath):
            @classmethod
            def home(cls):
                calls.append("home")
                return super().home()
        pathlib.Path = Double
    elif owner is not None:
        where = {"Path": pathlib.Path, "PurePath": pathlib.PurePath, "os": os,
                 "posixpath": posixpath}[owner]
        found = inspect.getattr_static(where, name)
        if isinstance(found, classmethod):
            found = classmethod(counting(name, found.__func__))
        elif isinstance(found, property):
            found = property(counting(name, found.fget))
        else:
            found = counting(name, found)
        setattr(where, name, found)

    if GONE:
        os.mkdir(GONE)
        os.chdir(GONE)
        os.rmdir(GONE)

    def outcome(run):
        del calls[:]
        pathlib_calls = []
        def profile(frame, event, arg):
            if event == "call" and "pathlib" in frame.f_code.co_filename:
                pathlib_calls.append(1)
        sys.setprofile(profile)
        try:
            tjs, home = run()
        except Exception as e:
            sys.setprofile(None)
            frames = traceback.extract_tb(e.__traceback__)
            return [type(e).__name__, str(e), any("pathlib" in f.filename for f in frames),
                    [(f.name, f.lineno) for f in frames if f.filename == "brevan/setting"]], calls[:], 0
        sys.setprofile(None)
        return ([[type(p).__name__, p._raw_paths, str(p)] for p in tjs], home), calls[:], len(pathlib_calls)

    def ours():
        import brevan.setting as s
        return s.tjs, s.defaults["server"]["home"]

    def plain():
        Path = pathlib.Path
        tjs = [Path.cwd() / "tolvek.json", Path.home() / "tolvek.json"]
        return tjs, str(Path.home() / "Desktop/home")

    print(json.dumps([outcome(ours), outcome(plain)]))
"""


def import_paths(run_python, tmp_path, *, patch=None, home=None, gone=False):
    """[ours, plain]: each (tjs and the default home, or the error), the
    counted calls of the patched piece, and how many pathlib functions ran."""
    code = f"PATCH = {patch!r}\nGONE = {str(tmp_path / 'gone') if gone else ''!r}\n"
    env = {"HOME": home} if home is not None else None
    result = run_python(code + textwrap.dedent(IMPORT_PATHS), env=env)
    return json.loads(result.stdout)


NORMAL_HOMES = ["/", "/home/user", "/a/..", "/h\udcff"]


@pytest.mark.parametrize("home", NORMAL_HOMES + ["//", "/home/user/", "/home//user", "/home/./user",
                                                 "relative", ".", ""])
def test_import_paths_match_plain_python(run_python, tmp_path, home):
    """tjs (down to the Path's raw segments) and the default home are those
    the plain Python statements make, for any home text; the shortcut is
    taken for the ordinary absolute form."""
    (ours, _, our_work), (plain, _, plain_work) = import_paths(run_python, tmp_path, home=home)
    assert ours == plain
    if home in NORMAL_HOMES[:3]:
        assert our_work < plain_work / 2


def test_import_paths_in_a_removed_directory(run_python, tmp_path):
    """getcwd() failing: the import raises pathlib's own error, with its frames."""
    (ours, *_), (plain, *_) = import_paths(run_python, tmp_path, gone=True)
    assert ours[:3] == plain[:3] == ["FileNotFoundError", ours[1], True]
    assert ours[3] == [["init brevan.setting", 8]]


@pytest.mark.parametrize("patch", [
    ("Path", "home"), ("Path", "cwd"), ("Path", "expanduser"), ("Path", "__truediv__"),
    ("Path", "with_segments"), ("Path", "__str__"), ("Path", "_tail"), ("PurePath", "__init__"),
    ("Path", "__new__"), ("Path", "_parse_path"), ("os", "getcwd"), ("os", "fspath"),
    ("posixpath", "expanduser"), ("posixpath", "join"), ("pathlib.Path", None),
])
def test_import_paths_call_every_patched_piece(run_python, tmp_path, patch):
    """A wrapped piece of pathlib, os or posixpath (functools.wraps keeps its
    name and module) is called at import exactly as often as by the plain
    statements."""
    (ours, our_calls, _), (plain, plain_calls, _) = import_paths(run_python, tmp_path, patch=patch)
    if not plain_calls:
        pytest.skip("this version's pathlib does not reach the patched piece here")
    assert (ours, our_calls) == (plain, plain_calls)
