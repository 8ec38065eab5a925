// protocol.cpp: the command protocol: handle_command routes one request to
// its operation, main serves JSON lines on stdin/stdout.
#include "custom_worker.hpp"
#include "function_table.hpp"

#include <unistd.h>

namespace cw {
namespace {

constexpr const auto &kHandleCommand = kFunctions.handle_command;
constexpr const MainLines &kMainLine = kFunctions.main.line;

// ---------------------------------------------------------------------------
// The request record: the one piece of state the routing closures share, a
// strong reference to the request they read their fields from.  Each routed
// request gets a record of its own, as each call of handle_command makes
// closures over its own request: while the operation runs, the request is
// held by one more object that the garbage collector can see, as it would be
// by the closures' cell.
// ---------------------------------------------------------------------------

PyTypeObject *request_record_type = nullptr;

struct RequestRecord {
    PyObject_HEAD
    PyObject *cmd;
};

RequestRecord *as_record(PyObject *self) { return reinterpret_cast<RequestRecord *>(self); }

int record_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_record(self)->cmd);
    return 0;
}

int record_clear(PyObject *self) {
    Py_CLEAR(as_record(self)->cmd);
    return 0;
}

void record_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    record_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot kRecordSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(record_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(record_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(record_clear)},
    {0, nullptr},
};

PyType_Spec kRecordSpec = {
    "ombrix.workers.custom_worker.handle_command_closure",
    sizeof(RequestRecord),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kRecordSlots,
};

PyObject *new_record(PyObject *cmd) {
    RequestRecord *record = PyObject_GC_New(RequestRecord, request_record_type);
    if (record == nullptr) return nullptr;
    record->cmd = Py_NewRef(cmd);
    PyObject *self = reinterpret_cast<PyObject *>(record);
    PyObject_GC_Track(self);
    return self;
}

// ---------------------------------------------------------------------------
// The routing table, handle_command's row: an action selects a route, and the
// route's closure reads its fields from the request held by the call's
// request record.
// ---------------------------------------------------------------------------

constexpr const auto &kRoutes = kHandleCommand.line.routes;
constexpr int kRouteCount = static_cast<int>(kRoutes.size());

// The closures' traceback names, by position.
constexpr auto kClosureNames = [] {
    std::array<ComposedName, kRoutes.size()> names;
    for (std::size_t i = 0; i < names.size(); ++i) {
        names[i] = ComposedName({kHandleCommand.traceback_name.view(), ".lambda"},
                                static_cast<int>(i));
    }
    return names;
}();

constexpr bool closure_names_fit() {
    for (const ComposedName &name : kClosureNames) {
        if (!name.complete()) return false;
    }
    return true;
}
static_assert(closure_names_fit(), "a closure's traceback name does not fit");

// Each route's operation, by its position in the definition order.
constexpr auto kOperations = [] {
    std::array<int, kRoutes.size()> rows{};
    for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = definition_index(kRoutes[i].operation);
    return rows;
}();

PyObject *operation_name(int route) { return function_names[kOperations[route]]; }

PyObject *action_key(int route) {
    const Route &r = kRoutes[route];
    return r.action != nullptr ? strings.*r.action : operation_name(route);
}

PyObject *default_value(Default fallback) {
    switch (fallback) {
        case Default::EmptyText: return module_record.empty_str;
        case Default::ScriptMain: return strings.script_main;
        case Default::None: break;
    }
    return Py_None;
}

// The body of a routing closure: look the operation up by name, read the
// request's fields left to right (get-with-default), call the operation with
// them as positional arguments and return its result.
PyObject *run_route(int index, PyObject *record) {
    const Route &route = kRoutes[index];
    const char *traceback_name = kClosureNames[index];
    Ref operation = Ref::steal(get_global(operation_name(index)));
    if (!operation) {
        add_traceback(traceback_name, route.line);
        return nullptr;
    }
    PyObject *cmd = as_record(record)->cmd;
    // Slot 0 stays free so that a bound method can prepend its object
    // without copying the arguments.
    PyObject *argv[1 + kMaxFields] = {};
    Ref values[kMaxFields];
    for (int i = 0; i < route.nfields; ++i) {
        PyObject *value = PyDict_GetItemWithError(cmd, strings.*route.fields[i].key);
        if (value == nullptr) {
            if (PyErr_Occurred()) {
                add_traceback(traceback_name, route.line);
                return nullptr;
            }
            value = default_value(route.fields[i].fallback);
        }
        // Held strongly: the request may change while later fields are read.
        values[i] = Ref::borrow(value);
        argv[1 + i] = value;
    }
    PyObject *result =
        PyObject_Vectorcall(operation.get(), argv + 1,
                            static_cast<size_t>(route.nfields) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                            nullptr);
    if (result == nullptr) add_traceback(traceback_name, route.line);
    return result;
}

