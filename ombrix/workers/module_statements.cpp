// module_statements.cpp: what the exec step runs inside the module: the
// constant table, the module-level statements (imports, the functions'
// definitions, the main guard) and the runtime pieces they need.
#include "custom_worker.hpp"
#include "function_table.hpp"

namespace cw {

// ---------------------------------------------------------------------------
// Exec step: constants
// ---------------------------------------------------------------------------

// The warning names 3.12, the interpreter the module is written and built
// for; micro version and release level are not compared.
int warn_on_version_mismatch() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == 3 && minor == 12) return 0;
    char text[200];
    PyOS_snprintf(text, sizeof text,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  3, 12, "ombrix.workers.custom_worker", "does not match", major, minor);
    return PyErr_WarnEx(nullptr, text, 1);
}

namespace {

int make_text(PyObject **slot, const char *text, bool intern) {
    if (*slot != nullptr) return 0;
    PyObject *s = intern ? PyUnicode_InternFromString(text) : PyUnicode_FromString(text);
    if (s == nullptr) return -1;
    if (PyObject_Hash(s) == -1) {
        Py_DECREF(s);
        return -1;
    }
    *slot = s;
    return 0;
}

}  // namespace

// Fills the constant table; entries made by an earlier, failed exec are kept.
int build_constants() {
    ModuleRecord &record = module_record;
    if (record.empty_tuple == nullptr && (record.empty_tuple = PyTuple_New(0)) == nullptr)
        return -1;
    if (record.empty_bytes == nullptr &&
        (record.empty_bytes = PyBytes_FromStringAndSize("", 0)) == nullptr)
        return -1;
    if (record.empty_str == nullptr &&
        (record.empty_str = PyUnicode_FromStringAndSize("", 0)) == nullptr)
        return -1;
#define CW_MAKE_ID(field, text) \
    if (make_text(&strings.field, text, true) < 0) return -1;
#define CW_MAKE_TEXT(field, text) \
    if (make_text(&strings.field, text, false) < 0) return -1;
    CW_IDENTIFIERS(CW_MAKE_ID)
    CW_TEXTS(CW_MAKE_TEXT)
#undef CW_MAKE_ID
#undef CW_MAKE_TEXT
    for (std::size_t i = 0; i < kFunctionCount; ++i) {
        if (make_text(&function_names[i], kDefinitionOrder[i]->name, true) < 0) return -1;
    }
    return 0;
}

