// Module definition, entry point and globals of brevan.setting: what runs
// at import (the notional module body) and the lookup of a global at each
// use. The functions themselves live in a file each.
//
// The module uses multi-phase initialisation but is a process-wide singleton:
// the create step hands out the one module object (refusing a second
// interpreter), and the exec step fills its namespace once. A failed exec
// step drops everything it made, so a later import starts over.
#include "guards.hpp"
#include "notional_lines.hpp"
#include "setting.hpp"

#include <initializer_list>
#include <utility>

namespace brevan {

State &state = *new State();

namespace {

bool have_interpreter = false;
std::int64_t interpreter_id = 0;

StaticString s_name("name"), s_loader("loader"), s_origin("origin"),
    s_search_locations("submodule_search_locations"), s_dunder_loader("__loader__"),
    s_dunder_file("__file__"), s_dunder_package("__package__"), s_dunder_path("__path__"),
    s_dunder_builtins("__builtins__"), s_builtins("builtins"), s_dunder_import("__import__"),
    s_print("print"), s_types("types"), s_method_type("MethodType"), s_full_name("brevan.setting"),
    s_server("server"), s_studio("studio"), s_repo("repo"),
    s_theme("theme"), s_light("light"), s_console("console"), s_vexil("vexil"), s_test("__test__");
// Constants that are no names: not interned, as a Python module's are not.
StaticText s_repo_url("https://github.com/kesto/ardenix.git");

// ------------------------------------------------------------ imports ----

// sys.modules[name], or an empty Ref when it is not there (or is None).
Ref loaded_module(PyObject *name) {
    PyObject *module = PyImport_GetModule(name);
    if (module == nullptr && PyErr_Occurred()) throw_error();
    Ref owned = Ref::steal(module);
    if (owned.get() == Py_None) owned.reset();
    return owned;
}

// The module's own import of `name` (no statement of the module): an
// already loaded module is used without the import machinery.
Ref import_module(StaticString &name) {
    if (Ref module = loaded_module(name.get())) return module;
    return check(PyImport_ImportModuleLevelObject(name.get(), state.globals, nullptr, nullptr, 0));
}

// What an import statement calls: builtins.__import__ as the builtins hold
// it at that moment, or an empty Ref while that is the interpreter's own
// function, which the statement bypasses for the import machinery itself
// (guards.hpp); anything else put there is a replacement.
Ref replaced_import() {
    PyObject *found = PyDict_GetItemWithError(PyModule_GetDict(state.builtins.get()), s_dunder_import.get());
    if (found == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
        throw_error();
    }
    return interpreters_import(found) ? Ref() : Ref::borrow(found);
}

// The replacement's call for `import name` or `from name import ...`, with
// the arguments the statement gives it: the module's namespace as globals
// and locals, the names (or None) and level 0.
Ref call_import(PyObject *function, PyObject *name, PyObject *fromlist) {
    Ref level = check(PyLong_FromLong(0));
    return call(function, name, state.globals, state.globals, fromlist, level);
}

// `import name`: an already loaded module is used without the import
// machinery, unless __import__ was replaced.
Ref import_statement(StaticString &name) {
    if (Ref function = replaced_import()) return call_import(function.get(), name.get(), Py_None);
    return import_module(name);
}

// `from module import name`, one name at a time.
Ref import_from(PyObject *module, PyObject *module_name, PyObject *name) {
    if (Ref value = optional_attr(module, name)) return value;
    // A submodule that is loaded but not (yet) an attribute of its parent.
    Ref full = check(PyUnicode_FromFormat("%U.%U", module_name, name));
    if (Ref submodule = loaded_module(full.get())) return submodule;
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    throw_error();
}

// Imports `module_name` for a `from ... import` of `names`, skipping the
// import machinery when the loaded module already has every name (and
// __import__ is the interpreter's own).
Ref import_for_from(StaticString &module_name, std::initializer_list<StaticString *> names) {
    Ref function = replaced_import();
    if (!function) {
        if (Ref module = loaded_module(module_name.get())) {
            bool complete = true;
            for (StaticString *name : names) complete = complete && optional_attr(module.get(), name->get());
            if (complete) return module;
        }
    }
    Ref fromlist = check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (StaticString *name : names) {
        check(PyTuple_SetItem(fromlist.get(), i++, Ref::borrow(name->get()).release()));
    }
    if (function) return call_import(function.get(), module_name.get(), fromlist.get());
    return check(PyImport_ImportModuleLevelObject(module_name.get(), state.globals, nullptr,
                                                  fromlist.get(), 0));
}

void bind(PyObject *globals, StaticString &name, PyObject *value) {
    check(PyDict_SetItem(globals, name.get(), value));
}

// ------------------------------------------------------------ the steps ----

// Fetches a builtin once, as the module keeps `open` and `print`.
Ref builtin(StaticString &name) {
    PyObject *value = PyObject_GetAttr(state.builtins.get(), name.get());
    if (value != nullptr) return Ref::steal(value);
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
    }
    throw_error();
}

// The builtins module: sys.modules' entry, which the interpreter made at
// start-up and nothing imports again; the import machinery only if that
// entry is gone.
Ref builtins_module() {
    PyObject *entry = PyDict_GetItemWithError(PyImport_GetModuleDict(), s_builtins.get());  // borrowed
    if (entry != nullptr && PyModule_Check(entry)) return Ref::borrow(entry);
    if (PyErr_Occurred()) throw_error();
    return check(PyImport_ImportModuleLevelObject(s_builtins.get(), nullptr, nullptr, nullptr, 0));
}

void check_version() {
    const unsigned long major = (Py_Version >> 24) & 0xFF, minor = (Py_Version >> 16) & 0xFF;
    if (major < 3 || (major == 3 && minor < 12)) {
        check(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                               "compile time Python version %d.%d of module '%.100s' %s "
                               "runtime version %d.%d",
                               3, 12, "brevan.setting", "was newer than", static_cast<int>(major),
                               static_cast<int>(minor)));
    }
}

