// serialize.cpp: _serialize, which turns any value into one that the JSON
// encoder accepts.
//
// None and scalars (str, int, bool, float and their subclasses) come back as
// the very same objects; lists and tuples become new lists, dicts new dicts
// with str keys; everything else becomes its str() text.  Every element and
// every dict value goes through the module global `_serialize` again, looked
// up at the moment of the call, so a replacement bound in the module is what
// the recursion uses.
#include "custom_worker.hpp"
#include "function_table.hpp"

namespace cw {
namespace {

constexpr const auto &kSerialize = kFunctions.serialize;

// Bounds the depth of nested containers by the interpreter's recursion limit,
// so a container that holds itself ends in RecursionError rather than in a
// native stack overflow.
class RecursionGuard {
public:
    RecursionGuard() noexcept : entered_(Py_EnterRecursiveCall(" while serializing a value") == 0) {}
    ~RecursionGuard() {
        if (entered_) Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
    bool entered() const noexcept { return entered_; }

private:
    bool entered_;
};

// The nested call: the module global `_serialize` applied to `item`.
inline PyObject *serialize_nested(PyObject *item) {
    return call_global(name_object(kSerialize), &item, 1);
}

// Serialises `item` and appends it to `out`.  0, or -1 with an exception set.
int append_serialized(PyObject *out, PyObject *item) {
    Ref value = Ref::steal(serialize_nested(item));
    if (!value) return -1;
    return PyList_Append(out, value.get());
}

// The list walk: a new list of the serialised elements.  An exact list is
// walked by index with its length read again before every step (elements
// appended meanwhile are visited); an exact tuple by index; a subclass
// instance through its iterator.
PyObject *serialize_sequence(PyObject *obj) {
    // The new list grows by appending: it never holds empty slots while user
    // code (the nested calls) runs and could reach it through the collector.
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return nullptr;
    if (PyTuple_CheckExact(obj)) {
        // A tuple's items cannot change, and the caller keeps the tuple alive.
        const Py_ssize_t n = PyTuple_GET_SIZE(obj);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (append_serialized(out.get(), PyTuple_GET_ITEM(obj, i)) < 0) return nullptr;
        }
        return out.release();
    }
    if (PyList_CheckExact(obj)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
            // Hold the element: the nested call may remove it from the list.
            Ref item = Ref::borrow(PyList_GET_ITEM(obj, i));
            if (append_serialized(out.get(), item.get()) < 0) return nullptr;
        }
        return out.release();
    }
    Ref iter = Ref::steal(PyObject_GetIter(obj));
    if (!iter) return nullptr;
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        if (append_serialized(out.get(), item.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return out.release();
}

// Stores one pair in `out`: the key text (the key itself when it is exactly
// a str, else str(key)) is computed first, then the value is serialised.  A
// key text seen before keeps its place and takes the later value.
int store_pair(PyObject *out, PyObject *key, PyObject *value) {
    Ref text = PyUnicode_CheckExact(key) ? Ref::borrow(key) : Ref::steal(PyObject_Str(key));
    if (!text) return -1;
    Ref serialized = Ref::steal(serialize_nested(value));
    if (!serialized) return -1;
    return PyDict_SetItem(out, text.get(), serialized.get());
}

int unpack_error(Py_ssize_t got) {
    if (got > 2) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)",
                     static_cast<Py_ssize_t>(2));
    } else {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got,
                     got == 1 ? "" : "s");
    }
    return -1;
}

// Unpacks one element of a dict subclass's items() into exactly two values
// (new references in `key` and `value`).  0, or -1 with an exception set.
int unpack_pair(PyObject *item, Ref &key, Ref &value) {
    if (PyTuple_CheckExact(item) || PyList_CheckExact(item)) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(item);
        if (n != 2) return unpack_error(n);
        PyObject **items = PySequence_Fast_ITEMS(item);
        key = Ref::borrow(items[0]);
        value = Ref::borrow(items[1]);
        return 0;
    }
    Ref iter = Ref::steal(PyObject_GetIter(item));
    if (!iter) return -1;
    key = Ref::steal(PyIter_Next(iter.get()));
    if (!key) return PyErr_Occurred() ? -1 : unpack_error(0);
    value = Ref::steal(PyIter_Next(iter.get()));
    if (!value) return PyErr_Occurred() ? -1 : unpack_error(1);
    Ref extra = Ref::steal(PyIter_Next(iter.get()));
    if (extra) return unpack_error(3);
    return PyErr_Occurred() ? -1 : 0;
}

int store_item(PyObject *out, PyObject *item) {
    Ref key, value;
    if (unpack_pair(item, key, value) < 0) return -1;
    return store_pair(out, key.get(), value.get());
}

// The dict walk: a new dict with str keys and serialised values.  An exact
// dict is walked in insertion order and must keep its size meanwhile; a
// subclass instance is walked through what its items() returns.
PyObject *serialize_mapping(PyObject *obj) {
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    if (PyDict_CheckExact(obj)) {
        const Py_ssize_t size = PyDict_GET_SIZE(obj);
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        for (;;) {
            if (PyDict_GET_SIZE(obj) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return nullptr;
            }
            if (!PyDict_Next(obj, &pos, &key, &value)) break;
            // Hold both: the nested calls may remove the entry from the dict.
            Ref k = Ref::borrow(key);
            Ref v = Ref::borrow(value);
            if (store_pair(out.get(), k.get(), v.get()) < 0) return nullptr;
        }
        return out.release();
    }
    PyObject *self = obj;
    Ref items = Ref::steal(PyObject_VectorcallMethod(
        strings.items, &self, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!items) return nullptr;
    PyObject *seq = items.get();
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        // A list's length is read again before every step, as in the list walk.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
            Ref item = Ref::borrow(PySequence_Fast_ITEMS(seq)[i]);
            if (store_item(out.get(), item.get()) < 0) return nullptr;
        }
        return out.release();
    }
    Ref iter = Ref::steal(PyObject_GetIter(seq));
    if (!iter) return nullptr;
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        if (store_item(out.get(), item.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return out.release();
}

}  // namespace

PyObject *serialize(PyObject *obj) {
    if (obj == Py_None) return Py_NewRef(obj);
    if (PyUnicode_Check(obj) || PyLong_Check(obj) || PyFloat_Check(obj)) return Py_NewRef(obj);
    if (PyList_Check(obj) || PyTuple_Check(obj)) {
        RecursionGuard guard;
        PyObject *out = guard.entered() ? serialize_sequence(obj) : nullptr;
        return out != nullptr ? out : fail_at(kSerialize, kSerialize.line.list_walk);
    }
    if (PyDict_Check(obj)) {
        RecursionGuard guard;
        PyObject *out = guard.entered() ? serialize_mapping(obj) : nullptr;
        return out != nullptr ? out : fail_at(kSerialize, kSerialize.line.dict_walk);
    }
    PyObject *text = PyObject_Str(obj);
    return text != nullptr ? text : fail_at(kSerialize, kSerialize.line.str_fallback);
}

}  // namespace cw
