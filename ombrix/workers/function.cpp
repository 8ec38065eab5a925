// function.cpp: the type of the module's exported functions, their code
// objects, and argument binding with its exact type checks.
#include "custom_worker.hpp"
#include "function_table.hpp"

#include <opcode.h>
#include <structmember.h>

namespace cw {
namespace {

// The bytecode and location table that every function's code object shares,
// and the defaults tuple (None,); made with the type.
PyObject *code_bytes = nullptr;
PyObject *code_locations = nullptr;
PyObject *defaults_none = nullptr;
PyTypeObject *function_type = nullptr;

// ---------------------------------------------------------------------------
// The function object
// ---------------------------------------------------------------------------

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDescription *description;
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
// Binding errors.  Arity and keyword errors carry an entry at the definition
// line; a failed type check carries none.
// ---------------------------------------------------------------------------

PyObject *arity_error(const FunctionDescription &function, Py_ssize_t given) {
    const bool exact = function.nrequired == function.nparams;
    const bool too_few = given < function.nrequired;
    const char *word = exact ? "exactly" : (too_few ? "at least" : "at most");
    const Py_ssize_t expected = too_few ? function.nrequired : function.nparams;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 function.name, word, expected, expected == 1 ? "" : "s", given);
    return fail_at(function, function.first_line);
}

// Whether a keyword names `param`: an exact str by content, a str subclass
// by ==.  1, 0 or -1 with an exception set.
int names_param(PyObject *param, PyObject *key) {
    if (!PyUnicode_CheckExact(key)) return PyObject_RichCompareBool(key, param, Py_EQ);
    return same_text(param, key);
}

// Index of the parameter in [from, to) that `key` names, -1 if none, -2 on error.
int find_param(const FunctionDescription &function, PyObject *key, int from, int to) {
    for (int i = from; i < to; ++i) {
        if (strings.*function.params[i].name == key) return i;
    }
    for (int i = from; i < to; ++i) {
        int same = names_param(strings.*function.params[i].name, key);
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
    PyObject *done = PyObject_CallMethodOneArg(exc, strings.add_note, strings.subclass_note);
    if (done == nullptr) PyErr_Clear();  // a failing add_note leaves the TypeError as it is
    Py_XDECREF(done);
    PyErr_SetRaisedException(exc);
}

int check_types(const FunctionDescription &function, PyObject *const *bound) {
    for (int i = 0; i < function.nparams; ++i) {
        if (accepted(bound[i], function.params[i].accepts)) continue;
        PyTypeObject *required = function.params[i].accepts == Accepts::Str ? &PyUnicode_Type : &PyDict_Type;
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     PyUnicode_AsUTF8(strings.*function.params[i].name),
                     function.params[i].accepts == Accepts::Str ? "str" : "dict", Py_TYPE(bound[i])->tp_name);
        if (PyType_IsSubtype(Py_TYPE(bound[i]), required)) attach_subclass_note();
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Calls
// ---------------------------------------------------------------------------

// Binds positional and keyword arguments to `bound` (borrowed references).
int bind_arguments(const FunctionDescription &function, PyObject *const *args, Py_ssize_t n,
                   PyObject *kwnames, PyObject **bound) {
    const Py_ssize_t k = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (n > function.nparams || (k == 0 && n < function.nrequired)) {
        arity_error(function, n);
        return -1;
    }
    for (Py_ssize_t i = 0; i < n; ++i) bound[i] = args[i];
    for (Py_ssize_t j = 0; j < k; ++j) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, j);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function.name);
            fail_at(function, function.first_line);
            return -1;
        }
        int at = find_param(function, key, static_cast<int>(n), function.nparams);
        if (at == -2) return -1;
        if (at >= 0 && bound[at] == nullptr) {
            bound[at] = args[n + j];
            continue;
        }
        if (at < 0) at = find_param(function, key, 0, static_cast<int>(n));
        if (at == -2) return -1;
        if (at >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         function.name, key);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         function.name, key);
        }
        fail_at(function, function.first_line);
        return -1;
    }
    for (int i = function.nrequired; i < function.nparams; ++i) {
        if (bound[i] == nullptr) bound[i] = Py_None;  // the fixed default
    }
    for (int i = static_cast<int>(n); i < function.nrequired; ++i) {
        if (bound[i] == nullptr) {
            arity_error(function, i);
            return -1;
        }
    }
    return 0;
}

// Nothing in a call can throw a C++ exception: binding, the checks and the
// bodies are C API calls and plain C++.
PyObject *call_function(PyObject *self, PyObject *const *args, size_t nargsf,
                        PyObject *kwnames) noexcept {
    const FunctionDescription &function = *as_function(self)->description;
    PyObject *bound[kMaxParams] = {};
    if (bind_arguments(function, args, PyVectorcall_NARGS(nargsf), kwnames, bound) < 0) return nullptr;
    if (check_types(function, bound) < 0) return nullptr;
    return function.body(bound);
}

