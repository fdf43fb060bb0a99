// Command handles and temporary commands.
#include "ns.hpp"

namespace movarn::ns {

extern const FuncSpec C_BUILD, C_DASHED, C_CALL;

// self.<method>(*args, **kwargs) for a method that only reads its arguments:
// when the attribute is still the module's own function (bound to self), its
// implementation runs on the caller's tuple and dict, which is what binding
// them again would hand it.
static py::object call_own_method(const Ctx& x, py::handle self, int name, const FuncSpec& fs, py::handle args,
                                  py::handle kwargs) {
    py::object m = x.attr(self, name);
    FunctionObject* fn = x.c.own(m, fs);
    if (fn && PyMethod_Check(m.ptr()) && PyMethod_GET_SELF(m.ptr()) == self.ptr() && PyTuple_CheckExact(args.ptr()) &&
        PyDict_CheckExact(kwargs.ptr())) {
        PyObject* slots[3] = {self.ptr(), args.ptr(), kwargs.ptr()};
        return call_impl(fn, slots);
    }
    return call_star(m, args, kwargs);
}

static py::object cmd_words(const Ctx& x, py::handle self, int first, int second) {
    return tuple_of({x.n(first), x.n(second), x.attr(self, N_cmd_name)});
}

// f(**mapping) as a Python call spells it: `keywords` is a public attribute
// and may hold any object, so anything but a dict is expanded through its
// keys() and item lookup, and a non-mapping or a repeated key gets Python's
// own TypeError.
static py::object call_star_star(py::handle f, py::handle mapping) {
    py::object kw = py::reinterpret_borrow<py::object>(mapping);
    if (!PyDict_CheckExact(mapping.ptr())) {
        kw = steal(PyDict_New());
        if (_PyDict_MergeEx(kw.ptr(), mapping.ptr(), 2) < 0) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                py::object desc = steal(_PyObject_FunctionStr(f.ptr()));
                PyErr_Format(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s", desc.ptr(),
                             Py_TYPE(mapping.ptr())->tp_name);
            } else if (PyErr_ExceptionMatches(PyExc_KeyError)) {
                // A repeated key comes as an unnormalised KeyError((key,));
                // a KeyError raised by the mapping's own lookup goes on.
                PyObject *t, *v, *tb;
                PyErr_Fetch(&t, &v, &tb);
                if (v && PyTuple_Check(v) && PyTuple_GET_SIZE(v) == 1) {
                    py::object type = py::reinterpret_steal<py::object>(t);
                    py::object value = py::reinterpret_steal<py::object>(v);
                    py::object trace = py::reinterpret_steal<py::object>(tb);
                    py::object desc = steal(_PyObject_FunctionStr(f.ptr()));
                    PyErr_Format(PyExc_TypeError, "%U got multiple values for keyword argument '%S'", desc.ptr(),
                                 PyTuple_GET_ITEM(v, 0));
                } else {
                    PyErr_Restore(t, v, tb);
                }
            }
            throw_error();
        }
    }
    return call_star(f, py::tuple(), kw);
}

// f(*seq) as a Python call spells it: a non-iterable gets Python's TypeError.
static py::object call_star_args(py::handle f, py::handle seq) {
    PyObject* s = seq.ptr();
    if (!PyTuple_CheckExact(s) && !Py_TYPE(s)->tp_iter && !PySequence_Check(s)) {
        py::object desc = steal(_PyObject_FunctionStr(f.ptr()));
        PyErr_Format(PyExc_TypeError, "%U argument after * must be an iterable, not %.200s", desc.ptr(),
                     Py_TYPE(s)->tp_name);
        throw_error();
    }
    return call_star(f, steal(PySequence_Tuple(s)), py::handle());
}

