"""The calling interface shared by the five functions: argument binding and
its errors, the attributes the function objects show to introspection,
pickling, method binding, traceback entries and module-global lookup."""

import builtins
import collections
import copy
import ctypes
import gc
import inspect
import pickle
import pydoc
import re
import signal
import sys
import traceback
import tracemalloc
import types
import warnings
import weakref

import pytest

NAMES = ("clear", "save", "read", "find", "startup")
DEF_LINES = {"clear": 18, "save": 26, "read": 42, "find": 67, "startup": 98}


class Reached(BaseException):
    """Raised by stand-ins for module globals: a BaseException, so no handler
    in a function body swallows it. Its argument is what the body passed."""


class Raiser:
    """An `override` whose truth test fails."""

    def __bool__(self):
        raise ZeroDivisionError("no truth here")


class Odd(dict):
    pass


Odd.__module__ = 5  # not a str: the type shows by its bare qualified name


class Text(str):
    __module__ = "elsewhere"


class UnreadableModule(type):
    @property
    def __module__(cls):
        raise RuntimeError("no module here")


class Hidden(dict, metaclass=UnreadableModule):
    """Its __module__ raises: the type shows by its bare qualified name."""


def own_entries(exc):
    """(file, line, name) of the traceback entries the module added."""
    return [
        (frame.filename, frame.lineno, frame.name)
        for frame in traceback.extract_tb(exc.__traceback__)
        if frame.name.startswith("brevan.setting")
    ]


def vectorcall(func, args, kwargs):
    """Calls `func` through PyObject_Vectorcall, as C code would."""
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]
    call.restype = ctypes.py_object
    values = [*args, *kwargs.values()]
    stack = (ctypes.py_object * max(len(values), 1))(*values)
    kwnames = tuple(kwargs)  # kept alive for the call; NULL when there are no keywords
    return call(func, ctypes.cast(stack, ctypes.c_void_p), len(args), id(kwnames) if kwnames else None)


ROUTES = {
    "unpacked": lambda func, args, kwargs: func(*args, **kwargs),
    "vectorcall": vectorcall,
}


@pytest.fixture(params=ROUTES)
def route(request):
    return ROUTES[request.param]


@pytest.fixture
def restore_attributes(setting):
    """Puts every function attribute back after a test that reassigns them."""
    saved = {}
    for name in NAMES:
        func = getattr(setting, name)
        saved[func] = {
            attr: getattr(func, attr)
            for attr in ("__name__", "__qualname__", "__module__", "__doc__", "__defaults__",
                         "__kwdefaults__", "__annotations__")
        }
        saved[func]["__dict__"] = dict(vars(func))
    yield
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        for func, attrs in saved.items():
            contents = attrs.pop("__dict__")
            for attr, value in attrs.items():
                setattr(func, attr, value)
            vars(func).clear()
            vars(func).update(contents)


def binds(call):
    """Runs a call that must get past binding, whatever its body does."""
    try:
        call()
    except (Reached, NotImplementedError):
        pass


def body_sees(call):
    """Runs a call that must bind; returns what the body handed a stand-in
    (the argument of Reached), or the call's result."""
    try:
        return call()
    except Reached as reached:
        return reached.args[0]
    except NotImplementedError:
        pytest.skip("function body not built yet")


@pytest.fixture
def probes(setting, monkeypatch, tmp_path):
    """Stand-ins for the first module global each body uses; each raises
    Reached with the bound value that reaches it."""
    site_packages = str(tmp_path / "site-packages")

    class GlobPath:  # clear: Path(sp).glob(pattern=...)
        def __init__(self, *parts):
            pass

        def glob(self, pattern):
            raise Reached(("pattern", pattern))

    class ExistingPath:  # save: Path(path).exists() is true; dumps marks an overwrite
        def __init__(self, arg):
            pass

        def exists(self):
            return True

    def set_path(kind):
        monkeypatch.setattr(setting, "Path", kind)

    def refuse(*args, **kwargs):
        raise Reached(args)

    monkeypatch.setattr(
        setting,
        "site",
        types.SimpleNamespace(getusersitepackages=lambda: site_packages, getsitepackages=lambda: []),
    )
    monkeypatch.setattr(setting, "subprocess", types.SimpleNamespace(run=lambda cmd, **kw: refuse(cmd[-1])))
    monkeypatch.setattr(setting, "dumps", lambda obj: refuse("dumps", obj))
    return types.SimpleNamespace(
        glob=lambda: set_path(GlobPath),
        existing=lambda: set_path(ExistingPath),
        reject=lambda: set_path(lambda *a: refuse("Path", *a)),
        clear=lambda: monkeypatch.setattr(setting, "clear", lambda *a, **k: refuse("clear", *a)),
    )


