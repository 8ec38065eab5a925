// cell.cpp: the `execute` action: runs one cell in the session's namespace
// or a new one, with its output streamed as events, SIGINT raising
// KeyboardInterrupt while it runs, and answers with the cell's last value,
// its displays and its error.
#include "session.hpp"
#include "function_table.hpp"

#include <csignal>

namespace cw {
namespace {

// What every cell uses, looked up before the first cell and kept for the
// process's life: never released, since they outlive every cell and a
// release at exit would come after the interpreter is gone.
struct CellHelpers {
    PyObject *parse = nullptr;              // ast.parse
    PyObject *expr_type = nullptr;          // ast.Expr
    PyObject *expression_type = nullptr;    // ast.Expression
    PyObject *set_handler = nullptr;        // _signal.signal: signal.signal without its enum conversions
    PyObject *sigint = nullptr;             // SIGINT as an int
    PyObject *interrupt_handler = nullptr;  // signal.default_int_handler
};
CellHelpers helpers;

int load_helpers() {
    CellHelpers loaded;
    loaded.parse = module_attr("ast", "parse");
    loaded.expr_type = loaded.parse ? module_attr("ast", "Expr") : nullptr;
    loaded.expression_type = loaded.expr_type ? module_attr("ast", "Expression") : nullptr;
    loaded.set_handler = loaded.expression_type ? module_attr("_signal", "signal") : nullptr;
    loaded.sigint = loaded.set_handler ? PyLong_FromLong(SIGINT) : nullptr;
    loaded.interrupt_handler = loaded.sigint ? module_attr("_signal", "default_int_handler") : nullptr;
    if (loaded.interrupt_handler == nullptr) {
        for (PyObject *held : {loaded.parse, loaded.expr_type, loaded.expression_type, loaded.set_handler,
                               loaded.sigint}) {
            Py_XDECREF(held);
        }
        return -1;
    }
    helpers = loaded;
    return 0;
}

// The pending exception, taken: the first error of the cell is kept and any
// later one dropped.
void keep_error(Ref &error) {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!error) error = std::move(exc);
}

// compile(tree, "<cell>", mode, 0, True).  New reference.
PyObject *compile_tree(PyObject *tree, PyObject *filename, const char *mode) {
    return PyObject_CallFunction(module_record.compile, "OOsii", tree, filename, mode, 0, 1);
}

// Splits the cell's source: the statements (null when none are left: a cell
// that is one expression compiles and runs nothing else), and the last
// statement's expression when the cell ends with one (else `expression`
// stays null).  0, or -1 with an exception set.
int compile_cell(PyObject *source, Ref &statements, Ref &expression) {
    Ref filename = Ref::steal(PyUnicode_FromString("<cell>"));
    Ref tree = filename ? Ref::steal(PyObject_CallFunctionObjArgs(helpers.parse, source, filename.get(),
                                                                   nullptr))
                        : Ref();
    Ref body = tree ? Ref::steal(PyObject_GetAttrString(tree.get(), "body")) : Ref();
    if (!body) return -1;
    if (!PyList_Check(body.get())) {
        PyErr_SetString(PyExc_TypeError, "the cell's tree has no statement list");
        return -1;
    }
    const Py_ssize_t n = PyList_GET_SIZE(body.get());
    if (n > 0) {
        Ref last = Ref::borrow(PyList_GET_ITEM(body.get(), n - 1));
        const int ends_with_expression = PyObject_IsInstance(last.get(), helpers.expr_type);
        if (ends_with_expression < 0) return -1;
        if (ends_with_expression) {
            Ref value = Ref::steal(PyObject_GetAttrString(last.get(), "value"));
            Ref wrapped = value ? Ref::steal(PyObject_CallOneArg(helpers.expression_type, value.get())) : Ref();
            if (!wrapped) return -1;
            expression = Ref::steal(compile_tree(wrapped.get(), filename.get(), "eval"));
            if (!expression || PyList_SetSlice(body.get(), n - 1, n, nullptr) < 0) return -1;
            if (n == 1) return 0;
        }
    }
    statements = Ref::steal(compile_tree(tree.get(), filename.get(), "exec"));
    return statements ? 0 : -1;
}

// SIGINT raises KeyboardInterrupt while the cell runs: the default handler is
// installed for the cell and the previous one put back after.
class InterruptScope {
public:
    InterruptScope() = default;
    InterruptScope(const InterruptScope &) = delete;
    InterruptScope &operator=(const InterruptScope &) = delete;