// ---- TclCommand ----------------------------------------------------------------------
static py::object cmd_init(Call& c) {
    Ctx x(c);
    py::handle self = c[0];
    py::object cmd = py::reinterpret_borrow<py::object>(c[1]);
    py::object args = py::reinterpret_borrow<py::object>(c[2]);
    py::handle keywords = c[3];
    py::object command_cls = x.g(N_TclCommand);
    vcall(x.attr(vcall(py::handle((PyObject*)&PySuper_Type), command_cls, self), N_init));
    py::object package = interp::package();
    py::object interp = truthy(c[4]) ? py::reinterpret_borrow<py::object>(c[4]) : package;
    x.setattr(self, N_tcl, interp::weak_proxy(x.names(), x.g(N_weakref), interp));
    py::object cast_list = x.attr(package, N_cast_list);
    // args = cmd[1:]; cmd = cmd[0], by subscription: cmd comes from the
    // package's splitter or an overridable build_tclcmd and may be any object.
    // An empty command raises IndexError here, as indexing does.
    auto split_first = [&] {
        py::object one = steal(PyLong_FromLong(1)), zero = steal(PyLong_FromLong(0));
        py::object rest = steal(PySlice_New(one.ptr(), nullptr, nullptr));
        args = steal(PyObject_GetItem(cmd.ptr(), rest.ptr()));
        cmd = steal(PyObject_GetItem(cmd.ptr(), zero.ptr()));
    };
    if (args.is_none()) {
        if (is_instance(cmd, command_cls))
            cmd = x.meth(cmd, N_build_tclcmd);
        else if (Py_TYPE(cmd.ptr()) != &PyTuple_Type)
            cmd = vcall(cast_list, cmd);
        split_first();
    } else {
        args = vcall(cast_list, args);
        if (is_instance(cmd, command_cls)) {
            cmd = call_star_args(x.attr(cmd, N_build_tclcmd), args);
            split_first();
        }
    }
    x.setattr(self, N_cmd_name, x.zendra(cmd));
    x.setattr(self, N_args, x.tclobj(args));
    py::object stored = steal(PyDict_New());
    x.setattr(self, N_keywords, stored);
    if (truthy(keywords)) {
        py::object items = steal(PyObject_GetIter(x.meth(keywords, N_items).ptr()));
        while (PyObject* item = PyIter_Next(items.ptr())) {
            auto [key, value] = unpack_pair(py::reinterpret_steal<py::object>(item));
            if (PyObject_SetItem(x.attr(self, N_keywords).ptr(), key.ptr(), x.tclobj(value).ptr()) < 0)
                throw_error();
        }
        if (PyErr_Occurred()) throw_error();
    }
    x.setattr(self, N_cast, c[5]);
    x.setattr(self, N_logger, c[6]);
    return py::none();
}

static py::object cmd_createcommand(Call& c) {
    Ctx x(c);
    return x.meth(x.tk(c[0]), N_createcommand, x.attr(c[0], N_cmd_name), c[1]);
}

static py::object cmd_exists(Call& c) {
    Ctx x(c);
    return py::bool_(truthy(x.tk_call(c[0], cmd_words(x, c[0], N_w_info, N_w_commands))));
}
static py::object cmd_is_proc(Call& c) {
    Ctx x(c);
    return py::bool_(truthy(x.tk_call(c[0], cmd_words(x, c[0], N_w_info, N_w_procs))));
}
static py::object cmd_is_command(Call& c) {
    Ctx x(c);
    py::object exists = x.meth(c[0], N_exists);
    if (!truthy(exists)) return exists;
    return py::bool_(!truthy(x.meth(c[0], N_is_proc)));
}

static py::object cmd_rename(Call& c) {
    Ctx x(c);
    py::object new_name = x.zendra(c[1]);
    x.tk_call(c[0], tuple_of({x.n(N_w_rename), x.attr(c[0], N_cmd_name), new_name}));
    x.setattr(c[0], N_cmd_name, new_name);
    return py::none();
}
static py::object cmd_delete(Call& c) {
    Ctx x(c);
    x.tk_call(c[0], tuple_of({x.n(N_w_rename), x.attr(c[0], N_cmd_name), x.n(N_empty)}));
    return py::none();
}
static py::object cmd_origin(Call& c) {
    Ctx x(c);
    return x.tk_call(c[0], cmd_words(x, c[0], N_w_ns_global, N_w_origin));
}
static py::object cmd_proc_body(Call& c) {
    Ctx x(c);
    return x.tk_call(c[0], cmd_words(x, c[0], N_w_info, N_w_body));
}
static py::object cmd_proc_args(Call& c) {
    Ctx x(c);
    return x.cast(c[0], N_cast_list, x.tk_call(c[0], cmd_words(x, c[0], N_w_info, N_w_args)));
}

