// session.cpp: the `session` action, which makes this worker a session
// worker: the persistent namespace, made once, and the file root.
#include "session.hpp"

namespace cw {

SessionState session_state;

PyObject *module_attr(const char *module, const char *attr) {
    Ref imported = Ref::steal(PyImport_ImportModule(module));
    if (!imported) return nullptr;
    return PyObject_GetAttrString(imported.get(), attr);
}

PyObject *failure_answer(const char *text, const char *kind) {
    if (kind == nullptr) return Py_BuildValue("{s:O,s:s}", "success", Py_False, "error", text);
    return Py_BuildValue("{s:O,s:s,s:s}", "success", Py_False, "error", text, "kind", kind);
}

PyObject *new_cell_namespace() {
    PyObject *display = display_function();
    if (display == nullptr) return nullptr;
    Ref ns = Ref::steal(PyDict_New());
    if (!ns || PyDict_SetItem(ns.get(), strings.dunder_name, strings.dunder_main) < 0 ||
        PyDict_SetItem(ns.get(), strings.dunder_builtins, module_record.builtins) < 0 ||
        PyDict_SetItemString(ns.get(), "display", display) < 0) {
        return nullptr;
    }
    return ns.release();
}

namespace {

// The answer for a failure of the pending exception: "Type: message".
PyObject *exception_answer() {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref text = Ref::steal(PyUnicode_FromFormat("%s: %S", Py_TYPE(exc.get())->tp_name, exc.get()));
    if (!text) return nullptr;
    return Py_BuildValue("{s:O,s:O}", "success", Py_False, "error", text.get());
}

}  // namespace

PyObject *session_action(PyObject *cmd) {
    // Decoded requests have str keys: a failed lookup is a missing field.
    Ref dir = Ref::borrow(PyDict_GetItemString(cmd, "directory"));
    if (!dir) dir = Ref::borrow(Py_None);
    if (dir.get() != Py_None && !PyUnicode_Check(dir.get())) {
        return failure_answer("session: directory must be a str or null");
    }
    if (dir.get() != Py_None) {
        Ref chdir = Ref::steal(module_attr("os", "chdir"));
        if (!chdir) return nullptr;
        Ref done = Ref::steal(PyObject_CallOneArg(chdir.get(), dir.get()));
        if (!done) return exception_answer();
    }
    Ref getcwd = Ref::steal(module_attr("os", "getcwd"));
    Ref cwd = getcwd ? Ref::steal(PyObject_CallNoArgs(getcwd.get())) : Ref();
    Ref realpath = cwd ? Ref::steal(module_attr("os.path", "realpath")) : Ref();
    Ref root = realpath ? Ref::steal(PyObject_CallOneArg(realpath.get(), cwd.get())) : Ref();
    if (!root) return exception_answer();
    if (session_state.ns == nullptr) {
        session_state.ns = new_cell_namespace();
        if (session_state.ns == nullptr) return nullptr;
    }
    Py_XSETREF(session_state.root, root.release());
    return Py_BuildValue("{s:O}", "success", Py_True);
}

}  // namespace cw
