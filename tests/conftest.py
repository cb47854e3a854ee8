"""Shared fixtures.

Every test runs against the installed module with its settings files moved
into a scratch directory: the module's `tjs` list (fixed at import) is
pointed, in place, at `<tmp>/cwd/tolvek.json` and `<tmp>/home/tolvek.json`,
so neither the real working directory nor the real home is ever touched.
Module globals, `tjs` and `defaults` are restored after each test, so a test
may rebind `brevan.setting.iprint` and the like freely.

With BREVAN_TEST_GENERAL_PATH=1 in the environment, every test (and every
child interpreter started through `run_python`) runs with `builtins.open`
replaced by a transparent wrapper, which makes the module refuse all of its
fast paths: the whole suite then checks the general path alone.
"""

import builtins
import copy
import functools
import io
import os
import subprocess
import sys
import textwrap
from pathlib import Path
from types import SimpleNamespace

import pytest

import brevan.setting as setting_module


GENERAL_PATH = os.environ.get("BREVAN_TEST_GENERAL_PATH", "") not in ("", "0")

# The same, for child interpreters, through a sitecustomize module.
WRAP_OPEN = "import builtins, functools, io\nbuiltins.open = functools.partial(io.open)\n"


def open_wrapper():
    """A stand-in for builtins.open that behaves exactly like it (no Python
    frame of its own, so warnings still name the caller)."""
    return functools.partial(io.open)


@pytest.fixture
def general_path(monkeypatch):
    """Refuses the module's fast paths for the rest of the test."""
    monkeypatch.setattr(builtins, "open", open_wrapper())


@pytest.fixture(autouse=True)
def general_path_only(request):
    if GENERAL_PATH:
        request.getfixturevalue("general_path")


@pytest.fixture
def setting():
    return setting_module


@pytest.fixture(autouse=True)
def plain_console(monkeypatch):
    """No colour unless a test asks for it."""
    monkeypatch.setenv("NO_COLOR", "1")
    monkeypatch.delenv("FORCE_COLOR", raising=False)


@pytest.fixture
def colour(monkeypatch):
    """Colour forced on."""
    monkeypatch.delenv("NO_COLOR", raising=False)
    monkeypatch.setenv("FORCE_COLOR", "1")


@pytest.fixture(autouse=True)
def scratch(tmp_path):
    """Scratch `cwd` and `home` directories behind the module's `tjs`."""
    namespace = vars(setting_module)
    saved_globals = dict(namespace)
    tjs = setting_module.read.__defaults__[0]
    saved_tjs = list(tjs)
    defaults = namespace["defaults"]
    saved_defaults = {key: (value, copy.copy(value)) for key, value in defaults.items()}

    cwd = tmp_path / "cwd"
    home = tmp_path / "home"
    cwd.mkdir()
    home.mkdir()
    tjs[:] = [cwd / "tolvek.json", home / "tolvek.json"]
    yield SimpleNamespace(root=tmp_path, cwd=cwd, home=home, local=tjs[0], user=tjs[1], tjs=tjs)

    tjs[:] = saved_tjs
    for section, (obj, content) in saved_defaults.items():
        obj.clear()
        obj.update(content)
    defaults.clear()
    defaults.update({key: obj for key, (obj, _) in saved_defaults.items()})
    namespace.clear()
    namespace.update(saved_globals)


@pytest.fixture
def run_python(tmp_path):
    """Runs Python code in a child interpreter with a scratch HOME and cwd.

    Returns the CompletedProcess (text mode); the child sees NO_COLOR=1.
    """

    def run(code, *, cwd=None, home=None, env=None, check=True):
        home = Path(home or tmp_path / "child-home")
        cwd = Path(cwd or tmp_path / "child-cwd")
        home.mkdir(parents=True, exist_ok=True)
        cwd.mkdir(parents=True, exist_ok=True)
        child_env = {k: v for k, v in os.environ.items() if k not in ("FORCE_COLOR", "PYTHONPATH")}
        child_env.update(HOME=str(home), NO_COLOR="1")
        if GENERAL_PATH:
            custom = tmp_path / "general-path-site"
            custom.mkdir(exist_ok=True)
            (custom / "sitecustomize.py").write_text(WRAP_OPEN)
            child_env["PYTHONPATH"] = str(custom)
        child_env.update(env or {})
        result = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            cwd=cwd,
            env=child_env,
            capture_output=True,
            text=True,
        )
        if check and result.returncode != 0:
            raise AssertionError(f"child failed ({result.returncode}):\n{result.stdout}\n{result.stderr}")
        return result

    return run