static py::object cmd_proc_arg_default(Call& c) {
    Ctx x(c);
    py::handle self = c[0], arg_name = c[1];
    py::object tcl = x.tcl(self);
    py::object tmp = vcall_kw(x.g(N_TempTclVariable), {}, {{x.n(N_tcl), tcl}});
    return with_context(tmp, [&](py::handle tmp_var) -> py::object {
        py::object words = tuple_of({x.n(N_w_info), x.n(N_w_default), x.attr(self, N_cmd_name), x.zendra(arg_name),
                                     tmp_var});
        py::object result = x.cast(self, N_cast_boolean, x.tk_call(self, words));
        if (truthy(result)) return x.meth(tmp_var, N_get);
        return py::none();
    });
}

static py::object cmd_build_tclcmd(Call& c) {
    Ctx x(c);
    py::handle self = c[0], args = c[1], kwargs = c[2];
    py::object tclcmd = tuple_concat(tuple_of({x.attr(self, N_cmd_name)}), x.attr(self, N_args));
    tclcmd = tuple_concat(tclcmd, x.tclobj(args));
    py::object keywords;
    if (PyDict_GET_SIZE(kwargs.ptr())) {
        keywords = x.meth(x.attr(self, N_keywords), N_copy);
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs.ptr(), &pos, &key, &value))
            if (PyObject_SetItem(keywords.ptr(), key, x.tclobj(value).ptr()) < 0) throw_error();
    } else {
        keywords = x.attr(self, N_keywords);
    }
    py::object to_dashed = x.attr(self, N_kwargs_to_dashed_args);
    if (FunctionObject* fn = x.c.own(to_dashed, C_DASHED); fn && !PyMethod_Check(to_dashed.ptr()) &&
                                                           PyDict_CheckExact(keywords.ptr())) {
        // The module's own static method reads the dict that ** would copy.
        if (PyDict_GET_SIZE(keywords.ptr()) == 0) return tclcmd;
        PyObject* slots[1] = {keywords.ptr()};
        return tuple_concat(tclcmd, call_impl(fn, slots));
    }
    py::object dashed = call_star_star(to_dashed, keywords);
    return tuple_concat(tclcmd, dashed);
}

static py::object cmd_kwargs_to_dashed_args(Call& c) {
    Ctx x(c);
    py::handle kwargs = c[0];
    py::object out = steal(PyTuple_New(2 * PyDict_GET_SIZE(kwargs.ptr())));
    PyObject *key, *value;
    Py_ssize_t pos = 0, i = 0;
    while (PyDict_Next(kwargs.ptr(), &pos, &key, &value)) {
        PyTuple_SET_ITEM(out.ptr(), i++, steal(PyNumber_Add(x.n(N_dash).ptr(), key)).release().ptr());
        PyTuple_SET_ITEM(out.ptr(), i++, Py_NewRef(value));
    }
    return out;
}

static py::object apply_cast(const Ctx& x, py::handle self, py::object result) {
    py::object cast = x.attr(self, N_cast);
    if (truthy(cast)) return vcall(cast, result);
    return result;
}

static py::object cmd_call(Call& c) {
    Ctx x(c);
    py::handle self = c[0];
    py::object tclcmd = call_own_method(x, self, N_build_tclcmd, C_BUILD, c[1], c[2]);
    py::object logger = x.attr(self, N_logger);
    if (truthy(logger)) {
        py::object line = x.meth(x.n(N_calling), N_format, x.zendra(tclcmd));
        x.meth(logger, N_info, line);
    }
    return apply_cast(x, self, x.tk_call(self, tclcmd));
}

static py::object cmd_dunder_call(Call& c) { return call_own_method(Ctx(c), c[0], N_call, C_CALL, c[1], c[2]); }

static py::object cmd_eval(Call& c) {
    Ctx x(c);
    py::handle self = c[0];
    py::object tclcmd = call_star(x.attr(self, N_build_tclcmd), c[1], c[2]);
    return apply_cast(x, self, x.tk_eval(self, x.zendra(tclcmd)));
}

static py::object cmd_absolute(Call& c) { return absolute_name(Ctx(c), c[0], N_cmd_name); }
static py::object cmd_make_absolute(Call& c) { return make_absolute(Ctx(c), c[0], N_cmd_name); }

