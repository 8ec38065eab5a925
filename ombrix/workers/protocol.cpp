// protocol.cpp: the command protocol: handle_command routes one request to
// its operation, main serves JSON lines on stdin/stdout.
#include "custom_worker.hpp"

namespace cw {

int ready_closure_type() { return 0; }

PyObject *handle_command(PyObject *) {
    PyErr_SetString(PyExc_NotImplementedError, "handle_command");
    return nullptr;
}

PyObject *main_loop() {
    PyErr_SetString(PyExc_NotImplementedError, "main");
    return nullptr;
}

}  // namespace cw