// `value == text` for a str constant, taken as a truth value: an exact str
// by content, anything else through the general comparison.
int equals_text(PyObject *value, PyObject *text) {
    if (PyUnicode_CheckExact(value)) return same_text(value, text);
    if (value == Py_None) return 0;
    Ref outcome = Ref::steal(PyObject_RichCompare(value, text, Py_EQ));
    if (!outcome) return -1;
    return PyObject_IsTrue(outcome.get());
}

// The index of the key, among `count` keys (`key_at(i)`), that a dictionary
// lookup of `action` would find: -1 when none, -2 with an exception set when
// hashing or comparing fails.  An exact str matches by content; anything
// else is hashed (so an unhashable action raises the lookup's TypeError) and
// compared with the keys of equal hash, key on the left, as the dictionary
// does.
template <class KeyAt>
int find_key(PyObject *action, int count, KeyAt key_at) {
    if (PyUnicode_CheckExact(action)) {
        for (int i = 0; i < count; ++i) {
            if (same_text(action, key_at(i))) return i;
        }
        return -1;
    }
    const Py_hash_t hash = PyObject_Hash(action);
    if (hash == -1) return -2;
    for (int i = 0; i < count; ++i) {
        PyObject *key = key_at(i);
        if (PyObject_Hash(key) != hash) continue;
        const int same = PyObject_RichCompareBool(key, action, Py_EQ);
        if (same < 0) return -2;
        if (same) return i;
    }
    return -1;
}

// The route `action` selects (find_key's results).
int find_route(PyObject *action) { return find_key(action, kRouteCount, action_key); }

// The text form of an unknown action: an exact str as it is, an exact int or
// float by its repr, anything else as format(action, "") renders it.
PyObject *action_text(PyObject *action) {
    if (PyUnicode_CheckExact(action)) return Py_NewRef(action);
    if (PyLong_CheckExact(action) || PyFloat_CheckExact(action)) return PyObject_Repr(action);
    return PyObject_Format(action, module_record.empty_str);
}

PyObject *unknown_action(PyObject *action) {
    Ref text = Ref::steal(action_text(action));
    if (!text) return nullptr;
    Ref error = Ref::steal(PyUnicode_Concat(strings.unknown_action, text.get()));
    if (!error) return nullptr;
    return result_dict(Py_False, strings.error, error.get());
}

constexpr const auto &kSessionRoutes = kHandleCommand.line.session_routes;

// The session action `action` selects (find_key's results), looked up
// after the routes.
int find_session_route(PyObject *action) {
    return find_key(action, static_cast<int>(kSessionRoutes.size()),
                    [](int i) { return strings.*kSessionRoutes[i].action; });
}

PyObject *dispatch(PyObject *cmd) {
    Ref action = Ref::borrow(PyDict_GetItemWithError(cmd, strings.action));
    if (!action) {
        if (PyErr_Occurred()) return nullptr;
        action = Ref::borrow(module_record.empty_str);
    }
    const int quit = equals_text(action.get(), strings.quit);
    if (quit < 0) return nullptr;
    if (quit) return result_dict(Py_True, strings.result, strings.goodbye);

    const int index = find_route(action.get());
    if (index == -2) return nullptr;
    if (index < 0) {
        const int session_index = find_session_route(action.get());
        if (session_index == -2) return nullptr;
        if (session_index < 0) return unknown_action(action.get());
        return kSessionRoutes[session_index].handler(cmd);
    }

    Ref record = Ref::steal(new_record(cmd));
    if (!record) return nullptr;
    Ref result = Ref::steal(run_route(index, record.get()));
    if (!result) return nullptr;
    if (!PyDict_CheckExact(result.get()) && result.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict",
                     Py_TYPE(result.get())->tp_name);
        return nullptr;
    }
    return result.release();
}

