// cell_stream.cpp: the streams a cell writes to.  sys.stdout and sys.stderr
// are text wrappers over a binary stream of this file's type, whose every
// write is decoded (incrementally, invalid bytes replaced) and sent to the
// answer stream at once as one event line {"stream": name, "text": text},
// counted against the cell's output limit.
#include "session.hpp"

#include <cstring>

#include <unistd.h>

namespace cw {
namespace {

// The running cell's output.  The streams are the same from cell to cell
// (a logging handler made in one cell writes to the next); between cells
// their writes fail.
struct CellOutput {
    PyObject *answer = nullptr;       // strong while a cell runs
    PyObject *limit_error = nullptr;  // strong: raised when the limit was passed
    long long limit = 0;
    long long sent = 0;
    pid_t pid = 0;  // the process that runs the cell
    bool running = false;
};
CellOutput output;

PyTypeObject *stream_type = nullptr;

struct CellStream {
    PyObject_HEAD
    PyObject *name;  // "stdout" or "stderr"
    bool closed;
    int npending;                // bytes of an unfinished UTF-8 sequence
    unsigned char pending[4];
};

CellStream *as_stream(PyObject *self) { return reinterpret_cast<CellStream *>(self); }

// The exception type a write past the limit raises (made once).
PyObject *limit_type = nullptr;

int ready_limit_type() {
    if (limit_type != nullptr) return 0;
    limit_type = PyErr_NewExceptionWithDoc(
        "ombrix.workers.custom_worker.OutputLimitExceeded",
        "Raised in a cell whose output passed its limit.", PyExc_Exception, nullptr);
    return limit_type == nullptr ? -1 : 0;
}

// Raises OutputLimitExceeded in the cell; the first one raised is kept as
// the cell's error, whatever the cell does with it.
void raise_limit_error() {
    if (ready_limit_type() < 0) return;
    Ref message = Ref::steal(PyUnicode_FromFormat("the cell's output passed %lld bytes",
                                                  output.limit));
    if (!message) return;
    Ref error = Ref::steal(PyObject_CallOneArg(limit_type, message.get()));
    if (!error) return;
    if (output.limit_error == nullptr) output.limit_error = Py_NewRef(error.get());
    PyErr_SetObject(limit_type, error.get());
}

// Writes {"stream": name, "text": text} and a newline to the answer stream
// and flushes it.  0, or -1 with an exception set.
int send_event(PyObject *name, PyObject *text) {
    Ref event = Ref::steal(PyDict_New());
    if (!event || PyDict_SetItemString(event.get(), "stream", name) < 0 ||
        PyDict_SetItemString(event.get(), "text", text) < 0) {
        return -1;
    }
    Ref dumps = Ref::steal(global_attr(strings.json, strings.dumps));
    if (!dumps) return -1;
    PyObject *event_arg = event.get();
    Ref line = Ref::steal(PyObject_Vectorcall(dumps.get(), &event_arg, 1, nullptr));
    if (!line) return -1;
    line = Ref::steal(PyNumber_Add(line.get(), strings.newline));
    if (!line) return -1;
    Ref answer = Ref::borrow(output.answer);  // the answer stream may run Python code
    Ref written = Ref::steal(PyObject_CallMethodOneArg(answer.get(), strings.write, line.get()));
    if (!written) return -1;
    Ref flushed = Ref::steal(PyObject_CallMethodNoArgs(answer.get(), strings.flush));
    return flushed ? 0 : -1;
}

// The length of the longest prefix of `data[0, n)` within `budget` bytes
// that does not cut a UTF-8 sequence.
Py_ssize_t fitting_prefix(const unsigned char *data, Py_ssize_t n, long long budget) {
    if (budget >= n) return n;
    Py_ssize_t cut = static_cast<Py_ssize_t>(budget);
    while (cut > 0 && (data[cut] & 0xC0) == 0x80) --cut;
    return cut;
}

// Decodes `data` after the stream's pending bytes; an unfinished sequence at
// the end is kept for the next write.  New reference.
PyObject *decode_more(CellStream *stream, const unsigned char *data, Py_ssize_t n) {
    const Py_ssize_t total = stream->npending + n;
    Ref joined = Ref::steal(PyBytes_FromStringAndSize(nullptr, total));
    if (!joined) return nullptr;
    char *bytes = PyBytes_AS_STRING(joined.get());
    if (stream->npending > 0) std::memcpy(bytes, stream->pending, static_cast<size_t>(stream->npending));
    if (n > 0) std::memcpy(bytes + stream->npending, data, static_cast<size_t>(n));
    Py_ssize_t consumed = 0;
    PyObject *text = PyUnicode_DecodeUTF8Stateful(bytes, total, "replace", &consumed);
    if (text == nullptr) return nullptr;
    const Py_ssize_t left = total - consumed;
    if (left < 0 || left > 4) {  // never past one unfinished sequence
        Py_DECREF(text);
        PyErr_SetString(PyExc_SystemError, "cell stream: unexpected decoder state");
        return nullptr;
    }
    std::memcpy(stream->pending, bytes + consumed, static_cast<size_t>(left));
    stream->npending = static_cast<int>(left);
    return text;
}

PyObject *stream_write(PyObject *self, PyObject *data) {
    CellStream *stream = as_stream(self);
    if (stream->closed) {
        PyErr_SetString(PyExc_ValueError, "I/O operation on closed file.");
        return nullptr;
    }
    if (!output.running) {
        PyErr_SetString(PyExc_ValueError, "write to a cell's stream while no cell runs");
        return nullptr;
    }
    // A process the cell forked shares the answer pipe but not the answer.
    if (getpid() != output.pid) {
        PyErr_SetString(PyExc_ValueError, "write to a cell's stream from another process");
        return nullptr;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return nullptr;
    const auto *bytes = static_cast<const unsigned char *>(view.buf);
    const Py_ssize_t n = view.len;
    const long long budget = output.limit - output.sent;
    const bool over = n > budget;
    if (over && output.limit_error != nullptr) {
        PyBuffer_Release(&view);
        raise_limit_error();
        return nullptr;
    }
    const Py_ssize_t fits = fitting_prefix(bytes, n, budget < 0 ? 0 : budget);
    output.sent += fits;
    Ref text = Ref::steal(decode_more(stream, bytes, fits));
    PyBuffer_Release(&view);
    if (!text) return nullptr;
    Ref name = Ref::borrow(stream->name);
    if (PyUnicode_GET_LENGTH(text.get()) > 0 && send_event(name.get(), text.get()) < 0) {
        return nullptr;
    }
    if (over) {
        // Nothing more is sent for this cell.
        output.sent = output.limit;
        raise_limit_error();
        return nullptr;
    }
    return PyLong_FromSsize_t(n);
}

PyObject *stream_true(PyObject *, PyObject *) { Py_RETURN_TRUE; }
PyObject *stream_false(PyObject *, PyObject *) { Py_RETURN_FALSE; }

PyObject *stream_flush(PyObject *self, PyObject *) {
    if (as_stream(self)->closed) {
        PyErr_SetString(PyExc_ValueError, "I/O operation on closed file.");
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *stream_close(PyObject *self, PyObject *) {
    as_stream(self)->closed = true;
    Py_RETURN_NONE;
}

PyObject *stream_unsupported(PyObject *, PyObject *) {
    Ref unsupported = Ref::steal(module_attr("io", "UnsupportedOperation"));
    if (unsupported) PyErr_SetString(unsupported.get(), "a cell's stream has no file descriptor");
    return nullptr;
}

PyObject *stream_closed(PyObject *self, void *) { return PyBool_FromLong(as_stream(self)->closed); }

PyObject *stream_name(PyObject *self, void *) {
    return PyUnicode_FromFormat("<%U>", as_stream(self)->name);
}

int stream_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_stream(self)->name);
    return 0;
}

int stream_clear(PyObject *self) {
    Py_CLEAR(as_stream(self)->name);
    return 0;
}

void stream_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    stream_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef kStreamMethods[] = {
    {"write", stream_write, METH_O, "Send bytes as one output event of the cell."},
    {"writable", stream_true, METH_NOARGS, nullptr},
    {"readable", stream_false, METH_NOARGS, nullptr},
    {"seekable", stream_false, METH_NOARGS, nullptr},
    {"isatty", stream_false, METH_NOARGS, nullptr},
    {"flush", stream_flush, METH_NOARGS, nullptr},
    {"close", stream_close, METH_NOARGS, nullptr},
    {"fileno", stream_unsupported, METH_NOARGS, "Raises io.UnsupportedOperation."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kStreamGetSet[] = {
    {"closed", stream_closed, nullptr, nullptr, nullptr},
    {"name", stream_name, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kStreamSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(stream_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(stream_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(stream_clear)},
    {Py_tp_methods, kStreamMethods},
    {Py_tp_getset, kStreamGetSet},
    {0, nullptr},
};

PyType_Spec kStreamSpec = {
    "ombrix.workers.custom_worker.CellStream",
    sizeof(CellStream),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kStreamSlots,
};

}  // namespace

void begin_cell_output(PyObject *answer, long long limit) {
    Py_XSETREF(output.answer, Py_NewRef(answer));
    Py_CLEAR(output.limit_error);
    output.limit = limit;
    output.sent = 0;
    output.pid = getpid();
    output.running = true;
}

namespace {

// The streams, stdout's and stderr's: each a text wrapper over its buffer.
struct StreamPair {
    PyObject *wrapper = nullptr;  // strong
    PyObject *buffer = nullptr;   // strong
};
StreamPair pairs[2];

PyObject *new_buffer(PyObject *name) {
    if (stream_type == nullptr) {
        PyObject *type = PyType_FromSpec(&kStreamSpec);
        if (type == nullptr) return nullptr;
        stream_type = reinterpret_cast<PyTypeObject *>(type);
    }
    CellStream *stream = PyObject_GC_New(CellStream, stream_type);
    if (stream == nullptr) return nullptr;
    stream->name = Py_NewRef(name);
    stream->closed = false;
    stream->npending = 0;
    PyObject *buffer = reinterpret_cast<PyObject *>(stream);
    PyObject_GC_Track(buffer);
    return buffer;
}

PyObject *new_wrapper(PyObject *buffer, const char *errors) {
    Ref wrapper_type = Ref::steal(module_attr("io", "TextIOWrapper"));
    if (!wrapper_type) return nullptr;
    Ref args = Ref::steal(Py_BuildValue("(O)", buffer));
    Ref kwargs = Ref::steal(Py_BuildValue("{s:s,s:s,s:O}", "encoding", "utf-8", "errors", errors,
                                          "write_through", Py_True));
    if (!args || !kwargs) return nullptr;
    return PyObject_Call(wrapper_type.get(), args.get(), kwargs.get());
}

// Whether the wrapper still writes to its buffer: neither closed nor
// detached.  1, 0, or -1 with an exception set.
int still_usable(const StreamPair &pair) {
    if (as_stream(pair.buffer)->closed) return 0;
    Ref buffer = Ref::steal(PyObject_GetAttrString(pair.wrapper, "buffer"));
    if (!buffer) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return -1;  // detached
        PyErr_Clear();
        return 0;
    }
    return buffer.get() == pair.buffer;
}

}  // namespace

PyObject *cell_stream(int which, PyObject *name, const char *errors) {
    StreamPair &pair = pairs[which];
    if (pair.wrapper != nullptr) {
        const int usable = still_usable(pair);
        if (usable < 0) return nullptr;
        if (usable) {
            as_stream(pair.buffer)->npending = 0;  // a cut character stays with its cell
            return Py_NewRef(pair.wrapper);
        }
    }
    Ref buffer = Ref::steal(new_buffer(name));
    Ref wrapper = buffer ? Ref::steal(new_wrapper(buffer.get(), errors)) : Ref();
    if (!wrapper) return nullptr;
    Py_XSETREF(pair.buffer, buffer.release());
    Py_XSETREF(pair.wrapper, Py_NewRef(wrapper.get()));
    return wrapper.release();
}

int finish_cell_streams() {
    for (StreamPair &pair : pairs) {
        if (pair.buffer == nullptr || !output.running) continue;
        CellStream *stream = as_stream(pair.buffer);
        if (stream->npending == 0) continue;
        Ref text = Ref::steal(PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(stream->pending),
                                                   stream->npending, "replace"));
        stream->npending = 0;
        Ref name = Ref::borrow(stream->name);
        if (!text || send_event(name.get(), text.get()) < 0) return -1;
    }
    return 0;
}

PyObject *end_cell_output() {
    output.running = false;
    Py_CLEAR(output.answer);
    PyObject *error = output.limit_error;
    output.limit_error = nullptr;
    return error;
}

long long cell_output_limit() { return output.limit; }

}  // namespace cw
