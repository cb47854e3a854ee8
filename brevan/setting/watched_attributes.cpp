// The pathlib and os attributes the fast paths stand in for, watched by
// identity: the table of them, how each is recorded, and the check at each
// call (attributes_untouched(), asked by guards.cpp). Apart from the other
// guards because it is the one with state: what it recorded, and the class
// namespaces it reads.
//
// A test double patched onto pathlib's classes or onto os
// (mock.patch.object(Path, "exists"), mock.patch("os.stat")), or a change
// of how a Path is built (a patched PurePath.__init__) is seen by the general
// path, so a fast path that skips those calls is taken only while every one
// of them is the very object the standard library defined.
//
// The objects are recorded at the first use at which each one proves to be
// the standard library's by what it is, not by what it says: a pathlib
// function is a plain function whose globals are the namespace of a pathlib
// module and whose code is named for that attribute (a functools.wraps
// wrapper copies __module__, __qualname__ and __wrapped__, but not those;
// the code is told from the function's referents, as reading __code__
// raises an audit event that the general path does not);
// an os function is the posix module's own builtin. Until every one passes,
// nothing is recorded and the fast paths are refused, so a double patched
// in before the module was imported keeps them off until it is removed.
//
// Class attributes are checked where pathlib's classes hold them, with the
// number of names each class holds: a name added in front of a watched one
// changes that number.
//
// Not watched: module-level names inside pathlib, glob, genericpath and os
// (pathlib's `os` global and the like), changes made in place to the
// recorded function objects (their __code__ or defaults), and a name added
// in front of a watched one while another name of the same class is deleted.
#include "doubt.hpp"
#include "function_code.hpp"
#include "guards.hpp"

#include <cstring>
#include <utility>

