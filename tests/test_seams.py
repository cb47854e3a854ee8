"""Where the module's own system calls meet the rest of the system: a new
file is never open to other users before it holds its final mode, audit
hooks see every change with its paths (and a refusal changes nothing),
extended attributes and ACLs survive a replacement, and the start-up backup
lands beside the file it keeps."""

import json
import os
import re
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import pytest

from conftest import NOBODY, needs_linux

pytestmark = needs_linux("the system calls and namespaces watched here")

# The changes a save or a backup announces, as os and io name them.
CHANGES = {"open", "os.link", "os.rename", "os.remove", "os.chmod", "os.chown", "os.utime", "os.setxattr",
           "os.removexattr"}

# A child that records, at every event of ours, the mode and size of each
# temporary beside the target, then runs CALL; with REFUSE = k, the k-th
# event is refused as a sandbox would refuse it.
WATCH = """
import json, os, sys
import brevan.setting as setting
DIR, REFUSE = {directory!r}, {refuse!r}
seen = []
def hook(event, args):
    if not seen and event != "open" or event not in {changes!r} or not os.path.isdir(DIR):
        return
    if event == "open" and not isinstance(args[0], str):
        return  # the text layer over the new file's descriptor
    temporaries = [(n, os.lstat(os.path.join(DIR, n))) for n in os.listdir(DIR) if n.endswith(".tmp")]
    seen.append([event, [str(a) for a in args[:2]],
                 [[n, s.st_mode & 0o777, s.st_size, s.st_ino] for n, s in temporaries]])
    if len(seen) == REFUSE:
        raise PermissionError("refused by the sandbox")
sys.addaudithook(hook)
try:
    {call}
except PermissionError as e:
    seen.append(["raised", [str(e)], []])
print(json.dumps(seen))
"""


def watch(run_python, prelude, directory, call, refuse=None, **kwargs):
    code = prelude + textwrap.dedent(WATCH).format(directory=str(directory), refuse=refuse, changes=CHANGES,
                                                   call=call)
    return json.loads(run_python(code, **kwargs).stdout.splitlines()[-1])


def snapshot(directory):
    return {p.name: (p.read_bytes(), stat.S_IMODE(p.lstat().st_mode)) for p in sorted(directory.iterdir())}


CASES = {  # what is there before, the call
    "save, replacing": ({"tolvek.json": "old"}, "setting.save({'a': {}}, DIR + '/tolvek.json', override=True)"),
    "save, new file": ({}, "setting.save({'a': {}}, DIR + '/tolvek.json')"),
    "startup, backup": ({"tolvek.json": '{"other": {}}', "tolvek.json.bak": "older"},
                        "setting.tjs[:] = []; setting.read.__defaults__[0][:] = [DIR + '/tolvek.json']; "
                        "setting.clear = lambda: None; setting.startup()"),
}


def plant(directory, files, mode=0o644):
    directory.mkdir(exist_ok=True)
    for name, text in files.items():
        (directory / name).write_text(text)
        (directory / name).chmod(mode)
    # Another writer's leftover, which a completed write removes.
    (directory / f".tolvek.json.{os.getpid()}.abc.tmp").write_text("partial")


@pytest.mark.parametrize("case", CASES)
def test_new_text_is_never_open_to_others_and_every_change_is_announced(run_python, tmp_path, prelude, case):
    files, call = CASES[case]
    directory = tmp_path / "settings"
    plant(directory, files)
    planted = {path.stat().st_ino for path in directory.iterdir()}  # old text, set aside or left
    seen = watch(run_python, "import os; os.umask(0o022)\n" + prelude, directory, call)
    names = [event for event, _, _ in seen]
    assert "raised" not in names and names.count("os.rename") + names.count("os.link") >= 1
    # The target's open comes first, naming it as a plain open() does.
    assert seen[0][:2] == ["open", [str(directory / "tolvek.json"), "r" if case.startswith("startup") else "w"]]
    assert ["os.remove", [str(directory / f".tolvek.json.{os.getpid()}.abc.tmp"), "-1"]] in [s[:2] for s in seen]
    complete = {(directory / name).stat().st_size for name in ("tolvek.json", "tolvek.json.bak") if
                (directory / name).exists()}
    for event, args, temporaries in seen:
        for name, mode, size, inode in temporaries:
            # Open to group or others only while it holds no new text, or all of it.
            assert mode & 0o077 == 0 or size == 0 or size in complete or inode in planted, (event, name, oct(mode))
    assert stat.S_IMODE((directory / "tolvek.json").stat().st_mode) == 0o644


