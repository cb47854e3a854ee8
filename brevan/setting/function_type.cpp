// The function type: what the five function objects are to Python besides
// callables. Attributes (getters and setters), lifetime (traverse, clear,
// dealloc), repr, pickling, method binding, the type's spec, and making the
// objects at import. Kept apart from the calling path (function_call.cpp):
// nothing here runs on a call.
//
// To introspection the objects look like Python functions: a real code object
// (built by compiling a stub and replacing its fields), __defaults__,
// __kwdefaults__ and __annotations__, so inspect.signature() and help() work.
// The code object, __doc__ and __annotations__ are made on first access, so
// an import compiles nothing.
// Reassigning __defaults__ changes what introspection shows, not the values
// calls use: those are fixed in `call_defaults`.
#include "function.hpp"

#include <new>

namespace brevan {
namespace {

PyTypeObject *function_type = nullptr;

// ----------------------------------------------------------- attributes ----

PyObject *none_if_null(PyObject *value) noexcept { return Py_NewRef(value ? value : Py_None); }

void replace(PyObject *&slot, PyObject *value) noexcept {
    PyObject *old = slot;
    slot = Py_XNewRef(value);
    Py_XDECREF(old);
}

[[gnu::cold, gnu::noinline]] int must_be(const char *attribute, const char *type) noexcept {
    PyErr_Format(PyExc_TypeError, "%s must be set to a %s object", attribute, type);
    return -1;
}

// __name__ and __qualname__ take strs only, and cannot be deleted.
int set_str(PyObject *&slot, PyObject *value, const char *attribute) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) return must_be(attribute, "string");
    replace(slot, value);
    return 0;
}

// __defaults__ and __kwdefaults__ take None (also by deletion) or an object
// with `type_flag`. Calls keep the signature's defaults whatever these
// attributes say, so every change to them comes with a warning.
int set_ignored_defaults(PyObject *&slot, PyObject *value, unsigned long type_flag,
                         const char *attribute, const char *type) noexcept {
    if (value == nullptr) value = Py_None;
    if (value != Py_None && !PyType_HasFeature(Py_TYPE(value), type_flag)) {
        return must_be(attribute, type);
    }
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "changes to setting_function.%s will not currently affect the values "
                         "used in function calls",
                         attribute) < 0) {
        return -1;
    }
    replace(slot, value);
    return 0;
}

// A value made on first access, so that an import makes none of them.
// Making it may run a collection, and with it finalizers and other threads,
// so the first one stored wins.
template <class Make>
PyObject *made_once(PyObject *&slot, Make make) noexcept {
    if (slot == nullptr) {
        try {
            Ref made = make();
            if (slot == nullptr) slot = made.release();
        } catch (const PyError &) {
            return nullptr;
        } catch (...) {
            set_python_error("brevan.setting");
            return nullptr;
        }
    }
    return Py_NewRef(slot);
}

PyObject *function_get_name(PyObject *self, void *) noexcept {
    return Py_NewRef(as_function(self)->name);
}

int function_set_name(PyObject *self, PyObject *value, void *) noexcept {
    return set_str(as_function(self)->name, value, "__name__");
}

PyObject *function_get_qualname(PyObject *self, void *) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}

int function_set_qualname(PyObject *self, PyObject *value, void *) noexcept {
    return set_str(as_function(self)->qualname, value, "__qualname__");
}

PyObject *function_get_module(PyObject *self, void *) noexcept {
    return none_if_null(as_function(self)->module);
}

int function_set_module(PyObject *self, PyObject *value, void *) noexcept {
    replace(as_function(self)->module, value ? value : Py_None);
    return 0;
}

PyObject *function_get_doc(PyObject *self, void *) noexcept {
    FunctionObject *fn = as_function(self);
    if (!fn->doc_made) {
        if (fn->def->doc != nullptr) {
            fn->doc = PyUnicode_FromString(fn->def->doc);
            if (fn->doc == nullptr) return nullptr;
        }
        fn->doc_made = true;
    }
    return none_if_null(fn->doc);
}

int function_set_doc(PyObject *self, PyObject *value, void *) noexcept {
    FunctionObject *fn = as_function(self);
    replace(fn->doc, value ? value : Py_None);
    fn->doc_made = true;
    return 0;
}

PyObject *function_get_defaults(PyObject *self, void *) noexcept {
    return none_if_null(as_function(self)->defaults);
}