static py::object cmd_repr(Call& c) {
    Ctx x(c);
    py::handle self = c[0];
    py::object cls = x.attr(x.attr(self, N_class_), N_name_);
    py::object text = format_str("%s(%r", py::make_tuple(cls, x.attr(self, N_cmd_name)));
    const std::pair<int, const char*> parts[] = {
        {N_args, ", args=%r"}, {N_keywords, ", keywords=%r"}, {N_cast, ", cast=%r"}};
    for (auto& part : parts) {
        py::object value = x.attr(self, part.first);
        if (truthy(value)) text = steal(PyUnicode_Concat(text.ptr(), format_str(part.second, py::make_tuple(value)).ptr()));
    }
    return steal(PyUnicode_Concat(text.ptr(), py::str(")").ptr()));
}

static py::object cmd_str(Call& c) {
    Ctx x(c);
    return x.zendra(x.meth(c[0], N_build_tclcmd));
}
static py::object cmd_tclobj(Call& c) { return Ctx(c).meth(c[0], N_build_tclcmd); }

static py::object cmd_get(Call& c) {
    Ctx x(c);
    if (c[1].is_none()) return py::reinterpret_borrow<py::object>(c[0]);
    return vcall(x.g(N_MethodType), c[0], c[1]);
}

// ---- TempTclCommand -----------------------------------------------------------------------
static py::object tcmd_init(Call& c) {
    Ctx x(c);
    py::handle self = c[0], func = c[1];
    py::object name = temp_name(x, self, c[2]);
    py::object sup = vcall(py::handle((PyObject*)&PySuper_Type), c.cls(), self);
    call_star(x.attr(sup, N_init), py::make_tuple(name), c[3]);
    if (truthy(func)) {
        x.meth(self, N_createcommand, func);
        vcall(x.attr(x.g(N_functools), N_update_wrapper), self, func);
    }
    return py::none();
}

static py::object tcmd_enter(Call& c) { return enter_next(Ctx(c), N_TempTclCommand, c[0]); }

static py::object tcmd_exit(Call& c) {
    Ctx x(c);
    call_ignoring_tcl_error(x, c[0], N_delete_);
    return exit_next(x, N_TempTclCommand, c[0], c[1]);
}

static py::object tcmd_del(Call& c) {
    Ctx x(c);
    py::handle self = c[0];
    int owns = PyObject_HasAttr(self.ptr(), x.n(N_wrapped).ptr());
    if (owns) call_ignoring_tcl_error(x, self, N_delete_);
    py::object f = super_attr(x, c.cls(), self, N_del);
    if (truthy(f)) vcall(f);
    return py::none();
}

// ---- class statements ----------------------------------------------------------------------
static const char CMD_DOC[] =
    "Handle on one Tcl command: a name, fixed leading words and fixed options.\n"
    "\n"
    "Calling the handle appends further words and options (keywords become\n"
    "dashed options) and runs the command through the interpreter's call,\n"
    "or as one script with eval().  Stored on a class, a handle binds like a\n"
    "method: the instance becomes the first call-time word.\n";
static const char TEMP_CMD_DOC[] =
    "A command with a generated, unique name, deleted when its `with` block ends.\n"
    "\n"
    "Given a callable, registers it as the Tcl command and looks like it\n"
    "(usable as a decorator); the command is then also deleted when the\n"
    "handle is collected.\n";

