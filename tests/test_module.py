"""Import of brevan.setting: its namespace, the globals fixed at import, the
single-instance and single-interpreter rules, and a failing import."""

import builtins
import ctypes
import importlib
import importlib.util
import json
import pathlib
import shutil
import site
import subprocess
import sys
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
            sys.exit("unavailable")
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