    // 0, or -1 with an exception set.  Outside the main thread handlers
    // cannot be changed: the cell then runs without them.
    int begin() {
        previous_ = Ref::steal(PyObject_CallFunctionObjArgs(helpers.set_handler, helpers.sigint,
                                                            helpers.interrupt_handler, nullptr));
        if (previous_) return 0;
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return -1;
        PyErr_Clear();
        return 0;
    }

    // Puts the previous handler back.  An interrupt still pending is handled
    // by the handler change itself: it is the cell's, and becomes the cell's
    // error when it has none.  0, or -1 with an exception set.
    int end(Ref &error) {
        if (!previous_) return 0;
        for (int attempt = 0; attempt < 100; ++attempt) {
            Ref done = Ref::steal(PyObject_CallFunctionObjArgs(helpers.set_handler, helpers.sigint,
                                                               previous_.get(), nullptr));
            if (done) {
                previous_.reset();
                return 0;
            }
            if (!PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) return -1;
            keep_error(error);
        }
        PyErr_SetString(PyExc_RuntimeError, "cannot restore the SIGINT handler");
        return -1;
    }

private:
    Ref previous_;
};

// sys.stdout and sys.stderr are the cell's streams while it runs; the
// worker's own come back after.
class StreamScope {
public:
    StreamScope() = default;
    StreamScope(const StreamScope &) = delete;
    StreamScope &operator=(const StreamScope &) = delete;

    int begin(long long limit) {
        saved_out_ = Ref::steal(global_attr(strings.sys, strings.stdout));
        saved_err_ = saved_out_ ? Ref::steal(global_attr(strings.sys, strings.stderr)) : Ref();
        if (!saved_err_) return -1;
        begin_cell_output(saved_out_.get(), limit);
        started_ = true;
        out_ = Ref::steal(cell_stream(0, strings.stdout, "strict"));
        err_ = out_ ? Ref::steal(cell_stream(1, strings.stderr, "backslashreplace")) : Ref();
        if (!err_ || set_sys_stream(strings.stdout, out_.get()) < 0 ||
            set_sys_stream(strings.stderr, err_.get()) < 0) {
            return -1;
        }
        return 0;
    }

    // Flushes what the cell left in its streams (an error is the cell's when
    // it has none), puts the worker's streams back and ends the output.
    // Returns the limit's exception through `limit_error`.  0, or -1 with an
    // exception set when the worker's streams cannot be put back.
    int end(Ref &error, Ref &limit_error) {
        for (PyObject *stream : {out_.get(), err_.get()}) {
            if (stream == nullptr) continue;
            // A stream the cell closed has nothing left to flush.
            Ref closed = Ref::steal(PyObject_GetAttrString(stream, "closed"));
            const int is_closed = closed ? PyObject_IsTrue(closed.get()) : -1;
            if (is_closed != 0) {
                if (is_closed < 0) keep_error(error);
                continue;
            }
            Ref flushed = Ref::steal(PyObject_CallMethodNoArgs(stream, strings.flush));
            if (!flushed) keep_error(error);
        }
        if (!started_) return 0;
        if (finish_cell_streams() < 0) keep_error(error);
        limit_error = Ref::steal(end_cell_output());
        started_ = false;
        if (set_sys_stream(strings.stdout, saved_out_.get()) < 0 ||
            set_sys_stream(strings.stderr, saved_err_.get()) < 0) {
            return -1;
        }
        return 0;
    }

