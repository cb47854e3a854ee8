"""find(): pip asked through a stand-in `subprocess` (and for real once);
clear(): site-packages directories that are temporary directories."""

import os
import re
import subprocess
import sys
import traceback
from pathlib import Path
from types import SimpleNamespace

import pytest

NOT_FOUND = "brevan-test-no-such-package"


def module_entry(exc):
    """The one traceback entry that the module added."""
    (entry,) = [e for e in traceback.extract_tb(exc.__traceback__) if e.filename == "brevan/setting"]
    return entry.lineno, entry.name


# ---------------------------------------------------------------- find


class FakeRun:
    """Stands in for subprocess.run: records each call, returns a canned result."""

    def __init__(self, returncode=0, stdout=b"", stderr=b"", raises=None):
        self.result = SimpleNamespace(returncode=returncode, stdout=stdout, stderr=stderr)
        self.raises = raises
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.raises is not None:
            raise self.raises
        return self.result


@pytest.fixture
def pip(setting, monkeypatch):
    def install(**result):
        fake = FakeRun(**result)
        monkeypatch.setattr(setting, "subprocess", SimpleNamespace(run=fake))
        return fake

    return install


@pytest.mark.parametrize(
    ("stdout", "location"),
    [
        (b"Name: pkg\nLocation:   /opt/site  \nRequires: \n", "/opt/site"),
        (b"LOCATION: /upper\r\n", "/upper"),
        (b"Location: /a\nEditable project location: /b\n", "/b"),
        (b"Location: /a\nRelocation: /c\nVersion: 1\n", "/c"),
        (b"  some location text  \n", "some location text"),
        (b"Location: C:\\Python\\Lib:extra\n", "C:\\Python\\Lib:extra"),
    ],
)
def test_find_location(setting, pip, capsys, stdout, location):
    fake = pip(stdout=stdout)
    assert setting.find("pkg") == location
    assert capsys.readouterr().out == f"pkg found in {location}\n"
    assert fake.calls == [(([sys.executable, "-m", "pip", "show", "pkg"],), {"capture_output": True})]


@pytest.mark.parametrize(
    ("result", "printed"),
    [
        ({"stdout": b"Name: pkg\nVersion: 1.0\n"}, ""),
        ({"stdout": b"Location: /a\nEditable project location:  \n"}, ""),
        ({"returncode": 1, "stderr": b"WARNING: Package(s) not found: pkg\n"}, "WARNING: Package(s) not found: pkg\n\n"),
        ({"returncode": 2, "stdout": b"Location: /a\n"}, "\n"),
        ({"stdout": b"Location: \xff\n"}, "'utf-8' codec can't decode byte 0xff in position 10: invalid start byte\n"),
        ({"raises": FileNotFoundError(2, "No such file or directory")}, "[Errno 2] No such file or directory\n"),
        ({"missing": "subprocess", "stdout": b"Location: /a\n"}, "name 'subprocess' is not defined\n"),
        ({"missing": "sys", "stdout": b"Location: /a\n"}, "name 'sys' is not defined\n"),
    ],
)
def test_find_not_installed(setting, pip, monkeypatch, capsys, result, printed):
    result = dict(result)
    missing = result.pop("missing", None)
    pip(**result)
    if missing:
        monkeypatch.delattr(setting, missing)
    with pytest.raises(Exception) as info:
        setting.find("pkg")
    assert type(info.value) is Exception and info.value.args == ("pkg not installed",)
    assert module_entry(info.value) == (93, "brevan.setting.find")
    assert capsys.readouterr().out == printed + "pkg not installed\n"


def test_find_raises_what_iprint_returned(setting, pip, monkeypatch):
    pip(stdout=b"")
    shown = ("anything", 1)
    calls = []
    monkeypatch.setattr(setting, "iprint", lambda *a, **k: calls.append((a, k)) or shown)
    with pytest.raises(Exception) as info:
        setting.find("pkg")
    assert info.value.args == (shown,)
    assert calls == [(("pkg not installed",), {"foreground": "red"})]