# ------------------------------------------------------------ binding errors


def count(name, word, limit, given):
    plural = "" if limit == 1 else "s"
    return f"{name}() takes {word} {limit} positional argument{plural} ({given} given)"


# (function, args, kwargs, message); all get one entry at the def line.
BINDING_ERRORS = [
    ("clear", ("a", "b"), {}, count("clear", "at most", 1, 2)),
    ("read", ([], []), {}, count("read", "at most", 1, 2)),
    ("save", ({}, "", False, 4), {}, count("save", "at most", 3, 4)),
    ("save", (), {}, count("save", "at least", 1, 0)),
    ("save", (), {"path": "p"}, count("save", "at least", 1, 0)),
    ("save", (), {"path": "p", "override": True}, count("save", "at least", 1, 0)),
    ("find", (), {}, count("find", "exactly", 1, 0)),
    ("find", ("a", "b"), {}, count("find", "exactly", 1, 2)),
    ("find", ("a", "b"), {"x": 1}, count("find", "exactly", 1, 2)),
    ("find", (), {"x": 1}, "find() got an unexpected keyword argument 'x'"),
    ("clear", (), {"patern": "*"}, "clear() got an unexpected keyword argument 'patern'"),
    ("save", ({},), {"obj": {}}, "save() got multiple values for keyword argument 'obj'"),
    ("save", ({},), {"x": 1, "obj": {}}, "save() got an unexpected keyword argument 'x'"),
    ("save", ({},), {"obj": {}, "x": 1}, "save() got multiple values for keyword argument 'obj'"),
    ("save", ({}, "p"), {"override": 1, "path": "q"}, "save() got multiple values for keyword argument 'path'"),
    ("read", ([],), {"path": []}, "read() got multiple values for keyword argument 'path'"),
    ("save", ({},), {"override": Raiser(), "x": 1}, "save() got an unexpected keyword argument 'x'"),
]