// ---------------------------------------------------------------------------
// main: the line loop
// ---------------------------------------------------------------------------

// signal.signal(signal.SIGINT, signal.SIG_IGN), the previous handler dropped.
int ignore_sigint() {
    Ref install = Ref::steal(global_attr(strings.signal, strings.signal));
    if (!install) return -1;
    Ref sigint = Ref::steal(global_attr(strings.signal, strings.SIGINT));
    if (!sigint) return -1;
    Ref ignore = Ref::steal(global_attr(strings.signal, strings.SIG_IGN));
    if (!ignore) return -1;
    PyObject *argv[] = {sigint.get(), ignore.get()};
    Ref previous = Ref::steal(PyObject_Vectorcall(install.get(), argv, 2, nullptr));
    return previous ? 0 : -1;
}

// `line.strip()`.  An exact str is stripped here, with the same notion of
// whitespace as str.strip; anything else gets its own strip method called.
PyObject *strip_line(PyObject *line) {
    if (!PyUnicode_CheckExact(line)) return PyObject_CallMethodNoArgs(line, strings.strip);
    const int kind = PyUnicode_KIND(line);
    const void *data = PyUnicode_DATA(line);
    Py_ssize_t start = 0;
    Py_ssize_t end = PyUnicode_GET_LENGTH(line);
    while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) ++start;
    while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
    return PyUnicode_Substring(line, start, end);
}

int is_true(PyObject *value) {
    if (PyUnicode_CheckExact(value)) return PyUnicode_GET_LENGTH(value) != 0;
    return PyObject_IsTrue(value);
}

// A pool worker's answers end with the request's mark (see mark_answers);
// null until the start-up asks for marks.
PyObject *mark_key = nullptr;

// The mark a request asks its answer to end with: its "_mark" field when
// marks are on and the field is a str, else empty.  A reference of its own:
// the request dict is the script's to reach while the answer is written.
Ref answer_mark(PyObject *cmd) {
    if (mark_key == nullptr || !PyDict_CheckExact(cmd)) return Ref();
    PyObject *mark = PyDict_GetItemWithError(cmd, mark_key);
    if (mark == nullptr) {
        PyErr_Clear();  // decoded JSON keys are str: a failed lookup is a missing mark
        return Ref();
    }
    return PyUnicode_CheckExact(mark) ? Ref::borrow(mark) : Ref();
}

// sys.stdout.write(json.dumps(response) + "\n") at `write_line`, then
// sys.stdout.flush() at `flush_line`.  With a mark, the mark's line follows
// the response in the same write.  Returns 0, or the failing line.
int write_response(PyObject *response, int write_line, int flush_line, PyObject *mark = nullptr) {
    Ref out = Ref::steal(global_attr(strings.sys, strings.stdout));
    if (!out) return write_line;
    Ref write = Ref::steal(PyObject_GetAttr(out.get(), strings.write));
    if (!write) return write_line;
    Ref dumps = Ref::steal(global_attr(strings.json, strings.dumps));
    if (!dumps) return write_line;
    Ref text = Ref::steal(PyObject_Vectorcall(dumps.get(), &response, 1, nullptr));
    if (!text) return write_line;
    Ref framed = Ref::steal(PyNumber_Add(text.get(), strings.newline));
    if (!framed) return write_line;
    if (mark != nullptr) {
        framed = Ref::steal(PyNumber_Add(framed.get(), mark));
        if (framed) framed = Ref::steal(PyNumber_Add(framed.get(), strings.newline));
        if (!framed) return write_line;
    }
    PyObject *framed_arg = framed.get();
    Ref written = Ref::steal(PyObject_Vectorcall(write.get(), &framed_arg, 1, nullptr));
    if (!written) return write_line;

    out = Ref::steal(global_attr(strings.sys, strings.stdout));
    if (!out) return flush_line;
    Ref flushed = Ref::steal(PyObject_CallMethodNoArgs(out.get(), strings.flush));
    return flushed ? 0 : flush_line;
}

