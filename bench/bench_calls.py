"""Call overhead and memory of brevan.setting's functions.

Prints figures and ratios; asserts nothing (timings on shared machines are
noisy). Run with the module installed:  python bench/bench_calls.py

- binding: clear() with a stand-in `site` that lists no directories, so the
  figure is the call, argument binding and three global lookups; compared
  with a Python function doing the same lookups.
- global lookup through the fast path (plain module) and the slow path
  (module-level __getattr__ answering the name).
- error paths: a count error (which builds a traceback entry) against the
  same error from a Python function.
- memory: RSS before and after a million calls and 200k error paths.
"""

import gc
import resource
import sys
import timeit
import types

import brevan.setting as setting


class NoSite:
    @staticmethod
    def getusersitepackages():
        return "/nonexistent"

    @staticmethod
    def getsitepackages():
        return []


def python_clear(pattern="*~*", _g=None):
    # What clear() does with a site listing nothing qualifying.
    for sp in [site.getusersitepackages()] + site.getsitepackages():  # noqa: F821
        if "site-packages" in sp:
            pass


def rss_kib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def best(stmt, number, **names):
    timer = timeit.Timer(stmt, globals=names)
    return min(timer.repeat(repeat=5, number=number)) / number * 1e9


def main():
    setting.site = NoSite
    python_globals = {"site": NoSite}
    py_clear = types.FunctionType(python_clear.__code__, python_globals, "python_clear", python_clear.__defaults__)

    n = 200_000
    ours = best("clear()", n, clear=setting.clear)
    theirs = best("clear()", n, clear=py_clear)
    print(f"clear() with an empty listing: {ours:7.1f} ns   Python equivalent: {theirs:7.1f} ns   ratio {ours / theirs:.2f}")

    ours_kw = best("clear(pattern='x')", n, clear=setting.clear)
    theirs_kw = best("clear(pattern='x')", n, clear=py_clear)
    print(f"clear(pattern=...):            {ours_kw:7.1f} ns   Python equivalent: {theirs_kw:7.1f} ns   ratio {ours_kw / theirs_kw:.2f}")

    # Slow path: the name is answered by a module-level __getattr__.
    del setting.site
    setting.__getattr__ = lambda name: NoSite if name == "site" else (_ for _ in ()).throw(AttributeError(name))
    slow = best("clear()", n, clear=setting.clear)
    del setting.__getattr__
    setting.site = NoSite
    print(f"clear() via module __getattr__: {slow:6.1f} ns   (fast path {ours:.1f} ns)")

    def python_find(site):
        pass

    m = 50_000
    ours_err = best("try:\n  find()\nexcept TypeError:\n  pass", m, find=setting.find)
    theirs_err = best("try:\n  find()\nexcept TypeError:\n  pass", m, find=python_find)
    print(f"count error with traceback entry: {ours_err:7.1f} ns   Python function: {theirs_err:7.1f} ns   ratio {ours_err / theirs_err:.2f}")

    type_err = best("try:\n  find(None)\nexcept TypeError:\n  pass", m, find=setting.find)
    print(f"exact-type error (no entry):      {type_err:7.1f} ns")

    gc.collect()
    before = rss_kib()
    for _ in range(1_000_000):
        setting.clear()
    for _ in range(100_000):
        try:
            setting.find()
        except TypeError:
            pass
        try:
            setting.save({}, x=1)
        except TypeError:
            pass
    gc.collect()
    after = rss_kib()
    print(f"max RSS: {before} KiB before, {after} KiB after 1M calls and 200k errors (+{after - before} KiB)")
    print(f"Python {sys.version.split()[0]}")


if __name__ == "__main__":
    main()
