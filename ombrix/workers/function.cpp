// function.cpp: the type of the module's exported functions, the table of
// the seven functions, and argument binding with its exact type checks.
#include "custom_worker.hpp"

#include <cstring>
#include <structmember.h>

namespace cw {
namespace {

// What a parameter accepts after binding.
enum class Accepts { Anything, Str, Dict, DictOrNone };

using Body = PyObject *(*)(PyObject *const *bound);

// The fixed description of one exported function.  Calls bind against this
// record only, so reassigning a function attribute never changes binding.
struct FunctionSpec {
    PyObject *Strings::*name;
    Fn fn;
    int code_index;
    int definition_line;
    int nparams;
    int nrequired;
    PyObject *Strings::*params[3];
    Accepts accepts[3];
    const char *doc;  // null: no docstring
    bool has_defaults;
    Body body;
};

PyObject *body_run_script(PyObject *const *a) { return run_script(a[0], a[1]); }
PyObject *body_run_inline(PyObject *const *a) { return run_inline(a[0], a[1]); }
PyObject *body_run_function(PyObject *const *a) { return run_function(a[0], a[1], a[2]); }
PyObject *body_validate_script(PyObject *const *a) { return validate_script(a[0]); }
PyObject *body_serialize(PyObject *const *a) { return serialize(a[0]); }
PyObject *body_handle_command(PyObject *const *a) { return handle_command(a[0]); }
PyObject *body_main(PyObject *const *) { return main_loop(); }

const FunctionSpec kFunctions[kFunctionCount] = {
    {&Strings::run_script, Fn::RunScript, kCodeRunScript, 29, 2, 1,
     {&Strings::path, &Strings::args, nullptr},
     {Accepts::Str, Accepts::DictOrNone, Accepts::Anything},
     "Execute a Python script file and capture its output.", true, body_run_script},
    {&Strings::run_inline, Fn::RunInline, kCodeRunInline, 82, 2, 1,
     {&Strings::code, &Strings::args, nullptr},
     {Accepts::Str, Accepts::DictOrNone, Accepts::Anything},
     "Execute inline Python code.", true, body_run_inline},
    {&Strings::run_function, Fn::RunFunction, kCodeRunFunction, 121, 3, 2,
     {&Strings::path, &Strings::function_name, &Strings::args},
     {Accepts::Str, Accepts::Str, Accepts::DictOrNone},
     "Execute a specific function from a Python script.", true, body_run_function},
    {&Strings::validate_script, Fn::ValidateScript, kCodeValidateScript, 166, 1, 1,
     {&Strings::code, nullptr, nullptr},
     {Accepts::Str, Accepts::Anything, Accepts::Anything},
     "Validate that code is syntactically correct Python.", false, body_validate_script},
    {&Strings::_serialize, Fn::Serialize, kCodeSerialize, 186, 1, 1,
     {&Strings::obj, nullptr, nullptr},
     {Accepts::Anything, Accepts::Anything, Accepts::Anything},
     "Attempt to serialize an object to JSON-compatible format.", false, body_serialize},
    {&Strings::handle_command, Fn::HandleCommand, kCodeHandleCommand, 199, 1, 1,
     {&Strings::cmd, nullptr, nullptr},
     {Accepts::Dict, Accepts::Anything, Accepts::Anything},
     "Route a command to the appropriate handler.", false, body_handle_command},
    {&Strings::main, Fn::Main, kCodeMain, 224, 0, 0,
     {nullptr, nullptr, nullptr},
     {Accepts::Anything, Accepts::Anything, Accepts::Anything},
     nullptr, false, body_main},
};
constexpr int kMainIndex = 6;
constexpr int kMaxParams = 3;

// ---------------------------------------------------------------------------
// The function object
// ---------------------------------------------------------------------------

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec *spec;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *defaults;
    PyObject *kwdefaults;
    PyObject *annotations;
    PyObject *code;
    PyObject *dict;
};

FunctionObject *as_function(PyObject *self) { return reinterpret_cast<FunctionObject *>(self); }

// ---------------------------------------------------------------------------
// Binding errors
// ---------------------------------------------------------------------------

const char *name_of(const FunctionSpec &spec) { return PyUnicode_AsUTF8(g.s.*spec.name); }

// Arity and keyword errors carry an entry at the definition line.
PyObject *binding_failed(const FunctionSpec &spec) {
    add_traceback(spec.fn, spec.definition_line);
    return nullptr;
}

PyObject *arity_error(const FunctionSpec &spec, Py_ssize_t given) {
    const bool exact = spec.nrequired == spec.nparams;
    const bool too_few = given < spec.nrequired;
    const char *word = exact ? "exactly" : (too_few ? "at least" : "at most");
    const Py_ssize_t expected = too_few ? spec.nrequired : spec.nparams;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 name_of(spec), word, expected, expected == 1 ? "" : "s", given);
    return binding_failed(spec);
}

