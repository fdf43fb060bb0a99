// movarn.tcl.vesk: call Tcl commands as attribute chains of a quick-call root.
//
// root.ns.sub.proc(1, "a b", opt=2) runs the Tcl command ns::sub::proc with
// the words 1, "a b", -opt, 2.  The root holds the interpreter object through
// a weak proxy only; each attribute read on it starts a new Vesk_Code chain,
// which collects the name parts and sends the command when called.
#include "../common/runtime.hpp"

namespace movarn::vesk_mod {

enum Name {
    N_weakref,
    N_TclError,
    N_zendra,
    N_Vesk_Code,
    N_proxy,
    N_tcl,
    N_cmd,
    N_append,
    N_history,
    N_tk,
    N_call,
    N_vars,
    N_cast_any,
    N_errorInfo,
    N_cast_,
    N_sep,
    N_dash,
    N_dunder_str,
    N_dunder_init,
};

// While alive, `exc` is the exception being handled, as inside an except
// block: errors raised meanwhile get it as their __context__.
struct Handling {
    py::object previous;
    explicit Handling(py::handle exc) : previous(py::reinterpret_steal<py::object>(PyErr_GetHandledException())) {
        PyErr_SetHandledException(exc.ptr());
    }
    ~Handling() { PyErr_SetHandledException(previous ? previous.ptr() : nullptr); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;
};

static py::object get(py::handle obj, py::handle name) { return steal(PyObject_GetAttr(obj.ptr(), name.ptr())); }

static void set(py::handle obj, py::handle name, py::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()) < 0) throw_error();
}

// `raise exc` (with `from None` when asked), leaving the error set.
[[noreturn]] static void raise(py::handle exc, bool from_none) {
    py::object value;
    if (PyExceptionClass_Check(exc.ptr())) {
        value = vcall(exc);
        if (!PyExceptionInstance_Check(value.ptr())) {
            PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R",
                         exc.ptr(), (PyObject*)Py_TYPE(value.ptr()));
            throw_error();
        }
    } else if (PyExceptionInstance_Check(exc.ptr())) {
        value = py::reinterpret_borrow<py::object>(exc);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        throw_error();
    }
    if (from_none) PyException_SetCause(value.ptr(), nullptr);  // also sets __suppress_context__
    PyErr_SetObject((PyObject*)Py_TYPE(value.ptr()), value.ptr());
    throw_error();
}

// What an except clause accepts: an exception class or a tuple of them.
static void check_except_type(py::handle cls) {
    bool ok = true;
    if (PyTuple_Check(cls.ptr())) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cls.ptr()); i++)
            ok = ok && PyExceptionClass_Check(PyTuple_GET_ITEM(cls.ptr(), i));
    } else {
        ok = PyExceptionClass_Check(cls.ptr());
    }
    if (!ok) {
        PyErr_SetString(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
        throw_error();
    }
}

// ---- Vesk --------------------------------------------------------------------
static py::object vesk_init_impl(Call& c) {
    py::object proxy = vcall(get(c.global(N_weakref), c.name(N_proxy)), c[1]);
    set(c[0], c.name(N_tcl), proxy);
    return none();
}

extern const FuncSpec CODE_INIT;
enum Ref { R_Vesk_Code };

// Vesk_Code(name, tcl=tcl) made directly while the global is the module's
// own class with its own __init__ and object's __new__: what the class call
// would do, without packing the arguments for type.__call__.
static py::object new_code(const Call& c, py::handle cls, py::handle name, py::handle tcl) {
    auto* tp = reinterpret_cast<PyTypeObject*>(cls.ptr());
    if (cls.ptr() == c.ref(R_Vesk_Code).ptr() && tp->tp_new == PyBaseObject_Type.tp_new) {
        py::object init = steal(PyObject_GetAttr(cls.ptr(), c.name(N_dunder_init).ptr()));
        if (FunctionObject* fn = c.own(init, CODE_INIT); fn && !PyMethod_Check(init.ptr())) {
            py::object empty = steal(PyTuple_New(0));
            py::object self = steal(tp->tp_new(tp, empty.ptr(), nullptr));
            py::object cmd = py::make_tuple(name);
            PyObject* slots[3] = {self.ptr(), tcl.ptr(), cmd.ptr()};  // self, tcl, *cmd
            call_impl(fn, slots);
            return self;
        }
    }
    return vcall_kw(cls, {name}, {{c.name(N_tcl), tcl}});
}

