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
    PyObject *pieces[5] = {name_text.get(), g.s.colon_space, exc_text.get(), g.s.newline,
                           tb_text.get()};
    return join_texts(pieces, 5);
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
// Script paths, shared by run_script and run_function
// ---------------------------------------------------------------------------

namespace {

// Path(path).expanduser().resolve() through the module global `Path`, then
// its exists().  Returns the resolved path; null with *missing set and no
// exception when it does not exist; null with an exception carrying `fn`'s
// entry at `resolve_line` or `exists_line` when a step fails.
PyObject *resolve_script_path(Fn fn, int resolve_line, int exists_line, PyObject *path,
                              bool *missing) {
    *missing = false;
    Ref path_class = Ref::steal(get_global(g.s.Path));
    Ref given = path_class ? Ref::steal(PyObject_CallOneArg(path_class.get(), path)) : Ref();
    Ref expanded =
        given ? Ref::steal(PyObject_CallMethodNoArgs(given.get(), g.s.expanduser)) : Ref();
    Ref p = expanded ? Ref::steal(PyObject_CallMethodNoArgs(expanded.get(), g.s.resolve)) : Ref();
    if (!p) {
        add_traceback(fn, resolve_line);
        return nullptr;
    }
    Ref exists = Ref::steal(PyObject_CallMethodNoArgs(p.get(), g.s.exists));
    const int found = exists ? PyObject_IsTrue(exists.get()) : -1;
    if (found < 0) {
        add_traceback(fn, exists_line);
        return nullptr;
    }
    if (found == 0) {
        *missing = true;
        return nullptr;
    }
    return p.release();
}

// {"success": False, "error": message}.  Null with an exception set (no
// entry added) when building it fails.
PyObject *error_result(PyObject *message) {
    Ref result = Ref::steal(PyDict_New());
    if (!result || PyDict_SetItem(result.get(), g.s.success, Py_False) < 0 ||
        PyDict_SetItem(result.get(), g.s.error, message) < 0) {
        return nullptr;
    }
    return result.release();
}

// The script-not-found and cannot-load results: prefix + the path exactly as
// the caller passed it.
PyObject *path_error_result(PyObject *prefix, PyObject *path) {
    Ref message = Ref::steal(PyUnicode_Concat(prefix, path));
    if (!message) return nullptr;
    return error_result(message.get());
}

}  // namespace

// ---------------------------------------------------------------------------
// run_script and run_inline
//
// Both run user code in a fresh namespace with sys.stdout and sys.stderr
// redirected into two StringIO buffers, and answer
// {"success": True, "result": {"output", "errors", "return_value"}} or the
// shared failure result.  Each failing step adds the operation's traceback
// entry at its own line before the exception travels on.
// ---------------------------------------------------------------------------

