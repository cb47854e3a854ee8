"""Speed of brevan.setting and vexil against the Python they behave like.

Run with the module installed (for example after `bash scripts/test.sh`):

    .venv/test-3.12/bin/python bench/targets.py [--quick]

Every row prints our figure, the baseline's, their ratio and the target
ratio. The baseline for brevan.setting is the module's notional source
(docs/notional-source.md) written out as a Python module and imported with
its bytecode cached; for vexil it is the standard library's json. Figures
are medians over several rounds that alternate between the two sides, after
a warm-up, so both see the same machine state. Nothing is asserted: timings
on shared machines are too noisy for pass/fail.
"""

import argparse
import contextlib
import importlib
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import timeit
from pathlib import Path

import vexil
import brevan.setting as ours
from bench_calls import NoSite  # a `site` that lists no site-packages directory

ROOT = Path(__file__).resolve().parent.parent

# The helpers of the notional source that stand for C++ code, in the plain
# form the Python module would have them.
HELPERS = '''
def _strictly_inside(fp, sp):
    return True


def _replacing(path):
    return open(path, "w")


def _backup(path):
    pass
'''


def write_baseline(directory: Path) -> str:
    """The notional source as the module `brevanpy.setting`; returns its name."""
    text = (ROOT / "docs" / "notional-source.md").read_text()
    listing = text.split("```\n", 2)[1]
    lines = [re.sub(r"^ *\d+(  )?", "", line, count=1) for line in listing.splitlines()]
    package = directory / "brevanpy"  # a namespace package, as brevan is
    package.mkdir(parents=True)
    (package / "setting.py").write_text("\n".join(lines) + "\n" + HELPERS)
    return "brevanpy.setting"


def median_ns(stmt, number, rounds, namespace):
    timer = timeit.Timer(stmt, globals=namespace)
    return [t / number * 1e9 for t in timer.repeat(repeat=rounds, number=number)]


def compare(ours_stmt, base_stmt, namespace, number, rounds):
    """Median ns per call of both statements, measured in alternation."""
    median_ns(ours_stmt, number, 1, namespace)  # warm-up
    median_ns(base_stmt, number, 1, namespace)
    a, b = [], []
    for _ in range(rounds):
        a += median_ns(ours_stmt, number, 1, namespace)
        b += median_ns(base_stmt, number, 1, namespace)
    return statistics.median(a), statistics.median(b)


# ---------------------------------------------------------------- imports

IMPORTED = re.compile(r"import time:\s+(\d+) \|\s+(\d+) \|\s+(\S.*)$")


def self_times_us(module: str, env) -> dict[str, int]:
    """Self time (µs) of every module imported by `import module`."""
    result = subprocess.run([sys.executable, "-X", "importtime", "-c", f"import {module}"],
                            env=env, capture_output=True, text=True, check=True)
    times = {}
    for line in result.stderr.splitlines():
        m = IMPORTED.match(line)
        if m:
            times[m.group(3).strip()] = int(m.group(1))
    return times


def import_rows(base_dir: Path, rounds: int):
    """Self times of the modules themselves. The namespace packages (brevan,
    brevanpy) are left out of both sides: finding them is the import system
    scanning sys.path, the same work for both and varying with sys.path."""
    env = dict(os.environ, PYTHONPATH=str(base_dir))
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    subprocess.run([sys.executable, "-c", "import brevanpy.setting"], env=env, check=True,
                   capture_output=True)  # caches the bytecode
    setting, both, base, base_both = [], [], [], []
    for _ in range(rounds):
        t = self_times_us("brevan.setting", env)
        setting.append(t.get("brevan.setting", 0))
        both.append(setting[-1] + t.get("vexil", 0))
        t = self_times_us("brevanpy.setting", env)
        base.append(t.get("brevanpy.setting", 0))
        base_both.append(base[-1] + t.get("vexil", 0))
    m = statistics.median
    return [
        ("import: brevan.setting + vexil, vs Python module + vexil (µs)", m(both), m(base_both), 0.6),
        ("import: brevan.setting alone, vs Python module alone (µs)", m(setting), m(base), 0.6),
    ]


# ---------------------------------------------------------------- calls

def settings_100k():
    """A settings object whose text is about 100 KB: sections of mixed values."""
    obj = {}
    i = 0
    while len(json.dumps(obj, indent=4)) < 100_000:
        obj[f"section{i}"] = {
            "name": f"entry {i} \u00e9\u4e2d",
            "count": i * 7919,
            "ratio": i / 7,
            "enabled": i % 2 == 0,
            "nothing": None,
            "tags": [f"t{j}" for j in range(5)],
            "nested": {"depth": [i, [i + 1, {"k": "v"}]]},
        }
        i += 1
    return obj


