"""vexil's dumps and loads against the json calls they stand for.

Prints, for the default settings and a ~100 KB settings object, vexil's time,
the baseline's time and their ratio (median of several runs after a warm-up).
Baselines: json.dumps(obj, indent=4) + "\\n" and json.loads(text). Asserts
nothing. Run with the modules installed:  python bench/bench_vexil.py

rows() returns the same figures for a combined benchmark.
"""

import json
import statistics
import timeit

import vexil


def default_settings():
    try:
        import brevan.setting as setting

        return setting.defaults
    except ImportError:
        return {
            "server": {"home": "/home/user", "repo": "https://example.invalid/repo"},
            "studio": {"theme": "dark", "console": False},
        }


def large_settings(target=100_000):
    """A deterministic settings object whose text is about `target` bytes."""
    settings = {}
    i = 0
    while len(json.dumps(settings, indent=4)) < target:
        settings[f"section_{i}"] = {
            "name": f"Project {i} – déjà vu",
            "path": f"/home/user/projects/p{i}/src",
            "enabled": i % 3 == 0,
            "retries": i * 7,
            "scale": i / 8 + 0.1,
            "limits": [i, i * 1.5, -i, None],
            "tags": ["alpha", "beta", f"t{i}"],
            "window": {"width": 800 + i, "height": 600, "ratio": 1.333, "title": "Main\twindow"},
        }
        i += 1
    return settings


def _median_ns(func, arg, runs=7):
    timer = timeit.Timer(lambda: func(arg))
    number, _ = timer.autorange()  # also the warm-up
    return statistics.median(timer.repeat(repeat=runs, number=number)) / number * 1e9


def _json_dumps(obj):
    return json.dumps(obj, indent=4) + "\n"


def rows():
    """(label, vexil ns per call, baseline ns per call) for each case."""
    cases = []
    for name, obj in [("defaults", default_settings()), ("100 KB", large_settings())]:
        text = vexil.dumps(obj)
        cases.append((f"vexil.dumps {name}", _median_ns(vexil.dumps, obj), _median_ns(_json_dumps, obj)))
        cases.append((f"vexil.loads {name}", _median_ns(vexil.loads, text), _median_ns(json.loads, text)))
    return cases


def main():
    print(f"{'case':<24}{'vexil':>14}{'baseline':>14}{'ratio':>8}")
    for label, ours, base in rows():
        print(f"{label:<24}{ours / 1000:>11.2f} us{base / 1000:>11.2f} us{ours / base:>8.3f}")


if __name__ == "__main__":
    main()
