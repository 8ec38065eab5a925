// custom_worker.hpp: shared core of the custom_worker extension module.
//
// Declares what every source file of the module uses: the owned-reference
// handle `Ref`, the constant table, the process-wide module record, the
// traceback-entry helper, module-global lookup and the text helpers.  The
// exported functions and their bodies are declared with their table
// (function_table.hpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <utility>

namespace cw {

// ---------------------------------------------------------------------------
// Ref: the one owning handle for PyObject references.
//
// Rules of use:
//  * A Ref owns exactly one strong reference, or nothing (null).
//  * `Ref::steal(p)` adopts a new reference, typically the result of a C API
//    call that returns one; a null `p` (the call failed) gives a null Ref.
//  * `Ref::borrow(p)` takes a new strong reference to a borrowed pointer.
//  * `get()` lends the pointer without giving up ownership; `release()`
//    hands the reference to the caller (e.g. to return it, or for an API
//    such as PyList_SET_ITEM that steals).
//  * Refs are moved, never copied, so a reference cannot be released twice.
// Every error path can simply return: the destructors drop what is held.
// ---------------------------------------------------------------------------
class Ref {
public:
    Ref() noexcept = default;
    ~Ref() { Py_XDECREF(p_); }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept {
        if (this != &other) {
            PyObject *old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }

    static Ref steal(PyObject *p) noexcept { return Ref(p); }
    static Ref borrow(PyObject *p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject *get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    PyObject *release() noexcept {
        PyObject *p = p_;
        p_ = nullptr;
        return p;
    }
    // Drops the current reference and adopts `p` (a new reference or null).
    void reset(PyObject *p = nullptr) noexcept {
        PyObject *old = p_;
        p_ = p;
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    PyObject *p_ = nullptr;
};

// ---------------------------------------------------------------------------
// Constant table: every name and literal text the functions use, created once
// by the exec step.  Identifiers are interned; literal texts are plain str.
// ---------------------------------------------------------------------------
#define CW_IDENTIFIERS(X)                                                     \
    X(path, "path")                                                           \
    X(args, "args")                                                           \
    X(code, "code")                                                           \
    X(function_name, "function_name")                                         \
    X(obj, "obj")                                                             \
    X(cmd, "cmd")                                                             \
    X(script_main, "main")                                                    \
    X(return_, "return")                                                      \
    X(str, "str")                                                             \
    X(dict, "dict")                                                           \
    X(success, "success")                                                     \
    X(result, "result")                                                       \
    X(error, "error")                                                         \
    X(output, "output")                                                       \
    X(errors, "errors")                                                       \
    X(return_value, "return_value")                                           \
    X(valid, "valid")                                                         \
    X(message, "message")                                                     \
    X(line, "line")                                                           \
    X(offset, "offset")                                                       \
    X(action, "action")                                                       \
    X(quit, "quit")                                                           \
    X(validate, "validate")                                                   \
    X(function, "function")                                                   \
    X(goodbye, "goodbye")                                                     \
    X(Path, "Path")                                                           \
    X(StringIO, "StringIO")                                                   \
    X(importlib, "importlib")                                                 \
    X(importlib_util, "importlib.util")                                       \
    X(util, "util")                                                           \
    X(json, "json")                                                           \
    X(os, "os")                                                               \
    X(signal, "signal")                                                       \
    X(sys, "sys")                                                             \
    X(traceback, "traceback")                                                 \
    X(io, "io")                                                               \
    X(pathlib, "pathlib")                                                     \
    X(compile, "compile")                                                     \
    X(exec, "exec")                                                           \
    X(expanduser, "expanduser")                                               \
    X(resolve, "resolve")                                                     \
    X(exists, "exists")                                                       \
    X(read_text, "read_text")                                                 \
    X(get_data, "get_data")                                                   \
    X(encoding, "encoding")                                                   \
    X(stdout, "stdout")                                                       \
    X(stderr, "stderr")                                                       \
    X(stdin, "stdin")                                                         \
    X(getvalue, "getvalue")                                                   \
    X(format_exc, "format_exc")                                               \
    X(loader, "loader")                                                       \
    X(spec_from_file_location, "spec_from_file_location")                     \
    X(module_from_spec, "module_from_spec")                                   \
    X(exec_module, "exec_module")                                             \
    X(custom_module, "custom_module")                                         \
    X(startswith, "startswith")                                               \
    X(underscore, "_")                                                        \
    X(lineno, "lineno")                                                       \
    X(msg, "msg")                                                             \
    X(items, "items")                                                         \
    X(add_note, "add_note")                                                   \
    X(strip, "strip")                                                         \
    X(loads, "loads")                                                         \
    X(dumps, "dumps")                                                         \
    X(JSONDecodeError, "JSONDecodeError")                                     \
    X(write, "write")                                                         \
    X(flush, "flush")                                                         \
    X(get, "get")                                                             \
    X(SIGINT, "SIGINT")                                                       \
    X(SIG_IGN, "SIG_IGN")                                                     \
    X(dunder_name, "__name__")                                                \
    X(dunder_file, "__file__")                                                \
    X(dunder_builtins, "__builtins__")                                        \
    X(dunder_main, "__main__")                                                \
    X(dunder_test, "__test__")                                                \
    X(session, "session")                                                     \
    X(execute, "execute")                                                     \
    X(upload, "upload")                                                       \
    X(download, "download")                                                   \
    X(module_name, "ombrix.workers.custom_worker")

#define CW_TEXTS(X)                                                           \
    X(colon_space, ": ")                                                      \
    X(newline, "\n")                                                          \
    X(quote, "'")                                                             \
    X(function_quote, "Function '")                                          \
    X(not_found_available, "' not found. Available: ")                        \
    X(is_not_callable, "' is not callable")                                   \
    X(cannot_load, "Cannot load module from: ")                               \
    X(script_not_found, "Script not found: ")                                 \
    X(utf_8, "utf-8")                                                         \
    X(inline_filename, "<inline>")                                            \
    X(validation_filename, "<validation>")                                    \
    X(script_is_valid, "Script is valid Python")                              \
    X(syntax_error_at_line, "Syntax error at line ")                          \
    X(unknown_action, "Unknown action: ")                                     \
    X(invalid_json, "Invalid JSON: ")                                         \
    X(dict_or_none, "dict | None")                                            \
    X(dot, ".")                                                               \
    X(file_name, "ombrix/workers/custom_worker")                               \
    X(subclass_note,                                                          \
      "Instances of subclasses of built-in types are rejected here: this "    \
      "module checks argument types more strictly than PEP 484 requires.")

struct Strings {
#define CW_FIELD(field, text) PyObject *field;
    CW_IDENTIFIERS(CW_FIELD)
    CW_TEXTS(CW_FIELD)
#undef CW_FIELD
};

// The constant table, filled by the exec step; alive until the process ends.
extern Strings strings;

// ---------------------------------------------------------------------------
// Process-wide module record.  Written by the create and exec steps only;
// alive until the process ends.
// ---------------------------------------------------------------------------
struct ModuleRecord {
    PyObject *module = nullptr;       // strong; null until exec, or after a failed exec
    PyObject *module_dict = nullptr;  // strong
    PyObject *builtins = nullptr;     // strong: the `builtins` module
    PyObject *empty_tuple = nullptr;
    PyObject *empty_bytes = nullptr;
    PyObject *empty_str = nullptr;
    PyObject *compile = nullptr;      // builtins.compile, fetched once
};

extern ModuleRecord module_record;

// ---------------------------------------------------------------------------
// The exec step's work inside the module (module_statements.cpp)
// ---------------------------------------------------------------------------

// Warns when the running interpreter is not the one the module is built for.
int warn_on_version_mismatch();

// Fills the constant table; entries made by an earlier, failed exec are kept.
int build_constants();

// Prepares the runtime pieces and runs the module-level statements.  0, or
// -1 with an exception whose traceback names the failing statement's line.
int run_module_statements(PyObject *module);

// ---------------------------------------------------------------------------
// Traceback entries (traceback.cpp).  Each function of the module names
// itself in the entries it adds; the line is the failing statement's.
// ---------------------------------------------------------------------------

// Adds an entry (file strings.file_name, `function`, `line`) at the head of
// the pending exception's traceback.  Must be called with an exception set;
// leaves it set.  Never fails visibly: if the entry cannot be made, the
// exception is left as it was.
void add_traceback(const char *function, int line);

// ---------------------------------------------------------------------------
// Module globals (globals.cpp)
// ---------------------------------------------------------------------------

// Module-global name lookup: the module dict, then builtins; NameError
// "name '%U' is not defined" when neither has it.  Returns a new reference.
PyObject *get_global(PyObject *name);

// getattr(<module global `global`>, attr).  New reference.
PyObject *global_attr(PyObject *global, PyObject *attr);

// getattr/setattr for the attributes the functions read and write on the
// modules they use (sys.stdout, json.dumps, ...): a plain module's
// attribute is read and written straight in its dict; anything else, and a
// missing attribute, goes the general way.
PyObject *get_module_attr(PyObject *obj, PyObject *attr);
int set_module_attr(PyObject *obj, PyObject *attr, PyObject *value);

// sys.<attr> = value through the module global `sys`, looked up at each
// access (the capture's streams, main's stdin).  0, or -1 with an exception.
int set_sys_stream(PyObject *attr, PyObject *value);

// Looks `name` up as a module global and calls it with positional arguments.
PyObject *call_global(PyObject *name, PyObject *const *args, size_t nargs);

// Starts remembering global lookups until the module dict changes (exec step).
int watch_module_dict();

// ---------------------------------------------------------------------------
// Texts and result dicts (text.cpp)
// ---------------------------------------------------------------------------

// Renders a value as an f-string replacement field without a format
// specification does: an exact str unchanged, anything else format(v, "").
PyObject *format_simple(PyObject *value);

// Content equality of two exact str objects.
bool same_text(PyObject *a, PyObject *b) noexcept;

// {"success": success, key: value}.  Null with an exception set when
// building it fails.
PyObject *result_dict(PyObject *success, PyObject *key, PyObject *value);

// ---------------------------------------------------------------------------
// The handled exception of the current frame level, the one an `except`
// block saves on entry and puts back on exit: tstate->exc_info->exc_value,
// read through the thread state layout of cpython/pystate.h (the same in
// 3.12 and 3.13).  PyErr_GetHandledException is not it: that returns the
// topmost handled exception found down the stack of levels, so in a
// generator or coroutine resumed inside its caller's `except` block it gives
// the caller's exception, and PyErr_SetHandledException, which writes the
// current level only, would then plant it in the generator's own state.
// ---------------------------------------------------------------------------

// A new reference to the current level's handled exception, or null.
inline PyObject *current_level_exception() noexcept {
    return Py_XNewRef(PyThreadState_Get()->exc_info->exc_value);
}

// Makes `exc` (stolen; null for none) the current level's handled exception.
inline void restore_level_exception(PyObject *exc) noexcept {
    _PyErr_StackItem *level = PyThreadState_Get()->exc_info;
    PyObject *old = level->exc_value;
    level->exc_value = exc;
    Py_XDECREF(old);
}

// Runs `step` (0, or -1 with an exception set and its entry added) the way a
// finally clause runs: an exception already in flight is set aside and is the
// handled exception meanwhile, so an exception that `step` raises takes it as
// its __context__ and replaces it; otherwise the one in flight comes back.
template <class Step>
void run_finally(Step step) {
    PyObject *in_flight = PyErr_GetRaisedException();
    if (in_flight == nullptr) {
        step();
        return;
    }
    PyObject *handled = current_level_exception();
    PyErr_SetHandledException(in_flight);
    const int rc = step();
    restore_level_exception(handled);
    if (rc < 0) {
        Py_DECREF(in_flight);
    } else {
        PyErr_SetRaisedException(in_flight);
    }
}

// ---------------------------------------------------------------------------
// The handled exception (sys.exc_info()) of the current frame level is saved
// when a function with a handler is entered and put back on every way out.
// ---------------------------------------------------------------------------
class HandledExceptionScope {
public:
    HandledExceptionScope() noexcept : saved_(current_level_exception()) {}
    ~HandledExceptionScope() { restore_level_exception(saved_); }
    HandledExceptionScope(const HandledExceptionScope &) = delete;
    HandledExceptionScope &operator=(const HandledExceptionScope &) = delete;

private:
    PyObject *saved_;
};

// ---------------------------------------------------------------------------
// The private module functions and the request record (protocol.cpp)
// ---------------------------------------------------------------------------

// _mark_answers(): from now on main's loop ends the answer to a request that
// has a str field "_mark" with a line holding that mark, in the same write,
// so a pool can tell its answer from any line a script wrote (protocol.cpp).
PyObject *mark_answers(PyObject *module, PyObject *unused);

// Makes the type of handle_command's request record ready (protocol.cpp).
int ready_request_record_type();

// ---------------------------------------------------------------------------
// The bound on captured output (output_bound.cpp), which a pool worker's
// start-up sets through the private module function `_limit_output`.
// ---------------------------------------------------------------------------

// The exit status of a worker whose captured output would pass the bound.
constexpr int kOutputLimitStatus = 113;

// _limit_output(limit): bounds the characters that the captures of one
// request hold, stdout and stderr together; a later call only tightens it.
PyObject *limit_output(PyObject *module, PyObject *limit);

// Called when the outermost capture of a request begins: the count of
// captured characters starts again from zero.
void begin_bounded_request() noexcept;

// A new capture buffer: the bounded StringIO subclass once a bound is set,
// else a call of the module global `StringIO`.  New reference, or null with
// an exception set.
PyObject *new_capture_buffer();

}  // namespace cw
