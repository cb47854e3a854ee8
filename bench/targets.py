"""Speed of brevan.setting and vexil against the Python they behave like.

Run with the module installed, in an environment of its own that may also
hold the peers measured for reference (orjson, msgspec; never dependencies
of the module):

    python3.12 -m venv .venv/bench-3.12
    .venv/bench-3.12/bin/pip install dist/*.whl orjson msgspec
    .venv/bench-3.12/bin/python bench/targets.py [--quick] [--steps] [--callgrind] [--debian]

Every row prints our figure, the baseline's, their ratio and the target
ratio for the running Python. The baseline for brevan.setting is the
module's notional source (docs/notional-source.md) written out as a Python
module and imported with its bytecode cached; for vexil it is the standard
library's json. Figures are medians over rounds that alternate between the
two sides, after a warm-up, so both see the same machine state; the import
rows also give the spread (quartiles of the per-round ratio) and are
measured with the garbage collector on and off, so that a collection landing
on one side cannot flatter the other. Nothing is asserted: timings on shared
machines are too noisy for pass/fail.

--callgrind adds the import's instruction counts (valgrind), which the
machine's load does not move. --steps adds the find, create and exec steps of brevan.setting alone (its
imports already loaded), median of fresh interpreters. --debian runs the same
table afterwards on Debian's 3.14 and 3.15 through scripts/debian-pythons.sh,
when that machinery can run here.
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

def fresh(argv, env=None):
    """Runs argv in a fresh process started in an empty directory of its own.

    `python -c` puts the working directory first on sys.path. Started from
    the checkout, whose source directories are named brevan/ and vexil/, the
    import of brevan.setting (and of vexil) would search those as portions of
    the namespace package too, work no installed copy does and the baseline
    (whose package is elsewhere) never sees."""
    with tempfile.TemporaryDirectory() as start:
        return subprocess.run(argv, env=env, cwd=start, capture_output=True, text=True, check=True)


IMPORTED = re.compile(r"import time:\s+(\d+) \|\s+(\d+) \|\s+(\S.*)$")


def self_times_us(module: str, env, gc_off: bool) -> dict[str, int]:
    """Self time (µs) of every module imported by `import module`."""
    code = ("import gc; gc.disable(); " if gc_off else "") + f"import {module}"
    result = fresh([sys.executable, "-X", "importtime", "-c", code], env)
    times = {}
    for line in result.stderr.splitlines():
        m = IMPORTED.match(line)
        if m:
            times[m.group(3).strip()] = int(m.group(1))
    return times


def import_target():
    return {(3, 12): 1.0, (3, 13): 1.1}.get(sys.version_info[:2], 1.3)


def spread(values):
    q = statistics.quantiles(values, n=4)
    return f"{q[0]:.2f}-{q[2]:.2f}"


def import_rows(base_dir: Path, rounds: int):
    """Own time of brevan.setting, vexil and the brevan package against the
    plain module with cached bytecode, vexil and its package, in fresh
    interpreters, alternating sides, with the collector on and off."""
    env = dict(os.environ, PYTHONPATH=str(base_dir))
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    fresh([sys.executable, "-c", "import brevanpy.setting"], env)  # caches the bytecode
    rows = []
    for gc_off in (False, True):
        ours, base = [], []
        for _ in range(rounds):
            t = self_times_us("brevan.setting", env, gc_off)
            ours.append(t.get("brevan.setting", 0) + t.get("vexil", 0) + t.get("brevan", 0))
            t = self_times_us("brevanpy.setting", env, gc_off)
            base.append(t.get("brevanpy.setting", 0) + t.get("vexil", 0) + t.get("brevanpy", 0))
        ratios = [a / b for a, b in zip(ours, base) if b]
        label = f"import own time, setting + vexil + package, GC {'off' if gc_off else 'on'} (µs)"
        rows.append((label, statistics.median(ours), statistics.median(base), import_target(),
                     spread(ratios)))
    return rows


def instructions(code: str, env) -> int:
    """Instructions callgrind counts for `python -c code` (hash seed fixed),
    leaving without the interpreter's finalization, which is no import work."""
    result = fresh(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                    sys.executable, "-c", code + "; import os; os._exit(0)"],
                   dict(env, PYTHONHASHSEED="0"))
    return int(re.search(r"refs:\s+([\d,]+)", result.stderr).group(1).replace(",", ""))


def import_instructions(base_dir: Path):
    """Instructions of `import brevan.setting` and of the plain module beyond
    their imports (loaded first, vexil included): a figure the machine's load
    does not move."""
    env = dict(os.environ, PYTHONPATH=str(base_dir))
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    before = "import shutil, site, subprocess, sys, pathlib, types, vexil"
    rows = []
    for gc_off in (False, True):
        pre = before + ("; import gc; gc.disable()" if gc_off else "")
        floor = instructions(pre, env)
        ours_n = instructions(pre + "; import brevan.setting", env) - floor
        base_n = instructions(pre + "; import brevanpy.setting", env) - floor
        rows.append((f"import instructions, setting + package, GC {'off' if gc_off else 'on'} (k)",
                     ours_n / 1000, base_n / 1000, import_target(), ""))
    return rows