@pytest.mark.parametrize(("name", "args", "kwargs", "message"), BINDING_ERRORS)
def test_binding_errors(setting, route, name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        route(getattr(setting, name), args, kwargs)
    assert str(info.value) == message
    assert own_entries(info.value) == [("brevan/setting", DEF_LINES[name], f"brevan.setting.{name}")]


def test_keywords_must_be_strings(setting):
    with pytest.raises(TypeError) as info:
        vectorcall(setting.save, ({},), {5: "x"})
    assert str(info.value) == "save() keywords must be strings"
    assert own_entries(info.value) == [("brevan/setting", 26, "brevan.setting.save")]


# (function, args, kwargs, message, has note); no entry for the function.
TYPE_ERRORS = [
    ("clear", (None,), {}, "Argument 'pattern' has incorrect type (expected str, got NoneType)", False),
    ("clear", (), {"pattern": b"*"}, "Argument 'pattern' has incorrect type (expected str, got bytes)", False),
    ("read", (None,), {}, "Argument 'path' has incorrect type (expected list, got NoneType)", False),
    ("read", ((),), {}, "Argument 'path' has incorrect type (expected list, got tuple)", False),
    ("find", (Text("pip"),), {}, "Argument 'site' has incorrect type (expected str, got elsewhere.Text)", True),
    ("save", (collections.OrderedDict(),), {},
     "Argument 'obj' has incorrect type (expected dict, got collections.OrderedDict)", True),
    ("save", (Odd(),), {"override": 1}, "Argument 'obj' has incorrect type (expected dict, got Odd)", True),
    ("save", (Hidden(),), {}, "Argument 'obj' has incorrect type (expected dict, got Hidden)", True),
    ("save", ([],), {"path": None}, "Argument 'obj' has incorrect type (expected dict, got list)", False),
]


@pytest.mark.parametrize(("name", "args", "kwargs", "message", "noted"), TYPE_ERRORS)
def test_exact_type_errors(setting, route, name, args, kwargs, message, noted):
    with pytest.raises(TypeError) as info:
        route(getattr(setting, name), args, kwargs)
    assert str(info.value) == message
    notes = getattr(info.value, "__notes__", [])
    assert len(notes) == (1 if noted else 0)
    if noted:
        assert "subclass" in notes[0].lower() and "PEP 484" in notes[0]
    assert own_entries(info.value) == []


@pytest.mark.parametrize("obj", [{}, []], ids=["dict", "list"])
def test_override_truth_test_comes_before_type_test(setting, route, obj):
    with pytest.raises(ZeroDivisionError, match="^no truth here$") as info:
        route(setting.save, (obj,), {"override": Raiser()})
    assert own_entries(info.value) == [("brevan/setting", 26, "brevan.setting.save")]


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((1,), {}, "startup() takes no arguments (1 given)"),
        ((1, 2), {}, "startup() takes no arguments (2 given)"),
        ((), {"x": 1}, "startup() takes no keyword arguments"),
        ((1,), {"x": 1}, "startup() takes no keyword arguments"),
    ],
)
def test_startup_refuses_arguments(setting, route, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        route(setting.startup, args, kwargs)
    assert str(info.value) == message
    assert own_entries(info.value) == []


def test_startup_names_its_current_name(setting, restore_attributes):
    setting.startup.__name__ = "begin"
    setting.find.__name__ = "seek"
    with pytest.raises(TypeError, match=re.escape("begin() takes no arguments (1 given)") + "$"):
        setting.startup(1)
    with pytest.raises(TypeError, match=re.escape("begin() takes no keyword arguments") + "$"):
        setting.startup(x=1)
    with pytest.raises(TypeError, match=re.escape(count("find", "exactly", 1, 2)) + "$"):
        setting.find("a", "b")


# ------------------------------------------------------------ successful binding

# (function, args, kwargs, which stand-in, what the body must see)
BINDINGS = [
    ("clear", (), {}, "glob", ("pattern", "*~*")),
    ("clear", (), {"pattern": "x*"}, "glob", ("pattern", "x*")),
    ("read", (), {}, "reject", "LOCAL"),
    ("read", (["a"],), {}, "reject", ("Path", "a")),
    ("read", (), {"path": ["b"]}, "reject", ("Path", "b")),
    ("find", ("pip",), {}, None, ("pip",)),
    ("find", (), {"site": "pip"}, None, ("pip",)),
    ("find", (), {Text("site"): "pip"}, None, ("pip",)),
    ("save", ({"a": {}},), {}, "existing", None),
    ("save", ({"a": {}}, "p", None), {}, "existing", None),
    ("save", (), {"obj": {"a": {}}, "override": 1}, "existing", ("dumps", {"a": {}})),
    ("save", ({"a": {}}, "p", [0]), {}, "existing", ("dumps", {"a": {}})),
    ("startup", (), {}, "clear", ("clear",)),
]


@pytest.mark.parametrize(("name", "args", "kwargs", "stand_in", "seen"), BINDINGS)
def test_successful_binding_reaches_body(setting, scratch, probes, route, name, args, kwargs, stand_in, seen):
    func = getattr(setting, name)
    if stand_in:
        getattr(probes, stand_in)()
    if seen == "LOCAL":
        seen = ("Path", scratch.local)
    assert body_sees(lambda: route(func, args, kwargs)) == seen


def test_startup_with_empty_keyword_mapping_binds(setting, probes):
    startup = setting.startup
    probes.clear()
    assert body_sees(lambda: startup(**{})) == ("clear",)


def test_read_default_is_tjs_itself(setting, scratch, probes):
    # The very list: changing it in place changes what read() looks at.
    probes.reject()
    scratch.tjs[0] = "moved"
    assert body_sees(setting.read) == ("Path", "moved")


# ------------------------------------------------------------ attributes

DOCS = {
    "save": "Save obj to file given by path\n\n    Args:\n        obj (dict): object to be saved\n"
    "        path (str | Path): path to save the file\n    ",
    "read": "Load content of file given by path\n\n    Args:\n        path (str | Path): path of file\n\n"
    "    Returns:\n        dict: content of file\n    ",
    "find": "Check whether the package with name site has been installed\n\n    Args:\n"
    "        site (str): package name to be installed by 'pip install -e.'\n\n    Raises:\n"
    "        Exception: site not found\n\n    Returns:\n        str: site directory\n    ",
}
ANNOTATIONS = {
    "clear": {"pattern": "str"},
    "save": {"obj": "dict", "path": "str | Path", "override": "bool"},
    "read": {"path": "list[str | Path]", "return": "tuple"},
    "find": {"site": "str"},
    "startup": {},
}
VARNAMES = {
    "clear": (1, ("pattern", "sp", "fp")),
    "save": (3, ("obj", "path", "override", "_path", "w")),
    "read": (1, ("path", "config", "_path", "f", "e")),
    "find": (1, ("site", "sysdir", "status", "s", "e")),
    "startup": (0, ("path", "config", "override", "e")),
}


@pytest.mark.parametrize("name", NAMES)
def test_attribute_values(setting, name):
    func = getattr(setting, name)
    assert func.__name__ == func.__qualname__ == name
    assert func.__module__ == "brevan.setting"
    assert func.__doc__ == DOCS.get(name)
    expected_defaults = {"clear": ("*~*",), "save": ("", False), "read": (setting.tjs,)}.get(name)
    assert func.__defaults__ == expected_defaults
    assert name != "read" or func.__defaults__[0] is setting.tjs
    assert func.__kwdefaults__ is None
    assert type(func.__annotations__) is dict
    assert list(func.__annotations__.items()) == list(ANNOTATIONS[name].items())
    assert func.__annotations__ is func.__annotations__
    assert func.__globals__ is vars(setting)
    assert func.__closure__ is None

    code = func.__code__
    argcount, varnames = VARNAMES[name]
    assert isinstance(code, types.CodeType)
    assert (code.co_argcount, code.co_varnames, code.co_nlocals) == (argcount, varnames, len(varnames))
    assert (code.co_posonlyargcount, code.co_kwonlyargcount) == (0, 0)
    assert code.co_flags == inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS
    assert code.co_filename == "brevan/setting"
    assert code.co_name == code.co_qualname == name
    assert code.co_consts == code.co_names == code.co_freevars == code.co_cellvars == ()
    assert code.co_firstlineno == DEF_LINES[name]


@pytest.mark.parametrize("attr", ["__name__", "__qualname__"])
def test_name_attributes_take_strings_only(setting, restore_attributes, attr):
    message = f"{attr} must be set to a string object"
    for name in NAMES:
        func = getattr(setting, name)
        with pytest.raises(TypeError, match=re.escape(message) + "$"):
            setattr(func, attr, b"x")
        with pytest.raises(TypeError, match=re.escape(message) + "$"):
            setattr(func, attr, None)
        with pytest.raises(TypeError, match=re.escape(message) + "$"):
            delattr(func, attr)
        assert getattr(func, attr) == name
        setattr(func, attr, Text("renamed"))
        assert type(getattr(func, attr)) is Text


def test_module_and_doc_take_anything(setting, restore_attributes):
    marker = object()
    setting.save.__module__ = marker
    assert setting.save.__module__ is marker
    setting.find.__doc__ = 42
    assert setting.find.__doc__ == 42
    del setting.find.__doc__
    assert setting.find.__doc__ is None


@pytest.mark.parametrize(
    ("attr", "good", "bad", "message"),
    [
        ("__defaults__", type("Row", (tuple,), {})(("x",)), ["x"], "__defaults__ must be set to a tuple object"),
        ("__kwdefaults__", collections.OrderedDict(pattern="x"), [("pattern", "x")],
         "__kwdefaults__ must be set to a dict object"),
    ],
)
def test_defaults_assignment_warns_and_stores(setting, restore_attributes, attr, good, bad, message):
    warning = rf"setting_function\.{attr} will not currently affect the values used in function calls"
    for name in NAMES:
        func = getattr(setting, name)
        with pytest.raises(TypeError, match=re.escape(message) + "$"):
            setattr(func, attr, bad)
        with pytest.warns(RuntimeWarning, match=warning):
            setattr(func, attr, good)
        assert getattr(func, attr) is good
        with pytest.warns(RuntimeWarning, match=warning):
            delattr(func, attr)
        assert getattr(func, attr) is None
        with pytest.warns(RuntimeWarning, match=warning):
            setattr(func, attr, None)


def test_reassigned_defaults_do_not_change_calls(setting, probes, restore_attributes):
    with pytest.warns(RuntimeWarning):
        setting.clear.__defaults__ = ("other",)
    with pytest.warns(RuntimeWarning):
        setting.read.__defaults__ = (None,)
    with pytest.warns(RuntimeWarning):
        setting.save.__defaults__ = ("", Raiser())
    with pytest.warns(RuntimeWarning):
        del setting.save.__defaults__
    with pytest.warns(RuntimeWarning):
        setting.find.__kwdefaults__ = {"site": "pip"}
    assert str(inspect.signature(setting.clear)) == "(pattern: 'str' = 'other')"
    # Binding still fills the signature's defaults, so none of these fails.
    probes.existing()
    binds(lambda: setting.save({}))
    probes.reject()
    binds(setting.read)
    with pytest.raises(TypeError, match=re.escape(count("find", "exactly", 1, 0)) + "$"):
        setting.find()
    probes.glob()
    assert body_sees(setting.clear) == ("pattern", "*~*")


def test_annotations_assignment(setting, restore_attributes):
    message = "__annotations__ must be set to a dict object"
    for name in NAMES:
        func = getattr(setting, name)
        with pytest.raises(TypeError, match=re.escape(message) + "$"):
            func.__annotations__ = [("pattern", "str")]
        ordered = collections.OrderedDict(x="int")
        func.__annotations__ = ordered
        assert func.__annotations__ is ordered
        func.__annotations__ = None
        fresh = func.__annotations__
        assert fresh == {} and fresh is not ordered and fresh is func.__annotations__
        fresh["y"] = "str"
        del func.__annotations__
        assert func.__annotations__ == {}


@pytest.mark.parametrize("attr", ["__code__", "__globals__", "__closure__"])
def test_read_only_attributes(setting, attr):
    before = getattr(setting.save, attr)
    with pytest.raises(AttributeError, match="not writable"):
        setattr(setting.save, attr, None)
    with pytest.raises(AttributeError, match="not writable"):
        delattr(setting.save, attr)
    assert getattr(setting.save, attr) is before


def test_arbitrary_attributes(setting, restore_attributes):
    setting.find.label = "lookup"
    assert setting.find.label == "lookup"
    assert vars(setting.find) == {"label": "lookup"}
    assert not hasattr(setting.save, "label")
    del setting.find.label
    assert vars(setting.find) == {}


# ------------------------------------------------------------ introspection


def test_signatures(setting):
    signatures = {
        "clear": "(pattern: 'str' = '*~*')",
        "save": "(obj: 'dict', path: 'str | Path' = '', override: 'bool' = False)",
        "read": f"(path: 'list[str | Path]' = {setting.tjs!r}) -> 'tuple'",
        "find": "(site: 'str')",
        "startup": "()",
    }
    for name, text in signatures.items():
        assert str(inspect.signature(getattr(setting, name))) == text
    for name in ("save", "clear"):
        page = pydoc.render_doc(getattr(setting, name), renderer=pydoc.plaintext)
        shown = signatures[name]
        if sys.version_info >= (3, 14):  # pydoc shows string annotations bare from 3.14 on
            shown = re.sub(r"(: |-> )'([^']*)'", r"\1\2", shown)
        assert f"{name}{shown}" in page
    assert DOCS["save"].splitlines()[0] in pydoc.render_doc(setting.save, renderer=pydoc.plaintext)


@pytest.mark.parametrize("name", NAMES)
def test_pickle_and_copy_give_the_same_object(setting, name):
    func = getattr(setting, name)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(func, protocol)) is func
    assert copy.copy(func) is func
    assert copy.deepcopy({"f": func})["f"] is func
    assert func.__reduce__() == name


