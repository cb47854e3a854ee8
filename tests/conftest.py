"""Shared fixtures.

Every test runs against the installed module with its settings files moved
into a scratch directory: the module's `tjs` list (fixed at import) is
pointed, in place, at `<tmp>/cwd/tolvek.json` and `<tmp>/home/tolvek.json`,
so neither the real working directory nor the real home is ever touched.
Module globals, `tjs` and `defaults` are restored after each test, so a test
may rebind `brevan.setting.iprint` and the like freely.

With BREVAN_TEST_GENERAL_PATH=1, every test and `run_python` child runs with
`builtins.open` wrapped, so the module refuses its fast paths. With
BREVAN_TEST_EMULATED=1, generated tests draw fewer examples (`examples`).
"""

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
# Under AddressSanitizer, whose allocator aborts on a request it cannot meet.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")


def needs_linux(what):
    """Skips, off Linux, a test that needs `what` (/proc, namespaces, mount)."""
    return pytest.mark.skipif(not sys.platform.startswith("linux"), reason=f"needs Linux: {what}")


def unseen_pid():
    """A pid no process has: beyond the largest the system gives (macOS and the BSDs stop at 99999)."""
    try:
        return int(Path("/proc/sys/kernel/pid_max").read_text()) + 1
    except FileNotFoundError:
        return 100_000

# Under emulation (scripts/aarch64.sh sets BREVAN_TEST_EMULATED=1) each
# instruction costs tens of times what it does natively; there the generated
# tests draw a fifth of their examples from the same strategies, so every
# kind of case is still drawn, each less often.
EMULATED = os.environ.get("BREVAN_TEST_EMULATED", "") not in ("", "0")


def examples(count):
    """max_examples for a generated test that draws `count` natively."""
    return max(count // 5, 10) if EMULATED else count


# Child code that hides /proc in a private mount namespace, so that a new
# file cannot be anonymous while it is written: it is named from the start.
HIDE_PROC = """
import os, subprocess
os.unshare(os.CLONE_NEWNS)
subprocess.run(["mount", "--make-rprivate", "/"], check=True)
subprocess.run(["mount", "-t", "tmpfs", "none", "/proc"], check=True)
"""
NOBODY = 65534


def open_wrapper():
    """open() as it is, with no Python frame (warnings name the caller)."""
    return functools.partial(io.open)


def general_site(directory):
    """For PYTHONPATH: a sitecustomize that wraps open() in a child."""
    directory.mkdir(exist_ok=True)
    # io.open's bound __call__: no Python frame, and no import the other run lacks.
    (directory / "sitecustomize.py").write_text("import builtins, io\nbuiltins.open = io.open.__call__\n")
    return str(directory)


@pytest.fixture(autouse=True)
def general_path_only(request):
    if GENERAL_PATH:
        request.getfixturevalue("monkeypatch").setattr("builtins.open", open_wrapper())


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
            child_env["PYTHONPATH"] = general_site(tmp_path / "general-path-site")
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


@pytest.fixture(params=["anonymous", pytest.param("named", marks=needs_linux("a mount namespace of its own"))])
def prelude(request, run_python):
    """Child code making the new file anonymous while written, or named from the start (no /proc)."""
    if request.param == "named" and run_python(HIDE_PROC, check=False).returncode != 0:
        pytest.skip("cannot hide /proc in a private mount namespace")
    return HIDE_PROC if request.param == "named" else ""