@pytest.mark.parametrize("case", CASES)
def test_a_refused_change_leaves_the_directory_as_it_was(run_python, tmp_path, prelude, case):
    files, call = CASES[case]
    plant(tmp_path / "first", files)
    events = len(watch(run_python, prelude, tmp_path / "first", call))
    for refuse in range(1, events + 1):
        directory = tmp_path / f"refuse-{refuse}"
        plant(directory, files)
        before = snapshot(directory)
        seen = watch(run_python, prelude, directory, call, refuse=refuse)
        assert snapshot(directory) == before, (refuse, seen[refuse - 1][:2])
        if case.startswith("save"):
            assert seen[-1] == ["raised", ["refused by the sandbox"], []]


def acl(*entries):
    """A POSIX access ACL as the system.posix_acl_access attribute holds it."""
    return struct.pack("<I", 2) + b"".join(struct.pack("<HHI", tag, perm, uid) for tag, perm, uid in entries)


ANY = 0xFFFFFFFF
# Owner rw, the user nobody rw, group none, mask rw, others none: a 0o660 mode whose group bits are the mask.
SHARED_WITH_NOBODY = acl((0x01, 6, ANY), (0x02, 6, NOBODY), (0x04, 0, ANY), (0x10, 6, ANY), (0x20, 0, ANY))


def attributes(path):
    return {name: os.getxattr(path, name) for name in sorted(os.listxattr(path))}


@pytest.mark.parametrize("case", ["save", "startup"])
def test_acl_and_extended_attributes_are_kept(run_python, tmp_path, prelude, case):
    directory = tmp_path / "settings"
    directory.mkdir()
    target = directory / "tolvek.json"
    target.write_text('{"other": {}}')
    target.chmod(0o600)
    try:
        os.setxattr(target, "user.origin", b"brevan")
        os.setxattr(target, "system.posix_acl_access", SHARED_WITH_NOBODY)
    except OSError as e:
        pytest.skip(f"no ACLs or user attributes here: {e}")
    kept = attributes(target), stat.S_IMODE(target.stat().st_mode)
    call = CASES["startup, backup"][1] if case == "startup" else "setting.save({'a': {}}, DIR + '/tolvek.json', True)"
    watch(run_python, prelude, directory, call)
    assert target.read_text() != '{"other": {}}'
    assert (attributes(target), stat.S_IMODE(target.stat().st_mode)) == kept
    if case == "startup":
        backup = directory / "tolvek.json.bak"
        assert backup.read_text() == '{"other": {}}'
        assert (attributes(backup), stat.S_IMODE(backup.stat().st_mode)) == kept


def test_an_attribute_that_cannot_be_carried_over_means_writing_in_place(run_python, prelude):
    # A security attribute only the administrator may set: a user's new
    # file cannot have it, so the file is written where it is.
    if os.geteuid() != 0:
        pytest.skip("acts as two users")
    with tempfile.TemporaryDirectory(prefix="brevan-attributes-") as shared:
        directory = Path(shared)
        directory.chmod(0o777)
        target = directory / "tolvek.json"
        target.write_text("old")
        os.chown(target, NOBODY, NOBODY)
        try:
            os.setxattr(target, "security.brevan", b"kept")
        except OSError as e:
            pytest.skip(f"no security attributes here: {e}")
        inode = target.stat().st_ino
        run_python(prelude + f"import os, brevan.setting as s\nos.setgid({NOBODY}); os.setuid({NOBODY})\n"
                   f"s.save({{'a': {{}}}}, {str(target)!r}, override=True)")
        assert (target.stat().st_ino, os.getxattr(target, "security.brevan")) == (inode, b"kept")
        assert json.loads(target.read_text()) == {"a": {}} and sorted(os.listdir(directory)) == ["tolvek.json"]