// Compares a keyword with a parameter name by content: an exact str by hash,
// length, character width and bytes; a str subclass by ==.
int same_text(PyObject *param, PyObject *key) {
    if (!PyUnicode_CheckExact(key)) return PyObject_RichCompareBool(key, param, Py_EQ);
    const Py_hash_t hk = PyObject_Hash(key);
    if (hk == -1) return -1;
    if (hk != PyObject_Hash(param)) return 0;
    const Py_ssize_t len = PyUnicode_GET_LENGTH(key);
    if (len != PyUnicode_GET_LENGTH(param)) return 0;
    const int kind = PyUnicode_KIND(key);
    if (kind != PyUnicode_KIND(param)) return 0;
    return std::memcmp(PyUnicode_DATA(key), PyUnicode_DATA(param), static_cast<size_t>(len) * kind) == 0;
}

// Index of the parameter in [from, to) that `key` names, -1 if none, -2 on error.
int find_param(const FunctionSpec &spec, PyObject *key, int from, int to) {
    for (int i = from; i < to; ++i) {
        if (g.s.*spec.params[i] == key) return i;
    }
    for (int i = from; i < to; ++i) {
        int same = same_text(g.s.*spec.params[i], key);
        if (same < 0) return -2;
        if (same) return i;
    }
    return -1;
}

// ---------------------------------------------------------------------------
// Exact type checks
// ---------------------------------------------------------------------------

bool accepted(PyObject *value, Accepts accepts) {
    switch (accepts) {
        case Accepts::Anything: return true;
        case Accepts::Str: return PyUnicode_CheckExact(value);
        case Accepts::Dict: return PyDict_CheckExact(value);
        case Accepts::DictOrNone: return value == Py_None || PyDict_CheckExact(value);
    }
    return true;
}

void attach_subclass_note() {
    PyObject *exc = PyErr_GetRaisedException();
    PyObject *done = PyObject_CallMethodOneArg(exc, g.s.add_note, g.s.subclass_note);
    if (done == nullptr) PyErr_Clear();  // a failing add_note leaves the TypeError as it is
    Py_XDECREF(done);
    PyErr_SetRaisedException(exc);
}

int check_types(const FunctionSpec &spec, PyObject *const *bound) {
    for (int i = 0; i < spec.nparams; ++i) {
        if (accepted(bound[i], spec.accepts[i])) continue;
        PyTypeObject *required = spec.accepts[i] == Accepts::Str ? &PyUnicode_Type : &PyDict_Type;
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     PyUnicode_AsUTF8(g.s.*spec.params[i]),
                     spec.accepts[i] == Accepts::Str ? "str" : "dict", Py_TYPE(bound[i])->tp_name);
        if (PyType_IsSubtype(Py_TYPE(bound[i]), required)) attach_subclass_note();
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Calls
// ---------------------------------------------------------------------------

// Binds positional and keyword arguments to `bound` (borrowed references).
int bind_arguments(const FunctionSpec &spec, PyObject *const *args, Py_ssize_t n,
                   PyObject *kwnames, PyObject **bound) {
    const Py_ssize_t k = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (n > spec.nparams || (k == 0 && n < spec.nrequired)) {
        arity_error(spec, n);
        return -1;
    }
    for (Py_ssize_t i = 0; i < n; ++i) bound[i] = args[i];
    for (Py_ssize_t j = 0; j < k; ++j) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, j);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name_of(spec));
            binding_failed(spec);
            return -1;
        }
        int at = find_param(spec, key, static_cast<int>(n), spec.nparams);
        if (at == -2) return -1;
        if (at >= 0 && bound[at] == nullptr) {
            bound[at] = args[n + j];
            continue;
        }
        if (at < 0) at = find_param(spec, key, 0, static_cast<int>(n));
        if (at == -2) return -1;
        if (at >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         name_of(spec), key);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         name_of(spec), key);
        }
        binding_failed(spec);
        return -1;
    }
    for (int i = spec.nrequired; i < spec.nparams; ++i) {
        if (bound[i] == nullptr) bound[i] = Py_None;  // the fixed default
    }
    for (int i = static_cast<int>(n); i < spec.nrequired; ++i) {
        if (bound[i] == nullptr) {
            arity_error(spec, i);
            return -1;
        }
    }
    return 0;
}