def test_find_in_colour(setting, pip, capsys, colour):
    pip(stdout=b"Location: /a\n")
    setting.find("pkg")
    pip(stdout=b"")
    with pytest.raises(Exception):
        setting.find("pkg")
    assert capsys.readouterr().out == "\x1b[36mpkg found in /a\x1b[0m\n\x1b[31mpkg not installed\x1b[0m\n"


@pytest.mark.parametrize(
    ("site", "executable", "command"),
    [
        ("two  names ", None, ["EXE", "-m", "pip", "show", "two  names "]),
        ("", None, ["EXE", "-m", "pip", "show", ""]),
        ("pkg", "/opt/my python/bin/python", ["/opt/my python/bin/python", "-m", "pip", "show", "pkg"]),
        ("pkg", Path("/usr/bin/python3"), ["/usr/bin/python3", "-m", "pip", "show", "pkg"]),
    ],
)
def test_find_command_is_never_split(setting, pip, monkeypatch, capsys, site, executable, command):
    fake = pip(stdout=b"")
    if executable is not None:
        monkeypatch.setattr(setting, "sys", SimpleNamespace(executable=executable))
    command = [sys.executable if c == "EXE" else c for c in command]
    with pytest.raises(Exception, match=re.escape(f"{site} not installed") + "$"):
        setting.find(site)
    assert fake.calls == [((command,), {"capture_output": True})]
    assert type(fake.calls[0][0][0][0]) is str
    assert capsys.readouterr().out == f"{site} not installed\n"


@pytest.mark.parametrize("site", ["-r", "--index-url=http://x", "-"])
def test_find_leading_dash_starts_nothing(setting, pip, capsys, site):
    fake = pip(stdout=b"Location: /a\n")
    with pytest.raises(Exception) as info:
        setting.find(site)
    assert type(info.value) is Exception and info.value.args == (f"{site} not installed",)
    assert fake.calls == []
    assert capsys.readouterr().out == f"{site} not installed\n"


def test_find_interrupt_is_not_caught(setting, pip, capsys):
    pip(raises=KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt) as info:
        setting.find("pkg")
    assert module_entry(info.value) == (82, "brevan.setting.find")
    assert capsys.readouterr().out == ""


def test_find_print_failure_propagates(setting, pip, monkeypatch):
    caught = FileNotFoundError("no interpreter")
    pip(raises=caught)
    iprinted = []
    monkeypatch.setattr(setting, "iprint", lambda *a, **k: iprinted.append(a))

    class Closed:
        def write(self, text):
            raise OSError("stdout closed")

    monkeypatch.setattr(sys, "stdout", Closed())
    with pytest.raises(OSError, match="^stdout closed$") as info:
        setting.find("pkg")
    assert info.value.__context__ is caught
    assert module_entry(info.value) == (91, "brevan.setting.find")
    assert iprinted == []


def test_find_caller_exception_is_handled_again(setting, pip, capsys):
    pip(returncode=1, stderr=b"oops")
    outer = ValueError("outer")
    try:
        raise outer
    except ValueError:
        with pytest.raises(Exception) as info:
            setting.find("pkg")
        assert sys.exception() is outer
    assert info.value.__context__ is outer  # not the exception printed inside
    assert capsys.readouterr().out == "oops\npkg not installed\n"


def console_gone(*args, **kwargs):
    raise OSError("console gone")


@pytest.mark.parametrize(("stdout", "line"), [(b"", 93), (b"Location: /a\n", 94)])
@pytest.mark.parametrize(
    ("iprint", "error", "text"), [(None, NameError, "name 'iprint' is not defined"), (console_gone, OSError, "console gone")]
)
def test_find_without_iprint(setting, pip, monkeypatch, capsys, stdout, line, iprint, error, text):
    pip(stdout=stdout)
    if iprint is None:
        monkeypatch.delattr(setting, "iprint")
    else:
        monkeypatch.setattr(setting, "iprint", iprint)
    with pytest.raises(error, match=re.escape(text) + "$") as info:
        setting.find("pkg")
    assert type(info.value) is error and info.value.__context__ is None
    assert module_entry(info.value) == (line, "brevan.setting.find")
    assert capsys.readouterr().out == ""


