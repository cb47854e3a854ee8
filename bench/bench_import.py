"""Import time of brevan.setting against the same module written in Python.

Prints figures only. Runs `python -X importtime` many times and takes the
median of each module's own ("self") time, standard-library imports left
out: brevan.setting + vexil against the notional Python source
(docs/notional-source.md, bytecode cached) + vexil.

    python bench/bench_import.py [runs]
"""

import pathlib
import py_compile
import re
import statistics
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent


def notional_source():
    text = (ROOT / "docs" / "notional-source.md").read_text()
    listing = text.split("```\n", 2)[1]
    return "".join(re.sub(r"^ *\d+(  )?", "", line, count=1) for line in listing.splitlines(True))


def self_times(module, pythonpath):
    """Self time in microseconds of each module one `import module` loads."""
    env = {"PYTHONPATH": pythonpath, "PATH": "/usr/bin:/bin"}
    out = subprocess.run([sys.executable, "-X", "importtime", "-c", f"import {module}"],
                         capture_output=True, text=True, env=env, check=True).stderr
    times = {}
    for line in out.splitlines():
        match = re.match(r"import time:\s+(\d+) \|\s+\d+ \|\s*(\S+)", line)
        if match:
            times[match.group(2)] = int(match.group(1))
    return times


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 21
    with tempfile.TemporaryDirectory() as scratch:
        source = pathlib.Path(scratch) / "notional_setting.py"
        source.write_text(notional_source())
        py_compile.compile(str(source), cfile=str(pathlib.Path(scratch) / "__pycache__" /
                                                  f"notional_setting.{sys.implementation.cache_tag}.pyc"))
        # Alternating runs, so that load on the machine hits both alike.
        ours_runs, python_runs = [], []
        for _ in range(runs):
            times = self_times("brevan.setting", "")
            ours_runs.append((times["brevan.setting"], times["vexil"]))
            times = self_times("notional_setting", scratch)
            python_runs.append((times["notional_setting"], times["vexil"]))
    ours = {"brevan.setting": statistics.median(t[0] for t in ours_runs),
            "vexil": statistics.median(t[1] for t in ours_runs)}
    python = {"notional_setting": statistics.median(t[0] for t in python_runs),
              "vexil": statistics.median(t[1] for t in python_runs)}
    ours_total = statistics.median(sum(t) for t in ours_runs)
    python_total = statistics.median(sum(t) for t in python_runs)
    ours_best = min(sum(t) for t in ours_runs)
    python_best = min(sum(t) for t in python_runs)
    print(f"brevan.setting {ours['brevan.setting']:7.0f} us + vexil {ours['vexil']:5.0f} us = {ours_total:7.0f} us"
          f"   (best {ours_best} us)")
    print(f"Python module  {python['notional_setting']:7.0f} us + vexil {python['vexil']:5.0f} us = {python_total:7.0f} us"
          f"   (best {python_best} us)")
    print(f"ratio {ours_total / python_total:.2f}, of the best runs {ours_best / python_best:.2f}"
          f"   (median of {runs} runs, Python {sys.version.split()[0]})")

if __name__ == "__main__":
    main()
