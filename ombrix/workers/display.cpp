// display.cpp: a cell's rich displays.  `display(obj)` and the cell's last
// value are offered through the rich-display methods objects may define
// (_repr_mimebundle_, _repr_png_, _repr_html_, ...), one entry per MIME type
// offered; matplotlib figures left open at the end of a cell become PNG
// entries.
#include "session.hpp"

namespace cw {
namespace {

// The running cell's displays; null outside a cell.
PyObject *displays = nullptr;

struct ReprMethod {
    const char *method;
    const char *mime;
};
constexpr ReprMethod kReprMethods[] = {
    {"_repr_png_", "image/png"},      {"_repr_jpeg_", "image/jpeg"},
    {"_repr_svg_", "image/svg+xml"},  {"_repr_html_", "text/html"},
    {"_repr_markdown_", "text/markdown"}, {"_repr_json_", "application/json"},
};

// getattr(obj, name), null without an exception when it has none.
Ref optional_attr(PyObject *obj, const char *name, int &failed) {
    Ref value = Ref::steal(PyObject_GetAttrString(obj, name));
    failed = 0;
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
        } else {
            failed = 1;
        }
    }
    return value;
}

// A method's result: (data, metadata) gives data.
Ref data_part(Ref result) {
    if (result && PyTuple_Check(result.get()) && PyTuple_GET_SIZE(result.get()) >= 1) {
        return Ref::borrow(PyTuple_GET_ITEM(result.get(), 0));
    }
    return result;
}

// {"mime": mime, "data": text, "base64": bool} from one offered value:
// bytes as base64, a str as it is, JSON data encoded, anything else as str().
PyObject *display_entry(PyObject *mime, PyObject *data) {
    Ref text;
    bool encoded = false;
    if (PyBytes_Check(data) || PyByteArray_Check(data)) {
        Ref encode = Ref::steal(module_attr("base64", "b64encode"));
        Ref raw = encode ? Ref::steal(PyObject_CallOneArg(encode.get(), data)) : Ref();
        if (!raw) return nullptr;
        text = Ref::steal(PyUnicode_FromEncodedObject(raw.get(), "ascii", "strict"));
        encoded = true;
    } else if (PyUnicode_Check(data)) {
        text = Ref::borrow(data);
    } else if (PyUnicode_Find(mime, strings.json, 0, PY_SSIZE_T_MAX, 1) >= 0) {
        Ref dumps = Ref::steal(global_attr(strings.json, strings.dumps));
        if (dumps) text = Ref::steal(PyObject_CallOneArg(dumps.get(), data));
    } else {
        text = Ref::steal(PyObject_Str(data));
    }
    if (!text) return nullptr;
    return Py_BuildValue("{s:O,s:O,s:O}", "mime", mime, "data", text.get(), "base64",
                         encoded ? Py_True : Py_False);
}

// Puts mime -> data in `bundle` unless text/plain, None or already there.
int add_to_bundle(PyObject *bundle, PyObject *mime, PyObject *data) {
    if (data == Py_None || !PyUnicode_Check(mime)) return 0;
    if (PyUnicode_CompareWithASCIIString(mime, "text/plain") == 0) return 0;
    const int present = PyDict_Contains(bundle, mime);
    if (present != 0) return present < 0 ? -1 : 0;
    return PyDict_SetItem(bundle, mime, data);
}

// The MIME types `obj` offers, in the order offered.  New reference.
PyObject *mime_bundle(PyObject *obj) {
    Ref bundle = Ref::steal(PyDict_New());
    if (!bundle) return nullptr;
    if (PyType_Check(obj)) return bundle.release();  // a class's methods are unbound
    int failed = 0;
    Ref method = optional_attr(obj, "_repr_mimebundle_", failed);
    if (failed) return nullptr;
    if (method) {
        // Called as rich-display front ends call it: include and exclude
        // by keyword, None for no restriction.
        Ref kwargs = Ref::steal(Py_BuildValue("{s:O,s:O}", "include", Py_None, "exclude", Py_None));
        if (!kwargs) return nullptr;
        Ref offered = data_part(
            Ref::steal(PyObject_Call(method.get(), module_record.empty_tuple, kwargs.get())));
        if (!offered) return nullptr;
        if (PyDict_Check(offered.get())) {
            PyObject *mime, *data;
            Py_ssize_t pos = 0;
            Ref held = Ref::steal(PyDict_Copy(offered.get()));
            if (!held) return nullptr;
            while (PyDict_Next(held.get(), &pos, &mime, &data)) {
                if (add_to_bundle(bundle.get(), mime, data) < 0) return nullptr;
            }
        }
    }
    for (const ReprMethod &repr : kReprMethods) {
        Ref mime = Ref::steal(PyUnicode_FromString(repr.mime));
        if (!mime) return nullptr;
        const int present = PyDict_Contains(bundle.get(), mime.get());
        if (present < 0) return nullptr;
        if (present) continue;
        method = optional_attr(obj, repr.method, failed);
        if (failed) return nullptr;
        if (!method) continue;
        Ref data = data_part(Ref::steal(PyObject_CallNoArgs(method.get())));
        if (!data || add_to_bundle(bundle.get(), mime.get(), data.get()) < 0) return nullptr;
    }
    return bundle.release();
}

