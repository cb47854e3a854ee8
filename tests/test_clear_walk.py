"""clear() walks `[site.getusersitepackages()] + site.getsitepackages()`
exactly as the Python loop does, whatever getsitepackages() returns: a
list (the walk by index, empty or not), another sequence, an object that
answers `+` itself, or a list that changes under the walk."""

import gc
import types

import pytest

NOTIONAL_CLEAR = '''
def clear(pattern="*~*"):
    for sp in [site.getusersitepackages()] + site.getsitepackages():
        if "site-packages" in sp:
            for fp in Path(sp).glob(pattern=pattern):
                pass
'''


class RightAdd:
    def __radd__(self, other):
        return iter([*other, "b/site-packages", 5])


class Listing(list):
    pass


def emptied_under_the_walk():
    # Path() of the first directory empties every list that holds it, the
    # walked copy among them, found through the garbage collector.
    return ["a/site-packages", "b/site-packages"]


LISTINGS = {
    "empty list": lambda: [],
    "one entry": lambda: ["a/site-packages"],
    "several": lambda: ["a/site-packages", "b/dist-packages", "c/site-packages"],
    "non-str entry": lambda: ["a/site-packages", None],
    "bytes entry": lambda: [b"a/site-packages"],
    "tuple": lambda: ("a/site-packages",),
    "list subclass": lambda: Listing(["a/site-packages"]),
    "answers + itself": RightAdd,
    "None": lambda: None,
    "changed under the walk": emptied_under_the_walk,
}


def walk(clear, bind, listing, user):
    """The calls a clear() makes, and how it ends."""
    events = []

    class RecordingPath:
        def __init__(self, sp):
            events.append(("Path", sp))
            if listing is emptied_under_the_walk:
                for holder in gc.get_referrers(sp):
                    if type(holder) is list:
                        holder.clear()

        def glob(self, pattern):
            events.append(("glob", pattern))
            return []

    bind("site", types.SimpleNamespace(getusersitepackages=lambda: user, getsitepackages=listing))
    bind("Path", RecordingPath)
    try:
        events.append(("returned", clear()))
    except Exception as e:
        events.append((type(e).__name__, str(e)))
    return events


@pytest.mark.parametrize("user", ["u/site-packages", "/nonexistent"])
@pytest.mark.parametrize("listing", LISTINGS)
def test_clear_walk_matches_python(setting, monkeypatch, listing, user):
    python_globals = {}
    exec(NOTIONAL_CLEAR, python_globals)
    expected = walk(python_globals["clear"], python_globals.__setitem__, LISTINGS[listing], user)
    ours = walk(setting.clear, lambda name, value: monkeypatch.setattr(setting, name, value),
                LISTINGS[listing], user)
    assert ours == expected
