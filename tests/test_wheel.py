"""The built wheel: one cp312-abi3 wheel that every Python >= 3.12 can import.

The test script names the wheel it built in BREVAN_WHEEL; without it the
wheel checks are skipped.
"""

import os
import zipfile
from pathlib import Path

import pytest

import vexil

WHEEL = os.environ.get("BREVAN_WHEEL")
needs_wheel = pytest.mark.skipif(not WHEEL, reason="BREVAN_WHEEL names no wheel")


@pytest.fixture(scope="module")
def wheel_files():
    with zipfile.ZipFile(WHEEL) as wheel:
        return wheel.namelist()


@needs_wheel
def test_wheel_tag():
    # name-version-pythontag-abitag-platform.whl
    assert Path(WHEEL).name.split("-")[2:4] == ["cp312", "abi3"]


@needs_wheel
def test_wheel_contents(wheel_files):
    extensions = sorted(name for name in wheel_files if name.endswith((".so", ".pyd", ".dylib")))
    # Without the .abi3 suffix, Python 3.13 would not find the modules.
    assert extensions == ["brevan/setting.abi3.so", "vexil.abi3.so"]
    # brevan is a namespace package, so a host tool's own brevan package can hold setting.
    assert "brevan/__init__.py" not in wheel_files
    assert not [name for name in wheel_files if name.endswith((".cpp", ".hpp"))]


def test_installed_modules_are_abi3(setting):
    assert setting.__file__.endswith(os.path.join("brevan", "setting.abi3.so"))
    assert vexil.__file__.endswith("vexil.abi3.so")
