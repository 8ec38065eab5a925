// operations.cpp: the operations that run or check user code: run_script,
// run_inline, run_function and validate_script, and the exception report
// they share.
#include "custom_worker.hpp"

namespace cw {

// ---------------------------------------------------------------------------
// Exception report: "<class __name__>: <exception text>\n<format_exc()>"
// ---------------------------------------------------------------------------
namespace {

PyObject *exception_report(PyObject *exc) {
    Ref class_name = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject *>(Py_TYPE(exc)),
                                                 g.s.dunder_name));
    if (!class_name) return nullptr;
    Ref name_text = Ref::steal(format_simple(class_name.get()));
    if (!name_text) return nullptr;
    Ref exc_text = Ref::steal(format_simple(exc));
    if (!exc_text) return nullptr;
    Ref traceback = Ref::steal(get_global(g.s.traceback));
    if (!traceback) return nullptr;
    Ref format_exc = Ref::steal(PyObject_GetAttr(traceback.get(), g.s.format_exc));
    if (!format_exc) return nullptr;
    Ref tb_value = Ref::steal(PyObject_CallNoArgs(format_exc.get()));
    if (!tb_value) return nullptr;
    Ref tb_text = Ref::steal(format_simple(tb_value.get()));
    if (!tb_text) return nullptr;
    Ref pieces = Ref::steal(PyTuple_Pack(5, name_text.get(), g.s.colon_space, exc_text.get(),
                                         g.s.newline, tb_text.get()));
    if (!pieces) return nullptr;
    return PyUnicode_Join(g.empty_str, pieces.get());
}

}  // namespace

PyObject *failure_result(Fn fn, int dict_line, int report_line) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    PyErr_SetHandledException(exc.get());
    Ref result = Ref::steal(PyDict_New());
    if (!result || PyDict_SetItem(result.get(), g.s.success, Py_False) < 0) {
        add_traceback(fn, dict_line);
        return nullptr;
    }
    Ref report = Ref::steal(exception_report(exc.get()));
    if (!report) {
        add_traceback(fn, report_line);
        return nullptr;
    }
    if (PyDict_SetItem(result.get(), g.s.error, report.get()) < 0) {
        add_traceback(fn, dict_line);
        return nullptr;
    }
    return result.release();
}

// ---------------------------------------------------------------------------
// run_script and run_inline
// ---------------------------------------------------------------------------

PyObject *run_script(PyObject *, PyObject *) {
    PyErr_SetString(PyExc_NotImplementedError, "run_script");
    return nullptr;
}

PyObject *run_inline(PyObject *, PyObject *) {
    PyErr_SetString(PyExc_NotImplementedError, "run_inline");
    return nullptr;
}

// ---------------------------------------------------------------------------
// run_function
// ---------------------------------------------------------------------------

PyObject *run_function(PyObject *, PyObject *, PyObject *) {
    PyErr_SetString(PyExc_NotImplementedError, "run_function");
    return nullptr;
}

// ---------------------------------------------------------------------------
// validate_script
// ---------------------------------------------------------------------------

PyObject *validate_script(PyObject *) {
    PyErr_SetString(PyExc_NotImplementedError, "validate_script");
    return nullptr;
}

}  // namespace cw