def test_weak_references(setting):
    ref = weakref.ref(setting.find)
    assert ref() is setting.find
    cache = weakref.WeakValueDictionary(find=setting.find)
    assert cache["find"] is setting.find


def test_method_binding(setting):
    class Holder:
        find = setting.find
        clear = setting.save

    holder = Holder()
    method = holder.find
    assert isinstance(method, types.MethodType)
    assert method.__func__ is setting.find and method.__self__ is holder
    assert Holder.find is setting.find
    assert Holder.__dict__["find"].__get__(None, Holder) is setting.find
    # The instance is the first positional argument.
    with pytest.raises(TypeError, match=re.escape(count("find", "exactly", 1, 2)) + "$"):
        holder.find("pip")
    with pytest.raises(TypeError, match=r"^Argument 'site' has incorrect type \(expected str, got .*Holder\)$"):
        holder.find()
    with pytest.raises(TypeError, match=r"^Argument 'obj' has incorrect type \(expected dict, got .*Holder\)$"):
        holder.clear()


def test_repr(setting, restore_attributes):
    func = setting.save
    assert re.fullmatch(r"<function save at 0x[0-9a-f]+>", repr(func))
    assert int(repr(func).rsplit(" ", 1)[1][:-1], 16) == id(func)
    func.__qualname__ = "Store.save"
    assert repr(func).startswith("<function Store.save at ")