// Returned by a step whose exception already carries main's entry.
constexpr int kRecorded = -1;

// The handler of a failed json.loads, with that exception pending; main's
// entry for the decoding step is added to it first.  A json.JSONDecodeError
// is answered with the malformed-line response (0 is returned and the loop
// goes on); anything else stays pending (kRecorded).  If the handler itself
// fails, its line is returned with the new exception pending, the decoding
// error as its context.  `outer` is the handled exception to restore once
// the handler is done.
int answer_decode_error(PyObject *outer) {
    add_traceback(kFunctions.main.traceback_name, kMainLine.loads);
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref decode_error = Ref::steal(global_attr(strings.json, strings.JSONDecodeError));
    if (!decode_error) {
        Ref failure = Ref::steal(PyErr_GetRaisedException());
        PyException_SetContext(failure.get(), exc.release());
        PyErr_SetRaisedException(failure.release());
        return kMainLine.decode_handler;
    }
    if (!PyErr_GivenExceptionMatches(exc.get(), decode_error.get())) {
        PyErr_SetRaisedException(exc.release());
        return kRecorded;
    }
    // Inside the handler the decoding error is the handled exception, so
    // anything raised while answering is chained to it.
    PyErr_SetHandledException(exc.get());
    Ref text = Ref::steal(format_simple(exc.get()));
    Ref error = text ? Ref::steal(PyUnicode_Concat(strings.invalid_json, text.get())) : Ref();
    Ref response = error ? Ref::steal(result_dict(Py_False, strings.error, error.get())) : Ref();
    if (!response) return kMainLine.invalid_response;
    const int failed = write_response(response.get(), kMainLine.invalid_write, kMainLine.invalid_flush);
    if (failed) return failed;
    PyErr_SetHandledException(outer);
    return 0;
}

// Whether the request asked to stop: cmd.get("action") == "quit".
int asks_to_quit(PyObject *cmd) {
    Ref action;
    if (PyDict_CheckExact(cmd)) {
        action = Ref::borrow(PyDict_GetItemWithError(cmd, strings.action));
        if (!action) {
            if (PyErr_Occurred()) return -1;
            return 0;
        }
    } else {
        action = Ref::steal(PyObject_CallMethodOneArg(cmd, strings.get, strings.action));
        if (!action) return -1;
    }
    return equals_text(action.get(), strings.quit);
}

// While main serves, sys.stdin is an empty text stream, so a script that
// calls input() or reads sys.stdin gets EOFError or "" instead of consuming
// the next request line; the loop goes on iterating the stream it took at
// its start.  restore() puts that stream back if sys.stdin is still the
// empty one, on every way out of main.
class StdinLoan {
public:
    StdinLoan() noexcept = default;
    StdinLoan(const StdinLoan &) = delete;
    StdinLoan &operator=(const StdinLoan &) = delete;

    // Binds sys.stdin to a new empty StringIO.  0, or -1 with an exception set.
    int begin(PyObject *original) {
        Ref empty = Ref::steal(call_global(strings.StringIO, nullptr, 0));
        if (!empty || set_sys_stream(strings.stdin, empty.get()) < 0) return -1;
        original_ = Ref::borrow(original);
        empty_ = std::move(empty);
        return 0;
    }

    // Runs with or without an exception in flight, as a finally clause: a
    // failing restore raises with main's entry at `line`, the exception in
    // flight (if any) as its context.  Returns -1 when it raised, else 0.
    int restore(int line) {
        if (!empty_) return 0;
        int rc = 0;
        run_finally([&] {
            if (put_back() == 0) return 0;
            add_traceback(kFunctions.main.traceback_name, line);
            rc = -1;
            return -1;
        });
        empty_.reset();
        original_.reset();
        return rc;
    }

private:
    // sys.stdin = original, if sys.stdin is still the empty stream (a
    // missing attribute is not).
    int put_back() {
        Ref sys = Ref::steal(get_global(strings.sys));
        if (!sys) return -1;
        Ref current = Ref::steal(get_module_attr(sys.get(), strings.stdin));
        if (!current) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
            return 0;
        }
        if (current.get() != empty_.get()) return 0;
        return set_module_attr(sys.get(), strings.stdin, original_.get());
    }

    Ref original_, empty_;
};

