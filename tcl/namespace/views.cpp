// The mapping views of a namespace: TclNamespace.VariablesView and
// TclNamespace.ObjectsView.
#include "ns.hpp"

namespace movarn::ns {

// assert isinstance(ns, TclNamespace), skipped when Python runs optimised.
static void assert_namespace(const Ctx& x, py::handle ns) {
    py::object optimize = x.attr(x.attr(x.g(N_sys), N_flags), N_optimize);
    if (truthy(optimize)) return;
    if (!is_instance(ns, x.g(N_TclNamespace))) {
        PyErr_SetNone(PyExc_AssertionError);
        throw_error();
    }
}

static py::object view_init(Call& c, int view_class) {
    Ctx x(c);
    assert_namespace(x, c[1]);
    py::object cls = x.attr(x.g(N_TclNamespace), view_class);
    py::object sup = vcall(py::handle((PyObject*)&PySuper_Type), cls, c[0]);
    vcall(x.attr(sup, N_init));
    x.setattr(c[0], N_ns, c[1]);
    return py::none();
}

static py::object qualified(const Ctx& x, py::handle self, py::handle name) {
    return vcall(x.attr(x.g(N_TclNamespace), N_join), x.attr(self, N_ns), name);
}

// ---- VariablesView --------------------------------------------------------------------
static py::object vv_init(Call& c) { return view_init(c, N_VariablesView); }

static py::object vv_byref(Call& c) {
    Ctx x(c);
    py::handle self = c[0];
    py::object kwargs = py::reinterpret_borrow<py::object>(c[3]);
    // kwargs.pop("var_type", TclVariable)
    py::object var_type = vcall_method(kwargs, py::str("pop"), x.n(N_var_type), x.g(N_TclVariable));
    py::object args = tuple_concat(tuple_of({qualified(x, self, c[1])}), c[2]);
    py::object interp = x.tcl(x.attr(self, N_ns));
    return call_with_extra(var_type, args, kwargs, {{x.n(N_tcl), interp}});
}

static py::object vv_array_byref(Call& c) {
    Ctx x(c);
    py::object byref = x.attr(c[0], N_byref);
    py::object args = tuple_concat(tuple_of({c[1]}), c[2]);
    return call_with_extra(byref, args, c[3], {{x.n(N_var_type), x.g(N_TclArrayVariable)}});
}

static py::object handle(const Ctx& x, py::handle self, py::handle name) { return x.meth(self, N_byref, name); }

static py::object vv_get(Call& c) {
    Ctx x(c);
    return x.meth(handle(x, c[0], c[1]), N_get_str);
}
static py::object vv_set(Call& c) {
    Ctx x(c);
    return vcall_kw(x.attr(handle(x, c[0], c[1]), N_set_), {c[2]}, {{x.n(N_array_index), c[3]}});
}
static py::object vv_unset(Call& c) {
    Ctx x(c);
    return vcall_kw(x.attr(handle(x, c[0], c[1]), N_unset), {},
                    {{x.n(N_array_index), c[2]}, {x.n(N_nocomplain), c[3]}});
}
static py::object vv_array_get(Call& c) {
    Ctx x(c);
    return vcall_kw(x.attr(handle(x, c[0], c[1]), N_array_get_str), {}, {{x.n(N_pattern), c[2]}});
}
static py::object vv_array_set(Call& c) {
    Ctx x(c);
    return x.meth(handle(x, c[0], c[1]), N_array_set, c[2]);
}
static py::object vv_array_unset(Call& c) {
    Ctx x(c);
    return vcall_kw(x.attr(handle(x, c[0], c[1]), N_array_unset), {}, {{x.n(N_pattern), c[2]}});
}
static py::object vv_array_names(Call& c) {
    Ctx x(c);
    return vcall_kw(x.attr(handle(x, c[0], c[1]), N_array_names), {}, {{x.n(N_pattern), c[2]}});
}
static py::object vv_is_array(Call& c) {
    Ctx x(c);
    return x.meth(handle(x, c[0], c[1]), N_is_array);
}
static py::object vv_exists(Call& c) {
    Ctx x(c);
    return vcall_kw(x.attr(handle(x, c[0], c[1]), N_exists), {}, {{x.n(N_array_index), c[2]}});
}

static py::object vv_getitem(Call& c) {
    Ctx x(c);
    try {
        return x.meth(c[0], N_get, c[1]);
    } catch (py::error_already_set& e) {
        e.restore();
        if (!x.pending_tcl_error() && !PyErr_ExceptionMatches(PyExc_ValueError)) throw_error();
        raise_from(PyExc_KeyError, fetch_exception());
    }
}
static py::object vv_contains(Call& c) { return Ctx(c).meth(c[0], N_exists, c[1]); }
static py::object vv_setitem(Call& c) {
    Ctx(c).meth(c[0], N_set_, c[1], c[2]);
    return py::none();
}
static py::object vv_delitem(Call& c) {
    Ctx x(c);
    try {
        x.meth(c[0], N_unset, c[1]);
    } catch (py::error_already_set& e) {
        e.restore();
        if (!x.pending_tcl_error()) throw_error();
        raise_from(PyExc_KeyError, fetch_exception());
    }
    return py::none();
}

// Names that "::info <word>" reports inside the namespace, fetched at the first next().
static py::object listing_start(py::handle captured) {
    // captured: (view, "ns", "call", "tcl", "cast_list", words)
    auto item = [&](int i) { return py::handle(PyTuple_GET_ITEM(captured.ptr(), i)); };
    py::object ns = steal(PyObject_GetAttr(item(0).ptr(), item(1).ptr()));
    py::object result = vcall_method(ns, item(2), item(5));
    py::object tcl = steal(PyObject_GetAttr(ns.ptr(), item(3).ptr()));
    return vcall_method(tcl, item(4), result);
}
py::object namespace_listing(const Call& c, py::handle view, int word) {
    Ctx x(c);
    py::object words = tuple_of({x.n(N_w_info), x.n(word)});
    return make_generator(c, listing_start,
                          tuple_of({view, x.n(N_ns), x.n(N_call), x.n(N_tcl), x.n(N_cast_list), words}));
}
static py::object vv_iter(Call& c) { return namespace_listing(c, c[0], N_w_vars); }

// Length: the names of one full iteration.
static py::object count_iteration(Call& c) {
    py::object it = steal(PyObject_GetIter(c[0].ptr()));
    Py_ssize_t n = 0;
    while (PyObject* item = PyIter_Next(it.ptr())) {
        py::reinterpret_steal<py::object>(item);
        n++;
    }
    if (PyErr_Occurred()) throw_error();
    return steal(PyLong_FromSsize_t(n));
}

// ---- ObjectsView -----------------------------------------------------------------------
static py::object ov_get(Call& c) {
    Ctx x(c);
    return vcall_kw(x.attr(handle(x, c[0], c[1]), N_get_obj), {}, {{x.n(N_array_index), c[2]}});
}
static py::object ov_array_get(Call& c) {
    Ctx x(c);
    return vcall_kw(x.attr(handle(x, c[0], c[1]), N_array_get_obj), {}, {{x.n(N_pattern), c[2]}});
}

// ---- CommandsView and ProcsView -----------------------------------------------------------
static py::object cv_init(Call& c) { return view_init(c, N_CommandsView); }

static py::object cv_byref(Call& c) {
    Ctx x(c);
    py::handle self = c[0];
    // The qualified name as a one-word tuple, so a name with spaces stays whole.
    py::object args = tuple_concat(tuple_of({tuple_of({qualified(x, self, c[1])})}), c[2]);
    py::object interp = x.tcl(x.attr(self, N_ns));
    return call_with_extra(x.g(N_TclCommand), args, c[3], {{x.n(N_tcl), interp}});
}
static py::object cv_exists(Call& c) {
    Ctx x(c);
    return x.meth(x.meth(c[0], N_byref, c[1]), N_exists);
}
static py::object cv_createcommand(Call& c) {
    Ctx x(c);
    return x.meth(x.meth(c[0], N_byref, c[1]), N_createcommand, c[2]);
}
static py::object cv_delete(Call& c) {
    Ctx x(c);
    return x.meth(x.meth(c[0], N_byref, c[1]), N_delete_);
}
static py::object cv_rename(Call& c) {
    Ctx x(c);
    py::object new_name = qualified(x, c[0], c[2]);
    return x.meth(x.meth(c[0], N_byref, c[1]), N_rename, new_name);
}
static py::object cv_origin(Call& c) {
    Ctx x(c);
    return x.meth(x.meth(c[0], N_byref, c[1]), N_origin);
}
static py::object cv_proc_body(Call& c) {
    Ctx x(c);
    return x.meth(x.meth(c[0], N_byref, c[1]), N_proc_body);
}
static py::object cv_proc_args(Call& c) {
    Ctx x(c);
    return x.meth(x.meth(c[0], N_byref, c[1]), N_proc_args);
}
static py::object cv_proc_arg_default(Call& c) {
    Ctx x(c);
    return x.meth(x.meth(c[0], N_byref, c[1]), N_proc_arg_default, c[2]);
}
static py::object cv_getitem(Call& c) { return Ctx(c).meth(c[0], N_byref, c[1]); }
static py::object cv_contains(Call& c) { return Ctx(c).meth(c[0], N_exists, c[1]); }
static py::object cv_setitem(Call& c) {
    Ctx(c).meth(c[0], N_createcommand, c[1], c[2]);
    return py::none();
}
static py::object cv_delitem(Call& c) {
    Ctx x(c);
    try {
        x.meth(c[0], N_delete_, c[1]);
    } catch (py::error_already_set& e) {
        e.restore();
        if (!x.pending_tcl_error()) throw_error();
        raise_from(PyExc_KeyError, fetch_exception());
    }
    return py::none();
}
static py::object cv_iter(Call& c) { return namespace_listing(c, c[0], N_w_commands); }

static py::object pv_exists(Call& c) {
    Ctx x(c);
    return x.meth(x.meth(c[0], N_byref, c[1]), N_is_proc);
}
static py::object pv_iter(Call& c) { return namespace_listing(c, c[0], N_w_procs); }

// ---- class statements ----------------------------------------------------------------------
static const char VV_DOC[] =
    "The variables of a namespace as a mutable mapping of names to string values.\n"
    "\n"
    "Names are qualified with the namespace (TclNamespace.join); every\n"
    "operation asks the interpreter anew.\n";
static const char OV_DOC[] = "The variables of a namespace as a mapping of names to values in object form.\n";

static const FuncSpec VV_INIT{"__init__", "self, ns", vv_init};
static const FuncSpec VV_BYREF{"byref", "self, var_name, *args, **kwargs", vv_byref};
static const FuncSpec VV_ARRAY_BYREF{"array_byref", "self, var_name, *args, **kwargs", vv_array_byref};
static const FuncSpec VV_GET{"get", "self, var_name", vv_get};
static const FuncSpec VV_SET{"set", "self, var_name, value, array_index", vv_set};
static const FuncSpec VV_UNSET{"unset", "self, var_name, array_index, nocomplain", vv_unset};
static const FuncSpec VV_ARRAY_GET{"array_get", "self, var_name, pattern", vv_array_get};
static const FuncSpec VV_ARRAY_SET{"array_set", "self, var_name, value", vv_array_set};
static const FuncSpec VV_ARRAY_UNSET{"array_unset", "self, var_name, pattern", vv_array_unset};
static const FuncSpec VV_ARRAY_NAMES{"array_names", "self, var_name, pattern", vv_array_names};
static const FuncSpec VV_IS_ARRAY{"is_array", "self, var_name", vv_is_array};
static const FuncSpec VV_EXISTS{"exists", "self, var_name, array_index", vv_exists};
static const FuncSpec VV_GETITEM{"__getitem__", "self, var_name", vv_getitem};
static const FuncSpec VV_CONTAINS{"__contains__", "self, var_name", vv_contains};
static const FuncSpec VV_SETITEM{"__setitem__", "self, var_name, value", vv_setitem};
static const FuncSpec VV_DELITEM{"__delitem__", "self, var_name", vv_delitem};
static const FuncSpec VV_LEN{"__len__", "self", count_iteration};
static const FuncSpec VV_ITER{"__iter__", "self", vv_iter, nullptr, F_GENERATOR};
static const FuncSpec OV_GET{"get", "self, var_name, array_index", ov_get};
static const FuncSpec OV_ARRAY_GET{"array_get", "self, var_name, pattern", ov_array_get};

static const char CV_DOC[] =
    "The commands of a namespace as a mapping of names to TclCommand handles.\n"
    "\n"
    "Item assignment registers a Python callable as a command; deletion\n"
    "deletes the command; iteration lists the names Tcl reports.\n";
static const char PV_DOC[] = "The procs of a namespace: a CommandsView whose membership and listing are procs only.\n";

static const FuncSpec CV_INIT{"__init__", "self, ns", cv_init};
static const FuncSpec CV_BYREF{"byref", "self, cmd_name, *args, **kwargs", cv_byref};
static const FuncSpec CV_EXISTS{"exists", "self, cmd_name", cv_exists};
static const FuncSpec CV_CREATECOMMAND{"createcommand", "self, cmd_name, func", cv_createcommand};
static const FuncSpec CV_DELETE{"delete", "self, cmd_name", cv_delete};
static const FuncSpec CV_RENAME{"rename", "self, cmd_name, new_name", cv_rename};
static const FuncSpec CV_ORIGIN{"origin", "self, cmd_name", cv_origin};
static const FuncSpec CV_PROC_BODY{"proc_body", "self, cmd_name", cv_proc_body};
static const FuncSpec CV_PROC_ARGS{"proc_args", "self, cmd_name", cv_proc_args};
static const FuncSpec CV_PROC_ARG_DEFAULT{"proc_arg_default", "self, cmd_name, arg_name", cv_proc_arg_default};
static const FuncSpec CV_GETITEM{"__getitem__", "self, cmd_name", cv_getitem};
static const FuncSpec CV_CONTAINS{"__contains__", "self, cmd_name", cv_contains};
static const FuncSpec CV_SETITEM{"__setitem__", "self, cmd_name, func", cv_setitem};
static const FuncSpec CV_DELITEM{"__delitem__", "self, cmd_name", cv_delitem};
static const FuncSpec CV_LEN{"__len__", "self", count_iteration};
static const FuncSpec CV_ITER{"__iter__", "self", cv_iter, nullptr, F_GENERATOR};
static const FuncSpec PV_EXISTS{"exists", "self, cmd_name", pv_exists};
static const FuncSpec PV_ITER{"__iter__", "self", pv_iter, nullptr, F_GENERATOR};

Views build_views(ModuleBuilder& mb) {
    Views out;
    py::object none = py::none();
    py::object f = py::bool_(false);
    py::object mutable_mapping = mb.import("collections.abc", "MutableMapping");
    const std::string q = "TclNamespace.VariablesView";
    ClassDef vv("VariablesView", q, py::make_tuple(mutable_mapping), VV_DOC);
    vv.add("__init__", mb.function(VV_INIT, q));
    vv.add("byref", mb.function(VV_BYREF, q));
    vv.add("array_byref", mb.function(VV_ARRAY_BYREF, q));
    vv.add("get", mb.function(VV_GET, q));
    vv.add("set", mb.function(VV_SET, q, py::make_tuple(none)));
    vv.add("unset", mb.function(VV_UNSET, q, py::make_tuple(none, f)));
    vv.add("array_get", mb.function(VV_ARRAY_GET, q, py::make_tuple(none)));
    vv.add("array_set", mb.function(VV_ARRAY_SET, q));
    vv.add("array_unset", mb.function(VV_ARRAY_UNSET, q, py::make_tuple(none)));
    vv.add("array_names", mb.function(VV_ARRAY_NAMES, q, py::make_tuple(none)));
    vv.add("is_array", mb.function(VV_IS_ARRAY, q));
    vv.add("exists", mb.function(VV_EXISTS, q, py::make_tuple(none)));
    vv.add("__getitem__", mb.function(VV_GETITEM, q));
    vv.add("__contains__", mb.function(VV_CONTAINS, q));
    vv.add("__setitem__", mb.function(VV_SETITEM, q));
    vv.add("__delitem__", mb.function(VV_DELITEM, q));
    vv.add("__len__", mb.function(VV_LEN, q));
    vv.add("__iter__", mb.function(VV_ITER, q));
    out.vars_view = build_class(mb, vv);

    const std::string o = "TclNamespace.ObjectsView";
    ClassDef ov("ObjectsView", o, py::make_tuple(out.vars_view), OV_DOC);
    ov.add("get", mb.function(OV_GET, o, py::make_tuple(none)));
    ov.add("array_get", mb.function(OV_ARRAY_GET, o, py::make_tuple(none)));
    out.objs_view = build_class(mb, ov);

    const std::string cq = "TclNamespace.CommandsView";
    ClassDef cv("CommandsView", cq, py::make_tuple(mutable_mapping), CV_DOC);
    cv.add("__init__", mb.function(CV_INIT, cq));
    cv.add("byref", mb.function(CV_BYREF, cq));
    cv.add("exists", mb.function(CV_EXISTS, cq));
    cv.add("createcommand", mb.function(CV_CREATECOMMAND, cq));
    cv.add("delete", mb.function(CV_DELETE, cq));
    cv.add("rename", mb.function(CV_RENAME, cq));
    cv.add("origin", mb.function(CV_ORIGIN, cq));
    cv.add("proc_body", mb.function(CV_PROC_BODY, cq));
    cv.add("proc_args", mb.function(CV_PROC_ARGS, cq));
    cv.add("proc_arg_default", mb.function(CV_PROC_ARG_DEFAULT, cq));
    cv.add("__getitem__", mb.function(CV_GETITEM, cq));
    cv.add("__contains__", mb.function(CV_CONTAINS, cq));
    cv.add("__setitem__", mb.function(CV_SETITEM, cq));
    cv.add("__delitem__", mb.function(CV_DELITEM, cq));
    cv.add("__len__", mb.function(CV_LEN, cq));
    cv.add("__iter__", mb.function(CV_ITER, cq));
    out.commands_view = build_class(mb, cv);

    const std::string pq = "TclNamespace.ProcsView";
    ClassDef pv("ProcsView", pq, py::make_tuple(out.commands_view), PV_DOC);
    pv.add("exists", mb.function(PV_EXISTS, pq));
    pv.add("__iter__", mb.function(PV_ITER, pq));
    out.procs_view = build_class(mb, pv);
    return out;
}

}  // namespace movarn::ns