# ------------------------------------------------------------ module globals


def test_globals_are_looked_up_at_each_call(setting, scratch, probes, monkeypatch):
    probes.reject()
    assert body_sees(setting.read) == ("Path", scratch.local)

    # The builtin of the name serves when the module has none.
    monkeypatch.delattr(setting, "Path")
    def builtin_path(*args):
        raise Reached(("builtin", *args))

    monkeypatch.setattr(builtins, "Path", builtin_path, raising=False)
    assert body_sees(setting.read) == ("builtin", scratch.local)

    # A module-level __getattr__ answers before the builtins; an exception
    # it raises counts as "not found".
    def getattr_path(*args):
        raise Reached(("getattr", *args))

    def module_getattr(name):
        if name == "Path":
            return getattr_path
        raise AttributeError(name)

    monkeypatch.setitem(vars(setting), "__getattr__", module_getattr)
    assert body_sees(setting.read) == ("getattr", scratch.local)

    def failing_getattr(name):
        raise Reached(("failing",))

    monkeypatch.setitem(vars(setting), "__getattr__", failing_getattr)
    assert body_sees(setting.read) == ("builtin", scratch.local)


def test_missing_global_is_a_name_error(setting, monkeypatch):
    monkeypatch.delattr(setting, "Path")
    monkeypatch.delattr(builtins, "Path", raising=False)
    with pytest.raises(NameError) as info:
        body_sees(setting.read)
    assert str(info.value) == "name 'Path' is not defined"
    # The failing statement is `_path = Path(_path)`, line 53 of read.
    assert own_entries(info.value) == [("brevan/setting", 53, "brevan.setting.read")]


