"""iprint's colour decision agrees with os.environ.get, however os.environ is changed."""

import textwrap

# Each case changes os.environ or what reading it runs, in a forked child,
# so that os.environ.get answers differently from what the mapping's
# internal dict holds; iprint must come to os.environ.get's answer (or
# raise its error). (Rebinding get, __getitem__ or encodekey is tested with
# the other colour cases.)
CASES = {
    "untouched-set": "os.environ['FORCE_COLOR'] = '1'",
    "type-getattribute": """
        E = type(os.environ); real = E.__getattribute__
        def getattribute(self, name):
            value = real(self, name)
            if name != "get":
                return value
            return lambda key, default=None: "1" if key == "FORCE_COLOR" else value(key, default)
        E.__getattribute__ = getattribute
    """,
    "get-code": """
        def get(self, key, default=None):
            return "1" if key == "FORCE_COLOR" else default
        collections.abc.Mapping.get.__code__ = get.__code__
    """,
    "getitem-code": """
        def getitem(self, key):
            if key == "FORCE_COLOR":
                return "1"
            raise KeyError(key)
        type(os.environ).__getitem__.__code__ = getitem.__code__
    """,
    "class": """
        class Env(type(os.environ)):
            def get(self, key, default=None):
                return "1" if key == "FORCE_COLOR" else default
        os.environ.__class__ = Env
    """,
    "metaclass-getattribute": """
        E = type(os.environ); meta = type(E); real = meta.__getattribute__
        E.get = lambda self, key, default=None: "1" if key == "FORCE_COLOR" else default
        original = collections.abc.Mapping.get
        meta.__getattribute__ = lambda cls, name: original if cls is E and name == "get" else real(cls, name)
    """,
    "decodevalue": "os.environ['NO_COLOR'] = ''; os.environ['FORCE_COLOR'] = '1'; os.environ.decodevalue = lambda value: 'yes'",
    "decodevalue-code": """
        os.environ['NO_COLOR'] = ''; os.environ['FORCE_COLOR'] = '1'
        def closing(encoding):
            def decode(value):
                return 'yes' or encoding
            return decode
        os.environ.decodevalue.__code__ = closing(None).__code__
    """,
    "encodevalue": "os.environ.encodevalue = lambda value: value; os.environ['FORCE_COLOR'] = '1'",
    "str-in-data": "os.environ._data[os.environ.encodekey('FORCE_COLOR')] = '1'",
    "bytes-subclass-in-data": """
        class Quiet(bytes):
            def decode(self, *args):
                return ''
        os.environ._data[os.environ.encodekey('FORCE_COLOR')] = Quiet(b'1')
    """,
}

CHILD = """
import collections.abc, io, os, sys
import vexil
os.environ.pop("NO_COLOR", None)
os.environ.pop("FORCE_COLOR", None)

def outcome(action):
    try:
        return action()
    except Exception as e:
        return type(e).__name__

def general():  # what iprint decides, by os.environ.get (stdout is no terminal)
    get = os.environ.get
    return "plain" if get("NO_COLOR") else "colour" if get("FORCE_COLOR") else "plain"

def printed():
    out, sys.stdout = sys.stdout, io.StringIO()
    try:
        vexil.iprint("m", foreground="red")
        return "colour" if sys.stdout.getvalue().startswith("\\x1b") else "plain"
    finally:
        sys.stdout = out

for name, code in CASES.items():
    pid = os.fork()
    if pid == 0:
        try:
            printed()  # once before the change
            exec(code)
            got = outcome(printed)
            print(name, outcome(general), got, outcome(printed) == got, flush=True)
        finally:
            os._exit(0)
    os.waitpid(pid, 0)
"""


def test_colour_decision_agrees_with_os_environ_get(run_python):
    cases = {name: textwrap.dedent(code) for name, code in CASES.items()}
    result = run_python(f"CASES = {cases!r}\n" + CHILD)
    seen = {}
    for line in result.stdout.splitlines():
        name, general, printed, repeatable = line.split()
        seen[name] = (general, printed, repeatable)
    assert seen.keys() == CASES.keys(), result.stderr
    disagreeing = {name: got for name, got in seen.items() if got[0] != got[1] or got[2] != "True"}
    assert disagreeing == {}
    # The changes do change the answer: the cases test something.
    assert seen["type-getattribute"][0] == "colour" and seen["str-in-data"][0] == "AttributeError"
