"""The module's blocking file-system calls leave the interpreter lock free, as
io's and os's do. A child's ticker thread sleeps 2 ms at a time while its main
thread makes one call, and strace, attached to the main thread alone, holds
each chosen system call back for DELAY: a call made holding the lock stalls
the ticker that long. Then FUSE served by a thread of the calling process,
where a call holding the lock never returns."""

import json
import os
import re
import shutil
import signal
import subprocess
import sys

import pytest

from conftest import GENERAL_PATH, general_site, needs_linux

pytestmark = needs_linux("strace, FUSE")
DELAY = 0.4  # seconds each chosen call is held back
LIMIT = 0.2  # the longest stall of the ticker allowed

# Sets up, then makes the call argv[1]; prints the ticker's stalls of argv[2]
# seconds or more (from, to), when the call ran, and what it returned.
CHILD = """
import json, os, signal, sys, threading, time, types
import brevan.setting as s
path = os.path.join(os.environ["HOME"], "tolvek.json")
site_packages = os.path.abspath("site-packages")
for name in ("old~pkg", "kept"):
    os.makedirs(os.path.join(site_packages, name))
s.site = types.SimpleNamespace(getusersitepackages=lambda: site_packages, getsitepackages=list)
with open(path, "w") as f:
    f.write('{"server": {}}')
signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR1})
print("ready", flush=True)
signal.sigwait({signal.SIGUSR1})
stalls, done = [], False
def tick():
    last = time.time()
    while not done:
        time.sleep(0.002)
        now = time.time()
        if now - last >= float(sys.argv[2]):
            stalls.append((last, now))
        last = now
ticker = threading.Thread(target=tick, daemon=True)
ticker.start()
time.sleep(0.02)
start = time.time()
result = repr(eval(sys.argv[1]))
end = time.time()
done = True
ticker.join()  # its last stall counted
os.writev(1, [("\\n" + json.dumps([stalls, start, end, result]) + "\\n").encode()])  # writev: never held back
os._exit(0)  # no finalization: its calls would be held back too
"""

STAT = "?stat,?lstat,?newfstatat,fstat,?statx"
SAVED = '{\n    "a": {}\n}\n'
# call, the system calls held back, what the call returns, files afterwards (None: gone)
CASES = {
    "read": ("s.read([path])", f"openat,read,close,{STAT}", "{'server': {}}", {}),
    "save, the file exists": ("s.save({}, path)", STAT, "None", {"home/tolvek.json": '{"server": {}}'}),
    "save, override": ('s.save({"a": {}}, path, override=True)',
                       "openat,flock,write,fchmod,?fchown,?listxattr,?getxattr,?flistxattr,?fgetxattr,?fsetxattr,"
                       "?renameat,?renameat2,unlinkat", "None", {"home/tolvek.json": SAVED}),
    "save, a new file": ('s.save({"a": {}}, "new/tolvek.json")',
                         "?mkdir,mkdirat,fsync,?fdatasync,linkat,getdents64,close", "None",
                         {"cwd/new/tolvek.json": SAVED}),
    "clear": ("s.clear()", "getdents64,?rmdir,unlinkat", "None",
              {"cwd/site-packages/old~pkg": None, "cwd/site-packages/kept": ""}),
    "startup, backup": ("s.startup()", "read,?utimensat", "'tjs'", {"home/tolvek.json.bak": '{"server": {}}'}),
}
TRACED = re.compile(r"(?P<start>[\d.]+) (?P<call>\w+)\(.*<(?P<took>[\d.]+)>$")


def child_env(tmp_path):
    """run_python's environment: a scratch HOME, no colour, the suite's mode."""
    env = {k: v for k, v in os.environ.items() if k not in ("FORCE_COLOR", "PYTHONPATH")}
    env.update(HOME=str(tmp_path / "home"), NO_COLOR="1")
    if GENERAL_PATH:
        env["PYTHONPATH"] = general_site(tmp_path / "general-path-site")
    (tmp_path / "home").mkdir(exist_ok=True)
    (tmp_path / "cwd").mkdir(exist_ok=True)
    return env


