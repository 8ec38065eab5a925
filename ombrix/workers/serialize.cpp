// serialize.cpp: _serialize, which turns any value into one that the JSON
// encoder accepts.
#include "custom_worker.hpp"

namespace cw {

PyObject *serialize(PyObject *) {
    PyErr_SetString(PyExc_NotImplementedError, "_serialize");
    return nullptr;
}

}  // namespace cw
