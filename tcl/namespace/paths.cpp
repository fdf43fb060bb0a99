// TclNamespace: the namespace name algebra and the namespace subcommands;
// TempTclNamespace.
#include "ns.hpp"

namespace movarn::ns {

static py::str as_name(const Ctx& x, py::handle obj) {
    py::object s = x.zendra(obj);
    if (!PyUnicode_Check(s.ptr())) {
        PyErr_Format(PyExc_TypeError, "namespace name must convert to str, not %.200s", Py_TYPE(s.ptr())->tp_name);
        throw_error();
    }
    return py::reinterpret_borrow<py::str>(s);
}

// ---- name algebra (static methods) ---------------------------------------------------
static py::object split_name(const Ctx& x, py::handle string) {
    py::str s = as_name(x, string);
    bool absolute = PyUnicode_Tailmatch(s.ptr(), x.n(N_sep).ptr(), 0, PY_SSIZE_T_MAX, -1) == 1;
    py::object parts = steal(PyUnicode_Split(s.ptr(), x.n(N_sep).ptr(), -1));
    py::object out = steal(PyList_New(0));
    if (absolute && PyList_Append(out.ptr(), x.n(N_empty).ptr()) < 0) throw_error();
    py::object colon = py::str(":");
    for (auto piece : parts) {
        if (PyUnicode_GET_LENGTH(piece.ptr()) == 0) continue;
        if (PyUnicode_Find(piece.ptr(), colon.ptr(), 0, PY_SSIZE_T_MAX, 1) >= 0) {
            PyErr_SetObject(PyExc_ValueError, format_str("Invalid Tcl namespace '%s'", py::make_tuple(s)).ptr());
            throw_error();
        }
        if (PyList_Append(out.ptr(), piece.ptr()) < 0) throw_error();
    }
    return out;
}

static py::object ns_split(Call& c) { return split_name(Ctx(c), c[0]); }

static py::object ns_normalize(Call& c) {
    Ctx x(c);
    py::object parts = vcall(x.attr(x.g(N_TclNamespace), N_split), c[0]);
    return steal(PyUnicode_Join(x.n(N_sep).ptr(), parts.ptr()));
}

static py::object ns_join(Call& c) {
    Ctx x(c);
    py::object s = as_name(x, c[0]);
    for (auto arg : py::reinterpret_borrow<py::tuple>(c[1])) {
        py::object a = as_name(x, arg);
        if (PyUnicode_GET_LENGTH(s.ptr()) == 0 || starts_with_sep(x, a))
            s = a;
        else if (PyUnicode_GET_LENGTH(a.ptr()) != 0)
            s = steal(PyUnicode_FromFormat("%U::%U", s.ptr(), a.ptr()));
    }
    return vcall(x.attr(x.g(N_TclNamespace), N_normalize), s);
}

static py::object ns_qualifiers(Call& c) {
    Ctx x(c);
    py::str s = as_name(x, c[0]);
    Py_ssize_t p = PyUnicode_Find(s.ptr(), x.n(N_sep).ptr(), 0, PY_SSIZE_T_MAX, -1);
    if (p == -2) throw_error();
    if (p < 0) return py::reinterpret_borrow<py::object>(x.n(N_empty));
    while (p > 0 && PyUnicode_READ_CHAR(s.ptr(), p - 1) == ':') p--;
    return steal(PyUnicode_Substring(s.ptr(), 0, p));
}

static py::object ns_tail(Call& c) {
    Ctx x(c);
    py::str s = as_name(x, c[0]);
    Py_ssize_t p = PyUnicode_Find(s.ptr(), x.n(N_sep).ptr(), 0, PY_SSIZE_T_MAX, -1);
    if (p == -2) throw_error();
    if (p < 0) return py::object(s);
    return steal(PyUnicode_Substring(s.ptr(), p + 2, PyUnicode_GET_LENGTH(s.ptr())));
}

// ---- handle -------------------------------------------------------------------------
static py::object ns_init(Call& c) {
    Ctx x(c);
    py::handle self = c[0];
    py::object namespace_cls = x.g(N_TclNamespace);
    py::object sup = vcall(py::handle((PyObject*)&PySuper_Type), namespace_cls, self);
    vcall(x.attr(sup, N_init));
    x.setattr(self, N_ns, x.zendra(c[1]));
    x.setattr(self, N_tcl, x.weak_interp(c[2]));
    x.setattr(self, N_vars, vcall(x.attr(namespace_cls, N_VariablesView), self));
    x.setattr(self, N_objs, vcall(x.attr(namespace_cls, N_ObjectsView), self));
    x.setattr(self, N_procs, vcall(x.attr(namespace_cls, N_ProcsView), self));
    x.setattr(self, N_cmds, vcall(x.attr(namespace_cls, N_CommandsView), self));
    return py::none();
}

// (tclcmd,) + args, wrapped in "namespace eval ns" when the name is set.
static py::object wrap_words(const Ctx& x, py::handle self, py::handle tclcmd, py::handle args) {
    py::object cmd = py::reinterpret_borrow<py::object>(tclcmd);
    if (PyTuple_GET_SIZE(args.ptr())) cmd = tuple_concat(tuple_of({tclcmd}), args);
    py::object ns = x.attr(self, N_ns);
    if (truthy(ns)) cmd = tuple_of({x.n(N_w_namespace), x.n(N_w_eval), ns, cmd});
    return cmd;
}

static py::object ns_call(Call& c) {
    Ctx x(c);
    py::object cmd = wrap_words(x, c[0], c[1], c[2]);
    return x.tk_call(c[0], x.tclobj(cmd));
}

static py::object ns_eval(Call& c) {
    Ctx x(c);
    py::object cmd = wrap_words(x, c[0], c[1], c[2]);
    return x.tk_eval(c[0], x.zendra(cmd));
}

static py::object sub(const Ctx& x, int word) { return tuple_of({x.n(N_w_namespace), x.n(word)}); }

static py::object ns_children(Call& c) {
    Ctx x(c);
    py::object words = sub(x, N_w_children);
    if (!c[1].is_none()) words = tuple_concat(words, tuple_of({x.zendra(c[1])}));
    return x.cast(c[0], N_cast_list, x.meth(c[0], N_call, words));
}

static py::object ns_code(Call& c) {
    Ctx x(c);
    return x.meth(c[0], N_call, tuple_of({x.n(N_w_namespace), x.n(N_w_code), c[1]}));
}

static py::object ns_current(Call& c) {
    Ctx x(c);
    return x.tk_call(c[0], sub(x, N_w_current));
}

static py::object ns_create(Call& c) {
    Ctx x(c);
    if (!truthy(x.attr(c[0], N_ns))) throw py::value_error("Cannot create current namespace");
    x.meth(c[0], N_eval, x.n(N_empty));
    return py::none();
}

// The handle's name, or the interpreter's current namespace when it is empty.
static py::object name_or_current(const Ctx& x, py::handle self) {
    py::object ns = x.attr(self, N_ns);
    if (truthy(ns)) return ns;
    return x.meth(self, N_current);
}

static py::object ns_delete(Call& c) {
    Ctx x(c);
    py::object name = name_or_current(x, c[0]);
    x.tk_call(c[0], tuple_of({x.n(N_w_namespace), x.n(N_w_delete), name}));
    return py::none();
}

static py::object ns_exists(Call& c) {
    Ctx x(c);
    py::object name = name_or_current(x, c[0]);
    py::object r = x.tk_call(c[0], tuple_of({x.n(N_w_namespace), x.n(N_w_exists), name}));
    return x.cast(c[0], N_cast_boolean, r);
}

// "namespace sub [option] patterns..." run inside the namespace.
static py::object flagged(const Ctx& x, py::handle self, int word, py::handle flag, int option, py::handle patterns) {
    py::object words = sub(x, word);
    if (flag && truthy(flag)) words = tuple_concat(words, tuple_of({x.n(option)}));
    words = tuple_concat(words, patterns);
    return x.meth(self, N_call, words);
}

static py::object ns_export(Call& c) {
    Ctx x(c);
    py::object r = flagged(x, c[0], N_w_export, c[1], N_w_clear, c[2]);
    if (!truthy(c[1]) && PyTuple_GET_SIZE(c[2].ptr()) == 0) return x.cast(c[0], N_cast_list, r);
    return py::none();
}

static py::object ns_forget(Call& c) {
    Ctx x(c);
    flagged(x, c[0], N_w_forget, py::handle(), 0, c[1]);
    return py::none();
}

static py::object ns_import(Call& c) {
    Ctx x(c);
    flagged(x, c[0], N_w_import, c[1], N_w_force, c[2]);
    return py::none();
}

static py::object ns_origin(Call& c) {
    Ctx x(c);
    return x.meth(c[0], N_call, tuple_of({x.n(N_w_namespace), x.n(N_w_origin), c[1]}));
}

static py::object ns_parent(Call& c) {
    Ctx x(c);
    py::handle self = c[0];
    if (!truthy(c[1]) || !truthy(x.meth(self, N_is_absolute))) {
        py::object ns = x.attr(self, N_ns);
        py::object words = sub(x, N_w_parent);
        if (truthy(ns)) words = tuple_concat(words, tuple_of({ns}));
        return x.tk_call(self, x.tclobj(words));
    }
    // Answered locally, as Tcl answers for an existing namespace: the
    // qualifiers of the normal form, "::" for a child of the global
    // namespace, and "" for the global namespace itself.
    py::object namespace_cls = x.g(N_TclNamespace);
    py::object normal = vcall(x.attr(namespace_cls, N_normalize), x.attr(self, N_ns));
    // normalize is looked up on the module global, which may be rebound.
    if (!PyUnicode_Check(normal.ptr())) {
        PyErr_Format(PyExc_TypeError, "expected TclNamespace.normalize() to return str, not %.200s",
                     Py_TYPE(normal.ptr())->tp_name);
        throw_error();
    }
    if (PyUnicode_GET_LENGTH(normal.ptr()) == 0) return normal;
    py::object q = vcall(x.attr(namespace_cls, N_qualifiers), normal);
    if (truthy(q)) return q;
    return py::reinterpret_borrow<py::object>(x.n(N_sep));
}

static py::object ns_which(Call& c) {
    Ctx x(c);
    py::object words = sub(x, N_w_which);
    if (truthy(c[2])) words = tuple_concat(words, tuple_of({x.n(N_w_command)}));
    if (truthy(c[3])) words = tuple_concat(words, tuple_of({x.n(N_w_variable)}));
    words = tuple_concat(words, tuple_of({c[1]}));
    return x.meth(c[0], N_call, words);
}

static py::object absolute_test(Call& c, bool want_absolute) {
    Ctx x(c);
    py::object ns = x.attr(c[0], N_ns);
    if (!truthy(ns)) return ns;
    bool abs = starts_with_sep(x, ns);
    return py::bool_(want_absolute ? abs : !abs);
}
static py::object ns_is_absolute(Call& c) { return absolute_test(c, true); }
static py::object ns_is_relative(Call& c) { return absolute_test(c, false); }

static py::object ns_absolute(Call& c) {
    Ctx x(c);
    if (truthy(x.meth(c[0], N_is_absolute))) return x.attr(c[0], N_ns);
    py::object current = x.meth(c[0], N_current);
    return vcall(x.attr(x.g(N_TclNamespace), N_join), current, x.attr(c[0], N_ns));
}

static py::object ns_make_absolute(Call& c) { return make_absolute(Ctx(c), c[0], N_ns); }

static py::object ns_str(Call& c) { return Ctx(c).attr(c[0], N_ns); }

// ---- TempTclNamespace ------------------------------------------------------------------
static py::object tns_init(Call& c) {
    Ctx x(c);
    py::object name = temp_name(x, c[0], c[1]);
    py::object sup = vcall(py::handle((PyObject*)&PySuper_Type), c.cls(), c[0]);
    call_star(x.attr(sup, N_init), py::make_tuple(name), c[2]);
    return py::none();
}

static py::object tns_enter(Call& c) {
    Ctx x(c);
    py::object result = enter_next(x, N_TempTclNamespace, c[0]);
    x.meth(c[0], N_create);
    return result;
}

static py::object tns_exit(Call& c) {
    Ctx x(c);
    call_ignoring_tcl_error(x, c[0], N_delete_);
    return exit_next(x, N_TempTclNamespace, c[0], c[1]);
}

// ---- class statements ---------------------------------------------------------------------
static const char NS_DOC[] =
    "Handle on one Tcl namespace of one interpreter.\n"
    "\n"
    "Offers the namespace subcommands (children, code, current, create, delete,\n"
    "eval, call, exists, export, forget, import_, origin, parent, which), the\n"
    "name algebra as static methods (split, join, normalize, qualifiers, tail),\n"
    "and mapping views over the namespace's variables (vars, objs), commands\n"
    "(cmds) and procs (procs).\n";
static const char TEMP_NS_DOC[] =
    "A namespace with a generated, unique name, created when its `with` block\n"
    "starts and deleted when it ends.\n";

static const FuncSpec S_INIT_{"__init__", "self, ns, tcl", ns_init};
static const FuncSpec S_CHILDREN{"children", "self, pattern", ns_children};
static const FuncSpec S_CODE{"code", "self, script", ns_code};
static const FuncSpec S_CURRENT{"current", "self", ns_current};
static const FuncSpec S_CREATE{"create", "self", ns_create};
static const FuncSpec S_DELETE{"delete", "self", ns_delete};
static const FuncSpec S_EVAL{"eval", "self, tclcmd, *args", ns_eval};
static const FuncSpec S_CALL{"call", "self, tclcmd, *args", ns_call};
static const FuncSpec S_EXISTS{"exists", "self", ns_exists};
static const FuncSpec S_EXPORT{"export", "self, clear, *patterns", ns_export};
static const FuncSpec S_FORGET{"forget", "self, *patterns", ns_forget};
static const FuncSpec S_IMPORT{"import_", "self, force, *patterns", ns_import};
static const FuncSpec S_ORIGIN{"origin", "self, command", ns_origin};
static const char PARENT_DOC[] =
    "The parent namespace.\n"
    "\n"
    "Asks Tcl (\"namespace parent\"), unless force_eval is true and the name is\n"
    "absolute: then the answer is computed locally, as Tcl gives it for an\n"
    "existing namespace: the qualifiers of the normalised name (\"::a\" for\n"
    "\"::a::b\"), \"::\" for a child of the global namespace, and \"\" for \"::\"\n"
    "itself, which has no parent.\n";
static const FuncSpec S_PARENT{"parent", "self, force_eval", ns_parent, PARENT_DOC};
static const FuncSpec S_WHICH{"which", "self, name, command, variable", ns_which};
static const FuncSpec S_IS_ABSOLUTE{"is_absolute", "self", ns_is_absolute};
static const FuncSpec S_IS_RELATIVE{"is_relative", "self", ns_is_relative};
static const FuncSpec S_ABSOLUTE{"absolute", "self", ns_absolute};
static const FuncSpec S_MAKE_ABSOLUTE{"make_absolute", "self", ns_make_absolute};
static const FuncSpec S_STR{"__str__", "self", ns_str};
static const FuncSpec S_QUALIFIERS{"qualifiers", "string", ns_qualifiers};
static const FuncSpec S_TAIL{"tail", "string", ns_tail};
static const FuncSpec S_JOIN{"join", "string, *args", ns_join};
static const FuncSpec S_SPLIT{"split", "string", ns_split};
static const FuncSpec S_NORMALIZE{"normalize", "string", ns_normalize};

static const FuncSpec TN_INIT{"__init__", "self, ns, **kwargs", tns_init, nullptr, F_CLASSCELL};
static const FuncSpec TN_ENTER{"__enter__", "self", tns_enter};
static const FuncSpec TN_EXIT{"__exit__", "self, *exc_info", tns_exit};

py::object build_namespace(ModuleBuilder& mb, const Views& views) {
    py::object none = py::none();
    py::object f = py::bool_(false);
    const std::string q = "TclNamespace";
    ClassDef cd(q, q, py::make_tuple(py::handle((PyObject*)&PyBaseObject_Type)), NS_DOC);
    cd.add("__init__", mb.function(S_INIT_, q, py::make_tuple(none)));
    cd.add("children", mb.function(S_CHILDREN, q, py::make_tuple(none)));
    cd.add("code", mb.function(S_CODE, q));
    cd.add("current", mb.function(S_CURRENT, q));
    cd.add("create", mb.function(S_CREATE, q));
    cd.add("delete", mb.function(S_DELETE, q));
    cd.add("eval", mb.function(S_EVAL, q));
    cd.add("call", mb.function(S_CALL, q));
    cd.add("exists", mb.function(S_EXISTS, q));
    cd.add("export", mb.function(S_EXPORT, q, py::make_tuple(f)));
    cd.add("forget", mb.function(S_FORGET, q));
    cd.add("import_", mb.function(S_IMPORT, q, py::make_tuple(f)));
    cd.add("origin", mb.function(S_ORIGIN, q));
    cd.add("parent", mb.function(S_PARENT, q, py::make_tuple(f)));
    cd.add("which", mb.function(S_WHICH, q, py::make_tuple(f, f)));
    cd.add("is_absolute", mb.function(S_IS_ABSOLUTE, q));
    cd.add("is_relative", mb.function(S_IS_RELATIVE, q));
    cd.add("absolute", mb.function(S_ABSOLUTE, q));
    cd.add("make_absolute", mb.function(S_MAKE_ABSOLUTE, q));
    cd.add("__str__", mb.function(S_STR, q));
    cd.add("qualifiers", staticmethod(mb.function(S_QUALIFIERS, q)));
    cd.add("tail", staticmethod(mb.function(S_TAIL, q)));
    cd.add("join", staticmethod(mb.function(S_JOIN, q)));
    cd.add("split", staticmethod(mb.function(S_SPLIT, q)));
    cd.add("normalize", staticmethod(mb.function(S_NORMALIZE, q)));
    cd.add("VariablesView", views.vars_view);
    cd.add("ObjectsView", views.objs_view);
    cd.add("CommandsView", views.commands_view);
    cd.add("ProcsView", views.procs_view);
    return build_class(mb, cd);
}

py::object build_temp_namespace(ModuleBuilder& mb, py::handle namespace_cls) {
    const std::string q = "TempTclNamespace";
    ClassDef cd(q, q, py::make_tuple(namespace_cls), TEMP_NS_DOC);
    cd.add("__init__", mb.function(TN_INIT, q, py::make_tuple(py::str(TEMPLATE)), py::none(), cd.new_cell()));
    cd.add("__enter__", mb.function(TN_ENTER, q));
    cd.add("__exit__", mb.function(TN_EXIT, q));
    return build_class(mb, cd);
}

}  // namespace movarn::ns
