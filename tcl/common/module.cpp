// Module construction: multi-phase init glue, the module builder, imports,
// and a class builder equivalent to a class statement.
#include "internal.hpp"

namespace movarn {

// ---- module construction -----------------------------------------------------------
int module_traverse(PyObject* m, visitproc visit, void* arg) {
    auto* st = static_cast<ModuleState*>(PyModule_GetState(m));
    if (!st) return 0;
    Py_VISIT(st->function_type);
    Py_VISIT(st->generator_type);
    Py_VISIT(st->names);
    for (auto* r : st->refs) Py_VISIT(r);
    return 0;
}
int module_clear(PyObject* m) {
    auto* st = static_cast<ModuleState*>(PyModule_GetState(m));
    if (!st) return 0;
    Py_CLEAR(st->function_type);
    Py_CLEAR(st->generator_type);
    Py_CLEAR(st->names);
    for (auto*& r : st->refs) Py_CLEAR(r);
    return 0;
}
void module_free(void* m) { module_clear(static_cast<PyObject*>(m)); }

int run_exec(PyObject* m, void (*body)(PyObject*)) {
    PyObject* r = guarded([&]() -> py::object {
        body(m);
        return py::none();
    });
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

ModuleBuilder::ModuleBuilder(PyObject* m, std::initializer_list<const char*> names_)
    : module(m), dict(py::reinterpret_borrow<py::dict>(PyModule_GetDict(m))) {
    // pybind11 sets up its internals on first use, which may be the
    // destructor of an error object at the recursion limit, where calling
    // Python fails and the process would abort.  Set them up now.
    py::detail::get_internals();
    ModuleState& st = state();
    st.function_type = steal(PyType_FromModuleAndSpec(m, &function_spec, nullptr)).release().ptr();
    st.generator_type = steal(PyType_FromModuleAndSpec(m, &gen_spec, nullptr)).release().ptr();
    py::object t = steal(PyTuple_New((Py_ssize_t)names_.size()));
    Py_ssize_t i = 0;
    for (const char* n : names_) PyTuple_SET_ITEM(t.ptr(), i++, steal(PyUnicode_InternFromString(n)).release().ptr());
    st.names = t.release().ptr();
    // The generators are generators as far as collections.abc is concerned.
    py::object abc = steal(PyImport_ImportModule("collections.abc"));
    abc.attr("Generator").attr("register")(py::handle(st.generator_type));
}

py::object ModuleBuilder::import(const char* mod, const char* attr) const {
    py::object m = steal(PyImport_ImportModule(mod));
    if (!attr) return m;
    return m.attr(attr);
}

py::object ModuleBuilder::import_relative(const char* sibling, const char* attr) const {
    // `from .sibling import attr`, relative to the module's own package.
    py::object fromlist = py::make_tuple(attr);
    py::object m = steal(PyImport_ImportModuleLevel(sibling, dict.ptr(), dict.ptr(), fromlist.ptr(), 1));
    PyObject* r = nullptr;
    if (_PyObject_LookupAttr(m.ptr(), py::str(attr).ptr(), &r) < 0) throw_error();
    if (!r) {
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%U'", attr,
                     py::getattr(m, "__name__", py::str("?")).ptr());
        throw_error();
    }
    return py::reinterpret_steal<py::object>(r);
}

ClassDef::ClassDef(std::string n, std::string q, py::tuple b, const char* d)
    : name(std::move(n)), qualname(std::move(q)), bases(std::move(b)), doc(d), classcell(py::none()) {}

py::object ClassDef::new_cell() {
    if (classcell.is_none()) classcell = steal(PyCell_New(nullptr));
    return py::make_tuple(classcell);
}

py::object build_class(const ModuleBuilder& mb, ClassDef& def) {
    // The metaclass is the most derived metaclass of the bases, as for a class statement.
    PyObject* winner = def.bases.size() ? (PyObject*)Py_TYPE(def.bases[0].ptr()) : (PyObject*)&PyType_Type;
    for (auto base : def.bases) {
        PyObject* tmp = (PyObject*)Py_TYPE(base.ptr());
        if (PyType_IsSubtype((PyTypeObject*)winner, (PyTypeObject*)tmp)) continue;
        if (PyType_IsSubtype((PyTypeObject*)tmp, (PyTypeObject*)winner)) {
            winner = tmp;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass "
                        "of the metaclasses of all its bases");
        throw_error();
    }
    py::handle meta(winner);
    py::str name(def.name);
    py::object ns = meta.attr("__prepare__")(name, def.bases);
    ns[py::str("__module__")] = mb.dict["__name__"];
    ns[py::str("__qualname__")] = py::str(def.qualname);
    if (def.doc) ns[py::str("__doc__")] = py::str(def.doc);
    for (auto& kv : def.members) ns[py::str(kv.first)] = kv.second;
    if (!def.classcell.is_none()) ns[py::str("__classcell__")] = def.classcell;
    return meta(name, def.bases, ns);
}
// ---- quiet attribute lookup ---------------------------------------------------
// The hook runs without module state.  CPython's identifiers keep their
// interned strings in the interpreter's own state (the static holds an index
// only), so no Python object lives in a C++ static.
_Py_IDENTIFIER(__getattr__);
_Py_IDENTIFIER(__getattribute__);

static bool generic_getattribute(PyTypeObject* tp) {
    PyObject* ga = _PyType_LookupId(tp, &PyId___getattribute__);
    return !ga || (Py_IS_TYPE(ga, &PyWrapperDescr_Type) &&
                   reinterpret_cast<PyWrapperDescrObject*>(ga)->d_wrapped == (void*)PyObject_GenericGetAttr);
}

// What CPython's own hook does, with the instance lookup told to stay quiet
// about a missing name, so __getattr__ runs without an exception in between.
// Setting __getattr__ or __getattribute__ on the class, or subclassing it,
// gives that class CPython's own hook again, so here both are the originals.
static PyObject* quiet_getattr_hook(PyObject* self, PyObject* name) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject* res = _PyObject_GenericGetAttrWithDict(self, name, nullptr, 1);
    if (res || PyErr_Occurred()) return res;
    PyObject* getattr = _PyType_LookupId(tp, &PyId___getattr__);
    if (!getattr) return PyObject_GenericGetAttr(self, name);  // the error message, as CPython gives it
    Py_INCREF(getattr);
    descrgetfunc get = Py_TYPE(getattr)->tp_descr_get;
    PyObject* bound = get ? get(getattr, self, reinterpret_cast<PyObject*>(tp)) : Py_NewRef(getattr);
    Py_DECREF(getattr);
    if (!bound) return nullptr;
    res = PyObject_CallOneArg(bound, name);
    Py_DECREF(bound);
    return res;
}

void use_quiet_getattr(py::handle cls) {
    auto* tp = reinterpret_cast<PyTypeObject*>(cls.ptr());
    if (!PyType_Check(cls.ptr()) || !_PyType_LookupId(tp, &PyId___getattr__) || !generic_getattribute(tp)) return;
    tp->tp_getattro = quiet_getattr_hook;
}

}  // namespace movarn