@contextlib.contextmanager
def quiet():
    saved = sys.stdout
    with open(os.devnull, "w") as sink:
        sys.stdout = sink
        try:
            yield
        finally:
            sys.stdout = saved


def call_rows(base, scratch: Path, number: int, rounds: int):
    home = scratch / "home"
    cwd = scratch / "cwd"
    home.mkdir(parents=True)
    cwd.mkdir()
    settings_file = home / "tolvek.json"
    settings_file.write_text(vexil.dumps(ours.defaults))
    kept = scratch / "kept.json"
    kept.write_text(vexil.dumps(ours.defaults))
    candidates = [cwd / "tolvek.json", settings_file]

    ns = {"ours": ours, "base": base, "d": dict(ours.defaults), "kept": str(kept),
          "file": [str(settings_file)]}
    rows = []
    saved_site = (ours.site, base.site)
    ours.site = base.site = NoSite
    try:
        for label, stmt in [("clear()", "{}.clear()"),
                            ("clear(pattern=...)", "{}.clear(pattern='*~*')")]:
            a, b = compare(stmt.format("ours"), stmt.format("base"), ns, number, rounds)
            rows.append((f"{label}, site listing nothing (ns)", a, b, 1.0))
    finally:
        ours.site, base.site = saved_site

    for label, stmt in [("save(d, existing_path)", "{}.save(d, kept)"),
                        ("save(d, path=p, override=0)", "{}.save(d, path=kept, override=0)")]:
        a, b = compare(stmt.format("ours"), stmt.format("base"), ns, number, rounds)
        rows.append((f"{label}, file kept (ns)", a, b, 0.25))

    tjs_ours = ours.read.__defaults__[0]
    tjs_base = base.tjs
    saved_tjs = (list(tjs_ours), list(tjs_base))
    tjs_ours[:] = candidates
    tjs_base[:] = candidates
    try:
        with quiet():
            a, b = compare("ours.read(file)", "base.read(file)", ns, number // 4, rounds)
            rows.append(("read([file]) of the default settings (ns)", a, b, 0.45))
            a, b = compare("ours.startup()", "base.startup()", ns, max(number // 20, 10), rounds)
            rows.append(("startup(), complete settings in home (ns)", a, b, 0.45))
    finally:
        tjs_ours[:], tjs_base[:] = saved_tjs
    return rows


def vexil_rows(number: int, rounds: int):
    small = dict(ours.defaults)
    big = settings_100k()
    ns = {"vexil": vexil, "json": json, "small": small, "big": big,
          "small_text": vexil.dumps(small), "big_text": vexil.dumps(big)}
    rows = []
    for label, count, ours_stmt, base_stmt, target in [
        ("vexil.dumps(defaults)", number, "vexil.dumps(small)",
         "json.dumps(small, indent=4) + '\\n'", 0.1),
        ("vexil.dumps(100 KB object)", max(number // 500, 3), "vexil.dumps(big)",
         "json.dumps(big, indent=4) + '\\n'", 0.1),
        ("vexil.loads(defaults text)", number, "vexil.loads(small_text)",
         "json.loads(small_text)", 0.85),
        ("vexil.loads(100 KB text)", max(number // 500, 3), "vexil.loads(big_text)",
         "json.loads(big_text)", 1.0),
    ]:
        a, b = compare(ours_stmt, base_stmt, ns, count, rounds)
        rows.append((f"{label} (ns)", a, b, target))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds (a rough look)")
    args = parser.parse_args()
    number, rounds, import_rounds = (2000, 5, 7) if args.quick else (10000, 11, 21)

    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        name = write_baseline(tmp / "baseline")
        rows = import_rows(tmp / "baseline", import_rounds)
        sys.path.insert(0, str(tmp / "baseline"))
        base = importlib.import_module(name)
        rows += call_rows(base, tmp / "calls", number, rounds)
        rows += vexil_rows(number, rounds)

    print(f"Python {sys.version.split()[0]} on {os.uname().machine}; "
          f"medians of {rounds} alternating rounds ({import_rounds} for imports)")
    width = max(len(r[0]) for r in rows)
    print(f"{'what':<{width}}  {'ours':>10}  {'baseline':>10}  {'ratio':>6}  {'target':>6}")
    for label, a, b, target in rows:
        ratio = a / b if b else float("inf")
        mark = "met" if ratio <= target else "MISSED"
        print(f"{label:<{width}}  {a:>10.0f}  {b:>10.0f}  {ratio:>6.2f}  {target:>6.2f}  {mark}")


if __name__ == "__main__":
    main()
