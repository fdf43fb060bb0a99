// Variable handles, array mappings and temporary variables.
#include "ns.hpp"

namespace movarn::ns {

// The variable's name, or with an index the element "name(index)".
static py::object element_name(const Ctx& x, py::handle self, py::handle index) {
    py::object name = x.attr(self, N_var_name);
    if (index.is_none()) return name;
    return format_str("%s(%s)", py::make_tuple(name, x.zendra(index)));
}

// ("::array", sub, var_name[, zendra(pattern)])
static py::object array_words(const Ctx& x, py::handle self, int sub, py::handle pattern) {
    py::object name = x.attr(self, N_var_name);
    if (pattern.is_none()) return tuple_of({x.n(N_w_array), x.n(sub), name});
    return tuple_of({x.n(N_w_array), x.n(sub), name, x.zendra(pattern)});
}

// ---- TclVariable ----------------------------------------------------------------
static py::object var_init(Call& c) {
    Ctx x(c);
    py::handle self = c[0], var_name = c[1], array_index = c[2], tcl = c[3], cast = c[4];
    py::object interp = x.weak_interp(tcl);
    x.setattr(self, N_tcl, interp);
    x.setattr(self, N_cast, cast);
    py::object name = array_index.is_none()
                          ? x.zendra(var_name)
                          : format_str("%s(%s)", py::make_tuple(x.zendra(var_name), x.zendra(array_index)));
    x.setattr(self, N_var_name, name);
    return py::none();
}

static py::object var_get_obj(Call& c) {
    Ctx x(c);
    py::handle self = c[0], index = c[1];
    py::object cast = py::reinterpret_borrow<py::object>(c[2]);
    py::object tk = x.tk(self);
    py::object name = x.attr(self, N_var_name);
    py::object result;
    if (index.is_none()) {
        result = x.meth(tk, N_getvar, name);
    } else {
        // tkinter's getvar takes only strings: other indexes are converted
        // the way writing converts them, so "1" written is "1" read.
        py::object idx = PyUnicode_Check(index.ptr()) ? py::reinterpret_borrow<py::object>(index) : x.zendra(index);
        result = x.meth(tk, N_getvar, name, idx);
    }
    py::object marker = x.attr(self, N_marker);
    if (cast.ptr() == marker.ptr()) cast = x.attr(self, N_cast);
    if (truthy(cast)) result = vcall(cast, result);
    return result;
}

static py::object var_get_str(Call& c) {
    Ctx x(c);
    py::object n = element_name(x, c[0], c[1]);
    return x.tk_eval(c[0], x.zendra(tuple_of({x.n(N_w_set), n})));
}

static py::object var_set(Call& c) {
    Ctx x(c);
    py::handle self = c[0], value = c[1], index = c[2];
    py::object tk = x.tk(self);
    py::object name = x.attr(self, N_var_name);
    py::object idx = index.is_none() ? py::object() : x.zendra(index);
    py::object converted = x.tclobj(value);
    if (!PyUnicode_Check(converted.ptr())) interp::check_sendable(converted);  // a bare str: tkinter's own error
    if (index.is_none()) return x.meth(tk, N_setvar, name, converted);
    return x.meth(tk, N_setvar, name, idx, converted);
}

static py::object var_unset(Call& c) {
    Ctx x(c);
    py::handle self = c[0], index = c[1], nocomplain = c[2];
    py::object tk = x.tk(self);
    py::object name = x.attr(self, N_var_name);
    try {
        if (index.is_none())
            x.meth(tk, N_unsetvar, name);
        else
            x.meth(tk, N_unsetvar, name, x.zendra(index));
    } catch (py::error_already_set& e) {
        e.restore();
        if (!x.pending_tcl_error()) throw_error();
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        py::object type = py::reinterpret_steal<py::object>(t), value = py::reinterpret_steal<py::object>(v),
                   trace = py::reinterpret_steal<py::object>(tb);
        if (truthy(nocomplain)) return py::none();
        PyErr_Restore(type.release().ptr(), value.release().ptr(), trace.release().ptr());
        throw_error();
    }
    return py::none();
}

static py::object var_exists(Call& c) {
    Ctx x(c);
    py::object n = element_name(x, c[0], c[1]);
    py::object r = x.tk_call(c[0], tuple_of({x.n(N_w_info), x.n(N_w_exists), n}));
    return x.cast(c[0], N_cast_boolean, r);
}

static py::object var_item_byref(Call& c) {
    Ctx x(c);
    py::handle self = c[0];
    return vcall_kw(x.g(N_TclVariable), {self},
                    {{x.n(N_array_index), c[1]}, {x.n(N_tcl), x.tcl(self)}, {x.n(N_cast), c[2]}});
}

static py::object var_array_get_obj(Call& c) {
    Ctx x(c);
    py::object r = x.tk_call(c[0], array_words(x, c[0], N_w_get, c[1]));
    return x.cast(c[0], N_cast_array, r);
}

static py::object var_array_get_str(Call& c) {
    Ctx x(c);
    py::handle self = c[0], pattern = c[1];
    py::object name = x.attr(self, N_var_name);
    py::object words = pattern.is_none() ? tuple_of({x.n(N_w_array), x.n(N_w_get), name})
                                         : tuple_of({x.n(N_w_array), x.n(N_w_get), name, pattern});
    return x.cast(self, N_cast_array, x.tk_eval(self, x.zendra(words)));
}

static py::object var_array_set(Call& c) {
    Ctx x(c);
    py::handle self = c[0];
    py::object name = x.attr(self, N_var_name);
    py::object words = tuple_of({x.n(N_w_array), x.n(N_w_set), name, x.tclobj(c[1])});
    x.tk_call(self, words);
    return py::none();
}

static py::object var_array_unset(Call& c) {
    Ctx x(c);
    x.tk_call(c[0], array_words(x, c[0], N_w_unset, c[1]));
    return py::none();
}

static py::object var_array_size(Call& c) {
    Ctx x(c);
    return x.tk_call(c[0], array_words(x, c[0], N_w_size, py::none()));
}

static py::object var_array_names(Call& c) {
    Ctx x(c);
    py::object r = x.tk_call(c[0], array_words(x, c[0], N_w_names, c[1]));
    return x.cast(c[0], N_cast_list, r);
}

static py::object var_is_array(Call& c) {
    Ctx x(c);
    py::object r = x.tk_call(c[0], array_words(x, c[0], N_w_exists, py::none()));
    return x.cast(c[0], N_cast_boolean, r);
}

static py::object var_absolute(Call& c) { return absolute_name(Ctx(c), c[0], N_var_name); }
static py::object var_make_absolute(Call& c) { return make_absolute(Ctx(c), c[0], N_var_name); }

static py::object var_str(Call& c) { return Ctx(c).attr(c[0], N_var_name); }
static py::object var_tclobj(Call& c) {
    Ctx x(c);
    return x.zendra(x.attr(c[0], N_var_name));
}
static py::object var_repr(Call& c) {
    Ctx x(c);
    py::object cls = x.attr(x.attr(c[0], N_class_), N_name_);
    return format_str("%s(%r)", py::make_tuple(cls, x.attr(c[0], N_var_name)));
}

// ---- TempTclVariable -------------------------------------------------------------
static py::object temp_init(Call& c) {
    Ctx x(c);
    py::handle self = c[0];
    py::object name = temp_name(x, self, c[1]);
    py::object sup = vcall(py::handle((PyObject*)&PySuper_Type), c.cls(), self);
    call_star(x.attr(sup, N_init), py::make_tuple(name), c[2]);
    return py::none();
}

static py::object temp_enter(Call& c) { return enter_next(Ctx(c), N_TempTclVariable, c[0]); }

static py::object temp_exit(Call& c) {
    Ctx x(c);
    vcall_kw(x.attr(c[0], N_unset), {}, {{x.n(N_nocomplain), py::handle(Py_True)}});
    return exit_next(x, N_TempTclVariable, c[0], c[1]);
}

// ---- TclArrayVariable -------------------------------------------------------------
static py::object arr_init(Call& c) {
    Ctx x(c);
    py::handle self = c[0];
    py::object sup = vcall(py::handle((PyObject*)&PySuper_Type), x.g(N_TclArrayVariable), self);
    vcall_kw(x.attr(sup, N_init), {c[1]}, {{x.n(N_tcl), c[2]}, {x.n(N_cast), c[3]}});
    return py::none();
}

static py::object arr_len(Call& c) { return Ctx(c).meth(c[0], N_array_size); }

static py::object arr_iter_start(py::handle self_and_fn) {
    // captured: (self, names) where names is the module's interned "array_names"
    py::handle self = PyTuple_GET_ITEM(self_and_fn.ptr(), 0);
    py::handle name = PyTuple_GET_ITEM(self_and_fn.ptr(), 1);
    return vcall_method(self, name);
}
static py::object arr_iter(Call& c) {
    return make_generator(c, arr_iter_start, tuple_of({c[0], c.name(N_array_names)}));
}

static py::object arr_contains(Call& c) {
    Ctx x(c);
    return vcall_kw(x.attr(c[0], N_exists), {}, {{x.n(N_array_index), c[1]}});
}
extern const FuncSpec V_GET_OBJ;

static py::object arr_getitem(Call& c) {
    Ctx x(c);
    py::object get = x.attr(c[0], N_get);
    // Still the module's own get bound to self: array_index is its second
    // parameter, so the key goes positionally, without a keyword-names tuple.
    if (FunctionObject* fn = c.own(get, V_GET_OBJ); fn && PyMethod_Check(get.ptr()) &&
                                                     PyMethod_GET_SELF(get.ptr()) == c[0].ptr()) {
        PyObject* args[2] = {c[0].ptr(), c[1].ptr()};
        return steal(fn->vectorcall(reinterpret_cast<PyObject*>(fn), args, 2, nullptr));
    }
    return vcall_kw(get, {}, {{x.n(N_array_index), c[1]}});
}
static py::object arr_setitem(Call& c) {
    Ctx x(c);
    vcall_kw(x.attr(c[0], N_set_), {c[2]}, {{x.n(N_array_index), c[1]}});
    return py::none();
}
static py::object arr_delitem(Call& c) {
    Ctx x(c);
    vcall_kw(x.attr(c[0], N_unset), {}, {{x.n(N_array_index), c[1]}});
    return py::none();
}
static py::object arr_clear(Call& c) {
    Ctx(c).meth(c[0], N_array_unset);
    return py::none();
}
static py::object arr_update(Call& c) {
    Ctx x(c);
    py::object merged = call_star(py::handle((PyObject*)&PyDict_Type), c[1], c[2]);
    x.meth(c[0], N_array_set, merged);
    return py::none();
}

// ---- class statements ---------------------------------------------------------------
static const char VAR_DOC[] =
    "Handle on one Tcl variable, or one element of a Tcl array.\n"
    "\n"
    "The handle stores no value: every read, write, test and array operation\n"
    "is sent to the interpreter object when it is called.  get_obj() reads the\n"
    "object form (through the interpreter's getvar, with an optional conversion\n"
    "callable), get_str() the string form (through a Tcl \"set\" script).\n";
static const char TEMP_VAR_DOC[] =
    "A variable with a generated, unique name that is removed when its `with` block ends.\n";
static const char ARRAY_DOC[] =
    "A whole Tcl array as a mutable mapping from element names to values.\n"
    "\n"
    "Every mapping operation is one interpreter operation; nothing is cached.\n";
static const char TEMP_ARRAY_DOC[] = "A temporary Tcl array: a TempTclVariable that is also a TclArrayVariable.\n";

static const FuncSpec V_INIT{"__init__", "self, var_name, array_index, tcl, cast", var_init};
extern const FuncSpec V_GET_OBJ;
const FuncSpec V_GET_OBJ{"get_obj", "self, array_index, cast", var_get_obj};
static const FuncSpec V_GET_STR{"get_str", "self, array_index", var_get_str};
static const FuncSpec V_SET{"set", "self, value, array_index", var_set};
static const FuncSpec V_UNSET{"unset", "self, array_index, nocomplain", var_unset};
static const FuncSpec V_EXISTS{"exists", "self, array_index", var_exists};
static const FuncSpec V_ITEM_BYREF{"array_item_byref", "self, array_index, cast", var_item_byref};
static const FuncSpec V_ARRAY_GET_OBJ{"array_get_obj", "self, pattern", var_array_get_obj};
static const FuncSpec V_ARRAY_GET_STR{"array_get_str", "self, pattern", var_array_get_str};
static const FuncSpec V_ARRAY_SET{"array_set", "self, value", var_array_set};
static const FuncSpec V_ARRAY_UNSET{"array_unset", "self, pattern", var_array_unset};
static const FuncSpec V_ARRAY_SIZE{"array_size", "self", var_array_size};
static const FuncSpec V_ARRAY_NAMES{"array_names", "self, pattern", var_array_names};
static const FuncSpec V_IS_ARRAY{"is_array", "self", var_is_array};
static const FuncSpec V_ABSOLUTE{"absolute", "self", var_absolute};
static const FuncSpec V_MAKE_ABSOLUTE{"make_absolute", "self", var_make_absolute};
static const FuncSpec V_STR{"__str__", "self", var_str};
static const FuncSpec V_TCLOBJ{"__tclobj__", "self", var_tclobj};
static const FuncSpec V_REPR{"__repr__", "self", var_repr};

static const FuncSpec T_INIT{"__init__", "self, var_name, **kwargs", temp_init, nullptr, F_CLASSCELL};
static const FuncSpec T_ENTER{"__enter__", "self", temp_enter};
static const FuncSpec T_EXIT{"__exit__", "self, *exc_info", temp_exit};

static const FuncSpec A_INIT{"__init__", "self, var_name, tcl, cast", arr_init};
static const FuncSpec A_LEN{"__len__", "self", arr_len};
static const FuncSpec A_ITER{"__iter__", "self", arr_iter, nullptr, F_GENERATOR};
static const FuncSpec A_CONTAINS{"__contains__", "self, key", arr_contains};
static const FuncSpec A_GETITEM{"__getitem__", "self, key", arr_getitem};
static const FuncSpec A_SETITEM{"__setitem__", "self, key, value", arr_setitem};
static const FuncSpec A_DELITEM{"__delitem__", "self, key", arr_delitem};
static const FuncSpec A_CLEAR{"clear", "self", arr_clear};
static const FuncSpec A_UPDATE{"update", "self, *args, **kwargs", arr_update};

Variables build_variables(ModuleBuilder& mb) {
    Variables out;
    py::object none = py::none();
    py::object object_type = py::reinterpret_borrow<py::object>((PyObject*)&PyBaseObject_Type);
    py::object marker = vcall(object_type);
    mb.state().refs[R_marker] = py::object(marker).release().ptr();

    ClassDef var("TclVariable", "TclVariable", py::make_tuple(object_type), VAR_DOC);
    const std::string q = "TclVariable";
    var.add("_TclVariable__marker", marker);
    var.add("__init__", mb.function(V_INIT, q, py::make_tuple(none, none, none)));
    py::object get_obj = mb.function(V_GET_OBJ, q, py::make_tuple(none, marker));
    var.add("get_obj", get_obj);
    var.add("get_str", mb.function(V_GET_STR, q, py::make_tuple(none)));
    var.add("get", get_obj);
    var.add("set", mb.function(V_SET, q, py::make_tuple(none)));
    var.add("unset", mb.function(V_UNSET, q, py::make_tuple(none, py::bool_(false))));
    var.add("exists", mb.function(V_EXISTS, q, py::make_tuple(none)));
    var.add("array_item_byref", mb.function(V_ITEM_BYREF, q, py::make_tuple(none)));
    py::object array_get_obj = mb.function(V_ARRAY_GET_OBJ, q, py::make_tuple(none));
    var.add("array_get_obj", array_get_obj);
    var.add("array_get_str", mb.function(V_ARRAY_GET_STR, q, py::make_tuple(none)));
    var.add("array_get", array_get_obj);
    var.add("array_set", mb.function(V_ARRAY_SET, q));
    var.add("array_unset", mb.function(V_ARRAY_UNSET, q, py::make_tuple(none)));
    var.add("array_size", mb.function(V_ARRAY_SIZE, q));
    var.add("array_names", mb.function(V_ARRAY_NAMES, q, py::make_tuple(none)));
    var.add("is_array", mb.function(V_IS_ARRAY, q));
    var.add("absolute", mb.function(V_ABSOLUTE, q));
    var.add("make_absolute", mb.function(V_MAKE_ABSOLUTE, q));
    var.add("__str__", mb.function(V_STR, q));
    var.add("__tclobj__", mb.function(V_TCLOBJ, q));
    var.add("__repr__", mb.function(V_REPR, q));
    out.var = build_class(mb, var);

    py::object tmpl = py::str(TEMPLATE);
    ClassDef temp("TempTclVariable", "TempTclVariable", py::make_tuple(out.var), TEMP_VAR_DOC);
    temp.add("__init__", mb.function(T_INIT, "TempTclVariable", py::make_tuple(tmpl), none, temp.new_cell()));
    temp.add("__enter__", mb.function(T_ENTER, "TempTclVariable"));
    temp.add("__exit__", mb.function(T_EXIT, "TempTclVariable"));
    out.temp_var = build_class(mb, temp);

    py::object mutable_mapping = mb.import("collections.abc", "MutableMapping");
    const std::string a = "TclArrayVariable";
    ClassDef arr("TclArrayVariable", a, py::make_tuple(mutable_mapping, out.var), ARRAY_DOC);
    arr.add("__init__", mb.function(A_INIT, a, py::make_tuple(none, none)));
    arr.add("get", out.var.attr("get"));
    arr.add("__len__", mb.function(A_LEN, a));
    arr.add("__iter__", mb.function(A_ITER, a));
    arr.add("__contains__", mb.function(A_CONTAINS, a));
    arr.add("__getitem__", mb.function(A_GETITEM, a));
    arr.add("__setitem__", mb.function(A_SETITEM, a));
    arr.add("__delitem__", mb.function(A_DELITEM, a));
    arr.add("clear", mb.function(A_CLEAR, a));
    arr.add("update", mb.function(A_UPDATE, a));
    out.array_var = build_class(mb, arr);

    ClassDef tarr("TempTclArrayVariable", "TempTclArrayVariable", py::make_tuple(out.temp_var, out.array_var),
                  TEMP_ARRAY_DOC);
    out.temp_array_var = build_class(mb, tarr);
    return out;
}

}  // namespace movarn::ns
