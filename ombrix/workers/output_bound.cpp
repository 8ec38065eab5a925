// output_bound.cpp: the bound a pool worker puts on what run_script and
// run_inline capture.  Once `_limit_output` has set it, the captures write
// into buffers of a StringIO subclass whose `write` ends the process at once,
// with exit status kOutputLimitStatus and without writing anything more,
// when the request's captured text would grow past the bound.  Ending the
// process is the one outcome a script can neither catch nor turn into
// another request's answer.  Without a bound nothing here runs.
#include "custom_worker.hpp"

#include <unistd.h>

namespace cw {
namespace {

// Characters the captures of one request may hold, stdout and stderr
// together; -1 while no bound is set.
Py_ssize_t bound = -1;
// Characters written into bounded buffers since the outermost capture of the
// current request began.
Py_ssize_t captured = 0;

PyTypeObject *bounded_type = nullptr;
// io.StringIO's own write (METH_O) and tell (METH_NOARGS), called directly:
// the subclass's write then costs two plain C calls more than the base's.
PyCFunction base_write = nullptr;
PyCFunction base_tell = nullptr;

// write(text): a str is measured before it is stored.  Both the text written
// so far and the end of this write (the position may have been moved past
// the end, which StringIO fills with NULs) must stay within the bound.
// Anything else goes to the base write, which refuses it as usual.
PyObject *bounded_write(PyObject *self, PyObject *text) {
    if (PyUnicode_Check(text)) {
        Ref position = Ref::steal(base_tell(self, nullptr));
        if (!position) return nullptr;
        const Py_ssize_t at = PyLong_AsSsize_t(position.get());
        if (at == -1 && PyErr_Occurred()) return nullptr;
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        if (length > bound - captured || at > bound - length) _exit(kOutputLimitStatus);
        captured += length;
    }
    return base_write(self, text);
}

PyMethodDef kBoundedMethods[] = {
    {"write", bounded_write, METH_O,
     "Write a string to the buffer; past the worker's output bound the process ends."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kBoundedSlots[] = {
    {Py_tp_methods, kBoundedMethods},
    {0, nullptr},
};

// Immutable, so a script cannot put the base write back on the class.
PyType_Spec kBoundedSpec = {
    "ombrix.workers.custom_worker.BoundedStringIO",
    0,  // the base's size: no state of its own
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kBoundedSlots,
};

// The C function behind `base`'s method `name`, which must be a method
// descriptor of `base` itself with calling convention `flags`.
PyCFunction base_method(PyObject *base, const char *name, int flags) {
    Ref descr = Ref::steal(PyObject_GetAttrString(base, name));
    if (!descr) return nullptr;
    if (!Py_IS_TYPE(descr.get(), &PyMethodDescr_Type) ||
        PyDescr_TYPE(descr.get()) != reinterpret_cast<PyTypeObject *>(base)) {
        PyErr_Format(PyExc_RuntimeError, "io.StringIO.%s is not the built-in method", name);
        return nullptr;
    }
    PyMethodDef *method = reinterpret_cast<PyMethodDescrObject *>(descr.get())->d_method;
    if ((method->ml_flags & ~METH_COEXIST) != flags) {
        PyErr_Format(PyExc_RuntimeError, "io.StringIO.%s has an unexpected calling convention", name);
        return nullptr;
    }
    return method->ml_meth;
}

// Makes the bounded buffer type from io.StringIO.  0, or -1 with an exception.
int ready_bounded_type() {
    if (bounded_type != nullptr) return 0;
    Ref io = Ref::steal(PyImport_ImportModule("io"));
    if (!io) return -1;
    Ref base = Ref::steal(PyObject_GetAttrString(io.get(), "StringIO"));
    if (!base) return -1;
    if (!PyType_Check(base.get())) {
        PyErr_SetString(PyExc_RuntimeError, "io.StringIO is not a type");
        return -1;
    }
    PyCFunction write = base_method(base.get(), "write", METH_O);
    if (write == nullptr) return -1;
    PyCFunction tell = base_method(base.get(), "tell", METH_NOARGS);
    if (tell == nullptr) return -1;
    PyObject *type = PyType_FromSpecWithBases(&kBoundedSpec, base.get());
    if (type == nullptr) return -1;
    base_write = write;
    base_tell = tell;
    bounded_type = reinterpret_cast<PyTypeObject *>(type);
    return 0;
}

}  // namespace

PyObject *limit_output(PyObject *, PyObject *limit) {
    if (!PyLong_CheckExact(limit)) {
        PyErr_Format(PyExc_TypeError, "limit must be int, not %.200s", Py_TYPE(limit)->tp_name);
        return nullptr;
    }
    const Py_ssize_t value = PyLong_AsSsize_t(limit);
    if (value == -1 && PyErr_Occurred()) return nullptr;
    if (value < 0) {
        PyErr_SetString(PyExc_ValueError, "limit must not be negative");
        return nullptr;
    }
    if (ready_bounded_type() < 0) return nullptr;
    // The bound only ever tightens: a script calling this cannot lift it.
    if (bound < 0 || value < bound) bound = value;
    Py_RETURN_NONE;
}

void begin_bounded_request() noexcept { captured = 0; }

PyObject *new_capture_buffer() {
    if (bounded_type != nullptr) return PyObject_CallNoArgs(reinterpret_cast<PyObject *>(bounded_type));
    return call_global(strings.StringIO, nullptr, 0);
}

}  // namespace cw
