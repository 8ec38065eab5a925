// operations.cpp: the operations that run or check user code: run_script,
// run_inline, run_function and validate_script, and the exception report
// they share.
#include "custom_worker.hpp"

namespace cw {

// ---------------------------------------------------------------------------
// Exception report: "<class __name__>: <exception text>\n<format_exc()>"
// ---------------------------------------------------------------------------
namespace {

PyObject *exception_report(PyObject *exc) {
    Ref class_name = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject *>(Py_TYPE(exc)),
                                                 g.s.dunder_name));
    if (!class_name) return nullptr;
    Ref name_text = Ref::steal(format_simple(class_name.get()));
    if (!name_text) return nullptr;
    Ref exc_text = Ref::steal(format_simple(exc));
    if (!exc_text) return nullptr;
    Ref traceback = Ref::steal(get_global(g.s.traceback));
    if (!traceback) return nullptr;
    Ref format_exc = Ref::steal(PyObject_GetAttr(traceback.get(), g.s.format_exc));
    if (!format_exc) return nullptr;
    Ref tb_value = Ref::steal(PyObject_CallNoArgs(format_exc.get()));
    if (!tb_value) return nullptr;
    Ref tb_text = Ref::steal(format_simple(tb_value.get()));
    if (!tb_text) return nullptr;
    Ref pieces = Ref::steal(PyTuple_Pack(5, name_text.get(), g.s.colon_space, exc_text.get(),
                                         g.s.newline, tb_text.get()));
    if (!pieces) return nullptr;
    return PyUnicode_Join(g.empty_str, pieces.get());
}

}  // namespace

PyObject *failure_result(Fn fn, int dict_line, int report_line) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    PyErr_SetHandledException(exc.get());
    Ref result = Ref::steal(PyDict_New());
    if (!result || PyDict_SetItem(result.get(), g.s.success, Py_False) < 0) {
        add_traceback(fn, dict_line);
        return nullptr;
    }
    Ref report = Ref::steal(exception_report(exc.get()));
    if (!report) {
        add_traceback(fn, report_line);
        return nullptr;
    }
    if (PyDict_SetItem(result.get(), g.s.error, report.get()) < 0) {
        add_traceback(fn, dict_line);
        return nullptr;
    }
    return result.release();
}

// ---------------------------------------------------------------------------
// run_script and run_inline
// ---------------------------------------------------------------------------

PyObject *run_script(PyObject *, PyObject *) {
    PyErr_SetString(PyExc_NotImplementedError, "run_script");
    return nullptr;
}

PyObject *run_inline(PyObject *, PyObject *) {
    PyErr_SetString(PyExc_NotImplementedError, "run_inline");
    return nullptr;
}

// ---------------------------------------------------------------------------
// run_function
// ---------------------------------------------------------------------------

