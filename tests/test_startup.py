"""startup(): clean-up, reading, falling back to the defaults, saving."""

import os
import re
import traceback
from pathlib import Path

import pytest

from conftest import unseen_pid

HINT = "To override the global settings, place tolvek.json in the current directory!\n"


@pytest.fixture(autouse=True)
def no_site_packages(setting, monkeypatch, tmp_path):
    """clear() inside startup() looks at a scratch site-packages only."""
    site_packages = tmp_path / "lib" / "site-packages"
    site_packages.mkdir(parents=True)

    class Site:
        @staticmethod
        def getusersitepackages():
            return str(site_packages)

        @staticmethod
        def getsitepackages():
            return []

    monkeypatch.setattr(setting, "site", Site)
    return site_packages


@pytest.fixture
def calls(setting, monkeypatch):
    """Records the calls startup() makes to clear, read and save."""
    log = []
    real = {name: getattr(setting, name) for name in ("clear", "read", "save")}

    def recorder(name):
        def record(*args, **kwargs):
            log.append((name, args, kwargs))
            return real[name](*args, **kwargs)

        return record

    for name in real:
        monkeypatch.setattr(setting, name, recorder(name))
    return log


def names(log):
    return [name for name, _, _ in log]


# ----------------------------------------------------------- end to end


def test_first_start_writes_the_defaults(setting, scratch, capsys, calls):
    result = setting.startup()

    assert capsys.readouterr().out == HINT * 2
    assert scratch.user.read_text() == setting.dumps(setting.defaults)
    assert not scratch.local.exists()
    assert result == {**setting.defaults, "tjs": scratch.user}
    assert list(result) == ["server", "studio", "tjs"]
    assert result is not setting.defaults
    assert result["server"] is setting.defaults["server"]
    assert result["studio"] is setting.defaults["studio"]
    assert isinstance(result["tjs"], Path)
    save = calls[-1]
    assert names(calls) == ["clear", "read", "save"]
    assert save[1] == (setting.defaults, scratch.user) and save[1][0] is setting.defaults
    assert save[2] == {"override": False}


def test_later_start_leaves_a_complete_file_untouched(setting, scratch, capsys):
    text = '{"server": {"home": "/srv"}, "studio": {}, "extra": {"k": 1}}'
    scratch.user.write_text(text)
    os.utime(scratch.user, (1_000_000, 1_000_000))

    result = setting.startup()

    assert capsys.readouterr().out == HINT + f"Load settings from {scratch.user}\n"
    assert scratch.user.read_text() == text
    assert scratch.user.stat().st_mtime == 1_000_000
    # An empty section counts as present; nothing is filled in.
    assert result == {"server": {"home": "/srv"}, "studio": {}, "extra": {"k": 1}, "tjs": scratch.user}


def test_local_file_wins_and_is_the_path_returned(setting, scratch, capsys):
    scratch.local.write_text(setting.dumps({"server": {}, "studio": {"theme": "dark"}}))
    scratch.user.write_text(setting.dumps(setting.defaults))

    result = setting.startup()

    assert capsys.readouterr().out == f"Load settings from {scratch.local}\n"
    assert result["tjs"] == scratch.local
    assert result["studio"] == {"theme": "dark"}


def test_tjs_key_in_settings_is_replaced_in_place(setting, scratch):
    scratch.user.write_text('{"tjs": "old", "server": {}, "studio": {}}')
    result = setting.startup()
    assert list(result) == ["tjs", "server", "studio"]
    assert result["tjs"] == scratch.user


def test_incomplete_file_is_backed_up_then_replaced(setting, scratch, capsys, calls):
    old = '{"server": {"home": "/mine"}}'
    scratch.user.write_text(old)
    scratch.user.chmod(0o600)
    os.utime(scratch.user, ns=(1_000_000_001, 1_000_000_002))
    backup = Path(f"{scratch.user}.bak")
    backup.write_text("an older backup")

    result = setting.startup()

    out = capsys.readouterr().out
    assert out == (
        HINT
        + f"Load settings from {scratch.user}\n"
        + f"Settings in {scratch.user} lack a built-in section and are replaced with the defaults; "
        f"the old file is kept as {backup}\n"
    )
    assert backup.read_text() == old
    assert backup.stat().st_mode & 0o777 == 0o600 and backup.stat().st_mtime_ns == 1_000_000_002
    assert scratch.user.read_text() == setting.dumps(setting.defaults)
    assert calls[-1][1][0] is setting.defaults and calls[-1][2] == {"override": True}
    assert result["server"] is setting.defaults["server"]
    # The caller shares the module's defaults.
    result["studio"]["theme"] = "dark"
    assert setting.defaults["studio"]["theme"] == "dark"