namespace {

// The traceback lines of the steps that run_script and run_inline share.
struct RunLines {
    int read_streams, new_out, new_err, set_out, set_err;       // capture, first half
    int ns, ns_file, ns_builtins, ns_args;                       // the namespace
    int outer, inner, read_err, serialize;                       // the success result
    int restore_out, restore_err;                                // capture, second half
};
constexpr RunLines kScriptLines = {37, 38, 39, 40, 41, 45, 46, 47, 48, 64, 66, 67, 68, 72, 73};
constexpr RunLines kInlineLines = {85, 86, 87, 88, 89, 92, -1, 93, 94, 103, 105, 106, 107, 111, 112};

// Adds the entry for a failed step and passes the failure on.
PyObject *failed(Fn fn, int line) {
    add_traceback(fn, line);
    return nullptr;
}
int failed_int(Fn fn, int line) {
    add_traceback(fn, line);
    return -1;
}

// `args` in a Boolean context: the body only ever sees None or an exact dict.
bool args_given(PyObject *args) { return args != Py_None && PyDict_GET_SIZE(args) > 0; }

PyObject *call_method0(PyObject *obj, PyObject *name) {
    PyObject *self = obj;
    return PyObject_VectorcallMethod(name, &self, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// ("encoding",): the keyword names of read_text(encoding="utf-8"), made once.
PyObject *encoding_kwnames() {
    static PyObject *kwnames = nullptr;
    if (kwnames == nullptr) kwnames = PyTuple_Pack(1, g.s.encoding);
    return kwnames;
}

// sys.<attr> through the module global `sys`, looked up at each access.
PyObject *get_sys_stream(PyObject *attr) {
    Ref sys = Ref::steal(get_global(g.s.sys));
    if (!sys) return nullptr;
    return get_module_attr(sys.get(), attr);
}

int set_sys_stream(PyObject *attr, PyObject *value) {
    Ref sys = Ref::steal(get_global(g.s.sys));
    if (!sys) return -1;
    return set_module_attr(sys.get(), attr, value);
}

PyObject *new_buffer() {
    Ref cls = Ref::steal(get_global(g.s.StringIO));
    if (!cls) return nullptr;
    return PyObject_CallNoArgs(cls.get());
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

// Output capture.  begin() saves sys.stdout and sys.stderr and redirects them
// into two new buffers; end() puts the saved objects back, stdout first, on
// every way out, whatever the executed code bound to them meanwhile.
class OutputCapture {
public:
    OutputCapture(Fn fn, const RunLines &lines) noexcept : fn_(fn), lines_(lines) {}
    OutputCapture(const OutputCapture &) = delete;
    OutputCapture &operator=(const OutputCapture &) = delete;

    // 0, or -1 with an exception set; whatever was redirected is put back.
    int begin() {
        old_out_ = Ref::steal(get_sys_stream(g.s.stdout));
        if (!old_out_) return failed_int(fn_, lines_.read_streams);
        old_err_ = Ref::steal(get_sys_stream(g.s.stderr));
        if (!old_err_) return failed_int(fn_, lines_.read_streams);
        out_ = Ref::steal(new_buffer());
        if (!out_) return failed_int(fn_, lines_.new_out);
        err_ = Ref::steal(new_buffer());
        if (!err_) return failed_int(fn_, lines_.new_err);
        if (set_sys_stream(g.s.stdout, out_.get()) < 0) return failed_int(fn_, lines_.set_out);
        redirected_ = 1;
        if (set_sys_stream(g.s.stderr, err_.get()) < 0) {
            // stdout is redirected already: it must not stay pointed at a
            // buffer that is about to be dropped.
            add_traceback(fn_, lines_.set_err);
            end();
            return -1;
        }
        redirected_ = 2;
        return 0;
    }

    // Restores what begin() redirected.  Runs with or without an exception
    // in flight; a failing restore replaces it (see run_finally) and stderr
    // is still put back after a failed stdout restore.  Returns -1 when an
    // exception is pending afterwards.
    int end() {
        if (redirected_ >= 1) {
            run_finally([this] {
                return set_sys_stream(g.s.stdout, old_out_.get()) < 0
                           ? failed_int(fn_, lines_.restore_out) : 0;
            });
        }
        if (redirected_ >= 2) {
            run_finally([this] {
                return set_sys_stream(g.s.stderr, old_err_.get()) < 0
                           ? failed_int(fn_, lines_.restore_err) : 0;
            });
        }
        redirected_ = 0;
        return PyErr_Occurred() != nullptr ? -1 : 0;
    }

    PyObject *out() const noexcept { return out_.get(); }
    PyObject *err() const noexcept { return err_.get(); }

private:
    Fn fn_;
    const RunLines &lines_;
    Ref old_out_, old_err_, out_, err_;
    int redirected_ = 0;  // 0: nothing, 1: stdout, 2: stdout and stderr
};

// run_script and run_inline swap the interpreter-wide sys.stdout and
// sys.stderr, so their captures serve one thread at a time.  The thread that
// holds the capture may nest more (a script calling run_inline); a call from
// any other thread meanwhile is refused with RuntimeError before anything is
// swapped.  The GIL guards the two counters: nothing runs between the test
// and the claim.
unsigned long capture_thread = 0;
int capture_depth = 0;

class CaptureClaim {
public:
    // On refusal the RuntimeError carries `fn`'s entry at `line`.
    CaptureClaim(Fn fn, int line) {
        const unsigned long me = PyThread_get_thread_ident();
        if (capture_depth > 0 && capture_thread != me) {
            PyErr_SetString(PyExc_RuntimeError,
                            "output capture is in use by another thread: run_script and "
                            "run_inline serve one thread at a time");
            add_traceback(fn, line);
            return;
        }
        capture_thread = me;
        ++capture_depth;
        claimed_ = true;
    }
    ~CaptureClaim() {
        if (claimed_) --capture_depth;
    }
    CaptureClaim(const CaptureClaim &) = delete;
    CaptureClaim &operator=(const CaptureClaim &) = delete;
    explicit operator bool() const noexcept { return claimed_; }

private:
    bool claimed_ = false;
};

// The script namespace: __name__, __file__ (only when `p` is given),
// __builtins__ (the module global, the builtins module) and args (the
// caller's dict when it is non-empty, else a new dict), in this order.
PyObject *make_namespace(Fn fn, const RunLines &l, PyObject *p, PyObject *args) {
    Ref ns = Ref::steal(PyDict_New());
    if (!ns || PyDict_SetItem(ns.get(), g.s.dunder_name, g.s.dunder_main) < 0)
        return failed(fn, l.ns);
    if (p != nullptr) {
        Ref file = Ref::steal(PyObject_Str(p));
        if (!file) return failed(fn, l.ns_file);
        if (PyDict_SetItem(ns.get(), g.s.dunder_file, file.get()) < 0) return failed(fn, l.ns);
    }
    Ref builtins = Ref::steal(get_global(g.s.dunder_builtins));
    if (!builtins) return failed(fn, l.ns_builtins);
    if (PyDict_SetItem(ns.get(), g.s.dunder_builtins, builtins.get()) < 0) return failed(fn, l.ns);
    Ref script_args = args_given(args) ? Ref::borrow(args) : Ref::steal(PyDict_New());
    if (!script_args) return failed(fn, l.ns_args);
    if (PyDict_SetItem(ns.get(), g.s.args, script_args.get()) < 0) return failed(fn, l.ns);
    return ns.release();
}

// compile(source, filename, "exec") with the builtin fetched at import, then
// the code evaluated with `ns` as its globals and locals.  0, or -1 with an
// exception set (no entry added: the caller adds its own).
//
// Called from C, compile() would take the __future__ flags of whatever Python
// frame called the operation; the module itself has no future statements, so
// the code is compiled with flags 0 and dont_inherit set: it compiles the same
// whoever the caller is.
int compile_and_exec(PyObject *source, PyObject *filename, PyObject *ns) {
    Ref zero = Ref::steal(PyLong_FromLong(0));  // a cached small int
    if (!zero) return -1;
    PyObject *argv[5] = {source, filename, g.s.exec, zero.get(), Py_True};
    Ref code = Ref::steal(PyObject_Vectorcall(g.compile, argv, 5, nullptr));
    if (!code) return -1;
    if (!PyCode_Check(code.get())) {
        PyErr_SetString(PyExc_TypeError, "exec() arg 1 must be a string, bytes or code object");
        return -1;
    }
    Ref done = Ref::steal(PyEval_EvalCode(code.get(), ns, ns));
    return done ? 0 : -1;
}

// {"success": True, "result": {"output", "errors", "return_value"}}: both
// buffers are read before `value` goes through the module global _serialize.
PyObject *success_result(Fn fn, const RunLines &l, const OutputCapture &capture, PyObject *value) {
    Ref outer = Ref::steal(PyDict_New());
    if (!outer || PyDict_SetItem(outer.get(), g.s.success, Py_True) < 0)
        return failed(fn, l.outer);
    Ref inner = Ref::steal(PyDict_New());
    if (!inner) return failed(fn, l.inner);
    Ref output = Ref::steal(call_method0(capture.out(), g.s.getvalue));
    if (!output || PyDict_SetItem(inner.get(), g.s.output, output.get()) < 0)
        return failed(fn, l.inner);
    Ref errors = Ref::steal(call_method0(capture.err(), g.s.getvalue));
    if (!errors) return failed(fn, l.read_err);
    if (PyDict_SetItem(inner.get(), g.s.errors, errors.get()) < 0) return failed(fn, l.inner);
    Ref serialized = Ref::steal(call_global(g.s._serialize, &value, 1));
    if (!serialized) return failed(fn, l.serialize);
    if (PyDict_SetItem(inner.get(), g.s.return_value, serialized.get()) < 0)
        return failed(fn, l.inner);
    if (PyDict_SetItem(outer.get(), g.s.result, inner.get()) < 0) return failed(fn, l.outer);
    return outer.release();
}

// Output capture around `protected_steps(capture)`, which returns the success
// result or null with an exception set.  A failing restore drops the result.
template <class Steps>
PyObject *with_output_captured(Fn fn, const RunLines &lines, Steps protected_steps) {
    OutputCapture capture(fn, lines);
    if (capture.begin() < 0) return nullptr;
    Ref result = Ref::steal(protected_steps(capture));
    if (capture.end() < 0) return nullptr;
    return result.release();
}

// The script's value, from the namespace as the script left it: main(args)
// or main() when `main` is callable, else `result`, else None.
PyObject *script_value(PyObject *ns, PyObject *args) {
    constexpr Fn fn = Fn::RunScript;
    Ref main = Ref::borrow(PyDict_GetItemWithError(ns, g.s.main));
    if (!main && PyErr_Occurred()) return failed(fn, 56);
    if (main && PyCallable_Check(main.get())) {
        PyObject *value = args_given(args) ? PyObject_CallOneArg(main.get(), args)
                                           : PyObject_CallNoArgs(main.get());
        return value != nullptr ? value : failed(fn, 57);
    }
    PyObject *result = PyDict_GetItemWithError(ns, g.s.result);
    if (result == nullptr) return PyErr_Occurred() ? failed(fn, 58) : Py_NewRef(Py_None);
    return Py_NewRef(result);
}

// Steps 6 to 9 of run_script, inside the output capture.
PyObject *script_steps(PyObject *p, PyObject *args, const OutputCapture &capture) {
    constexpr Fn fn = Fn::RunScript;
    Ref ns = Ref::steal(make_namespace(fn, kScriptLines, p, args));
    if (!ns) return nullptr;
    PyObject *kwnames = encoding_kwnames();
    if (kwnames == nullptr) return failed(fn, 52);
    PyObject *argv[2] = {p, g.s.utf_8};
    Ref source = Ref::steal(PyObject_VectorcallMethod(
        g.s.read_text, argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    if (!source) return failed(fn, 52);
    Ref filename = Ref::steal(PyObject_Str(p));
    if (!filename || compile_and_exec(source.get(), filename.get(), ns.get()) < 0)
        return failed(fn, 53);
    Ref value = Ref::steal(script_value(ns.get(), args));
    if (!value) return nullptr;
    return success_result(fn, kScriptLines, capture, value.get());
}

// run_script's body up to its handler.
PyObject *run_script_steps(PyObject *path, PyObject *args) {
    constexpr Fn fn = Fn::RunScript;
    bool missing = false;
    Ref p = Ref::steal(resolve_script_path(fn, 32, 33, path, &missing));
    if (!p) {
        if (!missing) return nullptr;
        PyObject *result = path_error_result(g.s.script_not_found, path);
        return result != nullptr ? result : failed(fn, 34);
    }
    return with_output_captured(fn, kScriptLines, [&](const OutputCapture &capture) {
        return script_steps(p.get(), args, capture);
    });
}

// Steps 2 to 5 of run_inline, inside the output capture.
PyObject *inline_steps(PyObject *code, PyObject *args, const OutputCapture &capture) {
    constexpr Fn fn = Fn::RunInline;
    Ref ns = Ref::steal(make_namespace(fn, kInlineLines, nullptr, args));
    if (!ns) return nullptr;
    if (compile_and_exec(code, g.s.inline_filename, ns.get()) < 0) return failed(fn, 98);
    // namespace.get("result"): `main` is never looked at.
    Ref value = Ref::borrow(PyDict_GetItemWithError(ns.get(), g.s.result));
    if (!value) {
        if (PyErr_Occurred()) return failed(fn, 100);
        value = Ref::borrow(Py_None);
    }
    return success_result(fn, kInlineLines, capture, value.get());
}

}  // namespace

PyObject *run_script(PyObject *path, PyObject *args) {
    CaptureClaim claim(Fn::RunScript, 29);
    if (!claim) return nullptr;
    HandledExceptionScope handled;
    PyObject *result = run_script_steps(path, args);
    if (result != nullptr) return result;
    return failure_result(Fn::RunScript, 77, 78);
}

PyObject *run_inline(PyObject *code, PyObject *args) {
    CaptureClaim claim(Fn::RunInline, 82);
    if (!claim) return nullptr;
    HandledExceptionScope handled;
    PyObject *result = with_output_captured(Fn::RunInline, kInlineLines,
                                            [&](const OutputCapture &capture) {
                                                return inline_steps(code, args, capture);
                                            });
    if (result != nullptr) return result;
    return failure_result(Fn::RunInline, 116, 117);
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
    PyObject *result = error_result(message);
    return result != nullptr ? result : rf_fail(line);
}

// The script-not-found or cannot-load result; null with the entry at `line`.
PyObject *rf_path_result(PyObject *prefix, PyObject *path, int line) {
    PyObject *result = path_error_result(prefix, path);
    return result != nullptr ? result : rf_fail(line);
}

// Looks up importlib.util.<name> through the module global `importlib`.
PyObject *importlib_util_attr(PyObject *name) {
    Ref importlib = Ref::steal(get_global(g.s.importlib));
    if (!importlib) return nullptr;
    Ref util = Ref::steal(get_module_attr(importlib.get(), g.s.util));
    if (!util) return nullptr;
    return get_module_attr(util.get(), name);
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

// A source file's loader (exactly importlib.machinery.SourceFileLoader)
// takes its bytecode cache when the modification time in whole seconds and
// the size recorded there match the file, and so runs the old code of a
// script rewritten within the same second at the same size.  For that loader
// the file's current bytes are read with the loader's own get_data, compiled
// as the loader compiles them (file name: the loader's path; no inherited
// __future__ flags) and executed in the module's namespace, which gets
// __builtins__ as exec() gives it; no cache is read or written.  Returns 1
// when it ran, 0 for any other loader (left to its exec_module), -1 with an
// exception set.
int exec_current_source(PyObject *loader, PyObject *module) {
    // Looked up and interned once, kept for the process.
    static PyObject *source_loader = nullptr, *path_name = nullptr, *get_data = nullptr;
    if (source_loader == nullptr) {
        if (path_name == nullptr) path_name = PyUnicode_InternFromString("path");
        if (get_data == nullptr) get_data = PyUnicode_InternFromString("get_data");
        if (path_name == nullptr || get_data == nullptr) return -1;
        Ref machinery = Ref::steal(PyImport_ImportModule("importlib.machinery"));
        if (!machinery) return -1;
        source_loader = PyObject_GetAttrString(machinery.get(), "SourceFileLoader");
        if (source_loader == nullptr) return -1;
    }
    if (reinterpret_cast<PyObject *>(Py_TYPE(loader)) != source_loader || !PyModule_Check(module)) {
        return 0;
    }
    Ref path = Ref::steal(PyObject_GetAttr(loader, path_name));
    if (!path) return -1;
    Ref data = Ref::steal(PyObject_CallMethodOneArg(loader, get_data, path.get()));
    if (!data) return -1;
    PyObject *ns = PyModule_GetDict(module);
    if (PyDict_SetDefault(ns, g.s.dunder_builtins, PyEval_GetBuiltins()) == nullptr) return -1;
    return compile_and_exec(data.get(), path.get(), ns) < 0 ? -1 : 1;
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
    const int ran = exec_current_source(loader.get(), module.get());
    if (ran < 0) return rf_fail(kRfExecModule);
    Ref executed = ran ? Ref::borrow(Py_None)
                       : Ref::steal(PyObject_CallMethodOneArg(loader.get(), g.s.exec_module,
                                                              module.get()));
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
    Ref message = Ref::steal(join_texts(pieces, 4));
    if (!message) return rf_fail(kRfMissingMessage);
    return rf_error_result(message.get(), kRfMissingDict);
}

// Step 9: the not-callable result.
PyObject *rf_not_callable_result(PyObject *function_name) {
    Ref name_text = Ref::steal(format_simple(function_name));
    if (!name_text) return rf_fail(kRfNotCallable);
    PyObject *pieces[3] = {g.s.quote, name_text.get(), g.s.is_not_callable};
    Ref message = Ref::steal(join_texts(pieces, 3));
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
    Ref p = Ref::steal(
        resolve_script_path(Fn::RunFunction, kRfResolve, kRfExists, path, &missing));
    if (!p) return missing ? rf_path_result(g.s.script_not_found, path, kRfNotFound) : nullptr;

    Ref spec = Ref::steal(rf_spec(p.get()));
    if (!spec) return nullptr;
    const int loadable = rf_loadable(spec.get());
    if (loadable < 0) return nullptr;
    if (loadable == 0) return rf_path_result(g.s.cannot_load, path, kRfCannotLoad);

    Ref module = Ref::steal(rf_load(spec.get()));
    if (!module) return nullptr;

    // getattr(module, function_name, None): only AttributeError means absent.
    Ref func = Ref::steal(PyObject_GetAttr(module.get(), function_name));
    if (!func) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return rf_fail(kRfLookup);
        PyErr_Clear();
    }
    const int truthy = func ? PyObject_IsTrue(func.get()) : 0;
    if (truthy < 0) return rf_fail(kRfFuncTest);
    if (truthy == 0) return rf_missing_result(module.get(), function_name);
    if (!PyCallable_Check(func.get())) return rf_not_callable_result(function_name);

    // args is an exact dict or None, so its truth test cannot fail.
    Ref result;
    if (args_given(args)) {
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
    return join_texts(pieces, 4);
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
