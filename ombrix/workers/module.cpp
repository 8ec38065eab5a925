// module.cpp: the module definition, its create and exec steps, the constant
// table, the code objects, traceback entries and module-global lookup.
#include "custom_worker.hpp"

#include <frameobject.h>
#include <opcode.h>

#include <cstring>

namespace cw {

ModuleRecord g;

namespace {

const char kModuleDoc[] =
    "Custom Worker \xe2\x80\x94 executes dynamically-created tool scripts in a subprocess.\n"
    "\n"
    "Protocol: JSON over stdin/stdout (one line per message).\n"
    "\n"
    "This worker is used when Ilvane creates new tools at runtime. It:\n"
    "  1. Receives a script path or inline code\n"
    "  2. Executes it in an isolated namespace\n"
    "  3. Returns the result\n"
    "\n"
    "Supported actions:\n"
    "  - run_script: Execute a Python script file\n"
    "  - run_inline: Execute inline Python code\n"
    "  - run_function: Execute a specific function from a script\n"
    "  - validate: Check if a script is valid Python\n"
    "  - quit: Shut down the worker\n";

const char *const kTracebackNames[kFnCount] = {
    "ombrix.workers.custom_worker.run_script",
    "ombrix.workers.custom_worker.run_inline",
    "ombrix.workers.custom_worker.run_function",
    "ombrix.workers.custom_worker.validate_script",
    "ombrix.workers.custom_worker._serialize",
    "ombrix.workers.custom_worker.handle_command",
    "ombrix.workers.custom_worker.handle_command.lambda",
    "ombrix.workers.custom_worker.handle_command.lambda1",
    "ombrix.workers.custom_worker.handle_command.lambda2",
    "ombrix.workers.custom_worker.handle_command.lambda3",
    "ombrix.workers.custom_worker.main",
    "init ombrix.workers.custom_worker",
};

}  // namespace

// ---------------------------------------------------------------------------
// Traceback entries
// ---------------------------------------------------------------------------

void add_traceback(Fn fn, int line) {
    const int f = static_cast<int>(fn);
    // PyFrame_New and PyCode_NewEmpty must not run with an exception pending,
    // and a failure while making the entry must not replace the exception
    // being reported: set it aside until the frame exists.
    PyObject *exc = PyErr_GetRaisedException();
    PyCodeObject *code = nullptr;
    const bool cacheable = line >= 0 && line < kMaxLine;
    if (cacheable && g.tb_code[f][line] != nullptr) {
        code = reinterpret_cast<PyCodeObject *>(Py_NewRef(g.tb_code[f][line]));
    } else {
        code = PyCode_NewEmpty(kFileName, kTracebackNames[f], line);
        if (code != nullptr && cacheable) {
            g.tb_code[f][line] = reinterpret_cast<PyCodeObject *>(Py_NewRef(code));
        }
    }
    PyFrameObject *frame = nullptr;
    if (code != nullptr && g.module_dict != nullptr) {
        // The code object's first line is `line` and it has no instruction
        // executed yet, so the frame's current line is `line`.
        frame = PyFrame_New(PyThreadState_Get(), code, g.module_dict, nullptr);
    }
    Py_XDECREF(code);
    if (frame == nullptr) PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

// ---------------------------------------------------------------------------
// Module-global lookup
// ---------------------------------------------------------------------------

// Lookups that found their name in the module dict are remembered until the
// dict next changes: a dict watcher forgets them all on any change, so
// rebinding a module attribute still takes effect at its next use.  The
// values are borrowed: the dict holds them, and it cannot drop one without
// the watcher hearing of it first.
namespace {

struct CachedGlobal {
    PyObject *name;
    PyObject *value;
};
constexpr int kGlobalCacheSize = 32;
CachedGlobal global_cache[kGlobalCacheSize];
int global_cache_used = 0;
int dict_watcher = -1;
bool watching = false;

int forget_globals(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) {
    global_cache_used = 0;
    return 0;
}

}  // namespace

// Starts watching the module dict for the lookup cache (exec step).
static int watch_module_dict() {
    global_cache_used = 0;
    watching = false;
    if (dict_watcher < 0) {
        dict_watcher = PyDict_AddWatcher(forget_globals);
        if (dict_watcher < 0) return -1;
    }
    if (PyDict_Watch(dict_watcher, g.module_dict) < 0) return -1;
    watching = true;
    return 0;
}

PyObject *get_global(PyObject *name) {
    if (g.module_dict == nullptr) {
        // Only a function kept from a failed import gets here.
        PyErr_SetString(PyExc_ImportError, "module 'ombrix.workers.custom_worker' failed to initialise");
        return nullptr;
    }
    for (int i = 0; i < global_cache_used; ++i) {
        if (global_cache[i].name == name) return Py_NewRef(global_cache[i].value);
    }
    PyObject *value = PyDict_GetItemWithError(g.module_dict, name);
    if (value != nullptr) {
        if (watching && global_cache_used < kGlobalCacheSize) {
            global_cache[global_cache_used++] = {name, value};
        }
        return Py_NewRef(value);
    }
    if (PyErr_Occurred()) return nullptr;
    value = PyObject_GetAttr(g.builtins, name);
    if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;
}

PyObject *get_module_attr(PyObject *obj, PyObject *attr) {
    if (Py_IS_TYPE(obj, &PyModule_Type)) {
        // A plain module has no data descriptor under these names, so the
        // attribute is its dict entry; a miss takes the general path.
        PyObject *value = PyDict_GetItemWithError(PyModule_GetDict(obj), attr);
        if (value != nullptr) return Py_NewRef(value);
        if (PyErr_Occurred()) return nullptr;
    }
    return PyObject_GetAttr(obj, attr);
}

int set_module_attr(PyObject *obj, PyObject *attr, PyObject *value) {
    if (Py_IS_TYPE(obj, &PyModule_Type)) return PyDict_SetItem(PyModule_GetDict(obj), attr, value);
    return PyObject_SetAttr(obj, attr, value);
}

PyObject *call_global(PyObject *name, PyObject *const *args, size_t nargs) {
    Ref func = Ref::steal(get_global(name));
    if (!func) return nullptr;
    return PyObject_Vectorcall(func.get(), args, nargs, nullptr);
}

PyObject *format_simple(PyObject *value) {
    if (PyUnicode_CheckExact(value)) return Py_NewRef(value);
    return PyObject_Format(value, g.empty_str);
}

PyObject *join_texts(PyObject *const *pieces, int n) {
    Py_ssize_t length = 0;
    Py_UCS4 max_char = 0;
    for (int i = 0; i < n; ++i) {
        const Py_ssize_t len = PyUnicode_GET_LENGTH(pieces[i]);
        if (len > PY_SSIZE_T_MAX - length) return PyErr_NoMemory();
        length += len;
        const Py_UCS4 piece_max = PyUnicode_MAX_CHAR_VALUE(pieces[i]);
        if (piece_max > max_char) max_char = piece_max;
    }
    Ref joined = Ref::steal(PyUnicode_New(length, max_char));
    if (!joined) return nullptr;
    const int kind = PyUnicode_KIND(joined.get());
    char *data = static_cast<char *>(PyUnicode_DATA(joined.get()));
    Py_ssize_t at = 0;
    for (int i = 0; i < n; ++i) {
        const Py_ssize_t len = PyUnicode_GET_LENGTH(pieces[i]);
        if (len == 0) continue;
        if (PyUnicode_KIND(pieces[i]) == kind) {
            // Same width: a plain copy of the code units.
            std::memcpy(data + at * kind, PyUnicode_DATA(pieces[i]), static_cast<size_t>(len) * kind);
        } else if (PyUnicode_CopyCharacters(joined.get(), at, pieces[i], 0, len) < 0) {
            return nullptr;
        }
        at += len;
    }
    return joined.release();
}

namespace {

// ---------------------------------------------------------------------------
// Create step
// ---------------------------------------------------------------------------

// Copies spec.<from> into the module dict as <to>; a missing attribute is
// skipped, a None value is copied unless `skip_none`.
int copy_spec_attr(PyObject *spec, PyObject *dict, const char *from, const char *to,
                   bool skip_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (skip_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(dict, to, value.get());
}

PyObject *create_module(PyObject *spec, PyModuleDef *) {
    int64_t id = PyInterpreterState_GetID(PyThreadState_GetInterpreter(PyThreadState_Get()));
    if (id == -1 && PyErr_Occurred()) return nullptr;
    if (g.main_interpreter_id == -1) {
        g.main_interpreter_id = id;
    } else if (id != g.main_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded "
                        "into one interpreter per process.");
        return nullptr;
    }
    if (g.module != nullptr) return Py_NewRef(g.module);

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject *dict = PyModule_GetDict(module.get());
    if (dict == nullptr) return nullptr;
    if (copy_spec_attr(spec, dict, "loader", "__loader__", false) < 0 ||
        copy_spec_attr(spec, dict, "origin", "__file__", false) < 0 ||
        copy_spec_attr(spec, dict, "parent", "__package__", false) < 0 ||
        copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", true) < 0) {
        return nullptr;
    }
    return module.release();
}

// ---------------------------------------------------------------------------
// Exec step: constants
// ---------------------------------------------------------------------------

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

int build_constants() {
    if (g.empty_tuple == nullptr && (g.empty_tuple = PyTuple_New(0)) == nullptr) return -1;
    if (g.empty_bytes == nullptr && (g.empty_bytes = PyBytes_FromStringAndSize("", 0)) == nullptr)
        return -1;
    if (g.empty_str == nullptr && (g.empty_str = PyUnicode_FromStringAndSize("", 0)) == nullptr)
        return -1;
    if (g.strings_ready) return 0;
#define CW_MAKE_ID(field, text) \
    if (make_text(&g.s.field, text, true) < 0) return -1;
#define CW_MAKE_TEXT(field, text) \
    if (make_text(&g.s.field, text, false) < 0) return -1;
    CW_IDENTIFIERS(CW_MAKE_ID)
    CW_TEXTS(CW_MAKE_TEXT)
#undef CW_MAKE_ID
#undef CW_MAKE_TEXT
    g.strings_ready = true;
    return 0;
}

// One code object per function.  Their bytecode only raises AssertionError,
// so a code object taken from a function and executed does no harm; the
// location table maps its three instructions to the first line.
struct CodeShape {
    PyObject *Strings::*name;
    int first_line;
    int argcount;
    const char *const *locals;  // null-terminated
};

const char *const kRunScriptLocals[] = {"path", "args", "p", "old_stdout", "old_stderr",
                                        "captured_out", "captured_err", "namespace", "code",
                                        "result", "e", nullptr};
const char *const kRunInlineLocals[] = {"code", "args", "old_stdout", "old_stderr", "captured_out",
                                        "captured_err", "namespace", "result", "e", nullptr};
const char *const kRunFunctionLocals[] = {"path", "function_name", "args", "p", "spec", "module",
                                          "func", "available", "result", "e", "n", nullptr};
const char *const kValidateLocals[] = {"code", "e", nullptr};
const char *const kSerializeLocals[] = {"obj", "item", "k", "v", nullptr};
const char *const kHandleCommandLocals[] = {"cmd", "action", "handlers", "handler", nullptr};
const char *const kNoLocals[] = {nullptr};
const char *const kMainLocals[] = {"line", "cmd", "e", "response", nullptr};

const CodeShape kCodeShapes[kCodeCount] = {
    {&Strings::run_script, 29, 2, kRunScriptLocals},
    {&Strings::run_inline, 82, 2, kRunInlineLocals},
    {&Strings::run_function, 121, 3, kRunFunctionLocals},
    {&Strings::validate_script, 166, 1, kValidateLocals},
    {&Strings::_serialize, 186, 1, kSerializeLocals},
    {&Strings::handle_command, 199, 1, kHandleCommandLocals},
    {&Strings::lambda, 207, 0, kNoLocals},
    {&Strings::lambda, 208, 0, kNoLocals},
    {&Strings::lambda, 209, 0, kNoLocals},
    {&Strings::lambda, 214, 0, kNoLocals},
    {&Strings::main, 224, 0, kMainLocals},
};

PyObject *make_code_object(const CodeShape &shape, PyObject *bytecode, PyObject *linetable) {
    Py_ssize_t nlocals = 0;
    while (shape.locals[nlocals] != nullptr) ++nlocals;
    Ref varnames = Ref::steal(PyTuple_New(nlocals));
    if (!varnames) return nullptr;
    for (Py_ssize_t i = 0; i < nlocals; ++i) {
        PyObject *name = PyUnicode_InternFromString(shape.locals[i]);
        if (name == nullptr) return nullptr;
        PyTuple_SET_ITEM(varnames.get(), i, name);
    }
    PyObject *name = g.s.*shape.name;
    return reinterpret_cast<PyObject *>(PyUnstable_Code_New(
        shape.argcount, 0, static_cast<int>(nlocals), 1, CO_OPTIMIZED | CO_NEWLOCALS, bytecode,
        g.empty_tuple, g.empty_tuple, varnames.get(), g.empty_tuple, g.empty_tuple, g.s.file_name,
        name, name, shape.first_line, linetable, g.empty_bytes));
}

int build_code_objects() {
    if (g.code[kCodeCount - 1] != nullptr) return 0;
    static const char kBytecode[] = {static_cast<char>(RESUME), 0,
                                     static_cast<char>(LOAD_ASSERTION_ERROR), 0,
                                     static_cast<char>(RAISE_VARARGS), 1};
    // One location entry without columns, three code units long, line delta 0.
    static const char kLineTable[] = {
        static_cast<char>(0x80 | (PY_CODE_LOCATION_INFO_NO_COLUMNS << 3) | (3 - 1)), 0};
    Ref bytecode = Ref::steal(PyBytes_FromStringAndSize(kBytecode, sizeof kBytecode));
    if (!bytecode) return -1;
    Ref linetable = Ref::steal(PyBytes_FromStringAndSize(kLineTable, sizeof kLineTable));
    if (!linetable) return -1;
    for (int i = 0; i < kCodeCount; ++i) {
        if (g.code[i] != nullptr) continue;
        g.code[i] = make_code_object(kCodeShapes[i], bytecode.get(), linetable.get());
        if (g.code[i] == nullptr) return -1;
    }
    return 0;
}

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
    return PyImport_ImportModuleLevelObject(name, g.module_dict, locals.get(), nullptr, 0);
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
    module = Ref::steal(PyImport_ImportModuleLevelObject(module_name, g.module_dict, locals.get(),
                                                         fromlist.get(), 0));
    if (!module) return nullptr;
    PyObject *value = PyObject_GetAttr(module.get(), attr);
    if (value != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    // A submodule that is imported but not (yet) an attribute of its package.
    PyErr_Clear();
    Ref own_name = Ref::steal(PyModule_GetNameObject(module.get()));
    Ref with_dot = own_name ? Ref::steal(PyUnicode_Concat(own_name.get(), g.s.dot)) : Ref();
    Ref full = with_dot ? Ref::steal(PyUnicode_Concat(with_dot.get(), attr)) : Ref();
    value = full ? PyDict_GetItemWithError(modules, full.get()) : nullptr;
    if (value != nullptr) return Py_NewRef(value);
    PyErr_Format(PyExc_ImportError, "cannot import name %S", attr);
    return nullptr;
}

int bind(PyObject *name, PyObject *value) {
    if (value == nullptr) return -1;
    int rc = PyDict_SetItem(g.module_dict, name, value);
    Py_DECREF(value);
    return rc;
}

// Annotations of each exported function, as plain strings, in key order.
PyObject *make_annotations(int index) {
    Ref ann = Ref::steal(PyDict_New());
    if (!ann) return nullptr;
    struct Pair {
        PyObject *key, *value;
    };
    const Strings &s = g.s;
    Pair pairs[4] = {};
    int n = 0;
    switch (index) {
        case 0: pairs[n++] = {s.path, s.str}; pairs[n++] = {s.args, s.dict_or_none}; pairs[n++] = {s.return_, s.dict}; break;
        case 1: pairs[n++] = {s.code, s.str}; pairs[n++] = {s.args, s.dict_or_none}; pairs[n++] = {s.return_, s.dict}; break;
        case 2:
            pairs[n++] = {s.path, s.str};
            pairs[n++] = {s.function_name, s.str};
            pairs[n++] = {s.args, s.dict_or_none};
            pairs[n++] = {s.return_, s.dict};
            break;
        case 3: pairs[n++] = {s.code, s.str}; pairs[n++] = {s.return_, s.dict}; break;
        case 5: pairs[n++] = {s.cmd, s.dict}; pairs[n++] = {s.return_, s.dict}; break;
        default: break;
    }
    for (int i = 0; i < n; ++i) {
        if (PyDict_SetItem(ann.get(), pairs[i].key, pairs[i].value) < 0) return nullptr;
    }
    return ann.release();
}

int define_function(int index) {
    Ref ann = Ref::steal(make_annotations(index));
    if (!ann) return -1;
    PyObject *fn = make_function(index, ann.get());
    if (fn == nullptr) return -1;
    PyObject *name = PyObject_GetAttr(fn, g.s.dunder_name);
    if (name == nullptr) {
        Py_DECREF(fn);
        return -1;
    }
    int rc = bind(name, fn);
    Py_DECREF(name);
    return rc;
}

int run_main_guard() {
    Ref name = Ref::steal(get_global(g.s.dunder_name));
    if (!name) return -1;
    int is_main = PyObject_RichCompareBool(name.get(), g.s.dunder_main, Py_EQ);
    if (is_main <= 0) return is_main;
    Ref result = Ref::steal(call_global(g.s.main, nullptr, 0));
    return result ? 0 : -1;
}

// Runs the module-level statements; on failure returns the statement's line.
int run_statements() {
    const Strings &s = g.s;
    if (bind(s.importlib, import_module(s.importlib_util)) < 0) return 19;
    if (bind(s.json, import_module(s.json)) < 0) return 20;
    if (bind(s.os, import_module(s.os)) < 0) return 21;
    if (bind(s.signal, import_module(s.signal)) < 0) return 22;
    if (bind(s.sys, import_module(s.sys)) < 0) return 23;
    if (bind(s.traceback, import_module(s.traceback)) < 0) return 24;
    if (bind(s.StringIO, import_from(s.io, s.StringIO)) < 0) return 25;
    if (bind(s.Path, import_from(s.pathlib, s.Path)) < 0) return 26;
    static const int kDefinitionLines[kFunctionCount] = {29, 82, 121, 166, 186, 199, 224};
    for (int i = 0; i < kFunctionCount; ++i) {
        if (define_function(i) < 0) return kDefinitionLines[i];
    }
    if (run_main_guard() < 0) return 248;
    if (bind(s.dunder_test, PyDict_New()) < 0) return 1;
    return 0;
}

// Steps 6 to 10 of the exec step: the runtime pieces that need the constants.
int prepare_runtime(PyObject *module) {
    if (ready_function_type() < 0) return -1;
    PyObject *modules = PyImport_GetModuleDict();
    int present = PyDict_Contains(modules, g.s.module_name);
    if (present < 0) return -1;
    if (present == 0 && PyDict_SetItem(modules, g.s.module_name, module) < 0) return -1;
    if (g.compile == nullptr) {
        g.compile = PyObject_GetAttr(g.builtins, g.s.compile);
        if (g.compile == nullptr) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", g.s.compile);
            }
            return -1;
        }
    }
    if (g.defaults_none == nullptr && (g.defaults_none = PyTuple_Pack(1, Py_None)) == nullptr)
        return -1;
    if (build_code_objects() < 0) return -1;
    if (ready_closure_type() < 0) return -1;
    return watch_module_dict();
}

// Steps 2 to 11 of the exec step.  Returns 0, or -1 with an exception set.
int exec_body(PyObject *module) {
    g.module = Py_NewRef(module);
    PyObject *dict = PyModule_GetDict(module);
    if (dict == nullptr) return -1;
    g.module_dict = Py_NewRef(dict);
    if (g.builtins == nullptr) {
        PyObject *builtins = PyImport_AddModule("builtins");
        if (builtins == nullptr) return -1;
        g.builtins = Py_NewRef(builtins);
    }
    if (PyDict_SetItemString(dict, "__builtins__", g.builtins) < 0) return -1;
    if (warn_on_version_mismatch() < 0) return -1;
    if (build_constants() < 0) return -1;
    // From here on a failure carries an "init" traceback entry at the line of
    // the failing statement (line 1 for the runtime pieces).
    const int line = prepare_runtime(module) < 0 ? 1 : run_statements();
    if (line == 0) return 0;
    add_traceback(Fn::Init, line);
    return -1;
}

int exec_module(PyObject *module) {
    if (g.module != nullptr) {
        if (g.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'custom_worker' has already been imported. Re-initialisation "
                        "is not supported.");
        return -1;
    }
    if (exec_body(module) == 0) return 0;
    Py_CLEAR(g.module);
    Py_CLEAR(g.module_dict);
    return -1;
}

PyMethodDef kNoMethods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot kSlots[] = {
    {Py_mod_create, reinterpret_cast<void *>(create_module)},
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "custom_worker",
    kModuleDoc,
    0,
    kNoMethods,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace cw

PyMODINIT_FUNC PyInit_custom_worker(void) { return PyModuleDef_Init(&cw::kModuleDef); }