namespace {

// ---------------------------------------------------------------------------
// Exec step: module-level statements
// ---------------------------------------------------------------------------

// `import <name>`: binds and returns the top-level package.
PyObject *import_module(PyObject *name) {
    PyObject *modules = PyImport_GetModuleDict();
    PyObject *found = PyDict_GetItemWithError(modules, name);
    if (found == nullptr && PyErr_Occurred()) return nullptr;
    if (found != nullptr) {
        Py_ssize_t dot = PyUnicode_FindChar(name, '.', 0, PyUnicode_GET_LENGTH(name), 1);
        if (dot == -2) return nullptr;
        if (dot < 0) return Py_NewRef(found);
        Ref top = Ref::steal(PyUnicode_Substring(name, 0, dot));
        if (!top) return nullptr;
        PyObject *package = PyDict_GetItemWithError(modules, top.get());
        if (package != nullptr) return Py_NewRef(package);
        if (PyErr_Occurred()) return nullptr;
    }
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return nullptr;
    return PyImport_ImportModuleLevelObject(name, module_record.module_dict, locals.get(), nullptr, 0);
}

// `from <module_name> import <attr>`: returns the attribute's value.  A
// module already in sys.modules is used when it has the attribute.
PyObject *import_from(PyObject *module_name, PyObject *attr) {
    PyObject *modules = PyImport_GetModuleDict();
    Ref module = Ref::borrow(PyDict_GetItemWithError(modules, module_name));
    if (!module && PyErr_Occurred()) return nullptr;
    if (module) {
        PyObject *value = PyObject_GetAttr(module.get(), attr);
        if (value != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
        PyErr_Clear();
    }
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return nullptr;
    Ref fromlist = Ref::steal(PyTuple_Pack(1, attr));
    if (!fromlist) return nullptr;
    module = Ref::steal(PyImport_ImportModuleLevelObject(module_name, module_record.module_dict, locals.get(),
                                                         fromlist.get(), 0));
    if (!module) return nullptr;
    PyObject *value = PyObject_GetAttr(module.get(), attr);
    if (value != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    // A submodule that is imported but not (yet) an attribute of its package.
    PyErr_Clear();
    Ref own_name = Ref::steal(PyModule_GetNameObject(module.get()));
    Ref with_dot = own_name ? Ref::steal(PyUnicode_Concat(own_name.get(), strings.dot)) : Ref();
    Ref full = with_dot ? Ref::steal(PyUnicode_Concat(with_dot.get(), attr)) : Ref();
    value = full ? PyDict_GetItemWithError(modules, full.get()) : nullptr;
    if (value != nullptr) return Py_NewRef(value);
    PyErr_Format(PyExc_ImportError, "cannot import name %S", attr);
    return nullptr;
}

// The exec step's traceback entries carry this name and the line of the
// module-level statement that failed.
constexpr const char *kInitTracebackName = "init ombrix.workers.custom_worker";
// The line of the failing statement when the runtime pieces or the final
// `__test__` binding fail.
constexpr int kFirstLine = 1;
constexpr int kMainGuardLine = 248;

// The module's imports, in order: `import <module>` binds the top-level
// package under `bound`; `from <module> import <attr>` binds the attribute.
struct ImportStatement {
    int line;
    PyObject *Strings::*bound;
    PyObject *Strings::*module;
    PyObject *Strings::*attr;  // null: a plain import
};

const ImportStatement kImports[] = {
    {19, &Strings::importlib, &Strings::importlib_util, nullptr},
    {20, &Strings::json, &Strings::json, nullptr},
    {21, &Strings::os, &Strings::os, nullptr},
    {22, &Strings::signal, &Strings::signal, nullptr},
    {23, &Strings::sys, &Strings::sys, nullptr},
    {24, &Strings::traceback, &Strings::traceback, nullptr},
    {25, &Strings::StringIO, &Strings::io, &Strings::StringIO},
    {26, &Strings::Path, &Strings::pathlib, &Strings::Path},
};

// Binds `value` (a new reference, or null after a failure) in the module dict.
int bind(PyObject *name, PyObject *value) {
    if (value == nullptr) return -1;
    int rc = PyDict_SetItem(module_record.module_dict, name, value);
    Py_DECREF(value);
    return rc;
}

int run_import(const ImportStatement &statement) {
    PyObject *module = strings.*statement.module;
    PyObject *value = statement.attr == nullptr ? import_module(module)
                                                : import_from(module, strings.*statement.attr);
    return bind(strings.*statement.bound, value);
}

int define_function(const FunctionDescription &function) {
    PyObject *fn = make_function(function);
    if (fn == nullptr) return -1;
    PyObject *name = PyObject_GetAttr(fn, strings.dunder_name);
    if (name == nullptr) {
        Py_DECREF(fn);
        return -1;
    }
    int rc = bind(name, fn);
    Py_DECREF(name);
    return rc;
}

int run_main_guard() {
    Ref name = Ref::steal(get_global(strings.dunder_name));
    if (!name) return -1;
    int is_main = PyObject_RichCompareBool(name.get(), strings.dunder_main, Py_EQ);
    if (is_main <= 0) return is_main;
    Ref result = Ref::steal(call_global(name_object(kFunctions.main), nullptr, 0));
    return result ? 0 : -1;
}

// Bound after the module-level statements, for the pool's worker start-up.
PyMethodDef kPrivateFunctions[] = {
    {"_limit_output", limit_output, METH_O,
     "_limit_output($module, limit, /)\n--\n\n"
     "Bound the characters that run_script and run_inline capture in one request."},
    {"_mark_answers", mark_answers, METH_NOARGS,
     "_mark_answers($module, /)\n--\n\n"
     "End the answer to a request with a str field \"_mark\" with a line holding the mark."},
    {nullptr, nullptr, 0, nullptr},
};

// Runs the module-level statements; on failure returns the statement's line.
int run_statements() {
    for (const ImportStatement &statement : kImports) {
        if (run_import(statement) < 0) return statement.line;
    }
    for (const FunctionDescription *function : kDefinitionOrder) {
        if (define_function(*function) < 0) return function->first_line;
    }
    if (run_main_guard() < 0) return kMainGuardLine;
    if (bind(strings.dunder_test, PyDict_New()) < 0) return kFirstLine;
    if (PyModule_AddFunctions(module_record.module, kPrivateFunctions) < 0) return kFirstLine;
    return 0;
}

// The pieces the functions need at run time, made once the constants exist:
// the function type, the module's entry in sys.modules (so the main guard
// and the functions' lookups find it), the builtin compile, the request
// record type and the global-lookup cache.
int prepare_runtime(PyObject *module) {
    if (ready_function_type() < 0) return -1;
    PyObject *modules = PyImport_GetModuleDict();
    int present = PyDict_Contains(modules, strings.module_name);
    if (present < 0) return -1;
    if (present == 0 && PyDict_SetItem(modules, strings.module_name, module) < 0) return -1;
    if (module_record.compile == nullptr) {
        module_record.compile = PyObject_GetAttr(module_record.builtins, strings.compile);
        if (module_record.compile == nullptr) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", strings.compile);
            }
            return -1;
        }
    }
    if (ready_request_record_type() < 0) return -1;
    return watch_module_dict();
}

}  // namespace

int run_module_statements(PyObject *module) {
    // A failure carries an entry at the line of the failing statement (the
    // first line for the runtime pieces).
    const int line = prepare_runtime(module) < 0 ? kFirstLine : run_statements();
    if (line == 0) return 0;
    add_traceback(kInitTracebackName, line);
    return -1;
}

}  // namespace cw
