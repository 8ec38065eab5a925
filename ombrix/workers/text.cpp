// text.cpp: the texts and small result dicts that the operations and the
// protocol build: f-string rendering and joining, content comparison, and
// {"success": ..., key: value}.
#include "custom_worker.hpp"

#include <cstring>

namespace cw {

PyObject *format_simple(PyObject *value) {
    if (PyUnicode_CheckExact(value)) return Py_NewRef(value);
    return PyObject_Format(value, module_record.empty_str);
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

bool same_text(PyObject *a, PyObject *b) noexcept {
    if (a == b) return true;
    const Py_ssize_t len = PyUnicode_GET_LENGTH(a);
    if (len != PyUnicode_GET_LENGTH(b)) return false;
    const int kind = PyUnicode_KIND(a);
    if (kind != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<size_t>(len) * static_cast<size_t>(kind)) == 0;
}

PyObject *result_dict(PyObject *success, PyObject *key, PyObject *value) {
    Ref result = Ref::steal(PyDict_New());
    if (!result || PyDict_SetItem(result.get(), strings.success, success) < 0 ||
        PyDict_SetItem(result.get(), key, value) < 0) {
        return nullptr;
    }
    return result.release();
}

}  // namespace cw