    ~StreamScope() {
        if (started_) {
            PyObject *exc = PyErr_GetRaisedException();
            Py_XDECREF(end_cell_output());
            if (saved_out_) set_sys_stream(strings.stdout, saved_out_.get());
            if (saved_err_) set_sys_stream(strings.stderr, saved_err_.get());
            PyErr_Clear();
            PyErr_SetRaisedException(exc);
        }
    }

private:
    Ref saved_out_, saved_err_, out_, err_;
    bool started_ = false;
};

// What the cell produced.
struct CellOutcome {
    Ref value_text;    // repr of the last value, or null
    Ref return_value;  // the last value serialised, or null
    Ref error;         // the exception the cell ended with, or null
};

// Runs the cell's code in `ns`, then offers its last value and the figures
// it left open.  Every failure is the cell's.
void run_cell(PyObject *source, PyObject *ns, CellOutcome &outcome) {
    Ref statements, expression;
    if (compile_cell(source, statements, expression) < 0) {
        keep_error(outcome.error);
        // The parser's own frames are not the cell's.
        if (outcome.error && PyException_SetTraceback(outcome.error.get(), Py_None) < 0) {
            PyErr_Clear();  // the traceback is then only longer
        }
        return;
    }
    Ref value = statements ? Ref::steal(PyEval_EvalCode(statements.get(), ns, ns)) : Ref::borrow(Py_None);
    if (value && expression) value = Ref::steal(PyEval_EvalCode(expression.get(), ns, ns));
    if (!value) keep_error(outcome.error);
    if (render_open_figures() < 0) keep_error(outcome.error);
    if (!value || value.get() == Py_None || !expression) return;
    outcome.value_text = Ref::steal(PyObject_Repr(value.get()));
    PyObject *value_arg = value.get();
    if (outcome.value_text) {
        outcome.return_value = Ref::steal(call_global(name_object(kFunctions.serialize), &value_arg, 1));
    }
    if (!outcome.return_value || offer_display(value.get()) < 0) {
        keep_error(outcome.error);
        outcome.value_text.reset();
        outcome.return_value.reset();
    }
}

// str(exc), or with `traceback` the formatted traceback's lines joined; the
// text `fallback` when that fails.
PyObject *exception_text(PyObject *exc, bool traceback, const char *fallback) {
    Ref text;
    if (!traceback) {
        text = Ref::steal(PyObject_Str(exc));
    } else {
        Ref format = Ref::steal(module_attr("traceback", "format_exception"));
        Ref lines = format ? Ref::steal(PyObject_CallOneArg(format.get(), exc)) : Ref();
        text = lines ? Ref::steal(PyUnicode_Join(module_record.empty_str, lines.get())) : Ref();
    }
    if (text) return text.release();
    PyErr_Clear();
    return PyUnicode_FromString(fallback);
}

// {"name": ..., "message": ..., "traceback": ...} for the cell's error; the
// output limit's error whenever the limit was passed.
PyObject *error_dict(PyObject *exc, PyObject *limit_error) {
    Ref name, message;
    if (limit_error != nullptr) {
        exc = limit_error;
        name = Ref::steal(PyUnicode_FromString("OutputLimitExceeded"));
        message = Ref::steal(PyUnicode_FromFormat("the cell's output passed %lld bytes",
                                                  cell_output_limit()));
    } else {
        name = Ref::steal(PyType_GetName(Py_TYPE(exc)));
        message = name ? Ref::steal(exception_text(exc, false, "<str() of the exception failed>")) : Ref();
    }
    // Each step runs only when the one before left no exception set.
    if (!name || !message) return nullptr;
    Ref traceback = Ref::steal(exception_text(exc, true, "<the traceback could not be formatted>\n"));
    if (!traceback) return nullptr;
    return Py_BuildValue("{s:O,s:O,s:O}", "name", name.get(), "message", message.get(),
                         "traceback", traceback.get());
}

// Before the first cell: matplotlib draws without a display, and pyplot's
// show() does not warn that it cannot show.  0, or -1 with an exception set.
int prepare_first_cell() {
    static bool prepared = false;
    if (prepared) return 0;
    if (helpers.interrupt_handler == nullptr && load_helpers() < 0) return -1;
    Ref environ = Ref::steal(module_attr("os", "environ"));
    Ref set = environ ? Ref::steal(PyObject_CallMethod(environ.get(), "setdefault", "ss",
                                                       "MPLBACKEND", "Agg"))
                      : Ref();
    Ref filter = set ? Ref::steal(module_attr("warnings", "filterwarnings")) : Ref();
    Ref args = filter ? Ref::steal(Py_BuildValue("(s)", "ignore")) : Ref();
    Ref kwargs = args ? Ref::steal(Py_BuildValue("{s:s}", "message",
                                                 ".*non-interactive, and thus cannot be shown"))
                      : Ref();
    Ref filtered = kwargs ? Ref::steal(PyObject_Call(filter.get(), args.get(), kwargs.get())) : Ref();
    if (!filtered) return -1;
    prepared = true;
    return 0;
}

// The request's field `key`: null without an exception when missing.
PyObject *field(PyObject *cmd, const char *key) {
    PyObject *value = PyDict_GetItemString(cmd, key);  // decoded keys are str
    return value;
}

// Whether a cell runs; while one does, its displays are being collected.
bool cell_running = false;

class RunningCell {
public:
    RunningCell() noexcept { cell_running = true; }
    ~RunningCell() {
        cell_running = false;
        Py_XDECREF(end_displays());  // displays not taken: the cell failed to run
    }
    RunningCell(const RunningCell &) = delete;
    RunningCell &operator=(const RunningCell &) = delete;
};

}  // namespace

