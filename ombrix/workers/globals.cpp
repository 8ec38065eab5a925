// globals.cpp: the functions' lookups of module globals (json, sys, Path,
// _serialize, ...), with a cache that the module dict's changes invalidate,
// and their attribute reads and writes on the modules those globals hold.
#include "custom_worker.hpp"

namespace cw {
namespace {

// Lookups that found their name in the module dict are remembered until the
// dict next changes: a dict watcher forgets them all on any change, so
// rebinding a module attribute still takes effect at its next use.  The
// values are borrowed: the dict holds them, and it cannot drop one without
// the watcher hearing of it first.
struct CachedGlobal {
    PyObject *name;
    PyObject *value;
};
constexpr int kGlobalCacheSize = 32;
CachedGlobal global_cache[kGlobalCacheSize];
int global_cache_used = 0;
int dict_watcher = -1;
bool watching = false;

int forget_globals(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) {
    global_cache_used = 0;
    return 0;
}

// A name the module dict lacks: the builtins module's attribute, or
// NameError.  Kept out of line: inlined, it makes every lookup (the cached
// ones included) keep the record's address in a saved register.
[[gnu::noinline]] PyObject *get_builtin(PyObject *name) {
    PyObject *value = PyObject_GetAttr(module_record.builtins, name);
    if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;
}

}  // namespace

int watch_module_dict() {
    global_cache_used = 0;
    watching = false;
    if (dict_watcher < 0) {
        dict_watcher = PyDict_AddWatcher(forget_globals);
        if (dict_watcher < 0) return -1;
    }
    if (PyDict_Watch(dict_watcher, module_record.module_dict) < 0) return -1;
    watching = true;
    return 0;
}

PyObject *get_global(PyObject *name) {
    if (module_record.module_dict == nullptr) {
        // Only a function kept from a failed import gets here.
        PyErr_SetString(PyExc_ImportError, "module 'ombrix.workers.custom_worker' failed to initialise");
        return nullptr;
    }
    for (int i = 0; i < global_cache_used; ++i) {
        if (global_cache[i].name == name) return Py_NewRef(global_cache[i].value);
    }
    PyObject *value = PyDict_GetItemWithError(module_record.module_dict, name);
    if (value != nullptr) {
        if (watching && global_cache_used < kGlobalCacheSize) {
            global_cache[global_cache_used++] = {name, value};
        }
        return Py_NewRef(value);
    }
    if (PyErr_Occurred()) return nullptr;
    return get_builtin(name);
}

PyObject *global_attr(PyObject *global, PyObject *attr) {
    Ref holder = Ref::steal(get_global(global));
    if (!holder) return nullptr;
    return get_module_attr(holder.get(), attr);
}

PyObject *get_module_attr(PyObject *obj, PyObject *attr) {
    if (Py_IS_TYPE(obj, &PyModule_Type)) {
        // A plain module has no data descriptor under these names, so the
        // attribute is its dict entry; a miss takes the general path.
        PyObject *value = PyDict_GetItemWithError(PyModule_GetDict(obj), attr);
        if (value != nullptr) return Py_NewRef(value);
        if (PyErr_Occurred()) return nullptr;
    }
    return PyObject_GetAttr(obj, attr);
}

int set_module_attr(PyObject *obj, PyObject *attr, PyObject *value) {
    if (Py_IS_TYPE(obj, &PyModule_Type)) return PyDict_SetItem(PyModule_GetDict(obj), attr, value);
    return PyObject_SetAttr(obj, attr, value);
}

int set_sys_stream(PyObject *attr, PyObject *value) {
    Ref sys = Ref::steal(get_global(strings.sys));
    if (!sys) return -1;
    return set_module_attr(sys.get(), attr, value);
}

PyObject *call_global(PyObject *name, PyObject *const *args, size_t nargs) {
    Ref func = Ref::steal(get_global(name));
    if (!func) return nullptr;
    return PyObject_Vectorcall(func.get(), args, nargs, nullptr);
}

}  // namespace cw