STEPS = """
import importlib.util, sys, time
import shutil, site, subprocess, pathlib, types, vexil
t0 = time.perf_counter_ns()
spec = importlib.util.find_spec("brevan.setting")
t1 = time.perf_counter_ns()
module = importlib.util.module_from_spec(spec)
t2 = time.perf_counter_ns()
sys.modules[spec.name] = module
spec.loader.exec_module(module)
t3 = time.perf_counter_ns()
print((t1 - t0) / 1e3, (t2 - t1) / 1e3, (t3 - t2) / 1e3)
"""


def import_steps(rounds: int):
    """Median (and quartiles) of brevan.setting's find, create (which
    loads the library) and exec steps, its imports loaded beforehand."""
    rows = [list(map(float, fresh([sys.executable, "-c", STEPS]).stdout.split()))
            for _ in range(rounds)]
    for i, step in enumerate(("find", "create", "exec")):
        values = [r[i] for r in rows]
        q = statistics.quantiles(values, n=4)
        print(f"brevan.setting {step:<6}  median {statistics.median(values):7.1f} µs  "
              f"quartiles {q[0]:.1f}-{q[2]:.1f}  ({rounds} fresh interpreters)")


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
            rows.append((f"{label}, site listing nothing (ns)", a, b, 1.0, ""))
    finally:
        ours.site, base.site = saved_site

    for label, stmt in [("save(d, existing_path)", "{}.save(d, kept)"),
                        ("save(d, path=p, override=0)", "{}.save(d, path=kept, override=0)")]:
        a, b = compare(stmt.format("ours"), stmt.format("base"), ns, number, rounds)
        rows.append((f"{label}, file kept (ns)", a, b, 0.25, ""))

    tjs_ours = ours.read.__defaults__[0]
    tjs_base = base.tjs
    saved_tjs = (list(tjs_ours), list(tjs_base))
    tjs_ours[:] = candidates
    tjs_base[:] = candidates
    try:
        with quiet():
            a, b = compare("ours.read(file)", "base.read(file)", ns, number // 4, rounds)
            rows.append(("read([file]) of the default settings (ns)", a, b, 0.45, ""))
            a, b = compare("ours.startup()", "base.startup()", ns, max(number // 20, 10), rounds)
            rows.append(("startup(), complete settings in home (ns)", a, b, 0.45, ""))
    finally:
        tjs_ours[:], tjs_base[:] = saved_tjs
    return rows


def peers():
    """The peers installed here, for reference rows."""
    found = {}
    for name in ("orjson", "msgspec"):
        try:
            found[name] = importlib.import_module(name)
        except ImportError:
            pass
    if "msgspec" in found:
        importlib.import_module("msgspec.json")
    return found


def vexil_rows(number: int, rounds: int):
    small = dict(ours.defaults)
    big = settings_100k()
    ns = {"vexil": vexil, "json": json, "small": small, "big": big,
          "small_text": vexil.dumps(small), "big_text": vexil.dumps(big), **peers()}
    dumps_big = 0.05 if sys.version_info < (3, 13) else 0.10
    cases = [
        ("vexil.dumps(defaults)", number, "vexil.dumps(small)",
         "json.dumps(small, indent=4) + '\\n'", 0.1),
        ("vexil.dumps(100 KB object)", max(number // 500, 3), "vexil.dumps(big)",
         "json.dumps(big, indent=4) + '\\n'", dumps_big),
        (f"vexil.loads(settings text, {len(ns['small_text'])} chars)", number,
         "vexil.loads(small_text)", "json.loads(small_text)", 0.30),
        ("vexil.loads(100 KB text)", max(number // 500, 3), "vexil.loads(big_text)",
         "json.loads(big_text)", 0.55),
    ]
    # The peers, as references: their ratio to the same json call.
    if "orjson" in ns:
        cases += [
            ("  orjson.dumps(100 KB, OPT_INDENT_2), bytes", max(number // 500, 3),
             "orjson.dumps(big, option=orjson.OPT_INDENT_2)", "json.dumps(big, indent=4) + '\\n'",
             None),
            ("  orjson.loads(settings text)", number, "orjson.loads(small_text)",
             "json.loads(small_text)", None),
            ("  orjson.loads(100 KB text)", max(number // 500, 3), "orjson.loads(big_text)",
             "json.loads(big_text)", None),
        ]
    if "msgspec" in ns:
        cases += [
            ("  msgspec.json.decode(settings text)", number, "msgspec.json.decode(small_text)",
             "json.loads(small_text)", None),
            ("  msgspec.json.decode(100 KB text)", max(number // 500, 3),
             "msgspec.json.decode(big_text)", "json.loads(big_text)", None),
        ]
    rows = []
    for label, count, ours_stmt, base_stmt, target in cases:
        a, b = compare(ours_stmt, base_stmt, ns, count, rounds)
        rows.append((f"{label} (ns)", a, b, target, ""))
    return rows


def fast_paths_taken(scratch: Path):
    """Which of save, read and clear took its fast path: the pathlib code
    that the general path runs for the step it stands in for (exists(),
    open()'s __fspath__, glob()) runs only when it is refused."""
    pathlib_file = sys.modules["pathlib"].__file__
    pathlib_code = os.path.dirname(pathlib_file) if pathlib_file.endswith("__init__.py") else pathlib_file
    kept = scratch / "probe.json"
    kept.write_text("{}")
    listing = scratch / "probe-site-packages"
    listing.mkdir()

    class Site:
        getusersitepackages = staticmethod(lambda: str(listing))
        getsitepackages = staticmethod(lambda: [])

    calls = {"save": (lambda: ours.save({}, str(kept)), "exists"),
             "read": (lambda: ours.read([str(kept)]), "__fspath__"),
             "clear": (lambda: ours.clear(), "glob")}
    saved = ours.site, ours.iprint
    ours.site, ours.iprint = Site, lambda *a, **k: None
    taken = {}
    try:
        for name, (call, general) in calls.items():
            call()  # the first use records what pathlib is
            ran = set()
            sys.setprofile(lambda frame, event, arg: event == "call" and frame.f_code.co_filename
                           .startswith(pathlib_code) and ran.add(frame.f_code.co_name))
            try:
                call()
            finally:
                sys.setprofile(None)
            taken[name] = general not in ran
    finally:
        ours.site, ours.iprint = saved
    return ", ".join(f"{name} {'taken' if t else 'REFUSED'}" for name, t in taken.items())


def on_debian(args):
    """The same table on Debian's 3.14 and 3.15, when they can run here."""
    script = ROOT / "scripts" / "debian-pythons.sh"
    if not script.exists() or subprocess.run(["bash", str(script), "can"],
                                             capture_output=True).returncode != 0:
        print("\n(no Debian 3.14/3.15 here: scripts/debian-pythons.sh cannot run)")
        return
    own = ["bench/targets.py"] + (["--quick"] if args.quick else []) + (["--steps"] if args.steps else [])
    for version in ("3.14", "3.15"):
        print(flush=True)
        subprocess.run(["bash", str(script), "run", version, "python", *own], cwd=ROOT)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds (a rough look)")
    parser.add_argument("--steps", action="store_true", help="also brevan.setting's import steps")
    parser.add_argument("--debian", action="store_true", help="then Debian's 3.14 and 3.15")
    parser.add_argument("--callgrind", action="store_true",
                        help="also the import's instruction counts (needs valgrind)")
    args = parser.parse_args()
    number, rounds, import_rounds = (2000, 5, 7) if args.quick else (10000, 11, 21)

    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        name = write_baseline(tmp / "baseline")
        rows = import_rows(tmp / "baseline", import_rounds)
        if args.callgrind:
            rows += import_instructions(tmp / "baseline")
        sys.path.insert(0, str(tmp / "baseline"))
        base = importlib.import_module(name)
        rows += call_rows(base, tmp / "calls", number, rounds)
        fast = fast_paths_taken(tmp)
        rows += vexil_rows(number, rounds)

    print(f"Python {sys.version.split()[0]} on {os.uname().machine}; "
          f"medians of {rounds} alternating rounds ({import_rounds} fresh interpreters per side "
          f"for imports; spread: quartiles of the per-round ratio)")
    width = max(len(r[0]) for r in rows)
    print(f"{'what':<{width}}  {'ours':>10}  {'baseline':>10}  {'ratio':>6}  {'target':>6}")
    for label, a, b, target, spread_text in rows:
        ratio = a / b if b else float("inf")
        if target is None:
            verdict, target_text = "reference", "-"
        else:
            verdict, target_text = ("met" if ratio <= target else "MISSED"), f"{target:.2f}"
        extra = f"  spread {spread_text}" if spread_text else ""
        print(f"{label:<{width}}  {a:>10.0f}  {b:>10.0f}  {ratio:>6.2f}  {target_text:>6}  {verdict}{extra}")
    print(f"fast paths: {fast}")
    if args.steps:
        import_steps(max(import_rounds * 2, 40) if not args.quick else 10)
    if args.debian:
        on_debian(args)


if __name__ == "__main__":
    main()
