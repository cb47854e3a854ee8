"""scripts/roots.sh, what debian-pythons.sh, aarch64.sh and musl.sh share: CI
reads their exit codes and messages. Each case runs the library in bash, as
musl.sh would, on scratch directories: no real root, no build, no wheel.sh."""

import os
import shutil
import sys
import subprocess
from pathlib import Path

import pytest

from conftest import needs_linux

ROOT = Path(__file__).resolve().parents[1]
BASH = shutil.which("bash")
pytestmark = [needs_linux("/proc/mounts"), pytest.mark.skipif(BASH is None, reason="needs bash")]


def roots(body, cwd, **env):
    """Runs `body` after sourcing roots.sh, with $0 naming musl.sh; the environment is clean but for env."""
    env = {"PATH": os.environ["PATH"], "HOME": str(cwd), **env}
    script = f'set -euo pipefail; . "{ROOT}/scripts/roots.sh"; {body}'
    return subprocess.run([BASH, "-c", script, str(ROOT / "scripts" / "musl.sh")], cwd=cwd,
                          env=env, capture_output=True, text=True)


def test_command_and_can(tmp_path):
    # Only a whole known word is a command, and only then is it shifted off.
    for arg, expected in [("run", "run 1"), ("", "test 0"), ("test_store.py", "test 0"), ("run can", "test 0")]:
        done = roots(f'if brevan_command "test run can" "{arg}"; then s=1; else s=0; fi; echo "$command $s"', tmp_path)
        assert done.stdout == f"{expected}\n", arg
    for reason in ["", "needs root"]:
        cannot = f'cannot() {{ [ -z "{reason}" ] || echo "{reason}"; }}; self=$0'
        can = roots(f'{cannot}; command=can; brevan_can', tmp_path)
        assert (can.returncode, can.stdout, can.stderr) == ((1, "needs root\n", "") if reason else (0, "", ""))
        run = roots(f'{cannot}; command=run; brevan_can; echo went on', tmp_path)
        expected = (1, "", "musl: needs root\n") if reason else (0, "went on\n", "")
        assert (run.returncode, run.stdout, run.stderr) == expected


def test_wheel_is_taken_from_the_callers_directory(tmp_path):
    (tmp_path / "w").mkdir()
    (tmp_path / "w" / "a-musllinux_1_2_x86_64.whl").touch()
    (tmp_path / "w" / "a-manylinux_2_17_x86_64.whl").touch()
    pick = 'brevan_enter_checkout "{}"; brevan_wheel musllinux "a musllinux wheel"; echo "$wheel $PWD"'
    expected = f"{tmp_path}/w/a-musllinux_1_2_x86_64.whl {ROOT}\n"
    # From where the script was started, or from the directory a run of it again passes on.
    assert roots(pick.format("$PWD"), tmp_path / "w", BREVAN_WHEEL="a-musllinux_1_2_x86_64.whl").stdout == expected
    assert roots(pick.format(f"{tmp_path}/w"), tmp_path, BREVAN_WHEEL="a-musllinux_1_2_x86_64.whl").stdout == expected
    for name, message in [("none.whl", "no wheel at {}/w/none.whl"),
                          ("a-manylinux_2_17_x86_64.whl", "{}/w/a-manylinux_2_17_x86_64.whl is not a musllinux wheel")]:
        done = roots(pick.format("$PWD"), tmp_path / "w", BREVAN_WHEEL=name)
        assert (done.returncode, done.stderr) == (1, f"musl: {message.format(tmp_path)}\n")


def test_debian_root_is_made_anew_and_stamped(tmp_path):
    root, log = tmp_path / "root", tmp_path / "debootstrap.log"
    (root / "left").mkdir(parents=True)  # what an interrupted making left
    setup = (f'self=$0 root={root} log={log} root_stamp=one; '
             'debootstrap() { echo "args: $*"; mkdir -p "$root"; return ${FAKE_RC:-0}; }; ')
    made = roots(setup + 'brevan_debootstrap "test root" "a moment" sid "$root"; brevan_root_made; '
                 'brevan_root_ready && echo ready; root_stamp=two; brevan_root_ready || echo stale', tmp_path)
    assert made.stdout == (f"Making {root} anew (unfinished or made from other packages)\n"
                           f"Making the test root {root} (a moment, once; log: {log})\nready\nstale\n")
    assert not (root / "left").exists() and log.read_text() == f"args: sid {root}\nrc=0\n"
    failed = roots(setup + 'brevan_debootstrap "test root" "a moment" sid "$root"; echo went on', tmp_path, FAKE_RC="3")
    assert failed.returncode == 1 and "went on" not in failed.stdout
    assert failed.stderr == f"args: sid {root}\nrc=3\nmusl: debootstrap failed (rc=3)\n"
    # `can` without debootstrap (cat alone on PATH, for the stamp): a root made from other packages is none.
    (tmp_path / "bin").mkdir()
    (tmp_path / "bin" / "cat").symlink_to(shutil.which("cat"))
    unmakable = f"no test root at {root} and no debootstrap to make one (apt-get install debootstrap)\n"
    for stamp, expected in [("three", unmakable), ("one", "")]:
        done = roots(f'root={root} root_stamp=one; brevan_root_made; root_stamp={stamp}; '
                     'brevan_root_unmakable "test root" || true', tmp_path, PATH=str(tmp_path / "bin"))
        assert done.stdout == expected


def test_python_may_name_a_pyenv_shim(tmp_path):
    # A shim whose version is not active here fails when run: the name is
    # then taken from pyenv's versions, as a user who types it means it.
    shims, versions = tmp_path / "shims", tmp_path / "pyenv" / "versions" / "3.99.0" / "bin"
    shims.mkdir()
    versions.mkdir(parents=True)
    (shims / "python3.99").write_text("#!/bin/sh\necho 'pyenv: python3.99: command not found' >&2\nexit 127\n")
    (shims / "python3.99").chmod(0o755)
    (versions / "python3.99").symlink_to(os.path.realpath(sys.executable))
    env = {"PATH": f"{shims}:/usr/bin:/bin", "PYENV_ROOT": str(tmp_path / "pyenv"), "HOME": str(tmp_path)}
    script = f'set -euo pipefail; . "{ROOT}/scripts/pythons.sh"; brevan_require_pythons; echo "${{pythons[@]}}"'
    for name in ["python3.99", str(versions / "python3.99")]:
        done = subprocess.run([BASH, "-c", script], env={**env, "PYTHON": name}, capture_output=True, text=True)
        assert (done.returncode, done.stdout) == (0, os.path.realpath(sys.executable) + "\n"), done.stderr
    missing = subprocess.run([BASH, "-c", script], env={**env, "PYTHON": "python3.98"}, capture_output=True, text=True)
    assert (missing.returncode, missing.stderr) == (1, "PYTHON names python3.98, which does not run\n")
