"""The shipped type stubs match the installed modules and type checkers find them."""

import subprocess
import sys

import pytest

pytest.importorskip("mypy")


def run_mypy(*args, cwd):
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
    )
    result = run_mypy("mypy", "--no-incremental", "host.py", cwd=tmp_path)
    out = result.stdout
    assert 'host.py:3: error: Incompatible types in assignment (expression has type "str", variable has type "int")' in out
    assert 'Revealed type is "def (message: str, foreground: str | None =, background: str | None =) -> str"' in out
    assert "import-untyped" not in out and "import-not-found" not in out