PyObject *execute_action(PyObject *cmd) {
    PyObject *code = field(cmd, "code");
    PyObject *session = field(cmd, "session");
    PyObject *max_output = field(cmd, "max_output");
    if (code == nullptr || !PyUnicode_Check(code)) return failure_answer("execute: code must be a str");
    if (session != nullptr && !PyBool_Check(session) && session != Py_None) {
        return failure_answer("execute: session must be a bool");
    }
    if (max_output == nullptr || !PyLong_CheckExact(max_output)) {
        return failure_answer("execute: max_output must be an int");
    }
    const long long limit = PyLong_AsLongLong(max_output);
    if (limit == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return failure_answer("execute: max_output is out of range");
    }
    if (limit < 0) return failure_answer("execute: max_output must not be negative");
    const bool in_session = session == Py_True;
    if (in_session && session_state.ns == nullptr) {
        return failure_answer("execute: no session: send the session action first");
    }
    // A cell that runs a cell would share its streams and displays.
    if (cell_running) return failure_answer("execute: a cell is already running");
    // The request's objects are held: the cell may change the request dict.
    Ref source = Ref::borrow(code);
    Ref ns = in_session ? Ref::borrow(session_state.ns) : Ref::steal(new_cell_namespace());
    if (!ns || prepare_first_cell() < 0) return nullptr;

    CellOutcome outcome;
    Ref limit_error;
    Ref displays;
    {
        RunningCell running;
        if (begin_displays() < 0) return nullptr;
        StreamScope streams;
        if (streams.begin(limit) < 0) return nullptr;
        InterruptScope interrupts;
        if (interrupts.begin() < 0) return nullptr;
        run_cell(source.get(), ns.get(), outcome);
        if (interrupts.end(outcome.error) < 0) return nullptr;
        if (streams.end(outcome.error, limit_error) < 0) return nullptr;
        displays = Ref::steal(end_displays());
    }
    if (!displays) return nullptr;
    Ref error = Ref::borrow(Py_None);
    if (outcome.error || limit_error) {
        error = Ref::steal(error_dict(outcome.error.get(), limit_error.get()));
        if (!error) return nullptr;
    }
    PyObject *value = outcome.value_text ? outcome.value_text.get() : Py_None;
    PyObject *return_value = outcome.return_value ? outcome.return_value.get() : Py_None;
    return Py_BuildValue("{s:O,s:O,s:O,s:O,s:O}", "success", Py_True, "value", value,
                         "return_value", return_value, "displays", displays.get(), "error",
                         error.get());
}

}  // namespace cw