int function_set_defaults(PyObject *self, PyObject *value, void *) noexcept {
    return set_ignored_defaults(as_function(self)->defaults, value, Py_TPFLAGS_TUPLE_SUBCLASS,
                                "__defaults__", "tuple");
}

PyObject *function_get_kwdefaults(PyObject *self, void *) noexcept {
    return none_if_null(as_function(self)->kwdefaults);
}

int function_set_kwdefaults(PyObject *self, PyObject *value, void *) noexcept {
    return set_ignored_defaults(as_function(self)->kwdefaults, value, Py_TPFLAGS_DICT_SUBCLASS,
                                "__kwdefaults__", "dict");
}

Ref make_annotations(const FunctionDef &def) {
    Ref annotations = check(PyDict_New());
    for (std::size_t i = 0; def.annotations[i] != nullptr; i += 2) {
        Ref value = check(PyUnicode_FromString(def.annotations[i + 1]));
        check(PyDict_SetItemString(annotations.get(), def.annotations[i], value.get()));
    }
    return annotations;
}

// The signature's annotations at first; after an assignment of None or a
// deletion, a new empty dict.
PyObject *function_get_annotations(PyObject *self, void *) noexcept {
    FunctionObject *fn = as_function(self);
    return made_once(fn->annotations, [fn] {
        Ref made = fn->annotations_made ? check(PyDict_New()) : make_annotations(*fn->def);
        fn->annotations_made = true;
        return made;
    });
}

int function_set_annotations(PyObject *self, PyObject *value, void *) noexcept {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) return must_be("__annotations__", "dict");
    FunctionObject *fn = as_function(self);
    replace(fn->annotations, value);
    fn->annotations_made = true;
    return 0;
}

PyObject *function_get_code(PyObject *self, void *) noexcept {
    FunctionObject *fn = as_function(self);
    return made_once(fn->code, [fn] { return stand_in_code(*fn->def); });
}

PyObject *function_get_globals(PyObject *self, void *) noexcept {
    return Py_NewRef(as_function(self)->globals);
}

PyObject *function_get_closure(PyObject *, void *) noexcept { return Py_NewRef(Py_None); }

constexpr PyGetSetDef attribute(const char *name, getter get, setter set = nullptr) noexcept {
    return {.name = name, .get = get, .set = set, .doc = nullptr, .closure = nullptr};
}

PyGetSetDef function_getset[] = {
    attribute("__name__", function_get_name, function_set_name),
    attribute("__qualname__", function_get_qualname, function_set_qualname),
    attribute("__module__", function_get_module, function_set_module),
    attribute("__doc__", function_get_doc, function_set_doc),
    attribute("__defaults__", function_get_defaults, function_set_defaults),
    attribute("__kwdefaults__", function_get_kwdefaults, function_set_kwdefaults),
    attribute("__annotations__", function_get_annotations, function_set_annotations),
    attribute("__code__", function_get_code),
    attribute("__globals__", function_get_globals),
    attribute("__closure__", function_get_closure),
    attribute("__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict),
    {},
};

// The offsets a type with these slots declares, read-only.
constexpr PyMemberDef offset_member(const char *name, Py_ssize_t offset) noexcept {
    return {.name = name, .type = Py_T_PYSSIZET, .offset = offset, .flags = Py_READONLY,
            .doc = nullptr};
}

PyMemberDef function_members[] = {
    offset_member("__vectorcalloffset__", offsetof(FunctionObject, vectorcall)),
    offset_member("__dictoffset__", offsetof(FunctionObject, dict)),
    offset_member("__weaklistoffset__", offsetof(FunctionObject, weakrefs)),
    {},
};

// Pickling stores a reference by name: brevan.setting.<qualname>.
PyObject *function_reduce(PyObject *self, PyObject *) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {.ml_name = "__reduce__", .ml_meth = function_reduce, .ml_flags = METH_NOARGS,
     .ml_doc = nullptr},
    {},
};

PyObject *function_repr(PyObject *self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Bound like a Python function: through an instance it becomes a method.
PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) noexcept {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    PyObject *args[] = {self, obj};
    return PyObject_Vectorcall(state.method_type.get(), args, 2, nullptr);
}

// ----------------------------------------------------------- lifetime ----

