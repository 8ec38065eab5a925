// session_files.cpp: the `upload` and `download` actions: whole files moved
// in and out of the session's file root, by names relative to it.  A name
// that is absolute, has a `..` component or resolves (symbolic links
// followed) outside the root is refused.
#include "session.hpp"

namespace cw {
namespace {

// The pending exception as an answer: a missing file is "missing", anything
// else "other".
PyObject *os_failure_answer() {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    const bool missing = PyErr_GivenExceptionMatches(exc.get(), PyExc_FileNotFoundError);
    Ref text = Ref::steal(PyUnicode_FromFormat("%s: %S", Py_TYPE(exc.get())->tp_name, exc.get()));
    if (!text) return nullptr;
    return Py_BuildValue("{s:O,s:O,s:s}", "success", Py_False, "error", text.get(), "kind",
                         missing ? "missing" : "other");
}

// The resolved path of the request's name inside the root, or null: with an
// answer in `refusal` when the name is refused, else with an exception set.
PyObject *resolve_name(PyObject *cmd, Ref &refusal) {
    if (session_state.root == nullptr) {
        refusal = Ref::steal(failure_answer("no session: send the session action first", "other"));
        return nullptr;
    }
    PyObject *name = PyDict_GetItemString(cmd, "name");  // decoded keys are str
    if (name == nullptr || !PyUnicode_Check(name) || PyUnicode_GET_LENGTH(name) == 0) {
        refusal = Ref::steal(failure_answer("name must be a non-empty str", "refused"));
        return nullptr;
    }
    Ref held = Ref::borrow(name);
    if (PyUnicode_FindChar(name, 0, 0, PyUnicode_GET_LENGTH(name), 1) != -1) {
        refusal = Ref::steal(failure_answer("name holds a NUL character", "refused"));
        return nullptr;
    }
    Ref isabs = Ref::steal(module_attr("os.path", "isabs"));
    Ref absolute = isabs ? Ref::steal(PyObject_CallOneArg(isabs.get(), name)) : Ref();
    if (!absolute) return nullptr;
    if (absolute.get() == Py_True) {
        refusal = Ref::steal(failure_answer("name is absolute", "refused"));
        return nullptr;
    }
    Ref slash = Ref::steal(PyUnicode_FromString("/"));
    Ref parts = slash ? Ref::steal(PyUnicode_Split(name, slash.get(), -1)) : Ref();
    Ref dots = parts ? Ref::steal(PyUnicode_FromString("..")) : Ref();
    if (!dots) return nullptr;
    const int has_dots = PySequence_Contains(parts.get(), dots.get());
    if (has_dots < 0) return nullptr;
    if (has_dots) {
        refusal = Ref::steal(failure_answer("name has a '..' component", "refused"));
        return nullptr;
    }
    Ref join = Ref::steal(module_attr("os.path", "join"));
    Ref joined = join ? Ref::steal(PyObject_CallFunctionObjArgs(join.get(), session_state.root,
                                                                name, nullptr))
                      : Ref();
    Ref realpath = joined ? Ref::steal(module_attr("os.path", "realpath")) : Ref();
    Ref resolved = realpath ? Ref::steal(PyObject_CallOneArg(realpath.get(), joined.get())) : Ref();
    Ref prefix = resolved ? Ref::steal(PyUnicode_Concat(session_state.root, slash.get())) : Ref();
    if (!prefix) return nullptr;
    const Py_ssize_t inside = PyUnicode_Tailmatch(resolved.get(), prefix.get(), 0, PY_SSIZE_T_MAX, -1);
    if (inside < 0) return nullptr;
    if (!inside) {
        refusal = Ref::steal(failure_answer("name resolves outside the session's root", "refused"));
        return nullptr;
    }
    return resolved.release();
}

// Calls `body(path)` for the request's resolved name; the refusal, or the
// failure as an answer, otherwise.
template <class Body>
PyObject *with_resolved_name(PyObject *cmd, Body body) {
    Ref refusal;
    Ref path = Ref::steal(resolve_name(cmd, refusal));
    if (!path) {
        if (refusal) return refusal.release();
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
        return os_failure_answer();
    }
    PyObject *answer = body(path.get());
    if (answer == nullptr && !PyErr_ExceptionMatches(PyExc_MemoryError)) return os_failure_answer();
    return answer;
}

// open(path, mode): a new reference to the file object.
PyObject *open_file(PyObject *path, const char *mode) {
    Ref open = Ref::steal(PyObject_GetAttrString(module_record.builtins, "open"));
    if (!open) return nullptr;
    return PyObject_CallFunction(open.get(), "Os", path, mode);
}

// f.<method>(arg...) then f.close(), the close also on failure.
PyObject *use_file(PyObject *file, const char *method, PyObject *arg) {
    Ref result = Ref::steal(arg == nullptr ? PyObject_CallMethod(file, method, nullptr)
                                           : PyObject_CallMethod(file, method, "O", arg));
    if (!result) {
        run_finally([&] {
            Ref closed = Ref::steal(PyObject_CallMethod(file, "close", nullptr));
            return closed ? 0 : -1;
        });
        return nullptr;
    }
    Ref closed = Ref::steal(PyObject_CallMethod(file, "close", nullptr));
    if (!closed) return nullptr;
    return result.release();
}

}  // namespace

PyObject *upload_action(PyObject *cmd) {
    PyObject *data = PyDict_GetItemString(cmd, "data");
    if (data == nullptr || !PyUnicode_Check(data)) {
        return failure_answer("upload: data must be a base64 str", "other");
    }
    Ref text = Ref::borrow(data);
    Ref decode = Ref::steal(module_attr("base64", "b64decode"));
    if (!decode) return nullptr;
    Ref args = Ref::steal(PyTuple_Pack(1, text.get()));
    Ref kwargs = args ? Ref::steal(Py_BuildValue("{s:O}", "validate", Py_True)) : Ref();
    if (!kwargs) return nullptr;
    Ref content = Ref::steal(PyObject_Call(decode.get(), args.get(), kwargs.get()));
    if (!content) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return nullptr;  // binascii.Error is one
        PyErr_Clear();
        return failure_answer("upload: data is not valid base64", "other");
    }
    return with_resolved_name(cmd, [&](PyObject *path) -> PyObject * {
        Ref dirname = Ref::steal(module_attr("os.path", "dirname"));
        Ref parent = dirname ? Ref::steal(PyObject_CallOneArg(dirname.get(), path)) : Ref();
        Ref makedirs = parent ? Ref::steal(module_attr("os", "makedirs")) : Ref();
        Ref args = makedirs ? Ref::steal(PyTuple_Pack(1, parent.get())) : Ref();
        Ref kwargs = args ? Ref::steal(Py_BuildValue("{s:O}", "exist_ok", Py_True)) : Ref();
        Ref made = kwargs ? Ref::steal(PyObject_Call(makedirs.get(), args.get(), kwargs.get())) : Ref();
        Ref file = made ? Ref::steal(open_file(path, "wb")) : Ref();
        Ref written = file ? Ref::steal(use_file(file.get(), "write", content.get())) : Ref();
        if (!written) return nullptr;
        return Py_BuildValue("{s:O}", "success", Py_True);
    });
}