PyObject *call_function(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    const FunctionSpec &spec = *as_function(self)->spec;
    try {
        PyObject *bound[kMaxParams] = {};
        if (bind_arguments(spec, args, PyVectorcall_NARGS(nargsf), kwnames, bound) < 0) return nullptr;
        if (check_types(spec, bound) < 0) return nullptr;
        return spec.body(bound);
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in custom_worker");
        return nullptr;
    }
}

// `main` takes nothing; keywords are refused before positional arguments.
PyObject *call_main(PyObject *self, PyObject *const *, size_t nargsf, PyObject *kwnames) {
    const FunctionSpec &spec = *as_function(self)->spec;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", name_of(spec), "takes no keyword arguments");
        return nullptr;
    }
    const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    if (n > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", name_of(spec),
                     "takes no arguments", n);
        return nullptr;
    }
    try {
        return spec.body(nullptr);
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in custom_worker");
        return nullptr;
    }
}

// ---------------------------------------------------------------------------
// Attributes
// ---------------------------------------------------------------------------

// Setter shared by the attributes: `check` tells which values are allowed.
int set_slot(PyObject **slot, PyObject *value, const char *attr, bool (*check)(PyObject *),
             const char *what) {
    if (value == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s cannot be deleted", attr);
        return -1;
    }
    if (check != nullptr && !check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to %s", attr, what);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

bool is_str(PyObject *v) { return PyUnicode_Check(v); }
bool is_tuple_or_none(PyObject *v) { return v == Py_None || PyTuple_Check(v); }
bool is_dict_or_none(PyObject *v) { return v == Py_None || PyDict_Check(v); }
bool is_dict(PyObject *v) { return PyDict_Check(v); }

#define CW_ATTR(field, attr, check, what)                                              \
    PyObject *get_##field(PyObject *self, void *) {                                    \
        return Py_NewRef(as_function(self)->field);                                    \
    }                                                                                  \
    int set_##field(PyObject *self, PyObject *value, void *) {                         \
        return set_slot(&as_function(self)->field, value, attr, check, what);         \
    }
CW_ATTR(name, "__name__", is_str, "a string object")
CW_ATTR(qualname, "__qualname__", is_str, "a string object")
CW_ATTR(module, "__module__", nullptr, nullptr)
CW_ATTR(doc, "__doc__", nullptr, nullptr)
CW_ATTR(defaults, "__defaults__", is_tuple_or_none, "a tuple object")
CW_ATTR(kwdefaults, "__kwdefaults__", is_dict_or_none, "a dict object")
CW_ATTR(annotations, "__annotations__", is_dict, "a dict object")
#undef CW_ATTR

PyObject *get_code(PyObject *self, void *) { return Py_NewRef(as_function(self)->code); }
PyObject *get_globals(PyObject *, void *) {
    return Py_NewRef(g.module_dict != nullptr ? g.module_dict : Py_None);
}

PyGetSetDef kGetSet[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef kMembers[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    FunctionObject *f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->code);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject *self) {
    FunctionObject *f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->code);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *function_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

PyType_Slot kFunctionSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_getset, kGetSet},
    {Py_tp_members, kMembers},
    {0, nullptr},
};

PyType_Spec kFunctionSpec = {
    "ombrix.workers.custom_worker.worker_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kFunctionSlots,
};

}  // namespace

int ready_function_type() {
    if (g.function_type != nullptr) return 0;
    PyObject *type = PyType_FromSpec(&kFunctionSpec);
    if (type == nullptr) return -1;
    g.function_type = reinterpret_cast<PyTypeObject *>(type);
    return 0;
}

PyObject *make_function(int index, PyObject *annotations) {
    const FunctionSpec &spec = kFunctions[index];
    FunctionObject *f = PyObject_GC_New(FunctionObject, g.function_type);
    if (f == nullptr) return nullptr;
    f->vectorcall = index == kMainIndex ? call_main : call_function;
    f->spec = &spec;
    f->name = Py_NewRef(g.s.*spec.name);
    f->qualname = Py_NewRef(g.s.*spec.name);
    f->module = Py_NewRef(g.s.module_name);
    f->doc = nullptr;
    f->defaults = Py_NewRef(spec.has_defaults ? g.defaults_none : Py_None);
    f->kwdefaults = Py_NewRef(Py_None);
    f->annotations = Py_NewRef(annotations);
    f->code = Py_NewRef(g.code[spec.code_index]);
    f->dict = nullptr;
    PyObject *self = reinterpret_cast<PyObject *>(f);
    PyObject_GC_Track(self);
    f->doc = spec.doc != nullptr ? PyUnicode_FromString(spec.doc) : Py_NewRef(Py_None);
    if (f->doc == nullptr) {
        Py_DECREF(self);
        return nullptr;
    }
    return self;
}

}  // namespace cw