// A function without parameters (`main`) refuses keywords before positional
// arguments, and adds no traceback entry.
PyObject *call_without_arguments(PyObject *self, PyObject *const *, size_t nargsf,
                                 PyObject *kwnames) noexcept {
    const FunctionDescription &function = *as_function(self)->description;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", function.name, "takes no keyword arguments");
        return nullptr;
    }
    const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    if (n > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", function.name,
                     "takes no arguments", n);
        return nullptr;
    }
    return function.body(nullptr);
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
    return Py_NewRef(module_record.module_dict != nullptr ? module_record.module_dict : Py_None);
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

// ---------------------------------------------------------------------------
// What the definition attaches
// ---------------------------------------------------------------------------

// The annotations, as plain strings: the parameters' in order, then the
// return annotation.
PyObject *make_annotations(const FunctionDescription &function) {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return nullptr;
    for (int i = 0; i < function.nparams; ++i) {
        const Parameter &param = function.params[i];
        if (param.annotation == nullptr) continue;
        if (PyDict_SetItem(annotations.get(), strings.*param.name, strings.*param.annotation) < 0)
            return nullptr;
    }
    if (function.returns != nullptr &&
        PyDict_SetItem(annotations.get(), strings.return_, strings.*function.returns) < 0)
        return nullptr;
    return annotations.release();
}

// The function's __code__: it exists so that introspection (signatures read
// the argument count and names from it) and tracebacks see an ordinary
// function with the definition's first line and local names.
PyObject *make_code_object(const FunctionDescription &function) {
    int nlocals = 0;
    while (nlocals < kMaxLocals && function.locals[nlocals] != nullptr) ++nlocals;
    Ref varnames = Ref::steal(PyTuple_New(function.nparams + nlocals));
    if (!varnames) return nullptr;
    for (int i = 0; i < function.nparams; ++i) {
        PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(strings.*function.params[i].name));
    }
    for (int i = 0; i < nlocals; ++i) {
        PyObject *name = PyUnicode_InternFromString(function.locals[i]);
        if (name == nullptr) return nullptr;
        PyTuple_SET_ITEM(varnames.get(), function.nparams + i, name);
    }
    PyObject *name = name_object(function);
    PyObject *empty = module_record.empty_tuple;
    return reinterpret_cast<PyObject *>(PyUnstable_Code_New(
        function.nparams, 0, function.nparams + nlocals, 1, CO_OPTIMIZED | CO_NEWLOCALS,
        code_bytes, empty, empty, varnames.get(), empty, empty, strings.file_name, name, name,
        function.first_line, code_locations, module_record.empty_bytes));
}

}  // namespace

int ready_function_type() {
    if (function_type != nullptr) return 0;
    // Every code object's bytecode only raises AssertionError, so a code
    // object taken from a function and executed does no harm; one location
    // entry without columns, three code units long, maps it to the first line.
    static const char kBytecode[] = {static_cast<char>(RESUME), 0,
                                     static_cast<char>(LOAD_ASSERTION_ERROR), 0,
                                     static_cast<char>(RAISE_VARARGS), 1};
    static const char kLocations[] = {
        static_cast<char>(0x80 | (PY_CODE_LOCATION_INFO_NO_COLUMNS << 3) | (3 - 1)), 0};
    if (code_bytes == nullptr &&
        (code_bytes = PyBytes_FromStringAndSize(kBytecode, sizeof kBytecode)) == nullptr)
        return -1;
    if (code_locations == nullptr &&
        (code_locations = PyBytes_FromStringAndSize(kLocations, sizeof kLocations)) == nullptr)
        return -1;
    if (defaults_none == nullptr && (defaults_none = PyTuple_Pack(1, Py_None)) == nullptr)
        return -1;
    PyObject *type = PyType_FromSpec(&kFunctionSpec);
    if (type == nullptr) return -1;
    function_type = reinterpret_cast<PyTypeObject *>(type);
    return 0;
}

PyObject *make_function(const FunctionDescription &function) {
    Ref annotations = Ref::steal(make_annotations(function));
    if (!annotations) return nullptr;
    Ref code = Ref::steal(make_code_object(function));
    if (!code) return nullptr;
    FunctionObject *f = PyObject_GC_New(FunctionObject, function_type);
    if (f == nullptr) return nullptr;
    f->vectorcall = function.nparams == 0 ? call_without_arguments : call_function;
    f->description = &function;
    f->name = Py_NewRef(name_object(function));
    f->qualname = Py_NewRef(name_object(function));
    f->module = Py_NewRef(strings.module_name);
    f->doc = nullptr;
    f->defaults = Py_NewRef(function.nrequired < function.nparams ? defaults_none : Py_None);
    f->kwdefaults = Py_NewRef(Py_None);
    f->annotations = annotations.release();
    f->code = code.release();
    f->dict = nullptr;
    PyObject *self = reinterpret_cast<PyObject *>(f);
    PyObject_GC_Track(self);
    f->doc = function.doc != nullptr ? PyUnicode_FromString(function.doc) : Py_NewRef(Py_None);
    if (f->doc == nullptr) {
        Py_DECREF(self);
        return nullptr;
    }
    return self;
}

}  // namespace cw