static py::object vesk_getattr_impl(Call& c) {
    // __getattr__ reaches itself again when the object lacks `tcl` or `cmd`
    // (an instance made without __init__, as copy and pickle do): the
    // recursion limit must stop that, not the C stack.
    RecursionGuard guard;
    py::object cls = c.global(N_Vesk_Code);
    py::object tcl = get(c[0], c.name(N_tcl));
    return new_code(c, cls, c[1], tcl);
}

static py::object vesk_call_impl(Call& c) {
    // The root names no command: Tcl's answer to the empty command name.
    py::object exc = vcall(c.global(N_TclError), py::str("invalid command name \"\""));
    raise(exc, false);
}

// ---- Vesk_Code ---------------------------------------------------------------
static py::object code_init_impl(Call& c) {
    // Slots: self, tcl (keyword-only), then the *cmd tuple.
    set(c[0], c.name(N_tcl), c[1]);
    set(c[0], c.name(N_cmd), steal(PySequence_List(c[2].ptr())));
    return none();
}

static py::object code_getattr_impl(Call& c) {
    RecursionGuard guard;
    vcall_method(get(c[0], c.name(N_cmd)), c.name(N_append), c[1]);
    return py::reinterpret_borrow<py::object>(c[0]);
}

static py::object command_name(const Call& c, py::handle self) {
    py::object parts = get(self, c.name(N_cmd));
    return steal(PyUnicode_Join(c.name(N_sep).ptr(), parts.ptr()));
}

// A Tcl error from the call becomes TclError(::errorInfo), raised from None;
// anything else goes on unchanged.  Called with the error set.
[[noreturn]] static void reraise_with_trace(const Call& c, py::handle self) {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    py::object type = py::reinterpret_steal<py::object>(t);
    py::object value = py::reinterpret_steal<py::object>(v);
    py::object trace = py::reinterpret_steal<py::object>(tb);
    if (trace) PyException_SetTraceback(value.ptr(), trace.ptr());
    {
        Handling handling(value);
        py::object cls = c.global(N_TclError);
        check_except_type(cls);
        if (PyErr_GivenExceptionMatches(value.ptr(), cls.ptr())) {
            py::object vars = get(get(self, c.name(N_tcl)), c.name(N_vars));
            py::object info = steal(PyObject_GetItem(vars.ptr(), c.name(N_errorInfo).ptr()));
            raise(vcall(c.global(N_TclError), info), true);
        }
    }
    PyErr_Restore(type.release().ptr(), value.release().ptr(), trace.release().ptr());
    throw_error();
}

static py::object code_call_impl(Call& c) {
    // Slots: self, then the *args tuple and the **kwargs dict.
    py::handle self = c[0], args = c[1], kwargs = c[2];
    py::object cast = py::reinterpret_borrow<py::object>(Py_True);
    if (PyObject* v = PyDict_GetItemWithError(kwargs.ptr(), c.name(N_cast_).ptr())) {
        cast = py::reinterpret_borrow<py::object>(v);
        if (PyDict_DelItem(kwargs.ptr(), c.name(N_cast_).ptr()) < 0) throw_error();
    } else if (PyErr_Occurred()) {
        throw_error();
    }

    py::list cmd;
    cmd.append(command_name(c, self));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args.ptr()); i++)
        cmd.append(vcall(c.global(N_zendra), PyTuple_GET_ITEM(args.ptr(), i)));
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(kwargs.ptr(), &pos, &k, &v)) {
        py::object key = py::reinterpret_borrow<py::object>(k), value = py::reinterpret_borrow<py::object>(v);
        cmd.append(steal(PyNumber_Add(c.name(N_dash).ptr(), key.ptr())));
        cmd.append(vcall(c.global(N_zendra), value));
    }

    // The very list that is sent goes into the history, before the call.
    vcall_method(get(get(self, c.name(N_tcl)), c.name(N_history)), c.name(N_append), cmd);

    py::object result;
    try {
        py::object call = get(get(get(self, c.name(N_tcl)), c.name(N_tk)), c.name(N_call));
        py::object words = steal(PyList_AsTuple(cmd.ptr()));
        result = steal(PyObject_Call(call.ptr(), words.ptr(), nullptr));
    } catch (py::error_already_set& e) {
        e.restore();
        reraise_with_trace(c, self);
    }

    if (truthy(cast)) return vcall_method(get(self, c.name(N_tcl)), c.name(N_cast_any), result);
    if (PyUnicode_CheckExact(result.ptr())) return result;
    // tkinter hands a Tcl list back as a tuple; the caller asked for Tcl's
    // text, not Python's tuple repr.
    if (PyTuple_Check(result.ptr())) return vcall(c.global(N_zendra), result);
    return steal(PyObject_Str(result.ptr()));
}

