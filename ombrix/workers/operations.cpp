// operations.cpp: the operations that run or check user code: run_script,
// run_inline, run_function and validate_script, and the exception report
// they share.
#include "custom_worker.hpp"
#include "function_table.hpp"

#include <cstring>

namespace cw {
namespace {

constexpr const auto &kRunScript = kFunctions.run_script;
constexpr const auto &kRunInline = kFunctions.run_inline;
constexpr const auto &kRunFunction = kFunctions.run_function;
constexpr const auto &kValidateScript = kFunctions.validate_script;

// ---------------------------------------------------------------------------
// Shared pieces
// ---------------------------------------------------------------------------

// Joins `n` str objects into one new str with nothing between them (an
// f-string's concatenation), without an intermediate sequence.
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

// "<class __name__>: <exception text>\n<traceback.format_exc()>"
PyObject *exception_report(PyObject *exc) {
    Ref class_name = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject *>(Py_TYPE(exc)),
                                                 strings.dunder_name));
    if (!class_name) return nullptr;
    Ref name_text = Ref::steal(format_simple(class_name.get()));
    if (!name_text) return nullptr;
    Ref exc_text = Ref::steal(format_simple(exc));
    if (!exc_text) return nullptr;
    Ref format_exc = Ref::steal(global_attr(strings.traceback, strings.format_exc));
    if (!format_exc) return nullptr;
    Ref tb_value = Ref::steal(PyObject_CallNoArgs(format_exc.get()));
    if (!tb_value) return nullptr;
    Ref tb_text = Ref::steal(format_simple(tb_value.get()));
    if (!tb_text) return nullptr;
    PyObject *pieces[5] = {name_text.get(), strings.colon_space, exc_text.get(), strings.newline,
                           tb_text.get()};
    return join_texts(pieces, 5);
}

// The handler shared by run_script, run_inline and run_function.  Call it
// with an exception pending whose traceback already carries the operation's
// entry, inside a HandledExceptionScope.  An exception that is not an
// Exception is left pending and null is returned.  Otherwise the exception
// becomes the handled one and {"success": False, "error": <exception report>}
// is returned; should building that fail, the new exception is pending, with
// an entry at `dict_line` (making the dict, setting its keys) or
// `report_line` (building the report).
PyObject *failure_result(const FunctionDescription &function, int dict_line, int report_line) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    PyErr_SetHandledException(exc.get());
    Ref result = Ref::steal(PyDict_New());
    if (!result || PyDict_SetItem(result.get(), strings.success, Py_False) < 0)
        return fail_at(function, dict_line);
    Ref report = Ref::steal(exception_report(exc.get()));
    if (!report) return fail_at(function, report_line);
    if (PyDict_SetItem(result.get(), strings.error, report.get()) < 0)
        return fail_at(function, dict_line);
    return result.release();
}

// {"success": False, "error": message}; null with `function`'s entry at
// `line` when building it fails.
PyObject *error_result(const FunctionDescription &function, int line, PyObject *message) {
    PyObject *result = result_dict(Py_False, strings.error, message);
    return result != nullptr ? result : fail_at(function, line);
}

// The script-not-found and cannot-load results: prefix + the path exactly as
// the caller passed it.
PyObject *path_error_result(const FunctionDescription &function, int line, PyObject *prefix,
                            PyObject *path) {
    Ref message = Ref::steal(PyUnicode_Concat(prefix, path));
    if (!message) return fail_at(function, line);
    return error_result(function, line, message.get());
}

// Path(path).expanduser().resolve() through the module global `Path`, then
// its exists().  Returns the resolved path; null with *missing set and no
// exception when it does not exist; null with an exception carrying the
// function's entry when a step fails.
PyObject *resolve_script_path(const FunctionDescription &function, const ScriptPathLines &lines,
                              PyObject *path, bool *missing) {
    *missing = false;
    Ref path_class = Ref::steal(get_global(strings.Path));
    Ref given = path_class ? Ref::steal(PyObject_CallOneArg(path_class.get(), path)) : Ref();
    Ref expanded =
        given ? Ref::steal(PyObject_CallMethodNoArgs(given.get(), strings.expanduser)) : Ref();
    Ref p = expanded ? Ref::steal(PyObject_CallMethodNoArgs(expanded.get(), strings.resolve)) : Ref();
    if (!p) return fail_at(function, lines.resolve);
    Ref exists = Ref::steal(PyObject_CallMethodNoArgs(p.get(), strings.exists));
    const int found = exists ? PyObject_IsTrue(exists.get()) : -1;
    if (found < 0) return fail_at(function, lines.exists);
    if (found == 0) {
        *missing = true;
        return nullptr;
    }
    return p.release();
}