def test_backup_failure_keeps_the_file(setting, scratch, capsys, calls):
    old = '{"studio": {}}'
    scratch.user.write_text(old)
    Path(f"{scratch.user}.bak").mkdir()

    assert setting.startup() is None

    last = capsys.readouterr().out.splitlines()[-1]
    assert last.startswith(f"Failed to open {scratch.user}: [Errno 21] Is a directory")
    assert scratch.user.read_text() == old
    assert sorted(os.listdir(scratch.home)) == ["tolvek.json", "tolvek.json.bak"]
    assert "save" not in names(calls)


@pytest.mark.parametrize("planted", ["symlink", "hard link", "dangling symlink"])
def test_backup_replaces_what_is_at_its_name(setting, scratch, capsys, planted):
    # What is at the backup's name is replaced, never written through.
    old = '{"server": {"home": "/mine"}}'
    scratch.user.write_text(old)
    scratch.user.chmod(0o640)
    victim = scratch.root / "victim"
    victim.write_text("precious")
    backup = Path(f"{scratch.user}.bak")
    if planted == "hard link":
        os.link(victim, backup)
    else:
        backup.symlink_to(victim if planted == "symlink" else scratch.root / "nowhere")

    assert setting.startup() == {**setting.defaults, "tjs": scratch.user}

    assert capsys.readouterr().out.endswith(f"the old file is kept as {backup}\n")
    assert victim.read_text() == "precious" and not (scratch.root / "nowhere").exists()
    assert not backup.is_symlink() and backup.read_text() == old
    assert backup.stat().st_mode & 0o777 == 0o640 and backup.stat().st_nlink == 1
    assert sorted(os.listdir(scratch.home)) == ["tolvek.json", "tolvek.json.bak"]


@pytest.mark.parametrize("wrote", [False, True], ids=["nothing-written", "written-then-failed"])
def test_failed_save_undoes_the_backup_unless_the_file_changed(setting, scratch, capsys, monkeypatch, wrote):
    # An older backup comes back when the settings are as they were; when
    # save() changed them before failing, the new backup is all that keeps them.
    old = '{"server": {}}'
    scratch.user.write_text(old)
    backup = Path(f"{scratch.user}.bak")
    backup.write_text("older")
    real_save = setting.save

    def failing(config, path, override):
        if wrote:
            real_save(config, path, override=override)
        raise RuntimeError("disk gone")

    monkeypatch.setattr(setting, "save", failing)
    assert setting.startup() is None
    assert capsys.readouterr().out.splitlines()[-1] == f"Failed to open {scratch.user}: disk gone"
    assert backup.read_text() == (old if wrote else "older")
    assert sorted(os.listdir(scratch.home)) == ["tolvek.json", "tolvek.json.bak"]


PATH_REFUSAL = "argument should be a str or an os.PathLike object where __fspath__ returns a str, not 'bytes'"


def test_backup_of_a_bytes_path(setting, scratch, capsys, monkeypatch):
    scratch.user.write_text('{"studio": {}}')
    monkeypatch.setattr(setting, "read", lambda: (os.fsencode(scratch.user), {"studio": {}}))
    assert setting.startup() is None  # save() refuses the bytes path after the backup
    # The file was not replaced: its backup is undone.
    assert os.listdir(scratch.home) == ["tolvek.json"]
    assert scratch.user.read_text() == '{"studio": {}}'
    # The file was not replaced, so no replacement is announced: the warning is the one line.
    assert capsys.readouterr().out == f"Failed to open {os.fsencode(scratch.user)}: {PATH_REFUSAL}\n"


def test_warning_is_yellow(setting, colour, capsys, monkeypatch):
    monkeypatch.setattr(setting, "clear", lambda: 1 / 0)
    setting.startup()
    assert capsys.readouterr().out == "\x1b[33mFailed to open settings: division by zero\x1b[0m\n"


# ------------------------------------------------------------ unpacking


@pytest.mark.parametrize(
    "result, message",
    [
        ((1, 2, 3), "too many values to unpack (expected 2)"),
        ([1, 2, 3], "too many values to unpack (expected 2)"),
        (iter("abc"), "too many values to unpack (expected 2)"),
        ((), "need more than 0 values to unpack"),
        ([1], "need more than 1 value to unpack"),
        (iter("a"), "need more than 1 value to unpack"),
        (5, "'int' object is not iterable"),
    ],
)
def test_unpacking_errors_become_warnings(setting, capsys, monkeypatch, calls, result, message):
    monkeypatch.setattr(setting, "read", lambda: result)
    assert setting.startup() is None
    assert capsys.readouterr().out == f"Failed to open settings: {message}\n"
    assert names(calls) == ["clear"]


def test_any_two_item_iterable_unpacks(setting, monkeypatch, scratch):
    monkeypatch.setattr(setting, "read", lambda: iter([scratch.user, {"server": {}, "studio": {}}]))
    assert setting.startup() == {"server": {}, "studio": {}, "tjs": scratch.user}