namespace {

// The lines that run_function's traceback entries carry, by the work under way.
enum RunFunctionLine : int {
    kRfResolve = 124,          // Path(path).expanduser().resolve()
    kRfExists = 125,           // p.exists() and its truth test
    kRfNotFound = 126,         // the script-not-found result
    kRfSpec = 129,             // importlib.util.spec_from_file_location(...)
    kRfSpecTest = 130,         // truth tests of spec and spec.loader
    kRfCannotLoad = 131,       // the cannot-load result
    kRfModule = 133,           // importlib.util.module_from_spec(spec)
    kRfExecModule = 134,       // spec.loader.exec_module(module): the script's top level
    kRfLookup = 137,           // getattr(module, function_name, None)
    kRfFuncTest = 138,         // truth test of func
    kRfAvailable = 139,        // building `available`
    kRfMissingDict = 141,      // the function-not-found result dict
    kRfMissingMessage = 142,   // rendering `available` and joining the message
    kRfNotCallable = 146,      // the not-callable result
    kRfArgsTest = 149,         // truth test of args
    kRfCallKeywords = 150,     // func(**args)
    kRfCallNoArgs = 152,       // func()
    kRfSuccessDict = 155,      // outer success dict, `success` and `result`
    kRfSuccessInner = 156,     // inner dict and _serialize(result)
    kRfErrorDict = 161,        // handler: the error dict
    kRfErrorReport = 162,      // handler: the exception report
};

// Adds run_function's entry for `line` to the pending exception; returns null
// so failure sites read `return rf_fail(line);`.
PyObject *rf_fail(int line) {
    add_traceback(Fn::RunFunction, line);
    return nullptr;
}

// {"success": False, "error": <message>}; null with the entry at `line`.
PyObject *rf_error_result(PyObject *message, int line) {
    Ref result = Ref::steal(PyDict_New());
    if (!result || PyDict_SetItem(result.get(), g.s.success, Py_False) < 0 ||
        PyDict_SetItem(result.get(), g.s.error, message) < 0) {
        return rf_fail(line);
    }
    return result.release();
}

// {"success": False, "error": prefix + path}, for the two load failures.
PyObject *rf_path_result(PyObject *prefix, PyObject *path, int line) {
    Ref message = Ref::steal(PyUnicode_Concat(prefix, path));
    if (!message) return rf_fail(line);
    return rf_error_result(message.get(), line);
}

// Looks up importlib.util.<name> through the module global `importlib`.
PyObject *importlib_util_attr(PyObject *name) {
    Ref importlib = Ref::steal(get_global(g.s.importlib));
    if (!importlib) return nullptr;
    Ref util = Ref::steal(PyObject_GetAttr(importlib.get(), g.s.util));
    if (!util) return nullptr;
    return PyObject_GetAttr(util.get(), name);
}

// Steps 1 and 2: the resolved path, or null.  *missing is set when the path
// does not exist (then null is returned with no exception).
PyObject *rf_resolve(PyObject *path, bool *missing) {
    Ref path_type = Ref::steal(get_global(g.s.Path));
    if (!path_type) return rf_fail(kRfResolve);
    Ref raw = Ref::steal(PyObject_CallOneArg(path_type.get(), path));
    if (!raw) return rf_fail(kRfResolve);
    Ref expanded = Ref::steal(PyObject_CallMethodNoArgs(raw.get(), g.s.expanduser));
    if (!expanded) return rf_fail(kRfResolve);
    Ref p = Ref::steal(PyObject_CallMethodNoArgs(expanded.get(), g.s.resolve));
    if (!p) return rf_fail(kRfResolve);
    Ref exists = Ref::steal(PyObject_CallMethodNoArgs(p.get(), g.s.exists));
    const int found = exists ? PyObject_IsTrue(exists.get()) : -1;
    if (found < 0) return rf_fail(kRfExists);
    if (found == 0) {
        *missing = true;
        return nullptr;
    }
    return p.release();
}

// Step 3: importlib.util.spec_from_file_location("custom_module", str(p)).
PyObject *rf_spec(PyObject *p) {
    Ref factory = Ref::steal(importlib_util_attr(g.s.spec_from_file_location));
    if (!factory) return rf_fail(kRfSpec);
    Ref location = Ref::steal(PyObject_Str(p));
    if (!location) return rf_fail(kRfSpec);
    PyObject *stack[3] = {nullptr, g.s.custom_module, location.get()};
    PyObject *spec = PyObject_Vectorcall(factory.get(), stack + 1,
                                         2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (spec == nullptr) return rf_fail(kRfSpec);
    return spec;
}

// Step 4: `spec and spec.loader`, as 1 (loadable), 0 (not) or -1 (error,
// entry added).
int rf_loadable(PyObject *spec) {
    int ok = PyObject_IsTrue(spec);
    if (ok > 0) {
        Ref loader = Ref::steal(PyObject_GetAttr(spec, g.s.loader));
        ok = loader ? PyObject_IsTrue(loader.get()) : -1;
    }
    if (ok < 0) add_traceback(Fn::RunFunction, kRfSpecTest);
    return ok;
}

// Steps 5 and 6: a new module made from `spec`, its top-level code executed.
// The module is never entered in sys.modules.
PyObject *rf_load(PyObject *spec) {
    Ref factory = Ref::steal(importlib_util_attr(g.s.module_from_spec));
    if (!factory) return rf_fail(kRfModule);
    Ref module = Ref::steal(PyObject_CallOneArg(factory.get(), spec));
    if (!module) return rf_fail(kRfModule);
    // spec.loader is read afresh for the call, not reused from step 4.
    Ref loader = Ref::steal(PyObject_GetAttr(spec, g.s.loader));
    if (!loader) return rf_fail(kRfExecModule);
    Ref executed =
        Ref::steal(PyObject_CallMethodOneArg(loader.get(), g.s.exec_module, module.get()));
    if (!executed) return rf_fail(kRfExecModule);
    return module.release();
}

// `n.startswith("_")` as 1, 0 or -1.  Names from dir() are str as a rule; a
// str subclass gets its own startswith, as the method call would give it.
int starts_with_underscore(PyObject *n) {
    if (PyUnicode_CheckExact(n)) {
        return PyUnicode_GET_LENGTH(n) > 0 && PyUnicode_READ_CHAR(n, 0) == '_';
    }
    Ref answer = Ref::steal(PyObject_CallMethodOneArg(n, g.s.startswith, g.s.underscore));
    return answer ? PyObject_IsTrue(answer.get()) : -1;
}

// The names of dir(module), in order, whose values are callable and that do
// not start with an underscore.  Every value is read, also for the names
// that the underscore rule drops.
PyObject *rf_available(PyObject *module) {
    Ref names = Ref::steal(PyObject_Dir(module));
    if (!names) return nullptr;
    Ref available = Ref::steal(PyList_New(0));
    if (!available) return nullptr;
    // dir() gives a new list that nothing else can reach, but the size is
    // read on every step all the same, as a list iterator would.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
        Ref n = Ref::borrow(PyList_GET_ITEM(names.get(), i));
        Ref value = Ref::steal(PyObject_GetAttr(module, n.get()));
        if (!value) return nullptr;
        if (!PyCallable_Check(value.get())) continue;
        const int hidden = starts_with_underscore(n.get());
        if (hidden < 0) return nullptr;
        if (hidden == 0 && PyList_Append(available.get(), n.get()) < 0) return nullptr;
    }
    return available.release();
}

// Step 8: the function-not-found result.
PyObject *rf_missing_result(PyObject *module, PyObject *function_name) {
    Ref available = Ref::steal(rf_available(module));
    if (!available) return rf_fail(kRfAvailable);
    Ref name_text = Ref::steal(format_simple(function_name));
    if (!name_text) return rf_fail(kRfMissingMessage);
    Ref available_text = Ref::steal(format_simple(available.get()));
    if (!available_text) return rf_fail(kRfMissingMessage);
    PyObject *pieces[4] = {g.s.function_quote, name_text.get(), g.s.not_found_available,
                           available_text.get()};
    Ref message = Ref::steal(_PyUnicode_JoinArray(g.empty_str, pieces, 4));
    if (!message) return rf_fail(kRfMissingMessage);
    return rf_error_result(message.get(), kRfMissingDict);
}

// Step 9: the not-callable result.
PyObject *rf_not_callable_result(PyObject *function_name) {
    Ref name_text = Ref::steal(format_simple(function_name));
    if (!name_text) return rf_fail(kRfNotCallable);
    PyObject *pieces[3] = {g.s.quote, name_text.get(), g.s.is_not_callable};
    Ref message = Ref::steal(_PyUnicode_JoinArray(g.empty_str, pieces, 3));
    if (!message) return rf_fail(kRfNotCallable);
    return rf_error_result(message.get(), kRfNotCallable);
}

// func(**kwargs) for a non-empty exact dict.  The entries travel as a
// vectorcall with keyword names, so the callee never sees `kwargs` itself
// (a callee that takes **kw gets a dict of its own).  Keys must be str, as
// for any ** call.
PyObject *call_with_keywords(PyObject *func, PyObject *kwargs) {
    const Py_ssize_t n = PyDict_GET_SIZE(kwargs);
    Ref kwnames = Ref::steal(PyTuple_New(n));
    if (!kwnames) return nullptr;
    // One free slot in front of the values for PY_VECTORCALL_ARGUMENTS_OFFSET.
    constexpr Py_ssize_t kInline = 8;
    PyObject *inline_stack[kInline + 1];
    PyObject **stack = inline_stack;
    if (n > kInline) {
        stack = PyMem_New(PyObject *, static_cast<size_t>(n) + 1);
        if (stack == nullptr) return PyErr_NoMemory();
    }
    // PyDict_Next runs no Python code, so the dict cannot change while the
    // values are gathered; each value is held for the length of the call.
    Py_ssize_t pos = 0, count = 0;
    PyObject *key, *value;
    bool keys_are_str = true;
    while (count < n && PyDict_Next(kwargs, &pos, &key, &value)) {
        keys_are_str = keys_are_str && PyUnicode_Check(key);
        PyTuple_SET_ITEM(kwnames.get(), count, Py_NewRef(key));
        stack[1 + count] = Py_NewRef(value);
        ++count;
    }
    PyObject *result = nullptr;
    if (!keys_are_str) {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    } else {
        result = PyObject_Vectorcall(func, stack + 1, PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     kwnames.get());
    }
    for (Py_ssize_t i = 0; i < count; ++i) Py_DECREF(stack[1 + i]);
    if (stack != inline_stack) PyMem_Free(stack);
    return result;
}

// Step 11: {"success": True, "result": {"return_value": _serialize(value)}}.
PyObject *rf_success_result(PyObject *value) {
    Ref outer = Ref::steal(PyDict_New());
    if (!outer || PyDict_SetItem(outer.get(), g.s.success, Py_True) < 0) {
        return rf_fail(kRfSuccessDict);
    }
    Ref inner = Ref::steal(PyDict_New());
    if (!inner) return rf_fail(kRfSuccessInner);
    Ref serialized = Ref::steal(call_global(g.s._serialize, &value, 1));
    if (!serialized || PyDict_SetItem(inner.get(), g.s.return_value, serialized.get()) < 0) {
        return rf_fail(kRfSuccessInner);
    }
    if (PyDict_SetItem(outer.get(), g.s.result, inner.get()) < 0) {
        return rf_fail(kRfSuccessDict);
    }
    return outer.release();
}

// Steps 1 to 11.  Returns the result, or null with the exception pending and
// run_function's entry on it.
PyObject *run_function_steps(PyObject *path, PyObject *function_name, PyObject *args) {
    bool missing = false;
    Ref p = Ref::steal(rf_resolve(path, &missing));
    if (!p) return missing ? rf_path_result(g.s.script_not_found, path, kRfNotFound) : nullptr;

    Ref spec = Ref::steal(rf_spec(p.get()));
    if (!spec) return nullptr;
    const int loadable = rf_loadable(spec.get());
    if (loadable < 0) return nullptr;
    if (loadable == 0) return rf_path_result(g.s.cannot_load, path, kRfCannotLoad);

    Ref module = Ref::steal(rf_load(spec.get()));
    if (!module) return nullptr;

    // getattr(module, function_name, None): only AttributeError means absent.
    PyObject *found = nullptr;
    if (_PyObject_LookupAttr(module.get(), function_name, &found) < 0) return rf_fail(kRfLookup);
    Ref func = Ref::steal(found);
    const int truthy = func ? PyObject_IsTrue(func.get()) : 0;
    if (truthy < 0) return rf_fail(kRfFuncTest);
    if (truthy == 0) return rf_missing_result(module.get(), function_name);
    if (!PyCallable_Check(func.get())) return rf_not_callable_result(function_name);

    // args is an exact dict or None, so its truth test cannot fail.
    Ref result;
    if (args != Py_None && PyDict_GET_SIZE(args) > 0) {
        result = Ref::steal(call_with_keywords(func.get(), args));
        if (!result) return rf_fail(kRfCallKeywords);
    } else {
        result = Ref::steal(PyObject_CallNoArgs(func.get()));
        if (!result) return rf_fail(kRfCallNoArgs);
    }
    return rf_success_result(result.get());
}

}  // namespace