def test_find_real_pip(setting, capsys):
    import pip as real_pip

    location = str(Path(real_pip.__file__).parent.parent)
    assert setting.find("pip") == location
    assert capsys.readouterr().out == f"pip found in {location}\n"

    with pytest.raises(Exception) as info:
        setting.find(NOT_FOUND)
    assert type(info.value) is Exception and info.value.args == (f"{NOT_FOUND} not installed",)
    out = capsys.readouterr().out
    assert NOT_FOUND in out.splitlines()[0] and out.endswith(f"\n{NOT_FOUND} not installed\n")


# --------------------------------------------------------------- clear


@pytest.fixture
def sites(setting, tmp_path, monkeypatch):
    """Rebinds `site` to a stand-in listing temporary directories only."""
    box = SimpleNamespace(user=tmp_path / "user" / "site-packages", system=[tmp_path / "sys" / "site-packages"])
    fake = SimpleNamespace(
        getusersitepackages=lambda: str(box.user), getsitepackages=lambda: [str(p) for p in box.system]
    )
    monkeypatch.setattr(setting, "site", fake)
    box.system[0].mkdir(parents=True)
    return box


def make(root, *dirs, files=()):
    for d in dirs:
        (root / d / "inner").mkdir(parents=True)
        (root / d / "inner" / "f.py").write_text("x")
    for f in files:
        (root / f).write_text("x")


def names(root):
    return sorted(p.name for p in root.iterdir())


def test_clear_default_pattern(setting, sites, tmp_path):
    sp = sites.system[0]  # the user directory does not exist
    outside = tmp_path / "outside~"
    make(tmp_path, "outside~")
    make(sp, "~ip-1.0.dist-info", "pan~das", ".~hidden", "normal", files=["notes~.txt"])
    (sp / "link~").symlink_to(outside)
    assert setting.clear() is None
    assert names(sp) == ["link~", "normal", "notes~.txt"]
    assert names(outside) == ["inner"]
    assert setting.clear() is None
    assert names(sp) == ["link~", "normal", "notes~.txt"]


@pytest.mark.parametrize(
    ("directory", "cleaned"),
    [("dist-packages", False), ("site-packages-old", True), ("site-packages/lib/extra", True)],
)
def test_clear_only_site_packages_paths(setting, sites, tmp_path, directory, cleaned):
    sites.system = [tmp_path / "sys" / directory]
    make(sites.system[0], "a~")
    setting.clear()
    assert names(sites.system[0]) == ([] if cleaned else ["a~"])


def test_clear_pattern_and_order(setting, sites, monkeypatch):
    sites.user.mkdir(parents=True)
    make(sites.user, "~u", "u~u")
    make(sites.system[0], "~s", "s~s")
    removed = []
    monkeypatch.setattr(setting, "shutil", SimpleNamespace(rmtree=lambda *a, **k: removed.append((a, k))))
    setting.clear(pattern="~*")
    assert removed == [((sites.user / "~u",), {"ignore_errors": True}), ((sites.system[0] / "~s",), {"ignore_errors": True})]


@pytest.mark.parametrize(
    "pattern",
    [
        "../victim*",  # a sibling of the directory
        "../site-packages~*",  # a sibling whose name starts with the directory's
        "../site-packages",  # the directory itself
        "*~*/sub",  # through a link that leads elsewhere
    ],
)
def test_clear_never_leaves_the_directory(setting, sites, tmp_path, pattern):
    sp = sites.system[0]
    make(sp.parent, "victim", "site-packages~old")
    make(tmp_path, "elsewhere/sub")
    (sp / "link~").symlink_to(tmp_path / "elsewhere")
    make(sp, "pkg")
    assert list(sp.glob(pattern)), "the pattern must reach something"
    setting.clear(pattern)
    assert names(sp) == ["link~", "pkg"] and names(sp.parent) == ["site-packages", "site-packages~old", "victim"]
    assert names(tmp_path / "elsewhere") == ["sub"] and names(tmp_path / "elsewhere" / "sub") == ["inner"]


