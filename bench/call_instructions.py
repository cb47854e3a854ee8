"""Instructions per call of each public function, and of the import, counted
by callgrind: figures that a busy machine does not move, for comparing two
builds side by side (a restructuring must not cost speed).

    python bench/call_instructions.py [--calls N] [--general]

Each figure is (instructions of a run making 2N calls - those of a run making
N) / N, so set-up, import and the interpreter's start cancel out. The import
figure is the instructions of `import brevan.setting` beyond importing what
it imports. --general refuses the fast paths, as the tests' general pass
does (builtins.open replaced by an equal callable). Output is coloured
(FORCE_COLOR=1) and goes to os.devnull.
Needs valgrind; prints a table and asserts nothing.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

SETUP = r"""
import io, os, sys, tempfile, pathlib
d = tempfile.mkdtemp()
os.chdir(d)
import brevan.setting as s, vexil
good = pathlib.Path(d, "tolvek.json")
good.write_text(vexil.dumps(s.defaults))
text = good.read_text()
sink = open(os.devnull, "w")
"""

CALLS = {
    "read()": "s.read([good])",
    "read(missing, good)": "s.read([pathlib.Path(d, 'none.json'), str(good)])",
    "save(existing)": "s.save(s.defaults, good)",
    "save(override)": "s.save(s.defaults, good, override=True)",
    "clear()": "s.clear()",
    "startup()": "s.startup()",
    "dumps(defaults)": "vexil.dumps(s.defaults)",
    "loads(defaults)": "vexil.loads(text)",
    "iprint(coloured)": "vexil.iprint('x', foreground='cyan')",
}


def instructions(code, env):
    run = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
         sys.executable, "-c", code + "\nimport os; os._exit(0)"],
        env=dict(env, PYTHONHASHSEED="0"), capture_output=True, text=True, check=True)
    return int(re.search(r"refs:\s+([\d,]+)", run.stderr).group(1).replace(",", ""))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=200)
    parser.add_argument("--general", action="store_true")
    args = parser.parse_args()
    env = dict(os.environ)
    env.update(FORCE_COLOR="1")
    env.pop("NO_COLOR", None)
    setup = SETUP
    if args.general:
        setup = "import builtins, io\nbuiltins.open = io.open.__call__\n" + setup
    with tempfile.TemporaryDirectory() as home:
        # startup() writes in the home directory; keep the user's alone.
        env["HOME"] = home
        rows = []
        pre = "import shutil, site, subprocess, sys, pathlib, vexil"
        # The import's count has been seen to move by up to 4% between runs
        # (the per-call rows by well under 1%): the median of three pairs.
        imports = sorted(instructions(pre + "; import brevan.setting", env) - instructions(pre, env)
                         for _ in range(3))
        rows.append(("import brevan.setting", imports[1]))
        for name, call in CALLS.items():
            n = args.calls
            loop = setup + "sys.stdout = sink\nfor _ in range({}):\n    " + call + "\n"
            once = instructions(loop.format(n), env)
            twice = instructions(loop.format(2 * n), env)
            rows.append((name, (twice - once) / n))
    print(f"{'instructions':24} {sys.version.split()[0]}{' general' if args.general else ''}")
    for name, count in rows:
        print(f"{name:24} {count:12,.0f}")


if __name__ == "__main__":
    main()
