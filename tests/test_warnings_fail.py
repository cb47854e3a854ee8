"""The suite's configuration turns warnings into failures: one a call raises,
and a ResourceWarning from a file's finalizer, which Python can only report as
unraisable, whether it comes during the test or from a cycle freed at exit."""

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

CONFIG = Path(__file__).resolve().parents[1] / "pyproject.toml"

CASES = {
    "deprecated callee": """
        import types, warnings
        import brevan.setting as setting

        def user_site():
            warnings.warn("user_site is deprecated", DeprecationWarning)
            return "/nonexistent"

        def test_it(monkeypatch):
            monkeypatch.setattr(setting, "site", types.SimpleNamespace(getusersitepackages=user_site, getsitepackages=list))
            setting.clear()
        """,
    "file left open": """
        def test_it():
            open(__file__).fileno()
        """,
    "file left open in a cycle": """
        def test_it():
            cycle = [open(__file__)]
            cycle.append(cycle)
        """,
}


@pytest.mark.parametrize("case", CASES)
def test_a_warning_fails_the_run(tmp_path, case):
    (tmp_path / "test_inner.py").write_text(textwrap.dedent(CASES[case]))
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-c", str(CONFIG),
         "--rootdir", str(tmp_path), "test_inner.py"],
        cwd=tmp_path, capture_output=True, text=True)
    assert result.returncode == pytest.ExitCode.TESTS_FAILED, result.stdout + result.stderr
    assert "Warning" in result.stdout + result.stderr