def test_error_inside_the_iterator_is_the_one_reported(setting, capsys, monkeypatch):
    def pair():
        yield "p"
        raise LookupError("boom")

    monkeypatch.setattr(setting, "read", pair)
    assert setting.startup() is None
    assert capsys.readouterr().out == "Failed to open settings: boom\n"


# ------------------------------------------------------ handled failures


def test_failing_clear_stops_everything(setting, capsys, monkeypatch, calls):
    def clear():
        raise RuntimeError("cannot clean")

    monkeypatch.setattr(setting, "clear", clear)
    assert setting.startup() is None
    assert capsys.readouterr().out == "Failed to open settings: cannot clean\n"
    assert calls == []


def test_failing_save_names_the_settings_file(setting, capsys, monkeypatch, scratch):
    def save(*args, **kwargs):
        raise OSError("disk full")

    monkeypatch.setattr(setting, "save", save)
    assert setting.startup() is None
    assert capsys.readouterr().out.endswith(f"Failed to open {scratch.user}: disk full\n")


@pytest.mark.parametrize(
    "config, override, message",
    [
        (["server", "studio"], None, "Argument 'obj' has incorrect type (expected dict, got list)"),
        (["other"], True, None),
    ],
)
def test_settings_that_are_not_a_dict(setting, capsys, monkeypatch, scratch, calls, config, override, message):
    monkeypatch.setattr(setting, "read", lambda: (scratch.user, config))
    result = setting.startup()
    if message:
        assert result is None
        assert capsys.readouterr().out == f"Failed to open {scratch.user}: {message}\n"
    else:
        assert calls[-1][2] == {"override": override}
        assert result == {**setting.defaults, "tjs": scratch.user}


def test_missing_global_is_handled(setting, capsys, monkeypatch):
    monkeypatch.delattr(setting, "defaults")
    monkeypatch.setattr(setting, "read", lambda: ("p", {}))
    assert setting.startup() is None
    assert capsys.readouterr().out == "Failed to open p: name 'defaults' is not defined\n"


# ---------------------------------------------------- what propagates


def test_keyboard_interrupt_propagates_silently(setting, capsys, monkeypatch):
    def read():
        raise KeyboardInterrupt

    monkeypatch.setattr(setting, "read", read)
    with pytest.raises(KeyboardInterrupt) as info:
        setting.startup()
    assert capsys.readouterr().out == ""
    entry = traceback.extract_tb(info.value.__traceback__)[1]
    assert (entry.filename, entry.lineno, entry.name) == ("brevan/setting", 102, "brevan.setting.startup")


def test_missing_iprint_propagates_from_the_handler(setting, monkeypatch):
    monkeypatch.delattr(setting, "iprint")
    with pytest.raises(NameError, match=re.escape("name 'iprint' is not defined") + "$") as info:
        setting.startup()
    # read() failed first, on its own iprint call.
    assert isinstance(info.value.__context__, NameError)
    entries = traceback.extract_tb(info.value.__traceback__)
    assert [(e.name, e.lineno) for e in entries[1:]] == [("brevan.setting.startup", 111)]


@pytest.mark.parametrize(
    "iprint, error, text", [(True, ValueError, "no text"), (False, NameError, "name 'iprint' is not defined")]
)
def test_unprintable_error_propagates_with_context(setting, monkeypatch, iprint, error, text):
    class Opaque(Exception):
        def __str__(self):
            raise ValueError("no text")

    def clear():
        raise Opaque

    monkeypatch.setattr(setting, "clear", clear)
    if not iprint:  # looked up before the message is made
        monkeypatch.delattr(setting, "iprint")
    with pytest.raises(error, match=re.escape(text) + "$") as info:
        setting.startup()
    assert isinstance(info.value.__context__, Opaque)


def test_handled_exception_is_restored(setting, monkeypatch):
    monkeypatch.setattr(setting, "clear", lambda: 1 / 0)
    try:
        raise KeyError("outer")
    except KeyError as outer:
        setting.startup()
        import sys

        assert sys.exception() is outer


@pytest.mark.parametrize("settings", [None, '{"server": {}}'], ids=["first-start", "incomplete"])
def test_start_that_writes_removes_stray_backup_temporaries(setting, scratch, capsys, settings):
    # A start killed while copying the backup leaves its temporary; the next
    # write of the settings file or of its backup removes it, unless a
    # writer still holds it (its pid may be one this process cannot see).
    import fcntl

    if settings is not None:
        scratch.user.write_text(settings)
    beyond = unseen_pid()
    stray = scratch.home / f".tolvek.json.bak.{beyond}.5e1d.tmp"
    busy = scratch.home / f".tolvek.json.bak.{beyond}.5e1e.tmp"
    stray.write_text("partial")
    busy.write_text("partial")
    with open(busy, "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        assert setting.startup() is not None

    written = ["tolvek.json"] if settings is None else ["tolvek.json", "tolvek.json.bak"]
    assert sorted(os.listdir(scratch.home)) == sorted([*written, busy.name])