def test_interrupt_while_making_an_entry_is_not_lost(setting):
    """Making a traceback entry runs code, so a pending signal handler runs
    there; what it raises must come out, not vanish with its signal."""

    class Interrupted(BaseException):
        pass

    def handler(signum, frame):
        raise Interrupted

    trip = ctypes.pythonapi.PyErr_SetInterrupt
    trip.argtypes, trip.restype = [], None

    class Override:
        # C code only between tripping the signal and the failing truth test
        # (__len__ returns None), so no Python code runs the handler earlier.
        __len__ = staticmethod(trip)

    previous = signal.signal(signal.SIGINT, handler)
    try:
        with pytest.raises(Interrupted) as info:
            setting.save({}, override=Override())
    finally:
        signal.signal(signal.SIGINT, previous)
    assert type(info.value.__context__) is TypeError


# ------------------------------------------------------------ error paths do not leak


def test_binding_error_paths_do_not_leak(setting):
    calls = [
        lambda: setting.clear("a", "b"),
        lambda: setting.find(),
        lambda: setting.save({}, x=1),
        lambda: setting.save({}, obj={}),
        lambda: setting.save(collections.OrderedDict()),
        lambda: setting.save({}, override=Raiser()),
        lambda: setting.startup(1),
        lambda: setting.startup(x=1),
        lambda: vectorcall(setting.save, ({},), {5: "x"}),
    ]

    def run(times):
        for call in calls:
            for _ in range(times):
                try:
                    call()
                except (TypeError, ZeroDivisionError):
                    pass

    run(200)  # caches (traceback code objects, interned names) fill here
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        run(5000)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    # A leaked exception or traceback per call would be megabytes here.
    assert grown < 64 * 1024