namespace brevan {
namespace {

// Where a watched name lives: on PosixPath's classes (looked up as a Path
// looks it up), in os or os.path, in another module (`where`), or on another
// class (`where` as "module:Class", looked up as its instances look it up).
enum class Owner { posix_path, pure_posix_path, os, os_path, module, class_of };

struct Watched {
    Owner owner;
    const char *name;
    unsigned paths;                // the fast paths (and steps) that skip it
    const char *alias = nullptr;   // another name its definition may have
    const char *where = nullptr;   // Owner::module and Owner::class_of: see above
    // How a module's or another class's entry proves standard: "m" a
    // function defined in module m (or under it), a functools.lru_cache of
    // one included; "builtin:m" the builtin of module m; "attrgetter" an
    // operator.attrgetter; "True" the value True.
    const char *home = nullptr;
};

constexpr unsigned kAll = kFastRead | kFastSave | kFastClear;

// What the general path of each call reaches, on every version from 3.12;
// names a version lacks are skipped there.
constexpr Watched kWatched[] = {
    // Making a Path and its text: save() makes no Path here, read() and
    // clear() take the text the item has when pathlib keeps it as it is.
    {Owner::posix_path, "__new__", kAll},
    {Owner::posix_path, "__init__", kAll},
    {Owner::pure_posix_path, "__init__", kAll},  // what super().__init__ reaches
    {Owner::os, "fspath", kAll},                 // what __init__ passes each argument through
    {Owner::posix_path, "_parse_path", kAll},
    {Owner::os_path, "splitroot", kAll, "_path_splitroot_ex"},  // posix's own from 3.13
    {Owner::posix_path, "_load_parts", kAll},
    {Owner::posix_path, "_raw_path", kAll},
    {Owner::posix_path, "_format_parsed_parts", kAll},
    {Owner::posix_path, "drive", kAll},
    {Owner::posix_path, "root", kAll},
    {Owner::posix_path, "_tail", kAll},
    {Owner::posix_path, "parser", kAll},
    {Owner::posix_path, "_flavour", kAll},
    {Owner::posix_path, "__str__", kAll | kReadMessage, "__str__"},
    {Owner::posix_path, "__fspath__", kAll, "__str__"},  // from 3.15, __str__ itself
    {Owner::posix_path, "__format__", kFastRead | kReadMessage},
    // The slots a Path keeps its parts and text in: the fast paths set and
    // read them as the general path's code does.
    {Owner::posix_path, "_raw_paths", kAll},
    {Owner::posix_path, "_str", kAll | kReadMessage | kClearMatches},
    {Owner::posix_path, "_drv", kAll},
    {Owner::posix_path, "_root", kAll},
    {Owner::posix_path, "_tail_cached", kAll},
    // save(): exists(), and what it calls on each version.
    {Owner::posix_path, "exists", kFastSave},
    {Owner::posix_path, "stat", kFastSave | kFastClear},
    {Owner::os_path, "exists", kFastSave},
    {Owner::os, "stat", kFastSave | kFastClear},
    // clear(): glob() and the steps of its listing, on each version.
    {Owner::posix_path, "glob", kFastClear},
    {Owner::posix_path, "is_dir", kFastClear},
    {Owner::posix_path, "anchor", kFastClear},
    {Owner::posix_path, "_globber", kFastClear},
    {Owner::posix_path, "_glob_selector", kFastClear},
    {Owner::posix_path, "_parse_pattern", kFastClear},
    {Owner::posix_path, "_scandir", kFastClear},
    {Owner::posix_path, "with_segments", kFastClear | kClearMatches},
    {Owner::posix_path, "_make_child_relpath", kFastClear | kClearMatches},
    {Owner::posix_path, "_from_parsed_string", kFastClear | kClearMatches},
    {Owner::os, "scandir", kFastClear},
    {Owner::os_path, "join", kFastClear},  // 3.14: the root listed as "<path>/"
    {Owner::os_path, "_get_sep", kFastClear},
    // Every version parses paths through sys.intern (3.12, 3.13).
    {Owner::module, "intern", kAll, nullptr, "sys", "builtin:sys"},
    // glob()'s machinery: 3.12's selectors in pathlib, glob's globber later.
    {Owner::module, "_make_selector", kFastClear, nullptr, "pathlib", "pathlib"},
    {Owner::module, "S_ISDIR", kFastClear, nullptr, "pathlib", "builtin:_stat"},
    {Owner::class_of, "select_from", kFastClear, nullptr, "pathlib:_WildcardSelector", "pathlib"},
    {Owner::class_of, "_select_from", kFastClear, nullptr, "pathlib:_WildcardSelector", "pathlib"},
    {Owner::class_of, "_select_from", kFastClear, nullptr, "pathlib:_TerminatingSelector", "pathlib"},
    {Owner::module, "_is_case_sensitive", kFastClear, nullptr, "pathlib._abc", "pathlib"},
    {Owner::module, "_compile_pattern", kFastClear, nullptr, "glob", "glob"},
    {Owner::class_of, "__init__", kFastClear, nullptr, "glob:_StringGlobber", "glob"},
    {Owner::class_of, "compile", kFastClear, nullptr, "glob:_StringGlobber", "glob"},
    {Owner::class_of, "selector", kFastClear, nullptr, "glob:_StringGlobber", "glob"},
    {Owner::class_of, "wildcard_selector", kFastClear, nullptr, "glob:_StringGlobber", "glob"},
    {Owner::class_of, "scandir", kFastClear, nullptr, "glob:_StringGlobber", "glob"},  // 3.13: posix's
    {Owner::class_of, "parse_entry", kFastClear, nullptr, "glob:_StringGlobber", "attrgetter"},
    // read()'s decoding: what io's text layer calls of the UTF-8 codec.
    {Owner::class_of, "__init__", kFastRead | kReadDecoding, nullptr, "encodings.utf_8:IncrementalDecoder", "codecs"},
    {Owner::class_of, "decode", kFastRead | kReadDecoding, nullptr, "encodings.utf_8:IncrementalDecoder", "codecs"},
    {Owner::class_of, "_buffer_decode", kFastRead | kReadDecoding, "utf_8_decode", "encodings.utf_8:IncrementalDecoder",
     "builtin:_codecs"},
    {Owner::class_of, "__init__", kFastRead | kReadDecoding, nullptr, "codecs:IncrementalDecoder", "codecs"},
    {Owner::class_of, "_is_text_encoding", kFastRead | kReadDecoding, nullptr, "codecs:CodecInfo", "True"},
};
constexpr std::size_t kWatchedCount = sizeof kWatched / sizeof kWatched[0];

StdAttr posix_path("pathlib", "PosixPath"), pure_posix_path("pathlib", "PurePosixPath"),
    function_type("types", "FunctionType"), code_type("types", "CodeType"), property_type("builtins", "property"),
    object_type("builtins", "object"), member_type("types", "MemberDescriptorType"),
    lru_type("functools", "_lru_cache_wrapper"), attrgetter_type("operator", "attrgetter"),
    staticmethod_type("builtins", "staticmethod");

// The module (or module:Class) `where` names, as loaded now, or null where
// it is not (this version has none, or nothing imported it yet: the
// general path then does not use it either). Never imports: an import is
// seen by audit hooks, and the general path makes none.
PyObject *elsewhere(const char *where) {
    // The module's name, from the table's own short text (no allocation: a
    // guard must not fail for want of memory where the general path would not).
    char module_name[32] = {};
    const char *colon = std::strchr(where, ':');
    const std::size_t length = colon == nullptr ? std::strlen(where) : static_cast<std::size_t>(colon - where);
    if (length >= sizeof module_name) return nullptr;
    std::memcpy(module_name, where, length);
    PyObject *modules = PySys_GetObject("modules");  // borrowed
    if (modules == nullptr || !PyDict_Check(modules)) return nullptr;
    PyObject *module = guard_item(modules, module_name);  // borrowed
    if (module == nullptr || !PyModule_Check(module)) return nullptr;
    if (colon == nullptr) return module;
    return guard_item(PyModule_GetDict(module), colon + 1);  // borrowed
}

// For an entry of another module or class whose module is not loaded now:
// that module's name, interned (a new reference); else null.
PyObject *module_awaited(const Watched &watched) {
    if (watched.owner != Owner::module && watched.owner != Owner::class_of) return nullptr;
    const char *colon = std::strchr(watched.where, ':');
    Ref name = check(colon == nullptr ? PyUnicode_FromString(watched.where)
                                      : PyUnicode_FromStringAndSize(watched.where, colon - watched.where));
    PyObject *loaded = PyDict_GetItemWithError(PyImport_GetModuleDict(), name.get());  // borrowed
    if (loaded == nullptr && PyErr_Occurred()) throw_error();
    return loaded == nullptr ? name.release() : nullptr;
}

PyObject *owner_of(const Watched &watched) {
    static PyObject *os = nullptr, *os_path = nullptr;
    switch (watched.owner) {
    case Owner::module:
    case Owner::class_of:
        return elsewhere(watched.where);
    case Owner::posix_path:
        return posix_path.get();
    case Owner::pure_posix_path:
        return pure_posix_path.get();
    case Owner::os:
        if (os == nullptr) os = check(PyImport_ImportModule("os")).release();
        return os;
    case Owner::os_path:
        if (os_path == nullptr) os_path = check(PyImport_ImportModule("posixpath")).release();
        return os_path;
    }
    return nullptr;
}

bool defined_in(PyObject *function, const char *prefix, const char *name, const char *alias = nullptr);

// The object held for `name` by the first class of `cls.__mro__` whose
// namespace has it, as the class holds it (no descriptor is asked), or an
// empty Ref: what the attribute lookup of an instance finds.
Ref held_by_class(PyObject *cls, PyObject *name) {
    Ref classes = check(PyObject_GetAttr(cls, s_mro.get()));
    if (!PyTuple_Check(classes.get())) return Ref();
    for (Py_ssize_t k = 0; k < PyTuple_Size(classes.get()); ++k) {
        Ref space = check(PyObject_GetAttrString(PyTuple_GetItem(classes.get(), k), "__dict__"));
        if (check(PySequence_Contains(space.get(), name)) == 1) return check(PyObject_GetItem(space.get(), name));
    }
    return Ref();
}

// Whether `found`, an entry of another module or class, is what `home` says.
bool from_home(const Watched &watched, PyObject *found) {
    const char *home = watched.home;
    const char *name = watched.alias != nullptr ? watched.alias : watched.name;
    if (std::strncmp(home, "builtin:", 8) == 0) return builtin_of(home + 8, name, found);
    if (std::strcmp(home, "True") == 0) return found == Py_True;
    // What a class holds: a staticmethod's function.
    Ref inner;
    if (reinterpret_cast<PyObject *>(Py_TYPE(found)) == staticmethod_type.get()) {
        inner = check(PyObject_GetAttrString(found, "__func__"));
        found = inner.get();
    }
    if (std::strcmp(home, "attrgetter") == 0) {
        return reinterpret_cast<PyObject *>(Py_TYPE(found)) == attrgetter_type.get();
    }
    // A posix builtin where the version keeps one (3.13's globber scandir).
    if (PyCFunction_Check(found)) return builtin_of("posix", name, found);
    Ref function = Ref::borrow(found);
    if (reinterpret_cast<PyObject *>(Py_TYPE(found)) == lru_type.get()) {
        function = check(PyObject_GetAttrString(found, "__wrapped__"));
    }
    return defined_in(function.get(), home, name);
}

// The object that stands for an attribute: a class method's function (each
// lookup makes a new bound method), anything else itself.
Ref unbound(Ref found) {
    if (reinterpret_cast<PyObject *>(Py_TYPE(found.get())) != state.method_type.get()) return found;
    return check(PyObject_GetAttrString(found.get(), "__func__"));
}

bool text_is(PyObject *text, const char *expected) {
    return PyUnicode_Check(text) && PyUnicode_CompareWithASCIIString(text, expected) == 0;
}

// The module in sys.modules whose namespace `globals` is, if its name is
// `prefix` or starts with `prefix` and a dot.
bool namespace_of(PyObject *globals, const char *prefix) {
    if (!PyDict_CheckExact(globals)) return false;
    PyObject *name = guard_item(globals, "__name__");  // borrowed
    if (name == nullptr || !PyUnicode_Check(name)) return false;
    const char *text = PyUnicode_AsUTF8AndSize(name, nullptr);
    if (text == nullptr) throw_error();
    const std::size_t length = std::strlen(prefix);
    if (std::strncmp(text, prefix, length) != 0 || (text[length] != '\0' && text[length] != '.')) return false;
    PyObject *modules = PySys_GetObject("modules");  // borrowed
    if (modules == nullptr || !PyDict_Check(modules)) return false;
    PyObject *module = PyDict_GetItemWithError(modules, name);  // borrowed
    if (module == nullptr) {
        if (PyErr_Occurred()) throw_error();
        return false;
    }
    return PyModule_Check(module) && PyModule_GetDict(module) == globals;
}

// Whether `function` is a plain function defined in a module named by
// `prefix`, for the attribute `name` (or `alias`).
bool defined_in(PyObject *function, const char *prefix, const char *name, const char *alias) {
    if (reinterpret_cast<PyObject *>(Py_TYPE(function)) != function_type.get()) return false;
    Ref globals = check(PyObject_GetAttrString(function, "__globals__"));
    if (!namespace_of(globals.get(), prefix)) return false;
    PyObject *code = function_code(function, reinterpret_cast<PyTypeObject *>(function_type.get()),
                                   reinterpret_cast<PyTypeObject *>(code_type.get()));  // borrowed
    if (code == nullptr) return false;
    Ref qualname = check(PyObject_GetAttrString(code, "co_qualname"));
    Ref dot = check(PyUnicode_FromString("."));
    Ref parts = check(PyUnicode_RSplit(qualname.get(), dot.get(), 1));
    PyObject *last = PyList_GetItem(parts.get(), PyList_Size(parts.get()) - 1);  // borrowed
    return last != nullptr && (text_is(last, name) || (alias != nullptr && text_is(last, alias)));
}

// Whether `found` is a slot of one of pathlib's own classes, named `name`
// (a __slots__ entry keeps a Path's parts and text).
bool pathlib_slot(PyObject *found, const char *name) {
    if (reinterpret_cast<PyObject *>(Py_TYPE(found)) != member_type.get()) return false;
    Ref slot_name = check(PyObject_GetAttrString(found, "__name__"));
    if (!text_is(slot_name.get(), name)) return false;
    Ref owner = check(PyObject_GetAttrString(found, "__objclass__"));
    Ref classes = check(PyObject_GetAttr(posix_path.get(), s_mro.get()));
    if (!PyTuple_Check(classes.get()) || check(PySequence_Contains(classes.get(), owner.get())) != 1) return false;
    Ref module = check(PyObject_GetAttrString(owner.get(), "__module__"));
    return text_is(module.get(), "pathlib") || text_is(module.get(), "pathlib._local");
}

// Whether `found`, the value of `watched` now, is the standard library's.
bool is_standard(const Watched &watched, PyObject *found) {
    const char *name = watched.name;
    switch (watched.owner) {
    case Owner::module:
    case Owner::class_of:
        return from_home(watched, found);
    case Owner::os:
        return builtin_of("posix", name, found);
    case Owner::os_path:
        return defined_in(found, "genericpath", name) || defined_in(found, "posixpath", name) ||
               (watched.alias != nullptr && builtin_of("posix", watched.alias, found));
    case Owner::posix_path:
    case Owner::pure_posix_path:
        break;
    }
    if (name[0] == '_' && PyObject_TypeCheck(found, reinterpret_cast<PyTypeObject *>(member_type.get()))) {
        return pathlib_slot(found, name);
    }
    if (std::strcmp(name, "_globber") == 0) {  // 3.13: glob's class for string paths
        Ref glob = check(PyImport_ImportModule("glob"));
        Ref own_name = check(PyUnicode_FromString("_StringGlobber"));
        Ref own = optional_attr(glob.get(), own_name.get());
        return own && found == own.get();
    }
    if (std::strcmp(name, "__format__") == 0) {
        Ref original = check(PyObject_GetAttrString(object_type.get(), "__format__"));
        return found == original.get();
    }
    if (std::strcmp(name, "parser") == 0 || std::strcmp(name, "_flavour") == 0) {
        Ref posixpath = check(PyImport_ImportModule("posixpath"));
        return found == posixpath.get();
    }
    if (PyObject_TypeCheck(found, reinterpret_cast<PyTypeObject *>(property_type.get()))) {
        Ref getter = check(PyObject_GetAttrString(found, "fget"));
        return defined_in(getter.get(), "pathlib", name);
    }
    return defined_in(found, "pathlib", name, watched.alias);
}

// The value of the attribute `name` of `owner` now, or an empty Ref where the version has none.
Ref current(PyObject *owner, PyObject *name) {
    Ref found = optional_attr(owner, name);
    return found ? unbound(std::move(found)) : found;
}

// The same for an entry of `watched`'s kind: another class's entry as the
// class holds it.
Ref current(const Watched &watched, PyObject *owner, PyObject *name) {
    return watched.owner == Owner::class_of ? held_by_class(owner, name) : current(owner, name);
}

// Whether the module `owner` has `expected` as its attribute `name` now: read
// from its namespace when it is a plain module, whose attributes are exactly
// that (anything else there, a bound method included, is a change).
bool module_holds(PyObject *owner, PyObject *name, PyObject *expected) {
    if (!PyModule_CheckExact(owner)) return current(owner, name).get() == expected;
    PyObject *now = PyDict_GetItemWithError(PyModule_GetDict(owner), name);  // borrowed
    if (now == nullptr && PyErr_Occurred()) throw_error();
    return now == expected;
}

// A class attribute as the classes of a PosixPath hold it: the namespaces
// of PosixPath's bases (object excepted: it cannot change), and for each
// watched name the first of them, from where the lookup starts, that holds
// it. Reading those namespaces costs a third of looking the attribute up,
// which binds class methods anew each time; reading the dict behind each
// view (the one object the view refers to) costs a third of that again.
struct ClassSpaces {
    static constexpr Py_ssize_t kMax = 8;
    PyObject *mro = nullptr;      // PosixPath.__mro__ as recorded, kept
    PyObject *spaces[kMax] = {};  // mappingproxy views, kept
    PyObject *dicts[kMax] = {};   // the dict behind each view, kept; null if not found
    Py_ssize_t sizes[kMax] = {};  // how many names each held when recorded
    Py_ssize_t count = 0;
    Py_ssize_t pure_start = 0;    // where PurePosixPath's own lookup starts

