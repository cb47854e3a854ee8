"""The shipped type stubs match the installed modules and type checkers find them."""

import importlib.util
import subprocess
import sys

import pytest

pytest.importorskip("mypy")


def run_mypy(*args, cwd):
    if importlib.util.find_spec("_sqlite3") is None:
        # An interpreter built without SQLite (musl's, here): mypy keeps its
        # cache in plain files instead, which changes nothing it checks.
        (cwd / "mypy.ini").write_text("[mypy]\nsqlite_cache = False\n")
        if args[0] == "mypy.stubtest":
            args = (*args, "--mypy-config-file", "mypy.ini")
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, capture_output=True, text=True)


def test_stubs_match_the_modules(tmp_path):
    result = run_mypy("mypy.stubtest", "brevan.setting", "vexil", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_type_checkers_use_the_stubs(tmp_path):
    (tmp_path / "host.py").write_text(
        "import brevan.setting as setting\n"
        "import vexil\n"
        "location: int = setting.find('pip')\n"
        "settings = setting.startup()\n"
        "reveal_type(vexil.iprint)\n"
        "setting.read(('tolvek.json',))\n"
    )
    result = run_mypy("mypy", "--no-incremental", "host.py", cwd=tmp_path)
    out = result.stdout
    assert 'host.py:3: error: Incompatible types in assignment (expression has type "str", variable has type "int")' in out
    assert 'Revealed type is "def (message: str, foreground: str | None =, background: str | None =) -> str"' in out
    assert "import-untyped" not in out and "import-not-found" not in out
    # A tuple raises TypeError at run time, so the stub must refuse it too.
    assert "host.py:6: error:" in out


# A host tool's ordinary calls, each as it would be written with the values the
# module hands out; mypy --strict must accept every one of them.
STRICT_HOST = """\
from pathlib import Path
from typing import Any

import brevan.setting as setting
import vexil

names: list[str] = ["tolvek.json"]
paths: list[Path] = [Path("tolvek.json")]
mixed: list[str | Path] = ["a.json", Path("b.json")]

path, config = setting.read()
setting.read(setting.tjs)
setting.read(names)
setting.read(paths)
setting.read(mixed)
setting.read(["a.json", Path("b.json")])
setting.read(path=[Path.home() / "tolvek.json"])
setting.save(setting.defaults)
setting.save(config, path, override=True)
setting.save({"studio": {"theme": "dark"}}, "tolvek.json")
settings = setting.startup()
if settings is not None:
    where: Path = settings["tjs"]
    setting.save(settings, where)
setting.clear()
setting.clear(pattern="*~*")
location: str = setting.find("pip")
text: str = vexil.dumps(setting.defaults)
loaded: Any = vexil.loads(text)
echoed: str = vexil.iprint("hello", foreground="cyan", background="red")
"""


def test_strict_host_calls_type_check(tmp_path):
    (tmp_path / "host.py").write_text(STRICT_HOST)
    result = run_mypy("mypy", "--strict", "--no-incremental", "host.py", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