int append_entry(PyObject *mime, PyObject *data) {
    if (displays == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "display() works only while a cell runs");
        return -1;
    }
    Ref entry = Ref::steal(display_entry(mime, data));
    if (!entry) return -1;
    Ref list = Ref::borrow(displays);
    return PyList_Append(list.get(), entry.get());
}

PyObject *display_call(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *) {
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        if (offer_display(args[i]) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef kDisplayDef = {
    "display", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(display_call)),
    METH_FASTCALL | METH_KEYWORDS,
    "display(*objs): show each object in the cell's output by its rich representations."};

PyObject *display_object = nullptr;

// Closes every pyplot figure with the exception in flight set aside.
void close_all_figures(PyObject *close) {
    run_finally([&] {
        Ref all = Ref::steal(PyUnicode_FromString("all"));
        Ref closed = all ? Ref::steal(PyObject_CallOneArg(close, all.get())) : Ref();
        return closed ? 0 : -1;
    });
}

}  // namespace

PyObject *display_function() {
    if (display_object == nullptr) {
        display_object = PyCFunction_NewEx(&kDisplayDef, nullptr, nullptr);
    }
    return display_object;
}

int begin_displays() {
    Py_XSETREF(displays, PyList_New(0));
    return displays == nullptr ? -1 : 0;
}

int offer_display(PyObject *obj) {
    if (displays == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "display() works only while a cell runs");
        return -1;
    }
    Ref bundle = Ref::steal(mime_bundle(obj));
    if (!bundle) return -1;
    PyObject *mime, *data;
    Py_ssize_t pos = 0;
    while (PyDict_Next(bundle.get(), &pos, &mime, &data)) {
        if (append_entry(mime, data) < 0) return -1;
    }
    return 0;
}

int render_open_figures() {
    PyObject *pyplot = PyDict_GetItemString(PyImport_GetModuleDict(), "matplotlib.pyplot");
    if (pyplot == nullptr || pyplot == Py_None) return 0;  // not imported, or blocked
    Ref plt = Ref::borrow(pyplot);
    Ref close = Ref::steal(PyObject_GetAttrString(plt.get(), "close"));
    if (!close) return -1;
    Ref numbers = Ref::steal(PyObject_CallMethod(plt.get(), "get_fignums", nullptr));
    if (!numbers) return -1;
    Ref iter = Ref::steal(PyObject_GetIter(numbers.get()));
    if (!iter) return -1;
    Ref mime = Ref::steal(PyUnicode_FromString("image/png"));
    if (!mime) return -1;
    while (Ref num = Ref::steal(PyIter_Next(iter.get()))) {
        Ref figure = Ref::steal(PyObject_CallMethod(plt.get(), "figure", "O", num.get()));
        Ref sink = figure ? Ref::steal(module_attr("io", "BytesIO")) : Ref();
        Ref buffer = sink ? Ref::steal(PyObject_CallNoArgs(sink.get())) : Ref();
        Ref args = buffer ? Ref::steal(PyTuple_Pack(1, buffer.get())) : Ref();
        Ref kwargs = args ? Ref::steal(Py_BuildValue("{s:s}", "format", "png")) : Ref();
        Ref savefig = kwargs ? Ref::steal(PyObject_GetAttrString(figure.get(), "savefig")) : Ref();
        Ref saved = savefig ? Ref::steal(PyObject_Call(savefig.get(), args.get(), kwargs.get())) : Ref();
        Ref png = saved ? Ref::steal(PyObject_CallMethod(buffer.get(), "getvalue", nullptr)) : Ref();
        Ref closed = png ? Ref::steal(PyObject_CallOneArg(close.get(), figure.get())) : Ref();
        if (!closed || append_entry(mime.get(), png.get()) < 0) {
            close_all_figures(close.get());
            return -1;
        }
    }
    if (PyErr_Occurred()) {
        close_all_figures(close.get());
        return -1;
    }
    return 0;
}

PyObject *end_displays() {
    PyObject *list = displays;
    displays = nullptr;
    return list;
}

}  // namespace cw