void register_in_sys_modules(PyObject *module) {
    PyObject *modules = PyImport_GetModuleDict();  // borrowed
    if (PyDict_GetItemWithError(modules, s_full_name.get()) != nullptr) return;
    if (PyErr_Occurred()) throw_error();
    check(PyDict_SetItem(modules, s_full_name.get(), module));
}

Ref make_defaults(PyObject *home_text) {
    Ref server = check(PyDict_New());
    check(PyDict_SetItem(server.get(), s_home.get(), home_text));
    check(PyDict_SetItem(server.get(), s_repo.get(), s_repo_url.get()));
    Ref studio = check(PyDict_New());
    check(PyDict_SetItem(studio.get(), s_theme.get(), s_light.get()));
    check(PyDict_SetItem(studio.get(), s_console.get(), Py_False));
    Ref defaults = check(PyDict_New());
    check(PyDict_SetItem(defaults.get(), s_server.get(), server.get()));
    check(PyDict_SetItem(defaults.get(), s_studio.get(), studio.get()));
    return defaults;
}

// The exec step proper. `line` follows the statement being run, for the
// traceback entry of a failure.
void exec_steps(PyObject *module, int &line) {
    line = kLineImportShutil;
    state.module = Ref::borrow(module);
    state.globals = PyModule_GetDict(module);  // borrowed; never fails for a module
    PyObject *globals = state.globals;
    state.builtins = builtins_module();
    bind(globals, s_dunder_builtins, state.builtins.get());

    check_version();
    register_in_sys_modules(module);

    state.open = builtin(s_open);
    state.print = builtin(s_print);

    functions_prepare(module);

    // import shutil, site, subprocess, sys: one statement a line.
    for (const auto &[at, name] : {std::pair{kLineImportShutil, &s_shutil}, std::pair{kLineImportSite, &s_site},
                                   std::pair{kLineImportSubprocess, &s_subprocess}, std::pair{kLineImportSys, &s_sys}}) {
        line = at;
        bind(globals, *name, import_statement(*name).get());
    }

    line = kLineFromPathlib;
    Ref pathlib = import_for_from(s_pathlib, {&s_path});
    Ref path_type = import_from(pathlib.get(), s_pathlib.get(), s_path.get());
    bind(globals, s_path, path_type.get());

    line = kLineFromVexil;
    Ref vexil = import_for_from(s_vexil, {&s_dumps, &s_iprint, &s_loads});
    for (StaticString *name : {&s_dumps, &s_iprint, &s_loads}) {
        bind(globals, *name, import_from(vexil.get(), s_vexil.get(), name->get()).get());
    }

    // types.MethodType, for binding the functions as methods. Taken after
    // the statements' imports, which have loaded `types` by then: an import
    // of it here would be one more nested import, whose overhead (and line
    // under -X importtime) the Python module does not have.
    Ref types = import_module(s_types);
    state.method_type = getattr(types.get(), s_method_type);

    line = kLineTjs;
    ImportPaths paths(path_type.get());
    bind(globals, s_tjs, paths.tjs().get());
    line = kLineDefaults;
    bind(globals, s_defaults, make_defaults(paths.home_text().get()).get());

    // read()'s default is whatever `tjs` is bound to now, read back through
    // the namespace.
    PyObject *tjs = PyDict_GetItemWithError(globals, s_tjs.get());  // borrowed
    if (tjs == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", s_tjs.get());
        throw_error();
    }
    if (tjs != Py_None && !PyList_Check(tjs)) {
        Ref type_name = qualified_type_name(Py_TYPE(tjs));
        PyErr_Format(PyExc_TypeError, "Expected %s, got %U", "list", type_name.get());
        throw_error();
    }
    state.read_default = Ref::borrow(tjs);
    functions_bind(globals, line);

    line = kLineTest;
    Ref test = check(PyDict_New());
    bind(globals, s_test, test.get());
}

