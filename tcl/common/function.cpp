// The function type: C++ implementations with the semantics of Python
// functions (binding as methods, writable defaults, __dict__, weak
// references) and a real __code__ so inspect and help() show the signature.
#include "internal.hpp"

#include <structmember.h>

#include <vector>

namespace movarn {

// ---- the function type --------------------------------------------------------
static int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->modname);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->dict);
    Py_VISIT(f->globals);
    Py_VISIT(f->annotations);
    Py_VISIT(f->closure);
    Py_VISIT(f->code);
    Py_VISIT(f->varnames);
    return 0;
}

static int function_clear(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->modname);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->code);
    Py_CLEAR(f->varnames);
    return 0;
}

static void function_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (f->weaklist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

static PyObject* function_repr(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

static PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

static PyObject* get_name(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->name); }
static PyObject* get_qualname(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}
static int set_str_field(PyObject** field, PyObject* value, const char* msg) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, msg);
        return -1;
    }
    Py_XSETREF(*field, Py_NewRef(value));
    return 0;
}
static int set_name(PyObject* self, PyObject* v, void*) {
    return set_str_field(&reinterpret_cast<FunctionObject*>(self)->name, v, "__name__ must be set to a string object");
}
static int set_qualname(PyObject* self, PyObject* v, void*) {
    return set_str_field(&reinterpret_cast<FunctionObject*>(self)->qualname, v,
                         "__qualname__ must be set to a string object");
}
static PyObject* get_defaults(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return Py_NewRef(f->defaults ? f->defaults : Py_None);
}
static int set_defaults(PyObject* self, PyObject* v, void*) {
    if (v == Py_None) v = nullptr;
    if (v && !PyTuple_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<FunctionObject*>(self)->defaults, Py_XNewRef(v));
    return 0;
}
static PyObject* get_kwdefaults(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return Py_NewRef(f->kwdefaults ? f->kwdefaults : Py_None);
}
static int set_kwdefaults(PyObject* self, PyObject* v, void*) {
    if (v == Py_None) v = nullptr;
    if (v && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<FunctionObject*>(self)->kwdefaults, Py_XNewRef(v));
    return 0;
}
static PyObject* get_annotations(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(f->annotations);
}
static int set_annotations(PyObject* self, PyObject* v, void*) {
    if (v == Py_None) v = nullptr;
    if (v && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<FunctionObject*>(self)->annotations, Py_XNewRef(v));
    return 0;
}
static PyObject* get_code(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->code); }
static PyObject* get_closure(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return Py_NewRef(f->closure ? f->closure : Py_None);
}

static PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, modname), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weaklist), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

static PyType_Slot function_slots[] = {
    {Py_tp_dealloc, (void*)function_dealloc},
    {Py_tp_traverse, (void*)function_traverse},
    {Py_tp_clear, (void*)function_clear},
    {Py_tp_repr, (void*)function_repr},
    {Py_tp_call, (void*)PyVectorcall_Call},
    {Py_tp_descr_get, (void*)function_descr_get},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "movarn.tcl.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// A real code object with the function's parameters, so inspect and help()
// show the true signature.
static py::object make_code(const FuncSpec& fs, const std::string& qualname, const std::string& filename) {
    std::string body = (fs.flags & F_GENERATOR) ? "yield" : "pass";
    std::string src;
    if (fs.flags & F_CLASSCELL) {
        src = "def __movarn_outer__():\n    __class__ = None\n    def " + std::string(fs.name) + "(" +
              fs.params + "):\n        __class__\n        " + body + "\n    return " + fs.name + "\n";
    } else {
        src = "def " + std::string(fs.name) + "(" + fs.params + "):\n    " + body + "\n";
    }
    py::object top = steal(Py_CompileString(src.c_str(), filename.c_str(), Py_file_input));
    std::vector<py::object> todo{top};
    py::str want(fs.name);
    while (!todo.empty()) {
        py::object c = todo.back();
        todo.pop_back();
        if (py::object(c.attr("co_name")).equal(want) && c.ptr() != top.ptr()) {
            py::object kw = py::dict(py::arg("co_qualname") = qualname);
            return call_star(c.attr("replace"), py::tuple(), kw);
        }
        for (auto item : py::tuple(c.attr("co_consts")))
            if (PyCode_Check(item.ptr())) todo.push_back(py::reinterpret_borrow<py::object>(item));
    }
    throw std::runtime_error("code object not found for " + std::string(fs.name));
}

py::object ModuleBuilder::function(const FuncSpec& fs, const std::string& qualprefix, py::object defaults,
                                   py::object kwdefaults, py::object closure) const {
    std::string qualname = qualprefix.empty() ? fs.name : qualprefix + "." + fs.name;
    py::object modname = dict["__name__"];
    std::string filename = "<" + modname.cast<std::string>() + ">";
    py::object code = make_code(fs, qualname, filename);
    auto* tp = reinterpret_cast<PyTypeObject*>(state().function_type);
    auto* f = PyObject_GC_New(FunctionObject, tp);
    if (!f) throw_error();
    f->vectorcall = function_vectorcall;
    f->fdef = &fs;
    f->module = Py_NewRef(module);
    f->name = PyUnicode_FromString(fs.name);
    f->qualname = PyUnicode_FromString(qualname.c_str());
    f->modname = modname.release().ptr();
    f->doc = fs.doc ? PyUnicode_FromString(fs.doc) : Py_NewRef(Py_None);
    f->defaults = defaults.is_none() ? nullptr : defaults.release().ptr();
    f->kwdefaults = kwdefaults.is_none() ? nullptr : kwdefaults.release().ptr();
    f->dict = nullptr;
    f->globals = Py_NewRef(dict.ptr());
    f->annotations = nullptr;
    f->closure = closure.is_none() ? nullptr : closure.release().ptr();
    f->argcount = code.attr("co_argcount").cast<Py_ssize_t>();
    f->kwonlycount = code.attr("co_kwonlyargcount").cast<Py_ssize_t>();
    int flags = code.attr("co_flags").cast<int>();
    f->has_varargs = flags & CO_VARARGS;
    f->has_varkw = flags & CO_VARKEYWORDS;
    f->varnames = py::tuple(code.attr("co_varnames")).release().ptr();
    f->code = code.release().ptr();
    f->weaklist = nullptr;
    PyObject_GC_Track(f);
    py::object fn = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));
    if (!f->name || !f->qualname || !f->doc) throw_error();
    return fn;
}
}  // namespace movarn
