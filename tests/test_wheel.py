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


def built_wheels_beside(wheel):
    """Each wheel wheel.sh built with the one under test: the shipped one in
    dist/, those for other systems in dist/other-platforms/."""
    dist = wheel.parent.parent if wheel.parent.name == "other-platforms" else wheel.parent
    return sorted({*dist.glob("*.whl"), *dist.glob("other-platforms/*.whl"), wheel})


WHEELS = built_wheels_beside(Path(WHEEL)) if WHEEL else []
MODULES = [("brevan/setting.abi3.so", "PyInit_setting"), ("vexil.abi3.so", "PyInit_vexil")]
# What every system of a wheel's kind (C library, processor) has: the C++
# runtime (libc++ and libunwind, or GCC's) is linked in. Not libpthread or
# libdl: where glibc is 2.34 or newer the interpreter has not loaded them, and
# mapping them costs the first import about 0.1 ms.
C_LIBRARY = {
    ("manylinux", "x86_64"): {"libc.so.6", "libm.so.6", "ld-linux-x86-64.so.2"},
    ("manylinux", "aarch64"): {"libc.so.6", "libm.so.6", "ld-linux-aarch64.so.1"},
    ("musllinux", "x86_64"): {"libc.musl-x86_64.so.1"},
    ("musllinux", "aarch64"): {"libc.musl-aarch64.so.1"},
}
MACHINE = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}
linux = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="ELF, manylinux: Linux only")
built_wheels = pytest.mark.parametrize("built", WHEELS, ids=lambda path: path.name.split("-")[-1].removesuffix(".whl"))


def kind(wheel):
    """(C library family, processor) of a wheel, from its platform tag."""
    match = re.match(r"(manylinux|musllinux)_\d+_\d+_(\w+)$", platform_tag(wheel).split(".")[-1])
    assert match, wheel.name
    return match.group(1), match.group(2)


def platform_tag(wheel):
    return wheel.name.removesuffix(".whl").split("-")[-1]


def read_elf(wheel, member):
    elffile = pytest.importorskip("elftools.elf.elffile")
    with zipfile.ZipFile(wheel) as archive:
        return elffile.ELFFile(io.BytesIO(archive.read(member)))


def c_library_needs(elf):
    """(name, version or None) of each symbol the module takes from the system:
    every undefined dynamic symbol but the interpreter's (Py*, _Py*), which are
    unversioned, and weak ones, which may be missing at run time."""
    dynsym = elf.get_section_by_name(".dynsym")
    versym = elf.get_section_by_name(".gnu.version")
    verneed = elf.get_section_by_name(".gnu.version_r")
    names = {}
    if verneed is not None:
        for _, auxiliaries in verneed.iter_versions():
            names.update((aux["vna_other"], aux.name) for aux in auxiliaries)
    for index, sym in enumerate(dynsym.iter_symbols()):
        if (index == 0 or sym["st_shndx"] != "SHN_UNDEF" or sym.name.startswith(("Py", "_Py"))
                or sym["st_info"]["bind"] == "STB_WEAK"):
            continue
        ndx = versym.get_symbol(index)["ndx"] if versym is not None else "VER_NDX_GLOBAL"
        yield sym.name, names.get(ndx)


@linux
@built_wheels
@pytest.mark.parametrize(("member", "init"), MODULES)
def test_modules_need_only_the_c_library_and_export_only_their_init(built, member, init):
    elf = read_elf(built, member)
    assert elf["e_machine"] == MACHINE[kind(built)[1]]
    allowed = C_LIBRARY[kind(built)]
    assert {tag.needed for tag in elf.get_section_by_name(".dynamic").iter_tags() if tag.entry.d_tag == "DT_NEEDED"} <= allowed
    assert {sym.name for sym in elf.get_section_by_name(".dynsym").iter_symbols()
            if sym["st_shndx"] != "SHN_UNDEF" and sym["st_info"]["bind"] != "STB_LOCAL"} == {init}
    # Each relocation is work for the loader at every import. Ours (method
    # tables and the like) are some hundreds; a C++ runtime that brings its
    # demangler along adds over a thousand.
    relocations = sum(section.num_relocations() for section in elf.iter_sections()
                      if section["sh_type"] in ("SHT_RELA", "SHT_REL", "SHT_RELR"))
    assert relocations < 1000
    # Nothing copied in by auditwheel: the modules are all there is.
    with zipfile.ZipFile(built) as archive:
        assert sorted(n for n in archive.namelist() if ".so" in n) == sorted(m for m, _ in MODULES)