static const FuncSpec C_INIT{"__init__", "self, cmd, args, keywords, tcl, cast, logger", cmd_init};
static const FuncSpec C_CREATECOMMAND{"createcommand", "self, func", cmd_createcommand};
static const FuncSpec C_EXISTS{"exists", "self", cmd_exists};
static const FuncSpec C_IS_COMMAND{"is_command", "self", cmd_is_command};
static const FuncSpec C_IS_PROC{"is_proc", "self", cmd_is_proc};
static const FuncSpec C_RENAME{"rename", "self, new_name", cmd_rename};
static const FuncSpec C_DELETE{"delete", "self", cmd_delete};
static const FuncSpec C_ORIGIN{"origin", "self", cmd_origin};
static const FuncSpec C_PROC_BODY{"proc_body", "self", cmd_proc_body};
static const FuncSpec C_PROC_ARGS{"proc_args", "self", cmd_proc_args};
static const FuncSpec C_PROC_ARG_DEFAULT{"proc_arg_default", "self, arg_name", cmd_proc_arg_default};
extern const FuncSpec C_BUILD;
const FuncSpec C_BUILD{"build_tclcmd", "self, *args, **kwargs", cmd_build_tclcmd};
extern const FuncSpec C_DASHED;
const FuncSpec C_DASHED{"kwargs_to_dashed_args", "**kwargs", cmd_kwargs_to_dashed_args};
extern const FuncSpec C_CALL;
const FuncSpec C_CALL{"call", "self, *args, **kwargs", cmd_call};
static const FuncSpec C_DUNDER_CALL{"__call__", "self, *args, **kwargs", cmd_dunder_call};
static const FuncSpec C_EVAL{"eval", "self, *args, **kwargs", cmd_eval};
static const FuncSpec C_ABSOLUTE{"absolute", "self", cmd_absolute};
static const FuncSpec C_MAKE_ABSOLUTE{"make_absolute", "self", cmd_make_absolute};
static const FuncSpec C_REPR{"__repr__", "self", cmd_repr};
static const FuncSpec C_STR{"__str__", "self", cmd_str};
static const FuncSpec C_TCLOBJ{"__tclobj__", "self", cmd_tclobj};
static const FuncSpec C_GET{"__get__", "self, instance, owner", cmd_get};

static const FuncSpec TC_INIT{"__init__", "self, func, cmd_name, **kwargs", tcmd_init, nullptr, F_CLASSCELL};
static const FuncSpec TC_ENTER{"__enter__", "self", tcmd_enter};
static const FuncSpec TC_EXIT{"__exit__", "self, *exc_info", tcmd_exit};
static const FuncSpec TC_DEL{"__del__", "self", tcmd_del, nullptr, F_CLASSCELL};

Commands build_commands(ModuleBuilder& mb) {
    Commands out;
    py::object none = py::none();
    const std::string q = "TclCommand";
    ClassDef cd(q, q, py::make_tuple(py::handle((PyObject*)&PyBaseObject_Type)), CMD_DOC);
    cd.add("__init__", mb.function(C_INIT, q, py::make_tuple(none, none, none, none, none)));
    cd.add("createcommand", mb.function(C_CREATECOMMAND, q));
    cd.add("exists", mb.function(C_EXISTS, q));
    cd.add("is_command", mb.function(C_IS_COMMAND, q));
    cd.add("is_proc", mb.function(C_IS_PROC, q));
    cd.add("rename", mb.function(C_RENAME, q));
    cd.add("delete", mb.function(C_DELETE, q));
    cd.add("origin", mb.function(C_ORIGIN, q));
    cd.add("proc_body", mb.function(C_PROC_BODY, q));
    cd.add("proc_args", mb.function(C_PROC_ARGS, q));
    cd.add("proc_arg_default", mb.function(C_PROC_ARG_DEFAULT, q));
    cd.add("build_tclcmd", mb.function(C_BUILD, q));
    cd.add("kwargs_to_dashed_args", staticmethod(mb.function(C_DASHED, q)));
    cd.add("call", mb.function(C_CALL, q));
    cd.add("__call__", mb.function(C_DUNDER_CALL, q));
    cd.add("eval", mb.function(C_EVAL, q));
    cd.add("absolute", mb.function(C_ABSOLUTE, q));
    cd.add("make_absolute", mb.function(C_MAKE_ABSOLUTE, q));
    cd.add("__repr__", mb.function(C_REPR, q));
    cd.add("__str__", mb.function(C_STR, q));
    cd.add("__tclobj__", mb.function(C_TCLOBJ, q));
    cd.add("__get__", mb.function(C_GET, q, py::make_tuple(none)));
    out.command = build_class(mb, cd);

    const std::string t = "TempTclCommand";
    ClassDef tc(t, t, py::make_tuple(out.command), TEMP_CMD_DOC);
    py::object cell = tc.new_cell();
    tc.add("__init__", mb.function(TC_INIT, t, py::make_tuple(none, py::str(TEMPLATE)), none, cell));
    tc.add("__enter__", mb.function(TC_ENTER, t));
    tc.add("__exit__", mb.function(TC_EXIT, t));
    tc.add("__del__", mb.function(TC_DEL, t, none, none, cell));
    out.temp_command = build_class(mb, tc);
    return out;
}

}  // namespace movarn::ns