def test_backup_of_a_linked_settings_file_goes_beside_its_target(setting, scratch, capsys):
    other = scratch.root / "otherapp" / "config.json"
    other.parent.mkdir()
    other.write_text('{"theirs": 1}')
    scratch.local.symlink_to(other)
    assert setting.startup()["tjs"] == scratch.local
    assert scratch.local.is_symlink() and other.read_text() == setting.dumps(setting.defaults)
    assert Path(f"{other}.bak").read_text() == '{"theirs": 1}'
    assert sorted(os.listdir(scratch.cwd)) == ["tolvek.json"]
    assert capsys.readouterr().out.endswith(f"the old file is kept as {other}.bak\n")


def test_startup_leaves_a_read_only_settings_file_and_its_backup(run_python, tmp_path, prelude):
    # The file's owner, not root (who writes read-only files): nothing is
    # replaced, so nothing is announced, and an older backup stays.
    if os.geteuid() != 0:
        pytest.skip("gives up root in a child")
    with tempfile.TemporaryDirectory(prefix="brevan-read-only-") as shared:
        home = Path(shared)
        (home / "tolvek.json").write_text('{"other": {"a": 1}}')
        (home / "tolvek.json.bak").write_text("older")
        for path in (home, home / "tolvek.json", home / "tolvek.json.bak"):
            os.chown(path, NOBODY, NOBODY)
        (home / "tolvek.json").chmod(0o444)
        before = snapshot(home)
        out = run_python(prelude + textwrap.dedent(f"""
            import os
            import brevan.setting as s
            os.setgid({NOBODY}); os.setuid({NOBODY})
            s.read.__defaults__[0][:] = [{str(home / "tolvek.json")!r}]
            s.clear = lambda: None
            print("result:", s.startup())
        """), cwd=home).stdout
        assert out.splitlines()[1:] == [
            f"Failed to open {home}/tolvek.json: [Errno 13] Permission denied: '{home}/tolvek.json'", "result: None"]
        assert snapshot(home) == before


@pytest.mark.skipif(shutil.which("strace") is None, reason="needs strace")
@pytest.mark.parametrize("case", ["save, replacing", "save, new file", "startup, backup"])
def test_new_content_reaches_the_disk_before_it_takes_its_name(run_python, tmp_path, prelude, case):
    # The file's own fsync, not only the directory's, comes before the
    # rename or link that gives it its name: else a crash could leave the
    # name on an empty file.
    files, call = CASES[case]
    directory = tmp_path / "settings"
    plant(directory, files)
    log = tmp_path / "strace.log"
    code = prelude + textwrap.dedent(WATCH).format(directory=str(directory), refuse=None, changes=CHANGES, call=call)
    done = subprocess.run(["strace", "-f", "-y", "-qq", "-o", str(log), "-e", "trace=fsync,fdatasync,rename,renameat,"
                           "renameat2,link,linkat", sys.executable, "-c", code], capture_output=True, text=True,
                          env={**os.environ, "NO_COLOR": "1"})
    if done.returncode != 0 and "ptrace" in done.stderr:
        pytest.skip(f"strace cannot trace here: {done.stderr.strip()}")
    assert done.returncode == 0, done.stderr
    synced, named = set(), []
    for line in log.read_text().splitlines():
        if match := re.search(r"f(?:data)?sync\(\d+<([^>]*)>", line):
            synced.add(match.group(1))
        elif re.search(r'"tolvek\.json(\.bak)?"', line):  # a file taking the target's (or backup's) name
            named.append((line, synced))
            synced = set()  # each its own sync
    assert named, log.read_text()
    for line, before in named:
        # A file of the directory synced (the temporary, named or not), not the directory alone.
        assert {path for path in before if path != str(directory)}, line
