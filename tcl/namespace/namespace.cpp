// movarn.tcl.namespace: handles on Tcl namespaces, variables, arrays and
// commands, mapping views over a namespace, and temporary variants.
#include "ns.hpp"

namespace movarn::ns {

// What an except clause accepts: an exception class or a tuple of them.
static bool catchable(py::handle cls) {
    if (!PyTuple_Check(cls.ptr())) return PyExceptionClass_Check(cls.ptr());
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cls.ptr()); i++)
        if (!PyExceptionClass_Check(PyTuple_GET_ITEM(cls.ptr(), i))) return false;
    return true;
}

bool Ctx::pending_tcl_error() const {
    // The global is read with the error put aside, then the error is back.
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb) PyException_SetTraceback(v, tb);
    py::object type = py::reinterpret_steal<py::object>(t), value = py::reinterpret_steal<py::object>(v),
               trace = py::reinterpret_steal<py::object>(tb);
    py::object tcl_error = g(N_TclError);
    // TclError is a rebindable global: `except TclError` refuses what is no
    // exception class, with the error being handled as the context.
    if (!catchable(tcl_error)) {
        PyErr_SetString(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
        py::object refusal = fetch_exception();
        PyException_SetContext(refusal.ptr(), value.release().ptr());
        PyErr_SetObject(PyExc_TypeError, refusal.ptr());
        throw_error();
    }
    PyErr_Restore(type.release().ptr(), value.release().ptr(), trace.release().ptr());
    return PyErr_ExceptionMatches(tcl_error.ptr());
}

py::object lookup_special(py::handle obj, const char* name) {
    py::object key = steal(PyUnicode_InternFromString(name));
    PyObject* found = _PyType_Lookup(Py_TYPE(obj.ptr()), key.ptr());
    if (!found) return py::object();
    py::object attr = py::reinterpret_borrow<py::object>(found);
    descrgetfunc get = Py_TYPE(found)->tp_descr_get;
    if (!get) return attr;
    return steal(get(attr.ptr(), obj.ptr(), (PyObject*)Py_TYPE(obj.ptr())));
}

std::pair<py::object, py::object> context_methods(py::handle manager) {
    py::object enter = lookup_special(manager, "__enter__");
    if (!enter) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                     Py_TYPE(manager.ptr())->tp_name);
        throw_error();
    }
    py::object exit = lookup_special(manager, "__exit__");
    if (!exit) {
        PyErr_Format(PyExc_TypeError,
                     "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                     Py_TYPE(manager.ptr())->tp_name);
        throw_error();
    }
    return {enter, exit};
}

std::pair<py::object, py::object> unpack_pair(py::handle item) {
    PyObject* it = PyObject_GetIter(item.ptr());
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(item.ptr())->tp_iter && !PySequence_Check(item.ptr()))
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item.ptr())->tp_name);
        throw_error();
    }
    py::object iter = py::reinterpret_steal<py::object>(it);
    py::object out[2];
    for (int i = 0; i < 2; i++) {
        PyObject* value = PyIter_Next(it);
        if (!value) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw_error();
        }
        out[i] = py::reinterpret_steal<py::object>(value);
    }
    if (PyObject* extra = PyIter_Next(it)) {
        Py_DECREF(extra);
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) throw_error();
    return {out[0], out[1]};
}

py::object tuple_of(std::initializer_list<py::handle> items) {
    py::object t = steal(PyTuple_New((Py_ssize_t)items.size()));
    Py_ssize_t i = 0;
    for (py::handle h : items) PyTuple_SET_ITEM(t.ptr(), i++, py::reinterpret_borrow<py::object>(h).release().ptr());
    return t;
}

py::object tuple_concat(py::handle a, py::handle b) { return steal(PySequence_Concat(a.ptr(), b.ptr())); }

bool starts_with_sep(const Ctx& x, py::handle s) { return truthy(x.meth(s, N_startswith, x.n(N_sep))); }

py::object absolute_name(const Ctx& x, py::handle self, int attr) {
    py::object name = x.attr(self, attr);
    if (starts_with_sep(x, name)) return name;
    py::object current = interp::call_words(x.names(), x.tcl(self), x.n(N_w_namespace), x.n(N_w_current));
    return vcall(x.attr(x.g(N_TclNamespace), N_join), current, name);
}

py::object make_absolute(const Ctx& x, py::handle self, int attr) {
    x.setattr(self, attr, x.meth(self, N_absolute));
    return py::none();
}

py::object fetch_exception() {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb && v) PyException_SetTraceback(v, tb);
    Py_XDECREF(t);
    Py_XDECREF(tb);
    return py::reinterpret_steal<py::object>(v);
}

void raise_from(PyObject* new_type, py::handle exc) {
    py::object err = vcall(new_type, exc);
    PyException_SetContext(err.ptr(), py::reinterpret_borrow<py::object>(exc).release().ptr());
    PyException_SetCause(err.ptr(), py::reinterpret_borrow<py::object>(exc).release().ptr());
    PyErr_SetObject(new_type, err.ptr());
    throw py::error_already_set();
}

