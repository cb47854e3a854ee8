"""The source distribution: it holds every source the build reads, and pip
builds and installs both modules from it in a fresh virtual environment.

Slow (a full isolated build): run with `pytest -m slow`.
"""

import subprocess
import sys
import tarfile
import venv
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]

pytestmark = pytest.mark.slow

# Run inside the new environment: both modules import, and the stubs and the
# licence are where editors, type checkers and readers look for them.
CHECK = """
import importlib.metadata, sys, sysconfig
from pathlib import Path
import brevan.setting, vexil
site = Path(sysconfig.get_paths()["purelib"])
for name in ["brevan/setting.pyi", "vexil.pyi", "brevan-stubs/setting.pyi", "brevan-stubs/py.typed",
             "vexil-stubs/__init__.pyi"]:
    assert (site / name).is_file(), name
assert not (site / "brevan" / "__init__.py").exists()
licence = importlib.metadata.distribution("brevan-setting").read_text("licenses/LICENSE")
assert "Copyright (c) 2026 The brevan.setting developers" in licence
print(brevan.setting.__file__, vexil.__file__)
"""


def build_inputs():
    """Every file the build reads: CMake's inputs, the stubs, the metadata."""
    globs = ["brevan/setting/*.cpp", "brevan/setting/*.hpp", "common/*", "vexil/*", "stubs/*", "brevan/*.pyi"]
    names = {"CMakeLists.txt", "pyproject.toml", "LICENSE", "README.md"}
    for pattern in globs:
        names.update(str(path.relative_to(ROOT)) for path in ROOT.glob(pattern) if path.is_file())
    return names


def test_sdist_builds_and_installs_both_modules(tmp_path):
    subprocess.run(
        [sys.executable, "-m", "build", "--sdist", "--outdir", str(tmp_path / "dist"), str(ROOT)],
        check=True,
        capture_output=True,
    )
    (sdist,) = (tmp_path / "dist").glob("brevan_setting-*.tar.gz")
    with tarfile.open(sdist) as tar:
        members = {name.split("/", 1)[1] for name in tar.getnames() if "/" in name}
    assert build_inputs() <= members, sorted(build_inputs() - members)

    env_dir = tmp_path / "env"
    venv.create(env_dir, with_pip=True)
    python = str(env_dir / "bin" / "python")
    install = subprocess.run(
        [python, "-m", "pip", "install", "--quiet", "--disable-pip-version-check", str(sdist)],
        capture_output=True,
        text=True,
    )
    assert install.returncode == 0, install.stderr
    # From an empty directory, so the source tree cannot stand in for the install.
    (tmp_path / "elsewhere").mkdir()
    checked = subprocess.run([python, "-c", CHECK], cwd=tmp_path / "elsewhere", capture_output=True, text=True)
    assert checked.returncode == 0, checked.stderr
    assert str(env_dir) in checked.stdout