    // False when PosixPath's classes are not laid out as pathlib leaves them.
    bool record() {
        Py_CLEAR(mro);  // what a try cut short by an error left
        for (Py_ssize_t k = 0; k < kMax; ++k) {
            Py_CLEAR(spaces[k]);
            Py_CLEAR(dicts[k]);
        }
        Ref classes = check(PyObject_GetAttr(posix_path.get(), s_mro.get()));
        if (!PyTuple_Check(classes.get())) return false;
        const Py_ssize_t size = PyTuple_Size(classes.get());
        if (size < 1 || size - 1 > kMax) return false;
        mro = classes.release();
        for (Py_ssize_t k = 0; k < size - 1; ++k) {
            PyObject *cls = PyTuple_GetItem(mro, k);  // borrowed
            if (cls == pure_posix_path.get()) pure_start = k;
            spaces[k] = check(PyObject_GetAttrString(cls, "__dict__")).release();
            const Py_ssize_t names = PyObject_Size(spaces[k]);
            if (names < 0) throw_error();
            sizes[k] = names;
            dicts[k] = dict_behind(spaces[k], sizes[k]);
        }
        count = size - 1;
        return true;
    }
    // The exact dict a class's view shows, found as the one object the view
    // refers to (what gc.get_referents lists, without importing gc), or null.
    static PyObject *dict_behind(PyObject *view, Py_ssize_t size) {
        const auto traverse = reinterpret_cast<traverseproc>(PyType_GetSlot(Py_TYPE(view), Py_tp_traverse));
        if (traverse == nullptr) return nullptr;
        struct Referents {
            PyObject *last = nullptr;
            int count = 0;
        } referents;
        const visitproc visit = [](PyObject *object, void *arg) noexcept -> int {
            auto *seen = static_cast<Referents *>(arg);
            seen->last = object;
            ++seen->count;
            return 0;
        };
        if (traverse(view, visit, &referents) != 0 || referents.count != 1) return nullptr;
        PyObject *dict = referents.last;  // borrowed
        if (!PyDict_CheckExact(dict) || PyDict_Size(dict) != size) return nullptr;
        return Py_NewRef(dict);
    }
    Py_ssize_t size_of(Py_ssize_t k) const {
        return dicts[k] != nullptr ? PyDict_Size(dicts[k]) : PyObject_Size(spaces[k]);
    }
    // Whether the namespace `k` holds `expected` under `name` now.
    bool holds(Py_ssize_t k, PyObject *name, PyObject *expected) const {
        if (dicts[k] != nullptr) {
            PyObject *now = PyDict_GetItemWithError(dicts[k], name);  // borrowed
            if (now == nullptr && PyErr_Occurred()) throw_error();
            return now == expected;
        }
        PyObject *now = PyObject_GetItem(spaces[k], name);
        if (now == nullptr) throw_error();  // deleted
        Py_DECREF(now);  // only its identity is compared
        return now == expected;
    }
    // Whether the lookup still walks the same classes (their __bases__ can
    // be assigned: a class put in front holds names too), and no name was
    // added to (or removed from) any of them: a name put in front of a
    // watched one is an added one.
    bool same_names() {
        Ref now = check(PyObject_GetAttr(posix_path.get(), s_mro.get()));
        if (now.get() != mro) {  // made anew: the same classes again?
            if (!PyTuple_Check(now.get()) || PyTuple_Size(now.get()) != PyTuple_Size(mro)) return false;
            for (Py_ssize_t k = 0; k < PyTuple_Size(mro); ++k) {
                if (PyTuple_GetItem(now.get(), k) != PyTuple_GetItem(mro, k)) return false;
            }
            Py_DECREF(mro);
            mro = now.release();
        }
        for (Py_ssize_t k = 0; k < count; ++k) {
            if (size_of(k) != sizes[k]) return false;
        }
        return true;
    }
    // The first namespace on the lookup of `watched` that holds `name`, or
    // count (object's own, or none).
    Py_ssize_t holder(const Watched &watched, PyObject *name) const {
        Py_ssize_t k = watched.owner == Owner::pure_posix_path ? pure_start : 0;
        while (k < count && check(PySequence_Contains(spaces[k], name)) == 0) ++k;
        return k;
    }
};

// Puts `value` (a new reference, or null) in `slot`, dropping what it held.
void replace_kept(PyObject *&slot, PyObject *value) noexcept {
    PyObject *old = slot;
    slot = value;
    Py_XDECREF(old);
}

// Where another class's watched entry is held, for a check that costs a few
// dict reads: the dict of the class that holds the name, and the name counts
// of the classes in front of it (a name put in front changes one). `fast`
// false: some namespace's dict could not be found, and the entry is looked
// up through the class each time.
struct ClassHold {
    static constexpr Py_ssize_t kMax = 8;
    PyObject *dict = nullptr;                 // kept
    PyObject *front[kMax] = {};               // kept
    Py_ssize_t front_sizes[kMax] = {};
    Py_ssize_t front_count = 0;
    bool fast = false;