namespace {

// The file's base64 length, checked against the request's "max_size" (the
// host's bound on the answer) before anything is read: past it the answer
// is refused and the session goes on.  Null to go on; an answer, or null
// with an exception set through `failed`.
PyObject *refuse_oversized(PyObject *cmd, PyObject *path, bool &failed) {
    failed = false;
    PyObject *max_size = PyDict_GetItemString(cmd, "max_size");  // decoded keys are str
    if (max_size == nullptr || !PyLong_CheckExact(max_size)) return nullptr;
    const long long limit = PyLong_AsLongLong(max_size);
    if (limit == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return nullptr;  // beyond any file's size
    }
    Ref getsize = Ref::steal(module_attr("os.path", "getsize"));
    Ref size = getsize ? Ref::steal(PyObject_CallOneArg(getsize.get(), path)) : Ref();
    const long long bytes = size ? PyLong_AsLongLong(size.get()) : -1;
    if (bytes == -1 && PyErr_Occurred()) {
        failed = true;
        return nullptr;
    }
    const long long encoded = (bytes + 2) / 3 * 4;
    if (encoded <= limit) return nullptr;
    Ref text = Ref::steal(PyUnicode_FromFormat(
        "download: the file's base64 (%lld bytes) passes the answer's bound (%lld bytes)", encoded, limit));
    PyObject *answer = text ? Py_BuildValue("{s:O,s:O,s:s}", "success", Py_False, "error", text.get(), "kind",
                                            "too_large")
                            : nullptr;
    failed = answer == nullptr;
    return answer;
}

}  // namespace

PyObject *download_action(PyObject *cmd) {
    return with_resolved_name(cmd, [&](PyObject *path) -> PyObject * {
        bool failed = false;
        PyObject *refusal = refuse_oversized(cmd, path, failed);
        if (refusal != nullptr || failed) return refusal;
        Ref file = Ref::steal(open_file(path, "rb"));
        Ref content = file ? Ref::steal(use_file(file.get(), "read", nullptr)) : Ref();
        Ref encode = content ? Ref::steal(module_attr("base64", "b64encode")) : Ref();
        Ref raw = encode ? Ref::steal(PyObject_CallOneArg(encode.get(), content.get())) : Ref();
        Ref text = raw ? Ref::steal(PyUnicode_FromEncodedObject(raw.get(), "ascii", "strict")) : Ref();
        if (!text) return nullptr;
        return Py_BuildValue("{s:O,s:O}", "success", Py_True, "data", text.get());
    });
}

}  // namespace cw
