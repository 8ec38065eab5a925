// traceback.cpp: the entries that the module's functions add to the
// traceback of an exception on its way out, naming the function and the
// line of the failing statement.
#include "custom_worker.hpp"

#include <frameobject.h>

namespace cw {
namespace {

// The code objects made for entries, by line, so that an entry needed again
// costs no new code object.  Lines of the module's statements all lie below
// kMaxLine; a line is shared at most by a definition and the module's
// statement that binds it, so a slot remembers whose code object it holds.
constexpr int kMaxLine = 256;

struct CachedEntryCode {
    const char *function;
    PyCodeObject *code;
};
CachedEntryCode entry_codes[kMaxLine];

// A new reference to a code object for (function, line), or null.
PyCodeObject *entry_code(const char *function, int line) {
    const bool cacheable = line >= 0 && line < kMaxLine;
    if (cacheable && entry_codes[line].function == function) {
        return reinterpret_cast<PyCodeObject *>(Py_NewRef(entry_codes[line].code));
    }
    if (strings.file_name == nullptr) return nullptr;  // no constants yet: no entry
    const char *file_name = PyUnicode_AsUTF8(strings.file_name);
    if (file_name == nullptr) return nullptr;
    PyCodeObject *code = PyCode_NewEmpty(file_name, function, line);
    if (code != nullptr && cacheable && entry_codes[line].function == nullptr) {
        entry_codes[line] = {function, reinterpret_cast<PyCodeObject *>(Py_NewRef(code))};
    }
    return code;
}

}  // namespace

void add_traceback(const char *function, int line) {
    // PyFrame_New and PyCode_NewEmpty must not run with an exception pending,
    // and a failure while making the entry must not replace the exception
    // being reported: set it aside until the frame exists.
    PyObject *exc = PyErr_GetRaisedException();
    PyCodeObject *code = entry_code(function, line);
    PyFrameObject *frame = nullptr;
    if (code != nullptr && module_record.module_dict != nullptr) {
        // The code object's first line is `line` and it has no instruction
        // executed yet, so the frame's current line is `line`.
        frame = PyFrame_New(PyThreadState_Get(), code, module_record.module_dict, nullptr);
    }
    Py_XDECREF(code);
    if (frame == nullptr) PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

}  // namespace cw
