"""The built wheel: one cp312-abi3 wheel that every Python >= 3.12 can import.

The test script names the wheel it built in BREVAN_WHEEL; without it the
wheel checks are skipped.
"""

import io
import os
import re
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

import vexil

ROOT = Path(__file__).resolve().parents[1]

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


@needs_wheel
def test_wheel_ships_the_licence():
    with zipfile.ZipFile(WHEEL) as wheel:
        licence = wheel.read("brevan_setting-0.1.0.dist-info/licenses/LICENSE")
        metadata = wheel.read("brevan_setting-0.1.0.dist-info/METADATA").decode()
    assert licence == (ROOT / "LICENSE").read_bytes()
    assert "License-Expression: MIT" in metadata.splitlines()


# What every manylinux system has: the C++ runtime (libstdc++, libgcc_s) is linked in.
C_LIBRARY = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}
linux = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="ELF, manylinux: Linux only")


@needs_wheel
@linux
@pytest.mark.parametrize(("member", "init"), [("brevan/setting.abi3.so", "PyInit_setting"), ("vexil.abi3.so", "PyInit_vexil")])
def test_modules_need_only_the_c_library_and_export_only_their_init(member, init):
    elffile = pytest.importorskip("elftools.elf.elffile")
    with zipfile.ZipFile(WHEEL) as wheel:
        elf = elffile.ELFFile(io.BytesIO(wheel.read(member)))
    assert {tag.needed for tag in elf.get_section_by_name(".dynamic").iter_tags() if tag.entry.d_tag == "DT_NEEDED"} <= C_LIBRARY
    assert {sym.name for sym in elf.get_section_by_name(".dynsym").iter_symbols()
            if sym["st_shndx"] != "SHN_UNDEF" and sym["st_info"]["bind"] != "STB_LOCAL"} == {init}


@needs_wheel
@linux
def test_wheel_is_manylinux():
    pytest.importorskip("auditwheel")
    shown = " ".join(subprocess.run([sys.executable, "-m", "auditwheel", "show", WHEEL], capture_output=True, text=True,
                                    check=True).stdout.split())
    allowed = re.search(r'consistent with the following platform tag: "(manylinux_\d+_\d+_\w+)"', shown)
    assert allowed, shown  # the C++ runtime not being needed is checked on the modules' ELF above
    # The file name carries the tag auditwheel repair gave it (with its aliases, if any).
    assert allowed.group(1) in Path(WHEEL).name.removesuffix(".whl").split("-")[-1].split(".")
