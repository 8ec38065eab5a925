// text.cpp: the texts and small result dicts that the operations and the
// protocol build: f-string rendering, content comparison, and
// {"success": ..., key: value}.
#include "custom_worker.hpp"

#include <cstring>

namespace cw {

PyObject *format_simple(PyObject *value) {
    if (PyUnicode_CheckExact(value)) return Py_NewRef(value);
    return PyObject_Format(value, module_record.empty_str);
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