static py::object code_str_impl(Call& c) {
    return format_str("<tcl.Vesk magic, referring Tcl code ::%s>", command_name(c, c[0]));
}

static py::object code_repr_impl(Call& c) { return vcall_method(c[0], c.name(N_dunder_str)); }

// ---- module body -----------------------------------------------------------------
static const char MODULE_DOC[] =
    "Quick calls: Tcl commands called as attribute chains.\n"
    "\n"
    "Vesk(interp).ns.sub.proc(1, 'a b', opt=2) runs the Tcl command\n"
    "ns::sub::proc with the words 1, {a b}, -opt and 2.\n";

static const char VESK_DOC[] =
    "Quick call methods for Tcl interpreters.\n"
    "\n"
    "Tcl commands can be called as if they were attributes of the interpreter\n"
    "object: Vesk(interp).ns.sub.proc(1, 'a b', opt=2) runs the Tcl command\n"
    "ns::sub::proc 1 {a b} -opt 2.\n"
    "\n"
    "The keyword cast_ (a boolean, default True) switches casting of the\n"
    "result on or off; with cast_=False the result comes back as a string.\n"
    "Positional arguments keep their order of appearance.  Keyword arguments\n"
    "become dashed arguments (-key value) placed after the positional ones.\n"
    "\n"
    "Only names made of the characters A-Z, a-z, 0-9 and underscore can be\n"
    "reached this way, for namespaces and procedures alike.\n";

static const char CODE_DOC[] =
    "Worker class that implements the Vesk logic.\n"
    "\n"
    "Each attribute read appends one part to the command name and returns the\n"
    "same object; calling it runs the command.\n";

static const FuncSpec VESK_INIT{"__init__", "self, tcl", vesk_init_impl};
static const FuncSpec VESK_GETATTR{"__getattr__", "self, name", vesk_getattr_impl};
static const FuncSpec VESK_CALL{"__call__", "self, *args, **kwargs", vesk_call_impl};
const FuncSpec CODE_INIT{"__init__", "self, *cmd, tcl", code_init_impl};
static const FuncSpec CODE_GETATTR{"__getattr__", "self, name", code_getattr_impl};
static const FuncSpec CODE_CALL{"__call__", "self, *args, **kwargs", code_call_impl};
static const FuncSpec CODE_STR{"__str__", "self", code_str_impl};
static const FuncSpec CODE_REPR{"__repr__", "self", code_repr_impl};

static void body(PyObject* m) {
    ModuleBuilder mb(m, {"weakref", "TclError", "zendra", "Vesk_Code", "proxy", "tcl", "cmd", "append", "history",
                         "tk", "call", "vars", "cast_any", "::errorInfo", "cast_", "::", "-", "__str__", "__init__"});
    mb.set("weakref", mb.import("weakref"));
    mb.set("TclError", mb.import("tkinter", "TclError"));
    mb.set("zendra", mb.import_relative("zendra", "zendra"));

    py::tuple bases = py::make_tuple(py::handle((PyObject*)&PyBaseObject_Type));

    ClassDef vesk("Vesk", "Vesk", bases, VESK_DOC);
    vesk.add("__init__", mb.function(VESK_INIT, "Vesk"));
    vesk.add("__getattr__", mb.function(VESK_GETATTR, "Vesk"));
    vesk.add("__call__", mb.function(VESK_CALL, "Vesk"));
    py::object vesk_cls = build_class(mb, vesk);
    use_quiet_getattr(vesk_cls);  // every quick call goes through __getattr__
    mb.set("Vesk", vesk_cls);

    ClassDef code("Vesk_Code", "Vesk_Code", bases, CODE_DOC);
    code.add("__init__", mb.function(CODE_INIT, "Vesk_Code"));
    code.add("__getattr__", mb.function(CODE_GETATTR, "Vesk_Code"));
    code.add("__call__", mb.function(CODE_CALL, "Vesk_Code"));
    code.add("__str__", mb.function(CODE_STR, "Vesk_Code"));
    code.add("__repr__", mb.function(CODE_REPR, "Vesk_Code"));
    py::object code_cls = build_class(mb, code);
    mb.state().refs[R_Vesk_Code] = py::object(code_cls).release().ptr();
    use_quiet_getattr(code_cls);
    mb.set("Vesk_Code", code_cls);
}

}  // namespace movarn::vesk_mod

MOVARN_MODULE(vesk, movarn::vesk_mod::MODULE_DOC, movarn::vesk_mod::body)