py::object temp_name(const Ctx& x, py::handle self, py::handle name) {
    py::object text = steal(PyObject_Str(name.ptr()));
    py::object cls = x.attr(x.attr(self, N_class_), N_name_);
    py::object ident = steal(PyLong_FromVoidPtr(self.ptr()));
    return vcall_kw(x.attr(text, N_format), {}, {{x.n(N_cls), cls}, {x.n(N_id), ident}});
}

py::object super_attr(const Ctx& x, py::handle cls, py::handle self, int name) {
    py::object sup = vcall(py::handle((PyObject*)&PySuper_Type), cls, self);
    return getattr_or_none(sup, x.n(name));
}

py::object enter_next(const Ctx& x, int cls_name, py::handle self) {
    py::object f = super_attr(x, x.g(cls_name), self, N_enter);
    if (truthy(f)) return vcall(f);
    return py::reinterpret_borrow<py::object>(self);
}

py::object exit_next(const Ctx& x, int cls_name, py::handle self, py::handle exc_info) {
    py::object f = super_attr(x, x.g(cls_name), self, N_exit);
    if (truthy(f)) return call_star(f, exc_info, py::handle());
    return py::reinterpret_borrow<py::object>(Py_False);
}

void call_ignoring_tcl_error(const Ctx& x, py::handle self, int method) {
    try {
        x.meth(self, method);
    } catch (py::error_already_set& e) {
        e.restore();
        if (!x.pending_tcl_error()) throw_error();
        PyErr_Clear();
    }
}

py::object call_with_extra(py::handle f, py::handle args, py::handle kwargs,
                           std::initializer_list<std::pair<py::handle, py::handle>> extra) {
    py::object kw = steal(PyDict_New());
    for (auto& kv : extra)
        if (PyDict_SetItem(kw.ptr(), kv.first.ptr(), kv.second.ptr()) < 0) throw_error();
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs.ptr(), &pos, &key, &value)) {
        int dup = PyDict_Contains(kw.ptr(), key);
        if (dup < 0) throw_error();
        if (dup) {
            // The message Python gives for f(..., key=..., **{key: ...}),
            // naming f as Python does (any callable, not only functions).
            py::object desc = steal(_PyObject_FunctionStr(f.ptr()));
            PyErr_Format(PyExc_TypeError, "%U got multiple values for keyword argument '%S'", desc.ptr(), key);
            throw_error();
        }
        if (PyDict_SetItem(kw.ptr(), key, value) < 0) throw_error();
    }
    return call_star(f, args, kw);
}

static const char MODULE_DOC[] =
    "Implements abstraction of Tcl namespaces, variables and commands.\n"
    "\n"
    "Classes: TclVariable, TempTclVariable, TclArrayVariable, TempTclArrayVariable,\n"
    "TclCommand, TempTclCommand, TclNamespace, TempTclNamespace.\n";

static void body(PyObject* m) {
    ModuleBuilder mb(m, {
#define NS_TEXT(id, text) text,
                            NS_NAMES(NS_TEXT)
#undef NS_TEXT
                        });
    ModuleState& st = mb.state();
    mb.set("MutableMapping", mb.import("collections.abc", "MutableMapping"));
    mb.set("zendra", mb.import_relative("zendra", "zendra"));
    mb.set("tclobj", mb.import_relative("zendra", "tclobj"));
    st.refs[R_tclobj] = py::object(mb.dict["tclobj"]).release().ptr();
    st.refs[R_zendra] = py::object(mb.dict["zendra"]).release().ptr();
    mb.set("TclError", mb.import("tkinter", "TclError"));
    mb.set("Tk", mb.import("tkinter", "Tk"));
    mb.set("MethodType", mb.import("types", "MethodType"));
    mb.set("weakref", mb.import("weakref"));
    mb.set("sys", mb.import("sys"));
    mb.set("functools", mb.import("functools"));
    mb.set("__all__", py::make_tuple("TclVariable", "TempTclVariable", "TclArrayVariable", "TempTclArrayVariable",
                                     "TclCommand", "TempTclCommand", "TclNamespace", "TempTclNamespace"));
    st.refs[R_template] = py::str(TEMPLATE).release().ptr();

    Variables v = build_variables(mb);
    mb.set("TclVariable", v.var);
    mb.set("TempTclVariable", v.temp_var);
    mb.set("TclArrayVariable", v.array_var);
    mb.set("TempTclArrayVariable", v.temp_array_var);
    Commands cmds = build_commands(mb);
    mb.set("TclCommand", cmds.command);
    mb.set("TempTclCommand", cmds.temp_command);
    Views views = build_views(mb);
    py::object namespace_cls = build_namespace(mb, views);
    mb.set("TclNamespace", namespace_cls);
    mb.set("TempTclNamespace", build_temp_namespace(mb, namespace_cls));
}

}  // namespace movarn::ns

MOVARN_MODULE(namespace, movarn::ns::MODULE_DOC, movarn::ns::body)
