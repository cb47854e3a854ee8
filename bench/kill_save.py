"""Kills writers in the middle of save() and counts what they leave behind.

Each run starts a child that saves a large settings object over one file in
a tight loop, alternating two contents, and kills it with SIGKILL after a
random short delay. After each kill the file must hold one of the two texts,
whole (a torn file is counted), and any other file in the directory is a
stray temporary. Strays stay where they are, so later writers may clean them
up. At the end one more save() in this process shows what is left.

    python bench/kill_save.py [runs] [--named]

`--named` (as root) hides /proc from the children, so their new files are
named from the start instead of anonymous. It prints figures only.
"""

import os
import random
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import brevan.setting as setting

HIDE_PROC = """
import os, subprocess
os.unshare(os.CLONE_NEWNS)
subprocess.run(["mount", "--make-rprivate", "/"], check=True)
subprocess.run(["mount", "-t", "tmpfs", "none", "/proc"], check=True)
"""
WRITER = """
import sys
import brevan.setting as setting
target = sys.argv[1]
objects = [{"big": {"n": n, "pad": "x" * 400_000}} for n in (0, 1)]
print("ready", flush=True)
n = 0
while True:
    setting.save(objects[n % 2], target, override=True)
    n += 1
"""


def main():
    runs = int(next((a for a in sys.argv[1:] if a.isdigit()), 300))
    named = "--named" in sys.argv
    texts = {setting.dumps({"big": {"n": n, "pad": "x" * 400_000}}) for n in (0, 1)}
    directory = Path(tempfile.mkdtemp(prefix="brevan-kill-"))
    target = directory / "tolvek.json"
    setting.save({"big": {"n": 0, "pad": "x" * 400_000}}, target)
    code = (HIDE_PROC if named else "") + WRITER
    rng = random.Random(7)
    torn = leaving = 0
    seen = set()
    started = time.perf_counter()
    for _ in range(runs):
        child = subprocess.Popen([sys.executable, "-c", code, str(target)], stdout=subprocess.PIPE)
        child.stdout.readline()
        time.sleep(rng.uniform(0.0, 0.03))
        child.send_signal(signal.SIGKILL)
        child.wait()
        child.stdout.close()
        torn += target.read_text() not in texts
        strays = {name for name in os.listdir(directory) if name != target.name}
        leaving += bool(strays - seen)
        seen |= strays
    left_by_kills = len(os.listdir(directory)) - 1
    setting.save({"big": {"n": 0, "pad": "x" * 400_000}}, target, override=True)
    left_after_save = len(os.listdir(directory)) - 1
    print(f"module: {setting.__file__}")
    print(f"new files: {'named' if named else 'anonymous where possible'}")
    print(f"kills: {runs} in {time.perf_counter() - started:.1f} s")
    print(f"torn files after a kill: {torn}")
    print(f"kills that left a new stray: {leaving}")
    print(f"strays present after the last kill: {left_by_kills}")
    print(f"strays left after one more save: {left_after_save}")
    for name in os.listdir(directory):
        os.unlink(directory / name)
    directory.rmdir()


if __name__ == "__main__":
    main()