@pytest.mark.parametrize("form", ["through a link", "relative", "with a trailing slash"])
def test_clear_directory_named_another_way(setting, sites, tmp_path, monkeypatch, form):
    # Containment compares real locations, so these still get cleaned.
    real = sites.system[0]
    make(real, "a~", "pkg")
    if form == "through a link":
        (tmp_path / "lib64").symlink_to(tmp_path / "sys")
        sites.system = [tmp_path / "lib64" / "site-packages"]
    elif form == "relative":
        monkeypatch.chdir(tmp_path / "sys")
        sites.system = ["site-packages"]
    else:
        sites.system = [f"{real}/"]
    setting.clear()
    assert names(real) == ["pkg"]


def pathlib_error(pattern):
    try:
        list(Path(".").glob(pattern=pattern))
    except Exception as e:
        return type(e), str(e)
    raise AssertionError(f"{pattern!r} accepted")


def error_of(code):
    try:
        eval(code)
    except Exception as e:
        return type(e), str(e)


@pytest.mark.parametrize(
    ("change", "pattern", "error", "line"),
    [
        ({"system": ("a/site-packages",)}, "*~*", error_of("['x'] + ('y',)"), 19),
        ({"system": [None]}, "*~*", error_of("'site-packages' in None"), 20),
        ({}, "", pathlib_error(""), 21),
        ({}, "/abs*", pathlib_error("/abs*"), 21),
        ({"delete": "site"}, "*~*", (NameError, "name 'site' is not defined"), 19),
        ({"delete": "Path"}, "*~*", (NameError, "name 'Path' is not defined"), 21),
        ({"delete": "shutil"}, "*~*", (NameError, "name 'shutil' is not defined"), 23),
    ],
)
def test_clear_errors(setting, sites, monkeypatch, change, pattern, error, line):
    sites.user.mkdir(parents=True)
    make(sites.user, "u~")
    make(sites.system[0], "s~")
    if "system" in change:
        monkeypatch.setattr(setting.site, "getsitepackages", lambda: change["system"])
    if "delete" in change:
        monkeypatch.delattr(setting, change["delete"])
    with pytest.raises(error[0], match=re.escape(error[1]) + "$") as info:
        setting.clear(pattern)
    assert module_entry(info.value) == (line, "brevan.setting.clear")
    # Entries before the failing one were cleaned; nothing after it was.
    assert names(sites.user) == ([] if change.get("system") == [None] else ["u~"])


def test_clear_bad_pattern_unused_without_site_packages(setting, sites, tmp_path):
    sites.user = tmp_path / "nothing"
    sites.system = [tmp_path / "dist-packages"]
    assert setting.clear("") is None


def test_clear_in_virtual_environment(setting, tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True)
    python = venv / "bin" / "python"
    (sp,) = (venv / "lib").glob("python3.*/site-packages")
    home = tmp_path / "home"
    user = home / ".local" / "lib" / sp.parent.name / "site-packages"
    user.mkdir(parents=True)
    make(sp, "~ip-1.0.dist-info", "~andas", "pandas", "numpy-2.0.dist-info", files=["odd~name.pth"])
    make(user, "~ser-pkg", "userpkg")
    code = (
        "import site, sys\n"
        f"root = {str(tmp_path)!r}\n"
        "dirs = [site.getusersitepackages(), *site.getsitepackages()]\n"
        "assert all(d.startswith(root + '/') for d in dirs), dirs\n"
        "import brevan.setting\n"
        "brevan.setting.clear()\n"
    )
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env.update(HOME=str(home), PYTHONPATH=str(Path(setting.__file__).parent.parent))
    subprocess.run([str(python), "-c", code], check=True, cwd=tmp_path, env=env)
    assert names(sp) == ["numpy-2.0.dist-info", "odd~name.pth", "pandas"]
    assert names(user) == ["userpkg"]