// A script that calls os.fork() and lets the child return brings the child
// back into this loop, on the parent's pipes.  The child must neither answer
// nor read: it ends at once, without flushing what it inherited buffered,
// with the status the interpreter would give the pending exception
// (SystemExit's code: None 0, an int itself, anything else 1; any other
// exception 1) or 0 after a result.
[[noreturn]] void end_forked_copy() {
    int status = 0;
    if (PyErr_Occurred()) {
        status = 1;
        if (PyErr_ExceptionMatches(PyExc_SystemExit)) {
            Ref exc = Ref::steal(PyErr_GetRaisedException());
            Ref code = Ref::steal(PyObject_GetAttrString(exc.get(), "code"));
            if (code && code.get() == Py_None) {
                status = 0;
            } else if (code && PyLong_Check(code.get())) {
                const long value = PyLong_AsLong(code.get());
                status = value == -1 && PyErr_Occurred() ? 1 : static_cast<int>(value);
            }
        }
    }
    _exit(status);
}

// The loop.  Returns 0 when it ends normally; otherwise an exception is
// pending and the line of the failing step (or kRecorded) is returned.
int serve(PyObject *outer, StdinLoan &loan) {
    const pid_t serving_pid = getpid();
    if (ignore_sigint() < 0) return kMainLine.ignore_sigint;
    Ref stdin_ = Ref::steal(global_attr(strings.sys, strings.stdin));
    if (!stdin_) return kMainLine.read_stdin;
    Ref lines = Ref::steal(PyObject_GetIter(stdin_.get()));
    if (!lines) return kMainLine.read_stdin;
    if (loan.begin(stdin_.get()) < 0) return kMainLine.read_stdin;
    stdin_.reset();
    for (;;) {
        Ref line = Ref::steal(PyIter_Next(lines.get()));
        if (!line) return PyErr_Occurred() ? kMainLine.read_stdin : 0;
        line = Ref::steal(strip_line(line.get()));
        if (!line) return kMainLine.strip;
        const int nonblank = is_true(line.get());
        if (nonblank < 0) return kMainLine.blank_test;
        if (!nonblank) continue;

        Ref loads = Ref::steal(global_attr(strings.json, strings.loads));
        if (!loads) return kMainLine.loads;
        PyObject *line_arg = line.get();
        Ref cmd = Ref::steal(PyObject_Vectorcall(loads.get(), &line_arg, 1, nullptr));
        if (!cmd) {
            const int failed = answer_decode_error(outer);
            if (failed) return failed;
            continue;
        }

        PyObject *cmd_arg = cmd.get();
        Ref response = Ref::steal(call_global(name_object(kHandleCommand), &cmd_arg, 1));
        if (getpid() != serving_pid) end_forked_copy();
        if (!response) return kMainLine.handle;
        Ref mark = answer_mark(cmd.get());
        const int failed = write_response(response.get(), kMainLine.write, kMainLine.flush, mark.get());
        if (failed) return failed;
        const int quit = asks_to_quit(cmd.get());
        if (quit < 0) return kMainLine.quit_test;
        if (quit) return 0;
    }
}

}  // namespace

int ready_request_record_type() {
    if (request_record_type != nullptr) return 0;
    PyObject *type = PyType_FromSpec(&kRecordSpec);
    if (type == nullptr) return -1;
    request_record_type = reinterpret_cast<PyTypeObject *>(type);
    return 0;
}

PyObject *mark_answers(PyObject *, PyObject *) {
    if (mark_key == nullptr) {
        mark_key = PyUnicode_InternFromString("_mark");
        if (mark_key == nullptr) return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *handle_command(PyObject *cmd) {
    PyObject *result = dispatch(cmd);
    if (result == nullptr) add_traceback(kHandleCommand.traceback_name, kHandleCommand.line.dispatch);
    return result;
}

PyObject *main_loop() {
    HandledExceptionScope scope;
    Ref outer = Ref::steal(current_level_exception());
    StdinLoan loan;
    const int failed = serve(outer.get(), loan);
    if (failed && failed != kRecorded) add_traceback(kFunctions.main.traceback_name, failed);
    if (loan.restore(kMainLine.read_stdin) < 0 || failed) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace cw