    void record(PyObject *cls, PyObject *name) {
        fast = false;
        Ref classes = check(PyObject_GetAttr(cls, s_mro.get()));
        if (!PyTuple_Check(classes.get())) return;
        front_count = 0;
        for (Py_ssize_t k = 0; k < PyTuple_Size(classes.get()) && k < kMax; ++k) {
            Ref space = check(PyObject_GetAttrString(PyTuple_GetItem(classes.get(), k), "__dict__"));
            const Py_ssize_t size = PyObject_Size(space.get());
            if (size < 0) throw_error();
            PyObject *found = ClassSpaces::dict_behind(space.get(), size);  // new reference, or null
            if (found == nullptr) return;
            const int holds_name = PyDict_Contains(found, name);
            if (holds_name < 0) {
                Py_DECREF(found);
                throw_error();
            }
            if (holds_name == 1) {
                replace_kept(dict, found);
                fast = true;
                return;
            }
            replace_kept(front[front_count], found);
            front_sizes[front_count++] = size;
        }
    }
    // Whether `cls` still holds `expected` for `name` where it was recorded.
    // Its bases reassigned (a new __mro__) are not looked for here: each
    // look costs an attribute lookup, and these are internal classes.
    bool holds(PyObject *cls, PyObject *name, PyObject *expected) const {
        if (!fast) return held_by_class(cls, name).get() == expected;
        for (Py_ssize_t k = 0; k < front_count; ++k) {
            if (PyDict_Size(front[k]) != front_sizes[k]) return false;
        }
        PyObject *now = PyDict_GetItemWithError(dict, name);  // borrowed
        if (now == nullptr && PyErr_Occurred()) throw_error();
        return now == expected;
    }
};

}  // namespace

bool attributes_untouched(unsigned paths) {
    // Kept for the life of the process: the interned names, the owners, the
    // recorded originals (null where the version has no such name) and, for
    // class attributes, where they are held and the objects held there.
    static PyObject *names[kWatchedCount] = {};
    static PyObject *owners[kWatchedCount] = {};
    static PyObject *originals[kWatchedCount] = {};
    static Py_ssize_t holders[kWatchedCount] = {};
    static PyObject *held[kWatchedCount] = {};
    static ClassHold class_holds[kWatchedCount];
    // For an entry whose module was not loaded at the recording: the
    // module's name, looked for in sys.modules at each call.
    static PyObject *awaited[kWatchedCount] = {};
    static ClassSpaces classes;
    static bool recorded = false;
    try {
        if (recorded && !classes.same_names()) return false;
        if (!recorded) {
            Ref found[kWatchedCount];
            for (std::size_t i = 0; i < kWatchedCount; ++i) {
                if (names[i] == nullptr) names[i] = check(PyUnicode_InternFromString(kWatched[i].name)).release();
                if (owners[i] == nullptr) owners[i] = Py_XNewRef(owner_of(kWatched[i]));
                if (owners[i] == nullptr) {  // not loaded (or no such one in this version)
                    replace_kept(awaited[i], module_awaited(kWatched[i]));
                    continue;
                }
                replace_kept(awaited[i], nullptr);
                found[i] = current(kWatched[i], owners[i], names[i]);
                if (found[i] && !is_standard(kWatched[i], found[i].get())) return false;  // again next time
            }
            if (classes.count == 0 && !classes.record()) return false;
            for (std::size_t i = 0; i < kWatchedCount; ++i) {
                const Watched &watched = kWatched[i];
                if (!found[i] || (watched.owner != Owner::posix_path && watched.owner != Owner::pure_posix_path)) {
                    continue;
                }
                holders[i] = classes.holder(watched, names[i]);
                Py_XDECREF(held[i]);
                held[i] = holders[i] < classes.count
                              ? check(PyObject_GetItem(classes.spaces[holders[i]], names[i])).release()
                              : nullptr;  // object's own
            }
            for (std::size_t i = 0; i < kWatchedCount; ++i) {
                if (found[i] && kWatched[i].owner == Owner::class_of) class_holds[i].record(owners[i], names[i]);
            }
            for (std::size_t i = 0; i < kWatchedCount; ++i) replace_kept(originals[i], found[i].release());
            recorded = true;
        }
        for (std::size_t i = 0; i < kWatchedCount; ++i) {
            const Watched &watched = kWatched[i];
            if ((watched.paths & paths) == 0) continue;
            // A module or class loaded since the recording (3.15 imports glob
            // at the first glob()): recorded afresh, at the next call.
            if (awaited[i] != nullptr) {
                PyObject *loaded = PyDict_GetItemWithError(PyImport_GetModuleDict(), awaited[i]);  // borrowed
                if (loaded == nullptr && PyErr_Occurred()) throw_error();
                if (loaded != nullptr) {
                    recorded = false;
                    return false;
                }
            }
            // A name the version lacks is one its pathlib never calls.
            if (originals[i] == nullptr) continue;
            if (watched.owner == Owner::os || watched.owner == Owner::os_path || watched.owner == Owner::module) {
                if (!module_holds(owners[i], names[i], originals[i])) return false;
                continue;
            }
            if (watched.owner == Owner::class_of) {
                if (!class_holds[i].holds(owners[i], names[i], originals[i])) return false;
                continue;
            }
            // The object held where it was (nothing was put in front of it:
            // same_names() above).
            const Py_ssize_t holder = holders[i];
            if (holder == classes.count) continue;
            if (!classes.holds(holder, names[i], held[i])) return false;
        }
        return true;
    } catch (const PyError &) {
        drop_doubt();
        return false;
    }
}

}  // namespace brevan
