// Shared declarations of the namespace module's files.
#pragma once

#include "../common/interp.hpp"
#include "../common/runtime.hpp"

namespace movarn::ns {

// Interned names: module globals, attributes, keywords and Tcl words.
#define NS_NAMES(X)                                      \
    X(MutableMapping, "MutableMapping")                  \
    X(zendra, "zendra")                                  \
    X(tclobj, "tclobj")                                  \
    X(unicode, "unicode")                                \
    X(TclError, "TclError")                              \
    X(weakref, "weakref")                                \
    X(sys, "sys")                                        \
    X(functools, "functools")                            \
    X(MethodType, "MethodType")                          \
    X(TclVariable, "TclVariable")                        \
    X(TempTclVariable, "TempTclVariable")                \
    X(TclArrayVariable, "TclArrayVariable")              \
    X(TempTclArrayVariable, "TempTclArrayVariable")      \
    X(TclCommand, "TclCommand")                          \
    X(TempTclCommand, "TempTclCommand")                  \
    X(TclNamespace, "TclNamespace")                      \
    X(TempTclNamespace, "TempTclNamespace")              \
    X(VariablesView, "VariablesView")                    \
    X(ObjectsView, "ObjectsView")                        \
    X(CommandsView, "CommandsView")                      \
    X(ProcsView, "ProcsView")                            \
    X(tk, "tk")                                          \
    X(call, "call")                                      \
    X(eval, "eval")                                      \
    X(getvar, "getvar")                                  \
    X(setvar, "setvar")                                  \
    X(unsetvar, "unsetvar")                              \
    X(createcommand, "createcommand")                    \
    X(cast_list, "cast_list")                            \
    X(cast_array, "cast_array")                          \
    X(cast_boolean, "cast_boolean")                      \
    X(ProxyTypes, "ProxyTypes")                          \
    X(proxy, "proxy")                                    \
    X(tcl, "tcl")                                        \
    X(cast, "cast")                                      \
    X(var_name, "var_name")                              \
    X(array_index, "array_index")                        \
    X(pattern, "pattern")                                \
    X(nocomplain, "nocomplain")                          \
    X(var_type, "var_type")                              \
    X(marker, "_TclVariable__marker")                    \
    X(get, "get")                                        \
    X(get_str, "get_str")                                \
    X(get_obj, "get_obj")                                \
    X(set_, "set")                                       \
    X(unset, "unset")                                    \
    X(exists, "exists")                                  \
    X(array_get_str, "array_get_str")                    \
    X(array_get_obj, "array_get_obj")                    \
    X(array_set, "array_set")                            \
    X(array_unset, "array_unset")                        \
    X(array_size, "array_size")                          \
    X(array_names, "array_names")                        \
    X(is_array, "is_array")                              \
    X(absolute, "absolute")                              \
    X(byref, "byref")                                    \
    X(join, "join")                                      \
    X(split, "split")                                    \
    X(normalize, "normalize")                            \
    X(qualifiers, "qualifiers")                          \
    X(current, "current")                                \
    X(is_absolute, "is_absolute")                        \
    X(create, "create")                                  \
    X(delete_, "delete")                                 \
    X(ns, "ns")                                          \
    X(vars, "vars")                                      \
    X(objs, "objs")                                      \
    X(procs, "procs")                                    \
    X(cmds, "cmds")                                      \
    X(flags, "flags")                                    \
    X(optimize, "optimize")                              \
    X(format, "format")                                  \
    X(cls, "cls")                                        \
    X(id, "id")                                          \
    X(name_, "__name__")                                 \
    X(class_, "__class__")                               \
    X(init, "__init__")                                  \
    X(enter, "__enter__")                                \
    X(exit, "__exit__")                                  \
    X(startswith, "startswith")                          \
    X(dunder_iter, "__iter__")                           \
    X(cmd_name, "cmd_name")                              \
    X(args, "args")                                      \
    X(keywords, "keywords")                              \
    X(logger, "logger")                                  \
    X(info, "info")                                      \
    X(build_tclcmd, "build_tclcmd")                      \
    X(kwargs_to_dashed_args, "kwargs_to_dashed_args")    \
    X(is_proc, "is_proc")                                \
    X(rename, "rename")                                  \
    X(origin, "origin")                                  \
    X(proc_body, "proc_body")                            \
    X(proc_args, "proc_args")                            \
    X(proc_arg_default, "proc_arg_default")              \
    X(wrapped, "__wrapped__")                            \
    X(update_wrapper, "update_wrapper")                  \
    X(del, "__del__")                                    \
    X(copy, "copy")                                      \
    X(items, "items")                                    \
    X(calling, "Calling: {}")                            \
    X(dash, "-")                                         \
    X(w_namespace, "namespace")                          \
    X(w_ns_global, "::namespace")                        \
    X(w_rename, "::rename")                              \
    X(w_commands, "commands")                            \
    X(w_procs, "procs")                                  \
    X(w_body, "body")                                    \
    X(w_args, "args")                                    \
    X(w_default, "default")                              \
    X(w_info, "::info")                                  \
    X(w_array, "::array")                                \
    X(w_set, "set")                                      \
    X(w_get, "get")                                      \
    X(w_unset, "unset")                                  \
    X(w_size, "size")                                    \
    X(w_names, "names")                                  \
    X(w_exists, "exists")                                \
    X(w_vars, "vars")                                    \
    X(w_current, "current")                              \
    X(w_children, "children")                            \
    X(w_code, "code")                                    \
    X(w_delete, "delete")                                \
    X(w_eval, "eval")                                    \
    X(w_export, "export")                                \
    X(w_forget, "forget")                                \
    X(w_import, "import")                                \
    X(w_origin, "origin")                                \
    X(w_parent, "parent")                                \
    X(w_which, "which")                                  \
    X(w_clear, "-clear")                                 \
    X(w_force, "-force")                                 \
    X(w_command, "-command")                             \
    X(w_variable, "-variable")                           \
    X(sep, "::")                                         \
    X(empty, "")

enum Name {
#define NS_ENUM(id, text) N_##id,
    NS_NAMES(NS_ENUM)
#undef NS_ENUM
        N_COUNT
};

// References kept in module state.
enum Ref { R_marker, R_template, R_tclobj, R_zendra };

constexpr const char* TEMPLATE = "::__movarn__{cls}_{id}_tmp";

// Helpers over a Call of this module.
struct Ctx {
    const Call& c;
    explicit Ctx(const Call& call) : c(call) {}
    py::handle n(int i) const { return c.name(i); }
    py::object g(int i) const { return c.global(i); }
    interp::Names names() const {
        return {n(N_tk),        n(N_call),       n(N_eval),       n(N_getvar),        n(N_setvar),     n(N_unsetvar),
                n(N_createcommand), n(N_cast_list), n(N_cast_array), n(N_cast_boolean), n(N_ProxyTypes), n(N_proxy)};
    }
    py::object attr(py::handle o, int name) const { return steal(PyObject_GetAttr(o.ptr(), n(name).ptr())); }
    void setattr(py::handle o, int name, py::handle v) const {
        if (PyObject_SetAttr(o.ptr(), n(name).ptr(), v.ptr()) < 0) throw_error();
    }
    template <class... A>
    py::object meth(py::handle o, int name, A... args) const {
        return vcall_method(o, n(name), args...);
    }
    // zendra() of an exact str is that str while zendra's own `unicode`
    // global is still str; so while the global here is the imported original,
    // the call is skipped after looking that up in zendra's globals.
    py::object zendra(py::handle o) const {
        py::object f = g(N_zendra);
        if (PyUnicode_CheckExact(o.ptr()) && f.ptr() == c.ref(R_zendra).ptr()) {
            PyObject* globals = reinterpret_cast<FunctionObject*>(f.ptr())->globals;
            PyObject* unicode = globals ? PyDict_GetItemWithError(globals, n(N_unicode).ptr()) : nullptr;
            if (unicode == reinterpret_cast<PyObject*>(&PyUnicode_Type)) return py::reinterpret_borrow<py::object>(o);
            if (PyErr_Occurred()) throw_error();
        }
        return vcall(f, o);
    }
    // tclobj() hands an exact str, bytes, float or bool back unchanged before
    // it reads anything else, so while the global is the imported original
    // the call is skipped for those.
    py::object tclobj(py::handle o) const {
        py::object f = g(N_tclobj);
        PyTypeObject* t = Py_TYPE(o.ptr());
        if (f.ptr() == c.ref(R_tclobj).ptr() &&
            (t == &PyUnicode_Type || t == &PyBytes_Type || t == &PyFloat_Type || t == &PyBool_Type))
            return py::reinterpret_borrow<py::object>(o);
        return vcall(f, o);
    }
    py::object tcl(py::handle self) const { return attr(self, N_tcl); }
    py::object tk(py::handle self) const { return attr(tcl(self), N_tk); }
    // self.tcl.tk.call(words)
    py::object tk_call(py::handle self, py::handle words) const {
        interp::check_sendable(words);
        return meth(tk(self), N_call, words);
    }
    py::object tk_eval(py::handle self, py::handle script) const { return meth(tk(self), N_eval, script); }
    // self.tcl.<cast>(value)
    py::object cast(py::handle self, int which, py::handle value) const { return meth(tcl(self), which, value); }
    py::object weak_interp(py::handle tcl) const { return interp::weak_interp(names(), g(N_weakref), tcl); }
    // isinstance(current exception, TclError): the module global, at call time.
    bool pending_tcl_error() const;
    py::object template_name() const { return py::reinterpret_borrow<py::object>(c.ref(R_template)); }
};

py::object tuple_of(std::initializer_list<py::handle> items);
py::object tuple_concat(py::handle a, py::handle b);
bool starts_with_sep(const Ctx& x, py::handle s);
// The handle's name held in `attr`, made absolute: unchanged when it starts
// with "::", else joined to the interpreter's current namespace.
py::object absolute_name(const Ctx& x, py::handle self, int attr);
// self.<attr> = self.absolute()
py::object make_absolute(const Ctx& x, py::handle self, int attr);
// `raise new_type(exc) from exc` for the exception being handled.
[[noreturn]] void raise_from(PyObject* new_type, py::handle exc);
// A generator over self.ns.tcl.cast_list(self.ns.call(("::info", word))),
// asked at the first next().
py::object namespace_listing(const Call& c, py::handle view, int word);
// Runs body(target) inside `with manager as target:`, with the protocol's
// exit on every way out; returns body's result (None when the exit
// swallowed an exception).
// type(obj).<name> bound to obj, as the interpreter looks up special
// methods; an empty object when the type has none.
py::object lookup_special(py::handle obj, const char* name);
// The manager's __enter__ and __exit__, bound; a TypeError as a `with`
// statement raises it when either is missing.
std::pair<py::object, py::object> context_methods(py::handle manager);
template <class F>
py::object with_context(py::handle manager, F&& body) {
    auto [enter, exit] = context_methods(manager);
    py::object target = vcall(enter);
    py::object result;
    try {
        result = body(target);
    } catch (py::error_already_set& e) {
        e.restore();
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        PyErr_NormalizeException(&t, &v, &tb);
        py::object type = py::reinterpret_steal<py::object>(t), value = py::reinterpret_steal<py::object>(v),
                   trace = py::reinterpret_steal<py::object>(tb ? tb : Py_NewRef(Py_None));
        if (!trace.is_none()) PyException_SetTraceback(value.ptr(), trace.ptr());
        if (truthy(vcall(exit, type, value, trace))) return py::none();
        PyErr_Restore(type.release().ptr(), value.release().ptr(),
                      trace.is_none() ? nullptr : trace.release().ptr());
        throw py::error_already_set();
    }
    vcall(exit, py::none(), py::none(), py::none());
    return result;
}
// key, value = item: two values or Python's unpacking error.
std::pair<py::object, py::object> unpack_pair(py::handle item);
// Fetches the pending exception (normalized) as an owning handle.
py::object fetch_exception();
// `name.format(cls=type(self).__name__, id=id(self))` after `str(name)`.
py::object temp_name(const Ctx& x, py::handle self, py::handle name);
// getattr(super(cls, self), name, None)
py::object super_attr(const Ctx& x, py::handle cls, py::handle self, int name);
// The temporary classes' context protocol, handing on to a further
// __enter__/__exit__ after `cls` in the method resolution order:
// f() or self, and f(*exc_info) or False.
py::object enter_next(const Ctx& x, int cls_name, py::handle self);
py::object exit_next(const Ctx& x, int cls_name, py::handle self, py::handle exc_info);
// self.<method>() with a TclError (the thing is already gone) ignored.
void call_ignoring_tcl_error(const Ctx& x, py::handle self, int method);
// f(*args, **kwargs) where the caller also passes `extra` keywords: a
// repeated keyword is an error, as for a Python call.
py::object call_with_extra(py::handle f, py::handle args, py::handle kwargs,
                           std::initializer_list<std::pair<py::handle, py::handle>> extra);

// Class families; each returns the classes in creation order.
struct Variables {
    py::object var, temp_var, array_var, temp_array_var;
};
Variables build_variables(ModuleBuilder& mb);
struct Commands {
    py::object command, temp_command;
};
Commands build_commands(ModuleBuilder& mb);
struct Views {
    py::object vars_view, objs_view, commands_view, procs_view;
};
Views build_views(ModuleBuilder& mb);
py::object build_namespace(ModuleBuilder& mb, const Views& views);
py::object build_temp_namespace(ModuleBuilder& mb, py::handle namespace_cls);

}  // namespace movarn::ns