// compile(source, filename, "exec", 0, True) through the builtin fetched at
// import.  Called from C, compile() would take the __future__ flags of
// whatever Python frame called the operation (a caller under
// `from __future__ import barry_as_FLUFL` would change what compiles); the
// module itself has no future statements, so flags 0 with dont_inherit set
// compile the same whoever the caller is.
PyObject *compile_source(PyObject *source, PyObject *filename) {
    Ref zero = Ref::steal(PyLong_FromLong(0));  // a cached small int
    if (!zero) return nullptr;
    PyObject *argv[5] = {source, filename, strings.exec, zero.get(), Py_True};
    return PyObject_Vectorcall(module_record.compile, argv, 5, nullptr);
}

// `args` in a Boolean context: the body only ever sees None or an exact dict.
bool args_given(PyObject *args) { return args != Py_None && PyDict_GET_SIZE(args) > 0; }

// ---------------------------------------------------------------------------
// run_script and run_inline
//
// Both run user code in a fresh namespace with sys.stdout and sys.stderr
// redirected into two StringIO buffers, and answer
// {"success": True, "result": {"output", "errors", "return_value"}} or the
// shared failure result.  Each failing step adds the operation's traceback
// entry at its own line before the exception travels on.
// ---------------------------------------------------------------------------

PyObject *call_method0(PyObject *obj, PyObject *name) {
    PyObject *self = obj;
    return PyObject_VectorcallMethod(name, &self, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// ("encoding",): the keyword names of read_text(encoding="utf-8"), made once.
PyObject *encoding_kwnames() {
    static PyObject *kwnames = nullptr;
    if (kwnames == nullptr) kwnames = PyTuple_Pack(1, strings.encoding);
    return kwnames;
}

// Output capture.  begin() saves sys.stdout and sys.stderr and redirects them
// into two new buffers; end() puts the saved objects back, stdout first, on
// every way out, whatever the executed code bound to them meanwhile.
class OutputCapture {
public:
    OutputCapture(const FunctionDescription &function, const CapturedRunLines &lines) noexcept
        : function_(function), lines_(lines) {}
    OutputCapture(const OutputCapture &) = delete;
    OutputCapture &operator=(const OutputCapture &) = delete;

    // 0, or -1 with an exception set; whatever was redirected is put back.
    int begin() {
        const int failed_line = redirect();
        if (failed_line == 0) return 0;
        add_traceback(function_.traceback_name, failed_line);
        // stdout may be redirected already: it must not stay pointed at a
        // buffer that is about to be dropped.
        end();
        return -1;
    }

    // Restores what begin() redirected.  Runs with or without an exception
    // in flight; a failing restore replaces it (see run_finally) and stderr
    // is still put back after a failed stdout restore.  Returns -1 when an
    // exception is pending afterwards.
    int end() {
        if (redirected_ >= 1) restore(strings.stdout, old_out_.get(), lines_.restore_out);
        if (redirected_ >= 2) restore(strings.stderr, old_err_.get(), lines_.restore_err);
        redirected_ = 0;
        return PyErr_Occurred() != nullptr ? -1 : 0;
    }

    PyObject *out() const noexcept { return out_.get(); }
    PyObject *err() const noexcept { return err_.get(); }

private:
    // Saves and redirects both streams: 0, or the line of the failed step
    // with its exception set.
    int redirect() {
        old_out_ = Ref::steal(global_attr(strings.sys, strings.stdout));
        if (!old_out_) return lines_.read_streams;
        old_err_ = Ref::steal(global_attr(strings.sys, strings.stderr));
        if (!old_err_) return lines_.read_streams;
        out_ = Ref::steal(new_capture_buffer());
        if (!out_) return lines_.new_out;
        err_ = Ref::steal(new_capture_buffer());
        if (!err_) return lines_.new_err;
        if (set_sys_stream(strings.stdout, out_.get()) < 0) return lines_.set_out;
        redirected_ = 1;
        if (set_sys_stream(strings.stderr, err_.get()) < 0) return lines_.set_err;
        redirected_ = 2;
        return 0;
    }

    // sys.<attr> = saved, as a finally clause would run it.
    void restore(PyObject *attr, PyObject *saved, int line) {
        run_finally([&] {
            if (set_sys_stream(attr, saved) == 0) return 0;
            add_traceback(function_.traceback_name, line);
            return -1;
        });
    }

    const FunctionDescription &function_;
    const CapturedRunLines &lines_;
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
    // On refusal the RuntimeError carries `function`'s entry at its first line.
    explicit CaptureClaim(const FunctionDescription &function) {
        const unsigned long me = PyThread_get_thread_ident();
        if (capture_depth > 0 && capture_thread != me) {
            PyErr_SetString(PyExc_RuntimeError,
                            "output capture is in use by another thread: run_script and "
                            "run_inline serve one thread at a time");
            fail_at(function, function.first_line);
            return;
        }
        capture_thread = me;
        if (capture_depth++ == 0) begin_bounded_request();
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
PyObject *make_namespace(const FunctionDescription &function, const CapturedRunLines &lines,
                         PyObject *p, PyObject *args) {
    Ref ns = Ref::steal(PyDict_New());
    if (!ns || PyDict_SetItem(ns.get(), strings.dunder_name, strings.dunder_main) < 0)
        return fail_at(function, lines.namespace_entry);
    if (p != nullptr) {
        Ref file = Ref::steal(PyObject_Str(p));
        if (!file) return fail_at(function, lines.namespace_file);
        if (PyDict_SetItem(ns.get(), strings.dunder_file, file.get()) < 0)
            return fail_at(function, lines.namespace_entry);
    }
    Ref builtins = Ref::steal(get_global(strings.dunder_builtins));
    if (!builtins) return fail_at(function, lines.namespace_builtins);
    if (PyDict_SetItem(ns.get(), strings.dunder_builtins, builtins.get()) < 0)
        return fail_at(function, lines.namespace_entry);
    Ref script_args = args_given(args) ? Ref::borrow(args) : Ref::steal(PyDict_New());
    if (!script_args) return fail_at(function, lines.namespace_args);
    if (PyDict_SetItem(ns.get(), strings.args, script_args.get()) < 0)
        return fail_at(function, lines.namespace_entry);
    return ns.release();
}

// Compiles `source` and evaluates the code with `ns` as its globals and
// locals.  0, or -1 with an exception set (no entry added: the caller adds
// its own).
int compile_and_exec(PyObject *source, PyObject *filename, PyObject *ns) {
    Ref code = Ref::steal(compile_source(source, filename));
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
PyObject *success_result(const FunctionDescription &function, const CapturedRunLines &lines,
                         const OutputCapture &capture, PyObject *value) {
    Ref outer = Ref::steal(PyDict_New());
    if (!outer || PyDict_SetItem(outer.get(), strings.success, Py_True) < 0)
        return fail_at(function, lines.success_dict);
    Ref inner = Ref::steal(PyDict_New());
    if (!inner) return fail_at(function, lines.result_entry);
    Ref output = Ref::steal(call_method0(capture.out(), strings.getvalue));
    if (!output || PyDict_SetItem(inner.get(), strings.output, output.get()) < 0)
        return fail_at(function, lines.result_entry);
    Ref errors = Ref::steal(call_method0(capture.err(), strings.getvalue));
    if (!errors) return fail_at(function, lines.read_errors);
    if (PyDict_SetItem(inner.get(), strings.errors, errors.get()) < 0)
        return fail_at(function, lines.result_entry);
    Ref serialized = Ref::steal(call_global(name_object(kFunctions.serialize), &value, 1));
    if (!serialized) return fail_at(function, lines.serialize);
    if (PyDict_SetItem(inner.get(), strings.return_value, serialized.get()) < 0)
        return fail_at(function, lines.result_entry);
    if (PyDict_SetItem(outer.get(), strings.result, inner.get()) < 0)
        return fail_at(function, lines.success_dict);
    return outer.release();
}

// Output capture around `protected_steps(capture)`, which returns the success
// result or null with an exception set.  A failing restore drops the result.
template <class Steps>
PyObject *with_output_captured(const FunctionDescription &function, const CapturedRunLines &lines,
                               Steps protected_steps) {
    OutputCapture capture(function, lines);
    if (capture.begin() < 0) return nullptr;
    Ref result = Ref::steal(protected_steps(capture));
    if (capture.end() < 0) return nullptr;
    return result.release();
}

// The script's value, from the namespace as the script left it: main(args)
// or main() when `main` is callable, else `result`, else None.
PyObject *script_value(PyObject *ns, PyObject *args) {
    Ref main = Ref::borrow(PyDict_GetItemWithError(ns, strings.script_main));
    if (!main && PyErr_Occurred()) return fail_at(kRunScript, kRunScript.line.main_lookup);
    if (main && PyCallable_Check(main.get())) {
        PyObject *value = args_given(args) ? PyObject_CallOneArg(main.get(), args)
                                           : PyObject_CallNoArgs(main.get());
        return value != nullptr ? value : fail_at(kRunScript, kRunScript.line.main_call);
    }
    PyObject *result = PyDict_GetItemWithError(ns, strings.result);
    if (result != nullptr) return Py_NewRef(result);
    return PyErr_Occurred() ? fail_at(kRunScript, kRunScript.line.result_lookup)
                            : Py_NewRef(Py_None);
}

// What run_script does inside the output capture: read, compile and run the
// script in its namespace, then build the success result from its value.
PyObject *run_captured_script(PyObject *p, PyObject *args, const OutputCapture &capture) {
    const RunScriptLines &line = kRunScript.line;
    Ref ns = Ref::steal(make_namespace(kRunScript, line.run, p, args));
    if (!ns) return nullptr;
    PyObject *kwnames = encoding_kwnames();
    if (kwnames == nullptr) return fail_at(kRunScript, line.read_source);
    PyObject *argv[2] = {p, strings.utf_8};
    Ref source = Ref::steal(PyObject_VectorcallMethod(
        strings.read_text, argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    if (!source) return fail_at(kRunScript, line.read_source);
    Ref filename = Ref::steal(PyObject_Str(p));
    if (!filename || compile_and_exec(source.get(), filename.get(), ns.get()) < 0)
        return fail_at(kRunScript, line.exec);
    Ref value = Ref::steal(script_value(ns.get(), args));
    if (!value) return nullptr;
    return success_result(kRunScript, line.run, capture, value.get());
}

// run_script's body up to its handler.
PyObject *run_script_body(PyObject *path, PyObject *args) {
    const RunScriptLines &line = kRunScript.line;
    bool missing = false;
    Ref p = Ref::steal(resolve_script_path(kRunScript, line.path, path, &missing));
    if (!p) {
        if (!missing) return nullptr;
        return path_error_result(kRunScript, line.path.not_found, strings.script_not_found, path);
    }
    return with_output_captured(kRunScript, line.run, [&](const OutputCapture &capture) {
        return run_captured_script(p.get(), args, capture);
    });
}

// What run_inline does inside the output capture: compile and run the code
// in its namespace, then build the success result from its `result`.
PyObject *run_captured_inline(PyObject *code, PyObject *args, const OutputCapture &capture) {
    const RunInlineLines &line = kRunInline.line;
    Ref ns = Ref::steal(make_namespace(kRunInline, line.run, nullptr, args));
    if (!ns) return nullptr;
    if (compile_and_exec(code, strings.inline_filename, ns.get()) < 0)
        return fail_at(kRunInline, line.exec);
    // namespace.get("result"): `main` is never looked at.
    Ref value = Ref::borrow(PyDict_GetItemWithError(ns.get(), strings.result));
    if (!value) {
        if (PyErr_Occurred()) return fail_at(kRunInline, line.result_lookup);
        value = Ref::borrow(Py_None);
    }
    return success_result(kRunInline, line.run, capture, value.get());
}

}  // namespace

PyObject *run_script(PyObject *path, PyObject *args) {
    CaptureClaim claim(kRunScript);
    if (!claim) return nullptr;
    HandledExceptionScope handled;
    PyObject *result = run_script_body(path, args);
    if (result != nullptr) return result;
    return failure_result(kRunScript, kRunScript.line.error_dict, kRunScript.line.error_report);
}

PyObject *run_inline(PyObject *code, PyObject *args) {
    CaptureClaim claim(kRunInline);
    if (!claim) return nullptr;
    HandledExceptionScope handled;
    PyObject *result = with_output_captured(kRunInline, kRunInline.line.run,
                                            [&](const OutputCapture &capture) {
                                                return run_captured_inline(code, args, capture);
                                            });
    if (result != nullptr) return result;
    return failure_result(kRunInline, kRunInline.line.error_dict, kRunInline.line.error_report);
}

// ---------------------------------------------------------------------------
// run_function
// ---------------------------------------------------------------------------

namespace {

// importlib.util.<name>, through the module global `importlib`.
PyObject *importlib_util_attr(PyObject *name) {
    Ref util = Ref::steal(global_attr(strings.importlib, strings.util));
    if (!util) return nullptr;
    return get_module_attr(util.get(), name);
}

// importlib.util.spec_from_file_location("custom_module", str(p)).
PyObject *spec_for_script(PyObject *p) {
    const int line = kRunFunction.line.spec;
    Ref factory = Ref::steal(importlib_util_attr(strings.spec_from_file_location));
    if (!factory) return fail_at(kRunFunction, line);
    Ref location = Ref::steal(PyObject_Str(p));
    if (!location) return fail_at(kRunFunction, line);
    PyObject *stack[3] = {nullptr, strings.custom_module, location.get()};
    PyObject *spec = PyObject_Vectorcall(factory.get(), stack + 1,
                                         2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    return spec != nullptr ? spec : fail_at(kRunFunction, line);
}

// `spec and spec.loader`, as 1 (loadable), 0 (not) or -1 (error, entry added).
int is_loadable(PyObject *spec) {
    int ok = PyObject_IsTrue(spec);
    if (ok > 0) {
        Ref loader = Ref::steal(PyObject_GetAttr(spec, strings.loader));
        ok = loader ? PyObject_IsTrue(loader.get()) : -1;
    }
    if (ok < 0) add_traceback(kRunFunction.traceback_name, kRunFunction.line.spec_test);
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
    // Looked up once, kept for the process.
    static PyObject *source_loader = nullptr;
    if (source_loader == nullptr) {
        Ref machinery = Ref::steal(PyImport_ImportModule("importlib.machinery"));
        if (!machinery) return -1;
        source_loader = PyObject_GetAttrString(machinery.get(), "SourceFileLoader");
        if (source_loader == nullptr) return -1;
    }
    if (reinterpret_cast<PyObject *>(Py_TYPE(loader)) != source_loader || !PyModule_Check(module)) {
        return 0;
    }
    Ref path = Ref::steal(PyObject_GetAttr(loader, strings.path));
    if (!path) return -1;
    Ref data = Ref::steal(PyObject_CallMethodOneArg(loader, strings.get_data, path.get()));
    if (!data) return -1;
    PyObject *ns = PyModule_GetDict(module);
    if (PyDict_SetDefault(ns, strings.dunder_builtins, PyEval_GetBuiltins()) == nullptr) return -1;
    return compile_and_exec(data.get(), path.get(), ns) < 0 ? -1 : 1;
}

// A new module made from `spec`, its top-level code executed.  The module is
// never entered in sys.modules.
PyObject *load_module(PyObject *spec) {
    const RunFunctionLines &line = kRunFunction.line;
    Ref factory = Ref::steal(importlib_util_attr(strings.module_from_spec));
    if (!factory) return fail_at(kRunFunction, line.module);
    Ref module = Ref::steal(PyObject_CallOneArg(factory.get(), spec));
    if (!module) return fail_at(kRunFunction, line.module);
    // spec.loader is read afresh for the call, not reused from the
    // loadability test: the script's spec may have changed it meanwhile.
    Ref loader = Ref::steal(PyObject_GetAttr(spec, strings.loader));
    if (!loader) return fail_at(kRunFunction, line.exec_module);
    const int ran = exec_current_source(loader.get(), module.get());
    if (ran < 0) return fail_at(kRunFunction, line.exec_module);
    Ref executed = ran ? Ref::borrow(Py_None)
                       : Ref::steal(PyObject_CallMethodOneArg(loader.get(), strings.exec_module,
                                                              module.get()));
    if (!executed) return fail_at(kRunFunction, line.exec_module);
    return module.release();
}

// `n.startswith("_")` as 1, 0 or -1.  Names from dir() are str as a rule; a
// str subclass gets its own startswith, as the method call would give it.
int starts_with_underscore(PyObject *n) {
    if (PyUnicode_CheckExact(n)) {
        return PyUnicode_GET_LENGTH(n) > 0 && PyUnicode_READ_CHAR(n, 0) == '_';
    }
    Ref answer = Ref::steal(PyObject_CallMethodOneArg(n, strings.startswith, strings.underscore));
    return answer ? PyObject_IsTrue(answer.get()) : -1;
}

// The names of dir(module), in order, whose values are callable and that do
// not start with an underscore.  Every value is read, also for the names
// that the underscore rule drops.
PyObject *available_names(PyObject *module) {
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

// "Function '<name>' not found. Available: <available>"
PyObject *missing_function_result(PyObject *module, PyObject *function_name) {
    const RunFunctionLines &line = kRunFunction.line;
    Ref available = Ref::steal(available_names(module));
    if (!available) return fail_at(kRunFunction, line.available);
    Ref name_text = Ref::steal(format_simple(function_name));
    if (!name_text) return fail_at(kRunFunction, line.missing_message);
    Ref available_text = Ref::steal(format_simple(available.get()));
    if (!available_text) return fail_at(kRunFunction, line.missing_message);
    PyObject *pieces[4] = {strings.function_quote, name_text.get(), strings.not_found_available,
                           available_text.get()};
    Ref message = Ref::steal(join_texts(pieces, 4));
    if (!message) return fail_at(kRunFunction, line.missing_message);
    return error_result(kRunFunction, line.missing_dict, message.get());
}

// "'<name>' is not callable"
PyObject *not_callable_result(PyObject *function_name) {
    const int line = kRunFunction.line.not_callable;
    Ref name_text = Ref::steal(format_simple(function_name));
    if (!name_text) return fail_at(kRunFunction, line);
    PyObject *pieces[3] = {strings.quote, name_text.get(), strings.is_not_callable};
    Ref message = Ref::steal(join_texts(pieces, 3));
    if (!message) return fail_at(kRunFunction, line);
    return error_result(kRunFunction, line, message.get());
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

// {"success": True, "result": {"return_value": _serialize(value)}}.
PyObject *function_success_result(PyObject *value) {
    const RunFunctionLines &line = kRunFunction.line;
    Ref outer = Ref::steal(PyDict_New());
    if (!outer || PyDict_SetItem(outer.get(), strings.success, Py_True) < 0)
        return fail_at(kRunFunction, line.success_dict);
    Ref inner = Ref::steal(PyDict_New());
    if (!inner) return fail_at(kRunFunction, line.success_inner);
    Ref serialized = Ref::steal(call_global(name_object(kFunctions.serialize), &value, 1));
    if (!serialized || PyDict_SetItem(inner.get(), strings.return_value, serialized.get()) < 0)
        return fail_at(kRunFunction, line.success_inner);
    if (PyDict_SetItem(outer.get(), strings.result, inner.get()) < 0)
        return fail_at(kRunFunction, line.success_dict);
    return outer.release();
}

// run_function's body up to its handler.  Returns the result, or null with
// the exception pending and run_function's entry on it.
PyObject *run_function_body(PyObject *path, PyObject *function_name, PyObject *args) {
    const RunFunctionLines &line = kRunFunction.line;
    bool missing = false;
    Ref p = Ref::steal(resolve_script_path(kRunFunction, line.path, path, &missing));
    if (!p) {
        if (!missing) return nullptr;
        return path_error_result(kRunFunction, line.path.not_found, strings.script_not_found, path);
    }

    Ref spec = Ref::steal(spec_for_script(p.get()));
    if (!spec) return nullptr;
    const int loadable = is_loadable(spec.get());
    if (loadable < 0) return nullptr;
    if (loadable == 0)
        return path_error_result(kRunFunction, line.cannot_load, strings.cannot_load, path);

    Ref module = Ref::steal(load_module(spec.get()));
    if (!module) return nullptr;

    // getattr(module, function_name, None): only AttributeError means absent.
    Ref func = Ref::steal(PyObject_GetAttr(module.get(), function_name));
    if (!func) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return fail_at(kRunFunction, line.lookup);
        PyErr_Clear();
    }
    const int truthy = func ? PyObject_IsTrue(func.get()) : 0;
    if (truthy < 0) return fail_at(kRunFunction, line.func_test);
    if (truthy == 0) return missing_function_result(module.get(), function_name);
    if (!PyCallable_Check(func.get())) return not_callable_result(function_name);

    // args is an exact dict or None, so its truth test cannot fail.
    Ref result;
    if (args_given(args)) {
        result = Ref::steal(call_with_keywords(func.get(), args));
        if (!result) return fail_at(kRunFunction, line.call_keywords);
    } else {
        result = Ref::steal(PyObject_CallNoArgs(func.get()));
        if (!result) return fail_at(kRunFunction, line.call_no_args);
    }
    return function_success_result(result.get());
}

}  // namespace

PyObject *run_function(PyObject *path, PyObject *function_name, PyObject *args) {
    HandledExceptionScope handled;
    PyObject *result = run_function_body(path, function_name, args);
    if (result != nullptr) return result;
    return failure_result(kRunFunction, kRunFunction.line.error_dict,
                          kRunFunction.line.error_report);
}

// ---------------------------------------------------------------------------
// validate_script
// ---------------------------------------------------------------------------

namespace {

PyObject *valid_result() {
    const ValidateScriptLines &line = kValidateScript.line;
    Ref outer = Ref::steal(PyDict_New());
    if (!outer || PyDict_SetItem(outer.get(), strings.success, Py_True) < 0)
        return fail_at(kValidateScript, line.valid_dict);
    Ref inner = Ref::steal(PyDict_New());
    if (!inner || PyDict_SetItem(inner.get(), strings.valid, Py_True) < 0 ||
        PyDict_SetItem(inner.get(), strings.message, strings.script_is_valid) < 0)
        return fail_at(kValidateScript, line.valid_inner);
    if (PyDict_SetItem(outer.get(), strings.result, inner.get()) < 0)
        return fail_at(kValidateScript, line.valid_dict);
    return outer.release();
}

// "Syntax error at line {e.lineno}: {e.msg}"
PyObject *syntax_error_message(PyObject *e) {
    Ref lineno = Ref::steal(PyObject_GetAttr(e, strings.lineno));
    if (!lineno) return nullptr;
    Ref lineno_text = Ref::steal(format_simple(lineno.get()));
    if (!lineno_text) return nullptr;
    Ref msg = Ref::steal(PyObject_GetAttr(e, strings.msg));
    if (!msg) return nullptr;
    Ref msg_text = Ref::steal(format_simple(msg.get()));
    if (!msg_text) return nullptr;
    PyObject *pieces[4] = {strings.syntax_error_at_line, lineno_text.get(), strings.colon_space,
                           msg_text.get()};
    return join_texts(pieces, 4);
}

// The invalid result for the caught syntax error `e`.
PyObject *invalid_result(PyObject *e) {
    const ValidateScriptLines &line = kValidateScript.line;
    Ref outer = Ref::steal(PyDict_New());
    if (!outer || PyDict_SetItem(outer.get(), strings.success, Py_True) < 0)
        return fail_at(kValidateScript, line.invalid_dict);
    Ref inner = Ref::steal(PyDict_New());
    if (!inner || PyDict_SetItem(inner.get(), strings.valid, Py_False) < 0)
        return fail_at(kValidateScript, line.invalid_inner);
    Ref message = Ref::steal(syntax_error_message(e));
    if (!message) return fail_at(kValidateScript, line.message);
    if (PyDict_SetItem(inner.get(), strings.message, message.get()) < 0)
        return fail_at(kValidateScript, line.invalid_inner);
    Ref error_line = Ref::steal(PyObject_GetAttr(e, strings.lineno));
    if (!error_line) return fail_at(kValidateScript, line.error_line);
    if (PyDict_SetItem(inner.get(), strings.line, error_line.get()) < 0)
        return fail_at(kValidateScript, line.invalid_inner);
    Ref offset = Ref::steal(PyObject_GetAttr(e, strings.offset));
    if (!offset) return fail_at(kValidateScript, line.error_offset);
    if (PyDict_SetItem(inner.get(), strings.offset, offset.get()) < 0)
        return fail_at(kValidateScript, line.invalid_inner);
    if (PyDict_SetItem(outer.get(), strings.result, inner.get()) < 0)
        return fail_at(kValidateScript, line.invalid_dict);
    return outer.release();
}

}  // namespace

PyObject *validate_script(PyObject *code) {
    HandledExceptionScope handled;
    Ref compiled = Ref::steal(compile_source(code, strings.validation_filename));
    if (compiled) {
        compiled.reset();
        return valid_result();
    }
    add_traceback(kValidateScript.traceback_name, kValidateScript.line.compile);
    if (!PyErr_ExceptionMatches(PyExc_SyntaxError)) return nullptr;
    // The syntax error is the handled exception while the result is built.
    Ref e = Ref::steal(PyErr_GetRaisedException());
    PyErr_SetHandledException(e.get());
    return invalid_result(e.get());
}

}  // namespace cw