// Every reference a function object owns, for traverse and clear alike.
constexpr PyObject *FunctionObject::*kOwned[] = {
    &FunctionObject::params,     &FunctionObject::call_defaults, &FunctionObject::name,
    &FunctionObject::qualname,   &FunctionObject::module,        &FunctionObject::doc,
    &FunctionObject::defaults,   &FunctionObject::kwdefaults,    &FunctionObject::annotations,
    &FunctionObject::code,       &FunctionObject::globals,       &FunctionObject::dict,
};

int function_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    for (auto field : kOwned) Py_VISIT(as_function(self)->*field);
    return 0;
}

int function_clear(PyObject *self) noexcept {
    for (auto field : kOwned) Py_CLEAR(as_function(self)->*field);
    return 0;
}

void function_dealloc(PyObject *self) noexcept {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(self);
    Py_DECREF(type);
}

// ------------------------------------------------------------- the type ----

PyType_Slot function_slots[] = {
    {.slot = Py_tp_call, .pfunc = reinterpret_cast<void *>(PyVectorcall_Call)},
    {.slot = Py_tp_descr_get, .pfunc = reinterpret_cast<void *>(function_descr_get)},
    {.slot = Py_tp_repr, .pfunc = reinterpret_cast<void *>(function_repr)},
    {.slot = Py_tp_getset, .pfunc = function_getset},
    {.slot = Py_tp_members, .pfunc = function_members},
    {.slot = Py_tp_methods, .pfunc = function_methods},
    {.slot = Py_tp_traverse, .pfunc = reinterpret_cast<void *>(function_traverse)},
    {.slot = Py_tp_clear, .pfunc = reinterpret_cast<void *>(function_clear)},
    {.slot = Py_tp_dealloc, .pfunc = reinterpret_cast<void *>(function_dealloc)},
    {},
};

PyType_Spec function_spec = {
    .name = "brevan.setting.setting_function",
    .basicsize = sizeof(FunctionObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
             Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
             Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = function_slots,
};

// --------------------------------------------------------------- making ----

Ref function_new(const FunctionDef &def, PyObject *globals) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(function_type, Py_tp_alloc));
    Ref self = check(alloc(function_type, 0));
    FunctionObject *fn = as_function(self.get());
    fn->vectorcall = function_vectorcall;
    fn->def = &def;
    Ref params = check(PyTuple_New(def.nparams));
    for (Py_ssize_t i = 0; i < def.nparams; ++i) {
        Ref name = check(PyUnicode_InternFromString(def.varnames[i]));
        fn->param_names[i] = name.get();
        check(PyTuple_SetItem(params.get(), i, name.release()));
    }
    fn->params = params.release();
    fn->name = check(PyUnicode_InternFromString(def.name)).release();
    fn->qualname = Py_NewRef(fn->name);
    fn->module = check(PyUnicode_InternFromString("brevan.setting")).release();
    Ref call_defaults = def.make_defaults ? def.make_defaults() : Ref();
    fn->call_defaults = Py_XNewRef(call_defaults.get());
    for (Py_ssize_t i = def.nrequired; i < def.nparams; ++i) {
        fn->default_values[i] = PyTuple_GetItem(call_defaults.get(), i - def.nrequired);
    }
    fn->defaults_bind = def.nrequired == 0 && def.truth < 0 &&
                        (def.typed < 0 || Py_TYPE(fn->default_values[def.typed]) == def.type);
    fn->defaults = Py_NewRef(call_defaults ? call_defaults.get() : Py_None);
    fn->kwdefaults = Py_NewRef(Py_None);
    fn->globals = Py_NewRef(globals);
    return self;
}

}  // namespace

void functions_prepare(PyObject *module) {
    call_depth_prepare();
    if (function_type == nullptr) {
        function_type = reinterpret_cast<PyTypeObject *>(
            check(PyType_FromModuleAndSpec(module, &function_spec, nullptr)).release());
    }
}

void functions_bind(PyObject *globals, int &line) {
    for (const FunctionDef &def : function_defs) {
        line = def.first_line;
        Ref function = function_new(def, globals);
        check(PyDict_SetItemString(globals, def.name, function.get()));
    }
}

void functions_reset() noexcept {
    // The type and code objects hold nothing of the failed module's state
    // except the type's module reference, so only the type is dropped.
    PyObject *type = reinterpret_cast<PyObject *>(function_type);
    function_type = nullptr;
    Py_XDECREF(type);
}

}  // namespace brevan