def measure(tmp_path, call, syscalls):
    """Runs `call` in a child under strace: its time and result, and each stall with the calls held back then."""
    if shutil.which("strace") is None:
        pytest.skip("needs strace")
    child = subprocess.Popen([sys.executable, "-c", CHILD, call, str(LIMIT)], cwd=tmp_path / "cwd",
                             env=child_env(tmp_path), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    strace, trace = None, tmp_path / "trace"
    try:
        assert child.stdout.readline() == "ready\n", child.communicate()
        strace = subprocess.Popen(["strace", "-ttt", "-T", "-o", trace, "-p", str(child.pid), "-e", f"trace={syscalls}",
                                   "-e", f"inject={syscalls}:delay_enter={int(DELAY * 1e6)}"],
                                  stderr=subprocess.PIPE, text=True)
        attached = strace.stderr.readline()
        if "attached" not in attached:
            message = attached + strace.communicate()[1]
            if "Operation not permitted" in message:
                pytest.skip(f"ptrace is not permitted: {message}")
            raise AssertionError(f"strace failed: {message}")
        child.send_signal(signal.SIGUSR1)
        out, err = child.communicate(timeout=60)
        strace.communicate(timeout=10)  # done writing the trace
    finally:
        for process in filter(None, (child, strace)):
            process.kill()
            process.communicate()
    assert child.returncode == 0, err
    stalls, start, end, result = json.loads(out.splitlines()[-1])
    calls = [(float(m["start"]), float(m["start"]) + float(m["took"]), m["call"])
             for m in map(TRACED.match, trace.read_text().splitlines()) if m and "(DELAYED)" in m[0]]
    return end - start, result, [(to - since, [name for a, b, name in calls if min(b, to) - max(a, since) > DELAY / 2])
                                 for since, to in stalls]


def state(path):
    """A file's text, "" for a directory, None when missing."""
    return None if not path.exists() else "" if path.is_dir() else path.read_text()


@pytest.mark.parametrize("case", CASES)
def test_blocking_calls_release_the_lock(tmp_path, case):
    call, syscalls, returned, files = CASES[case]
    took, result, held = measure(tmp_path, call, syscalls)
    assert returned in result
    assert {name: state(tmp_path / name) for name in files} == files
    assert took >= DELAY, "no chosen call was held back: the test measured nothing"
    assert not held, "the lock was held " + "; ".join(f"{t * 1000:.0f} ms through {', '.join(c) or '?'}"
                                                      for t, c in held)


# ---------------------------------------------------------------- FUSE

# A pass-through file system onto a scratch directory, served from a thread;
# plain Python first, then the module, on a file inside it.
FUSE_CHILD = """
import os, subprocess, sys, threading, time
try:
    import fuse
except (ImportError, OSError) as e:
    sys.exit(f"SKIP fusepy or libfuse2 is missing: {e!r}")
import brevan.setting as s

STAT = ("st_mode", "st_nlink", "st_size", "st_uid", "st_gid", "st_atime", "st_mtime", "st_ctime")
OPS = {"getattr": lambda p, fh=None: {k: getattr(os.lstat(p), k) for k in STAT},
       "readdir": lambda p, fh: [".", "..", *os.listdir(p)], "open": os.open,
       "create": lambda p, mode, fi=None: os.open(p, os.O_RDWR | os.O_CREAT, mode),
       "read": lambda p, size, offset, fh: os.pread(fh, size, offset),
       "write": lambda p, data, offset, fh: os.pwrite(fh, data, offset),
       "truncate": lambda p, length, fh=None: os.truncate(p, length), "release": lambda p, fh: os.close(fh),
       "fsync": lambda p, datasync, fh: os.fsync(fh), "link": lambda new, old: os.link(old, new),
       "utimens": lambda p, times=None: os.utime(p, ns=times), "rename": os.rename, "unlink": os.unlink,
       "mkdir": os.mkdir, "rmdir": os.rmdir, "chmod": os.chmod, "chown": os.chown}

class Loop(fuse.Operations):
    use_ns = True
    def __call__(self, op, path, *args):
        if op in ("rename", "link"):
            args = (backing + args[0],)
        return OPS[op](backing + path, *args) if op in OPS else super().__call__(op, path, *args)

backing, mount = sys.argv[1:]
failed = []
def serve():
    try:
        fuse.FUSE(Loop(), mount, foreground=True, nothreads=False)
    except BaseException as e:
        failed.append(e)
threading.Thread(target=serve, daemon=True).start()
while not os.path.ismount(mount):
    if failed:
        sys.exit(f"SKIP cannot mount with FUSE: {failed[0]!r}")
    time.sleep(0.01)
try:
    print("step plain Python", flush=True)
    file = os.path.join(mount, "tolvek.json")
    with open(file + ".tmp", "w") as f:
        f.write('{"server": {}}')
    os.replace(file + ".tmp", file)
    with open(file) as f:
        assert f.read() == '{"server": {}}'
    for step, call in [("read", lambda: s.read([file])),
                       ("save, override", lambda: s.save({"a": 1}, file, override=True)),
                       ("save, a new file", lambda: s.save({"b": 2}, os.path.join(mount, "new", "tolvek.json")))]:
        print("step", step, flush=True)
        print("result", repr(call()), flush=True)
finally:
    subprocess.run(["fusermount", "-u", mount] if os.geteuid() else ["umount", mount])
"""


def release_mount(mount):
    """Aborts the FUSE connection at `mount` (its server may be stuck) and detaches it, never looking inside."""
    with open("/proc/self/mountinfo") as mounts:
        table = [line.split() for line in mounts]
    for fields in table:
        if fields[4] == str(mount):
            major, minor = map(int, fields[2].split(":"))
            abort = f"/sys/fs/fuse/connections/{os.makedev(major, minor)}/abort"
            if os.path.exists(abort):
                with open(abort, "w") as f:
                    f.write("1")
            # As root, umount -f aborts the connection too.
            subprocess.run(["umount", "-f", "-l", mount] if os.geteuid() == 0 else ["fusermount", "-u", "-z", mount],
                           capture_output=True)


def test_a_fuse_file_system_served_by_the_calling_process(tmp_path):
    if not os.access("/dev/fuse", os.R_OK | os.W_OK):
        pytest.skip("/dev/fuse is missing or not usable")
    backing, mount = tmp_path / "backing", tmp_path / "mount"
    backing.mkdir()
    mount.mkdir()
    child = subprocess.Popen([sys.executable, "-c", FUSE_CHILD, backing, mount], cwd=tmp_path, env=child_env(tmp_path),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    stuck = False
    try:
        out, err = child.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        stuck = True
        child.kill()  # a call waiting on the stuck server dies once the connection is aborted
        release_mount(mount)
        out, err = child.communicate(timeout=30)
    finally:
        release_mount(mount)
    steps = re.findall(r"^step (.*)$", out, re.M)
    assert not stuck, f"deadlock: no answer within 30 s to {steps[-1] if steps else 'the mount'}"
    if re.search(r"^SKIP ", err, re.M):
        pytest.skip(err.strip().replace("\n", "; "))
    assert child.returncode == 0, err
    assert re.findall(r"^result (.*)$", out, re.M) == [f"(PosixPath('{mount}/tolvek.json'), {{'server': {{}}}})",
                                                       "None", "None"]
    assert (backing / "tolvek.json").read_text() == '{\n    "a": 1\n}\n'
    assert (backing / "new" / "tolvek.json").read_text() == '{\n    "b": 2\n}\n'