PyObject *run_function(PyObject *path, PyObject *function_name, PyObject *args) {
    HandledExceptionScope handled;
    PyObject *result = run_function_steps(path, function_name, args);
    if (result != nullptr) return result;
    return failure_result(Fn::RunFunction, kRfErrorDict, kRfErrorReport);
}

// ---------------------------------------------------------------------------
// validate_script
// ---------------------------------------------------------------------------

namespace {

// The lines that validate_script's traceback entries carry.
enum ValidateLine : int {
    kVsCompile = 169,      // compile(code, "<validation>", "exec")
    kVsValidDict = 171,    // valid result: outer dict, `success`, `result`
    kVsValidInner = 172,   // valid result: inner dict, `valid`, `message`
    kVsInvalidDict = 176,  // invalid result: outer dict, `success`, `result`
    kVsInvalidInner = 178, // invalid result: inner dict and its four keys
    kVsMessage = 179,      // reading and rendering lineno and msg, joining
    kVsLine = 180,         // second read of lineno
    kVsOffset = 181,       // read of offset
};

PyObject *vs_fail(int line) {
    add_traceback(Fn::ValidateScript, line);
    return nullptr;
}

PyObject *vs_valid_result() {
    Ref outer = Ref::steal(PyDict_New());
    if (!outer || PyDict_SetItem(outer.get(), g.s.success, Py_True) < 0) {
        return vs_fail(kVsValidDict);
    }
    Ref inner = Ref::steal(PyDict_New());
    if (!inner || PyDict_SetItem(inner.get(), g.s.valid, Py_True) < 0 ||
        PyDict_SetItem(inner.get(), g.s.message, g.s.script_is_valid) < 0) {
        return vs_fail(kVsValidInner);
    }
    if (PyDict_SetItem(outer.get(), g.s.result, inner.get()) < 0) return vs_fail(kVsValidDict);
    return outer.release();
}

// "Syntax error at line {e.lineno}: {e.msg}"
PyObject *vs_message(PyObject *e) {
    Ref lineno = Ref::steal(PyObject_GetAttr(e, g.s.lineno));
    if (!lineno) return nullptr;
    Ref lineno_text = Ref::steal(format_simple(lineno.get()));
    if (!lineno_text) return nullptr;
    Ref msg = Ref::steal(PyObject_GetAttr(e, g.s.msg));
    if (!msg) return nullptr;
    Ref msg_text = Ref::steal(format_simple(msg.get()));
    if (!msg_text) return nullptr;
    PyObject *pieces[4] = {g.s.syntax_error_at_line, lineno_text.get(), g.s.colon_space,
                           msg_text.get()};
    return _PyUnicode_JoinArray(g.empty_str, pieces, 4);
}

// The invalid result for the caught syntax error `e`.
PyObject *vs_invalid_result(PyObject *e) {
    Ref outer = Ref::steal(PyDict_New());
    if (!outer || PyDict_SetItem(outer.get(), g.s.success, Py_True) < 0) {
        return vs_fail(kVsInvalidDict);
    }
    Ref inner = Ref::steal(PyDict_New());
    if (!inner || PyDict_SetItem(inner.get(), g.s.valid, Py_False) < 0) {
        return vs_fail(kVsInvalidInner);
    }
    Ref message = Ref::steal(vs_message(e));
    if (!message) return vs_fail(kVsMessage);
    if (PyDict_SetItem(inner.get(), g.s.message, message.get()) < 0) {
        return vs_fail(kVsInvalidInner);
    }
    Ref line = Ref::steal(PyObject_GetAttr(e, g.s.lineno));
    if (!line) return vs_fail(kVsLine);
    if (PyDict_SetItem(inner.get(), g.s.line, line.get()) < 0) return vs_fail(kVsInvalidInner);
    Ref offset = Ref::steal(PyObject_GetAttr(e, g.s.offset));
    if (!offset) return vs_fail(kVsOffset);
    if (PyDict_SetItem(inner.get(), g.s.offset, offset.get()) < 0) {
        return vs_fail(kVsInvalidInner);
    }
    if (PyDict_SetItem(outer.get(), g.s.result, inner.get()) < 0) {
        return vs_fail(kVsInvalidDict);
    }
    return outer.release();
}

}  // namespace

PyObject *validate_script(PyObject *code) {
    HandledExceptionScope handled;
    // compile(code, "<validation>", "exec", 0, True).  Not inheriting future
    // features keeps the verdict independent of whichever Python code calls
    // this function (a caller under `from __future__ import barry_as_FLUFL`
    // would otherwise change what counts as valid); flags 0 is the default.
    PyObject *stack[6] = {nullptr, code, g.s.validation_filename, g.s.exec, nullptr, Py_True};
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return vs_fail(kVsCompile);
    stack[4] = zero.get();
    Ref compiled = Ref::steal(
        PyObject_Vectorcall(g.compile, stack + 1, 5 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (compiled) {
        compiled.reset();
        return vs_valid_result();
    }
    add_traceback(Fn::ValidateScript, kVsCompile);
    if (!PyErr_ExceptionMatches(PyExc_SyntaxError)) return nullptr;
    // The syntax error is the handled exception while the result is built.
    Ref e = Ref::steal(PyErr_GetRaisedException());
    PyErr_SetHandledException(e.get());
    return vs_invalid_result(e.get());
}

}  // namespace cw
