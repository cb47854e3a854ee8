"""The source distribution builds and installs both modules, with stubs and
licence, in a fresh virtual environment. Slow: run with `pytest -m slow`."""

import os
import subprocess
import sys
import venv
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]

CHECK = """
import importlib.metadata, sysconfig
from pathlib import Path
import brevan.setting, vexil
site = Path(sysconfig.get_paths()["purelib"])
stubs = ["brevan/setting.pyi", "vexil.pyi", "brevan-stubs/setting.pyi", "brevan-stubs/py.typed", "vexil-stubs/__init__.pyi"]
assert [name for name in stubs if not (site / name).is_file()] == []
assert not (site / "brevan" / "__init__.py").exists()
assert "Copyright (c) 2026 The brevan.setting developers" in importlib.metadata.distribution("brevan-setting").read_text("licenses/LICENSE")
print(brevan.setting.__file__, vexil.__file__)
"""


@pytest.mark.slow
def test_sdist_builds_and_installs_both_modules(tmp_path):
    def run(*args, **kw):
        done = subprocess.run(args, capture_output=True, text=True, **kw)
        assert done.returncode == 0, done.stderr
        return done.stdout

    if os.environ.get("BREVAN_SDIST"):  # the one scripts/sdist.sh made
        sdist = Path(os.environ["BREVAN_SDIST"]).resolve()
    else:
        run(sys.executable, "-m", "build", "--sdist", "--outdir", str(tmp_path), str(ROOT))
        (sdist,) = tmp_path.glob("brevan_setting-*.tar.gz")
    venv.create(tmp_path / "env", with_pip=True)
    python = str(tmp_path / "env" / "bin" / "python")
    run(python, "-m", "pip", "install", "--quiet", "--disable-pip-version-check", str(sdist))
    # From an empty directory, so the source tree cannot stand in for the install.
    assert run(python, "-c", CHECK, cwd=tmp_path / "env").count(str(tmp_path / "env")) == 2