void state_reset() noexcept {
    functions_reset();
    state.read_default.reset();
    state.method_type.reset();
    state.print.reset();
    state.open.reset();
    state.builtins.reset();
    state.globals = nullptr;
    state.module.reset();
}

// ------------------------------------------------- create and exec slots ----

PyObject *setting_create(PyObject *spec, PyModuleDef *) noexcept {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) return nullptr;
    if (!have_interpreter) {
        have_interpreter = true;
        interpreter_id = id;
    } else if (id != interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (state.module) return Ref(state.module).release();

    try {
        Ref name = check(PyObject_GetAttr(spec, s_name.get()));
        Ref module = check(PyModule_NewObject(name.get()));
        struct Copy {
            StaticString *from, *to;
            bool skip_none;
        };
        const Copy copies[] = {{&s_loader, &s_dunder_loader, false},
                               {&s_origin, &s_dunder_file, false},
                               {&s_parent, &s_dunder_package, false},
                               {&s_search_locations, &s_dunder_path, true}};
        for (const Copy &c : copies) {
            Ref value = optional_attr(spec, c.from->get());
            if (!value || (c.skip_none && value.get() == Py_None)) continue;
            check(PyObject_SetAttr(module.get(), c.to->get(), value.get()));
        }
        state.module = module;
        return module.release();
    } catch (const PyError &) {
        return nullptr;
    } catch (...) {
        set_python_error("brevan.setting");
        return nullptr;
    }
}

int setting_exec(PyObject *module) noexcept {
    if (state.executed) {
        if (module == state.module.get()) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'setting' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    int line = kLineImportShutil;
    try {
        exec_steps(module, line);
        state.executed = true;
        return 0;
    } catch (const PyError &) {
    } catch (...) {
        set_python_error("brevan.setting");
    }
    add_traceback("init brevan.setting", line);
    state_reset();
    return -1;
}

PyModuleDef_Slot setting_slots[] = {
    {.slot = Py_mod_create, .value = reinterpret_cast<void *>(setting_create)},
    {.slot = Py_mod_exec, .value = reinterpret_cast<void *>(setting_exec)},
    {.slot = 0, .value = nullptr},
};

PyModuleDef setting_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "setting",
    .m_doc = nullptr,
    .m_size = 0,            // all state is process-wide
    .m_methods = nullptr,   // the functions are bound by the exec step
    .m_slots = setting_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

// Module globals are looked up at each use. The common case, a plain module
// whose namespace holds the name, is one dict lookup; anything else (a
// module-level __getattr__, a module subclass, a missing name) takes the full
// attribute lookup, so the result is always that of getattr(module, name).
Ref lookup_global(StaticString &name) {
    PyObject *key = name.get();
    if (Py_IS_TYPE(state.module.get(), &PyModule_Type)) {
        PyObject *value = PyDict_GetItemWithError(state.globals, key);  // borrowed
        if (value != nullptr) return Ref::borrow(value);
        PyErr_Clear();
    }
    PyObject *value = PyObject_GetAttr(state.module.get(), key);
    if (value != nullptr) return Ref::steal(value);
    PyErr_Clear();
    value = PyObject_GetAttr(state.builtins.get(), key);
    if (value != nullptr) return Ref::steal(value);
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    }
    throw_error();
}

PyObject *KeywordNames::get() {
    if (tuple_ == nullptr) {
        Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(count_)));
        for (std::size_t i = 0; i < count_; ++i) {
            PyObject *name = PyUnicode_InternFromString(names_[i]);
            check(PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), check(name).release()));
        }
        tuple_ = tuple.release();
    }
    return tuple_;
}

}  // namespace brevan

PyMODINIT_FUNC PyInit_setting(void) {
    return PyModuleDef_Init(&brevan::setting_module);
}
