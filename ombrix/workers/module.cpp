// module.cpp: the module definition and its create and exec steps.
#include "custom_worker.hpp"

namespace cw {

Strings strings;
ModuleRecord module_record;

namespace {

const char kModuleDoc[] =
    "Custom Worker \xe2\x80\x94 executes dynamically-created tool scripts in a subprocess.\n"
    "\n"
    "Protocol: JSON over stdin/stdout (one line per message).\n"
    "\n"
    "This worker is used when Ilvane creates new tools at runtime. It:\n"
    "  1. Receives a script path or inline code\n"
    "  2. Executes it in an isolated namespace\n"
    "  3. Returns the result\n"
    "\n"
    "Supported actions:\n"
    "  - run_script: Execute a Python script file\n"
    "  - run_inline: Execute inline Python code\n"
    "  - run_function: Execute a specific function from a script\n"
    "  - validate: Check if a script is valid Python\n"
    "  - quit: Shut down the worker\n";

// The identifier of the interpreter that first created the module; -1 until then.
int64_t main_interpreter_id = -1;

// ---------------------------------------------------------------------------
// Create step
// ---------------------------------------------------------------------------

// Copies spec.<from> into the module dict as <to>; a missing attribute is
// skipped, a None value is copied unless `skip_none`.
int copy_spec_attr(PyObject *spec, PyObject *dict, const char *from, const char *to,
                   bool skip_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (skip_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(dict, to, value.get());
}

PyObject *create_module(PyObject *spec, PyModuleDef *) {
    int64_t id = PyInterpreterState_GetID(PyThreadState_GetInterpreter(PyThreadState_Get()));
    if (id == -1 && PyErr_Occurred()) return nullptr;
    if (main_interpreter_id == -1) {
        main_interpreter_id = id;
    } else if (id != main_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded "
                        "into one interpreter per process.");
        return nullptr;
    }
    if (module_record.module != nullptr) return Py_NewRef(module_record.module);

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject *dict = PyModule_GetDict(module.get());
    if (dict == nullptr) return nullptr;
    if (copy_spec_attr(spec, dict, "loader", "__loader__", false) < 0 ||
        copy_spec_attr(spec, dict, "origin", "__file__", false) < 0 ||
        copy_spec_attr(spec, dict, "parent", "__package__", false) < 0 ||
        copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", true) < 0) {
        return nullptr;
    }
    return module.release();
}

// ---------------------------------------------------------------------------
// Exec step
// ---------------------------------------------------------------------------

// Binds the module, its dict and builtins in the module record and the dict.
int enter_module(PyObject *module) {
    module_record.module = Py_NewRef(module);
    PyObject *dict = PyModule_GetDict(module);
    if (dict == nullptr) return -1;
    module_record.module_dict = Py_NewRef(dict);
    if (module_record.builtins == nullptr) {
        PyObject *builtins = PyImport_AddModule("builtins");
        if (builtins == nullptr) return -1;
        module_record.builtins = Py_NewRef(builtins);
    }
    return PyDict_SetItemString(dict, "__builtins__", module_record.builtins);
}

// Undoes enter_module after a failed exec, so a later import may try again.
int fail_exec() {
    Py_CLEAR(module_record.module);
    Py_CLEAR(module_record.module_dict);
    return -1;
}

int exec_module(PyObject *module) {
    if (module_record.module != nullptr) {
        if (module_record.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'custom_worker' has already been imported. Re-initialisation "
                        "is not supported.");
        return -1;
    }
    if (enter_module(module) < 0) return fail_exec();
    if (warn_on_version_mismatch() < 0) return fail_exec();
    if (build_constants() < 0) return fail_exec();
    if (run_module_statements(module) < 0) return fail_exec();
    return 0;
}

PyMethodDef kNoMethods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot kSlots[] = {
    {Py_mod_create, reinterpret_cast<void *>(create_module)},
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "custom_worker",
    kModuleDoc,
    0,
    kNoMethods,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace cw

PyMODINIT_FUNC PyInit_custom_worker(void) { return PyModuleDef_Init(&cw::kModuleDef); }