@linux
@built_wheels
@pytest.mark.parametrize("member", [member for member, _ in MODULES])
def test_c_library_symbols_are_no_newer_than_the_tag(built, member):
    # A compiler whose headers are newer than the C library it links against
    # can leave a function unversioned: the link succeeds, auditwheel grants
    # the old tag, and the import fails on a system that lacks the function.
    needs = dict(c_library_needs(read_elf(built, member)))
    assert needs, "no C library symbol found: the reader is broken"
    if kind(built)[0] == "musllinux":
        # musl versions no symbol: a version here is glibc's, linked by mistake.
        assert sorted(f"{name}@{version}" for name, version in needs.items() if version is not None) == []
        return
    tag = re.search(r"manylinux_(\d+)_(\d+)_", platform_tag(built))
    oldest = (int(tag.group(1)), int(tag.group(2)))
    assert sorted(name for name, version in needs.items() if version is None) == []
    versions = {name: re.fullmatch(r"GLIBC_(\d+)\.(\d+)(?:\.\d+)?", version) for name, version in needs.items()}
    assert sorted(f"{name}@{needs[name]}" for name, match in versions.items()
                  if match is None or (int(match.group(1)), int(match.group(2))) > oldest) == []


@needs_wheel
@linux
def test_auditwheel_grants_the_wheels_own_tag():
    pytest.importorskip("auditwheel")
    shown = " ".join(subprocess.run([sys.executable, "-m", "auditwheel", "show", WHEEL], capture_output=True, text=True,
                                    check=True).stdout.split())
    allowed = re.search(r'consistent with the following platform tag: "((?:many|musl)linux_\d+_\d+_\w+)"', shown)
    assert allowed, shown  # the C++ runtime not being needed is checked on the modules' ELF above
    # The file name carries the tag auditwheel repair gave it (with its aliases, if any).
    assert allowed.group(1) in platform_tag(Path(WHEEL)).split(".")


# Relocations that name a thread-local block of the module's own, which glibc
# allocates in each thread at its first use, and aborts the process when it
# cannot, instead of a place in the static block every thread starts with.
DYNAMIC_TLS = re.compile(r"R_\w+_(DTPMOD|DTPOFF|DTPREL|TLSDESC)\w*")


@linux
@built_wheels
@pytest.mark.parametrize("member", [member for member, _ in MODULES])
def test_thread_local_storage_is_never_allocated_late(built, member):
    """glibc: the one thread-local object (the C++ runtime's exception state, 16 bytes) is initial-exec,
    DF_STATIC_TLS. musl allocates every block up front and refuses initial-exec in a library loaded later."""
    describe = pytest.importorskip("elftools.elf.descriptions").describe_reloc_type
    elf = read_elf(built, member)
    size = sum(segment["p_memsz"] for segment in elf.iter_segments() if segment["p_type"] == "PT_TLS")
    static = any(tag.entry.d_tag == "DT_FLAGS" and tag.entry.d_val & 0x10  # DF_STATIC_TLS
                 for tag in elf.get_section_by_name(".dynamic").iter_tags())
    dynamic = sorted({describe(r["r_info_type"], elf) for section in elf.iter_sections()
                      if section["sh_type"] in ("SHT_RELA", "SHT_REL") for r in section.iter_relocations()
                      if DYNAMIC_TLS.fullmatch(describe(r["r_info_type"], elf))})
    assert size <= 16
    assert (static, dynamic) == ((False, dynamic) if platform_tag(built).startswith("musl") else (size > 0, []))


@needs_wheel
def test_wheel_is_one_this_interpreter_installs():
    # Each system runs the suite on its own wheel: a musl interpreter on the
    # musllinux one, an aarch64 one on the aarch64 one.
    tags = pytest.importorskip("packaging.tags")
    wheel_tags = pytest.importorskip("packaging.utils").parse_wheel_filename(Path(WHEEL).name)[3]
    assert wheel_tags & set(tags.sys_tags()), sorted(map(str, wheel_tags))
