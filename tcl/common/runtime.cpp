#include "runtime.hpp"

#include <structmember.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

namespace movarn {

// ---- helpers ----------------------------------------------------------------
void throw_error() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    throw py::error_already_set();
}

bool truthy(py::handle o) {
    int r = PyObject_IsTrue(o.ptr());
    if (r < 0) throw_error();
    return r != 0;
}

bool is_instance(py::handle o, py::handle cls) {
    int r = PyObject_IsInstance(o.ptr(), cls.ptr());
    if (r < 0) throw_error();
    return r != 0;
}

py::object getattr_or_none(py::handle obj, py::handle name) {
    PyObject* r = nullptr;
    if (_PyObject_LookupAttr(obj.ptr(), name.ptr(), &r) < 0) throw_error();
    if (!r) return py::none();
    return py::reinterpret_steal<py::object>(r);
}

py::str format_str(const char* fmt, py::handle arg) {
    py::object f = steal(PyUnicode_FromString(fmt));
    return py::reinterpret_steal<py::str>(steal(PyUnicode_Format(f.ptr(), arg.ptr())).release());
}

py::object vcall_kw(py::handle f, std::initializer_list<py::handle> args,
                    std::initializer_list<std::pair<py::handle, py::handle>> kwargs) {
    std::vector<PyObject*> arr;
    arr.reserve(args.size() + kwargs.size() + 1);
    arr.push_back(nullptr);
    for (auto a : args) arr.push_back(a.ptr());
    py::object names = steal(PyTuple_New((Py_ssize_t)kwargs.size()));
    Py_ssize_t i = 0;
    for (auto& kv : kwargs) {
        PyTuple_SET_ITEM(names.ptr(), i++, py::reinterpret_borrow<py::object>(kv.first).release().ptr());
        arr.push_back(kv.second.ptr());
    }
    return steal(PyObject_Vectorcall(f.ptr(), arr.data() + 1, args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     kwargs.size() ? names.ptr() : nullptr));
}

py::object call_star(py::handle f, py::handle args, py::handle kwargs) {
    PyObject* kw = (kwargs && PyDict_GET_SIZE(kwargs.ptr())) ? kwargs.ptr() : nullptr;
    return steal(PyObject_Call(f.ptr(), args.ptr(), kw));
}

py::object staticmethod(py::handle fn) { return steal(PyStaticMethod_New(fn.ptr())); }

ModuleState& state_of(PyObject* module) { return *static_cast<ModuleState*>(PyModule_GetState(module)); }

// Runs a C++ implementation with every C++ exception turned into a Python one.
template <class F>
static PyObject* guarded(F&& f) {
    try {
        return f().release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
    return nullptr;
}

py::object Call::global(int name_idx) const {
    PyObject* key = name(name_idx).ptr();
    PyObject* v = PyDict_GetItemWithError(fn->globals, key);
    if (!v) {
        if (PyErr_Occurred()) throw_error();
        PyObject* builtins = PyEval_GetBuiltins();
        v = builtins ? PyDict_GetItemWithError(builtins, key) : nullptr;
        if (!v) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
            throw_error();
        }
    }
    return py::reinterpret_borrow<py::object>(v);
}

py::object Call::cls() const {
    PyObject* cell = (fn->closure && PyTuple_Check(fn->closure) && PyTuple_GET_SIZE(fn->closure))
                         ? PyTuple_GET_ITEM(fn->closure, 0)
                         : nullptr;
    PyObject* c = cell ? PyCell_GET(cell) : nullptr;
    if (!c) {
        PyErr_SetString(PyExc_RuntimeError, "super(): empty __class__ cell");
        throw_error();
    }
    return py::reinterpret_borrow<py::object>(c);
}

// ---- argument binding, with CPython's own messages ---------------------------
static void too_many_positional(FunctionObject* fn, Py_ssize_t given, PyObject** slots) {
    Py_ssize_t argc = fn->argcount;
    Py_ssize_t kwonly_given = 0;
    for (Py_ssize_t i = argc; i < argc + fn->kwonlycount; i++)
        if (slots[i]) kwonly_given++;
    Py_ssize_t defcount = (fn->defaults && PyTuple_Check(fn->defaults)) ? PyTuple_GET_SIZE(fn->defaults) : 0;
    bool plural;
    py::object sig;
    if (defcount) {
        plural = true;
        sig = steal(PyUnicode_FromFormat("from %zd to %zd", argc - defcount, argc));
    } else {
        plural = argc != 1;
        sig = steal(PyUnicode_FromFormat("%zd", argc));
    }
    py::object kwonly_sig;
    if (kwonly_given)
        kwonly_sig = steal(PyUnicode_FromFormat(" positional argument%s (and %zd keyword-only argument%s)",
                                                given != 1 ? "s" : "", kwonly_given, kwonly_given != 1 ? "s" : ""));
    else
        kwonly_sig = steal(PyUnicode_FromString(""));
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given", fn->qualname,
                 sig.ptr(), plural ? "s" : "", given, kwonly_sig.ptr(),
                 given == 1 && !kwonly_given ? "was" : "were");
}

static void missing_arguments(FunctionObject* fn, Py_ssize_t start, Py_ssize_t end, bool positional,
                              PyObject** slots) {
    py::list names;
    for (Py_ssize_t i = start; i < end; i++)
        if (!slots[i]) names.append(steal(PyObject_Repr(PyTuple_GET_ITEM(fn->varnames, i))));
    Py_ssize_t len = (Py_ssize_t)names.size();
    py::object name_str;
    if (len == 1) {
        name_str = names[0];
    } else if (len == 2) {
        name_str = steal(PyUnicode_FromFormat("%U and %U", names[0].ptr(), names[1].ptr()));
    } else {
        py::object tail = steal(PyUnicode_FromFormat(", %U, and %U", names[len - 2].ptr(), names[len - 1].ptr()));
        if (PyList_SetSlice(names.ptr(), len - 2, len, nullptr) < 0) throw_error();
        py::object head = steal(PyUnicode_Join(py::str(", ").ptr(), names.ptr()));
        name_str = steal(PyUnicode_Concat(head.ptr(), tail.ptr()));
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %i required %s argument%s: %U", fn->qualname, (int)len,
                 positional ? "positional" : "keyword-only", len == 1 ? "" : "s", name_str.ptr());
}

static PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* fn = reinterpret_cast<FunctionObject*>(self);
    return guarded([&]() -> py::object {
        Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        const Py_ssize_t argc = fn->argcount, total = argc + fn->kwonlycount;
        const Py_ssize_t nslots = total + fn->has_varargs + fn->has_varkw;
        PyObject* stackbuf[12];
        std::vector<PyObject*> heapbuf;
        PyObject** slots = stackbuf;
        if (nslots > 12) {
            heapbuf.resize((size_t)nslots);
            slots = heapbuf.data();
        }
        std::fill(slots, slots + nslots, nullptr);
        // Defaults are read at call time and held for the whole call.
        py::object defaults = py::reinterpret_borrow<py::object>(fn->defaults ? fn->defaults : Py_None);
        py::object kwdefaults = py::reinterpret_borrow<py::object>(fn->kwdefaults ? fn->kwdefaults : Py_None);
        py::object varargs, varkw;
        Py_ssize_t n = std::min(nargs, argc);
        for (Py_ssize_t i = 0; i < n; i++) slots[i] = args[i];
        if (fn->has_varargs) {
            varargs = steal(PyTuple_New(nargs > n ? nargs - n : 0));
            for (Py_ssize_t i = n; i < nargs; i++) {
                Py_INCREF(args[i]);
                PyTuple_SET_ITEM(varargs.ptr(), i - n, args[i]);
            }
            slots[total] = varargs.ptr();
        }
        if (fn->has_varkw) {
            varkw = steal(PyDict_New());
            slots[total + fn->has_varargs] = varkw.ptr();
        }
        if (kwnames) {
            Py_ssize_t kwcount = PyTuple_GET_SIZE(kwnames);
            PyObject** names = &PyTuple_GET_ITEM(fn->varnames, 0);
            for (Py_ssize_t k = 0; k < kwcount; k++) {
                PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
                PyObject* value = args[nargs + k];
                if (!PyUnicode_Check(keyword)) {
                    PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", fn->qualname);
                    throw_error();
                }
                Py_ssize_t j = 0;
                for (; j < total; j++)
                    if (names[j] == keyword) break;
                if (j == total) {
                    for (j = 0; j < total; j++) {
                        int cmp = PyObject_RichCompareBool(keyword, names[j], Py_EQ);
                        if (cmp < 0) throw_error();
                        if (cmp) break;
                    }
                }
                if (j == total) {
                    if (!varkw) {
                        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                                     fn->qualname, keyword);
                        throw_error();
                    }
                    if (PyDict_SetItem(varkw.ptr(), keyword, value) < 0) throw_error();
                    continue;
                }
                if (slots[j]) {
                    PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", fn->qualname,
                                 keyword);
                    throw_error();
                }
                slots[j] = value;
            }
        }
        if (nargs > argc && !fn->has_varargs) {
            too_many_positional(fn, nargs, slots);
            throw_error();
        }
        if (nargs < argc) {
            Py_ssize_t defcount = PyTuple_Check(defaults.ptr()) ? PyTuple_GET_SIZE(defaults.ptr()) : 0;
            Py_ssize_t m = argc - defcount;
            for (Py_ssize_t i = nargs; i < m; i++) {
                if (!slots[i]) {
                    missing_arguments(fn, 0, m, true, slots);
                    throw_error();
                }
            }
            for (Py_ssize_t i = n > m ? n - m : 0; i < defcount; i++)
                if (!slots[m + i]) slots[m + i] = PyTuple_GET_ITEM(defaults.ptr(), i);
        }
        if (fn->kwonlycount) {
            bool missing = false;
            for (Py_ssize_t i = argc; i < total; i++) {
                if (slots[i]) continue;
                if (PyDict_Check(kwdefaults.ptr())) {
                    PyObject* d = PyDict_GetItemWithError(kwdefaults.ptr(), PyTuple_GET_ITEM(fn->varnames, i));
                    if (d) {
                        slots[i] = d;
                        continue;
                    }
                    if (PyErr_Occurred()) throw_error();
                }
                missing = true;
            }
            if (missing) {
                missing_arguments(fn, argc, total, false, slots);
                throw_error();
            }
        }
        Call call{fn, slots};
        return fn->fdef->impl(call);
    });
}

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

static PyType_Spec function_spec = {
    "movarn.tcl.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// ---- the lazy generator ---------------------------------------------------------
struct GeneratorObject {
    PyObject_HEAD
    GenStart start;
    PyObject* captured;
    PyObject* iter;
    PyObject* name;
    PyObject* qualname;
    PyObject* weaklist;
    int state;  // 0 not started, 1 running through the items, 2 finished
};

static int gen_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* g = reinterpret_cast<GeneratorObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(g->captured);
    Py_VISIT(g->iter);
    Py_VISIT(g->name);
    Py_VISIT(g->qualname);
    return 0;
}
static int gen_clear(PyObject* self) {
    auto* g = reinterpret_cast<GeneratorObject*>(self);
    Py_CLEAR(g->captured);
    Py_CLEAR(g->iter);
    Py_CLEAR(g->name);
    Py_CLEAR(g->qualname);
    return 0;
}
static void gen_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<GeneratorObject*>(self)->weaklist) PyObject_ClearWeakRefs(self);
    gen_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}
static void gen_finish(GeneratorObject* g) {
    g->state = 2;
    Py_CLEAR(g->iter);
    Py_CLEAR(g->captured);
}
static PyObject* gen_iternext(PyObject* self) {
    auto* g = reinterpret_cast<GeneratorObject*>(self);
    if (g->state == 2) return nullptr;
    if (g->state == 0) {
        g->state = 1;
        PyObject* it = guarded([&]() -> py::object {
            py::object iterable = g->start(g->captured);
            return steal(PyObject_GetIter(iterable.ptr()));
        });
        if (!it) {
            gen_finish(g);
            return nullptr;
        }
        g->iter = it;
    }
    PyObject* item = PyIter_Next(g->iter);
    if (!item) gen_finish(g);
    return item;
}
static PyObject* gen_send(PyObject* self, PyObject* value) {
    auto* g = reinterpret_cast<GeneratorObject*>(self);
    if (g->state == 0 && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    PyObject* r = gen_iternext(self);
    if (!r && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return r;
}
static PyObject* gen_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    // The body is a plain loop over the items: nothing catches the exception,
    // so the generator ends and the exception comes back out.
    gen_finish(reinterpret_cast<GeneratorObject*>(self));
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : Py_None;
    PyObject* tb = nargs > 2 ? args[2] : Py_None;
    if (PyExceptionInstance_Check(typ)) {
        if (val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        PyErr_SetObject((PyObject*)Py_TYPE(typ), typ);
    } else if (PyExceptionClass_Check(typ)) {
        PyErr_SetObject(typ, val);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    if (tb != Py_None) {
        PyObject *t, *v, *old;
        PyErr_Fetch(&t, &v, &old);
        PyErr_NormalizeException(&t, &v, &old);
        Py_XDECREF(old);
        PyException_SetTraceback(v, tb);
        PyErr_Restore(t, v, Py_NewRef(tb));
    }
    return nullptr;
}
static PyObject* gen_close(PyObject* self, PyObject*) {
    gen_finish(reinterpret_cast<GeneratorObject*>(self));
    Py_RETURN_NONE;
}
static PyObject* gen_repr(PyObject* self) {
    return PyUnicode_FromFormat("<generator object %U at %p>", reinterpret_cast<GeneratorObject*>(self)->qualname,
                                self);
}
static PyObject* gen_running(PyObject*, void*) { Py_RETURN_FALSE; }

static PyMethodDef gen_methods[] = {
    {"send", (PyCFunction)gen_send, METH_O, nullptr},
    {"throw", (PyCFunction)(void (*)(void))gen_throw, METH_FASTCALL, nullptr},
    {"close", (PyCFunction)gen_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
static PyMemberDef gen_members[] = {
    {"__name__", T_OBJECT, offsetof(GeneratorObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(GeneratorObject, qualname), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(GeneratorObject, weaklist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
static PyGetSetDef gen_getset[] = {
    {"gi_running", gen_running, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
static PyType_Slot gen_slots[] = {
    {Py_tp_dealloc, (void*)gen_dealloc},
    {Py_tp_traverse, (void*)gen_traverse},
    {Py_tp_clear, (void*)gen_clear},
    {Py_tp_repr, (void*)gen_repr},
    {Py_tp_iter, (void*)PyObject_SelfIter},
    {Py_tp_iternext, (void*)gen_iternext},
    {Py_tp_methods, gen_methods},
    {Py_tp_members, gen_members},
    {Py_tp_getset, gen_getset},
    {0, nullptr},
};
static PyType_Spec gen_spec = {
    "movarn.tcl.generator",
    sizeof(GeneratorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    gen_slots,
};

py::object make_generator(const Call& call, GenStart start, py::object captured) {
    auto* tp = reinterpret_cast<PyTypeObject*>(call.state().generator_type);
    if (!tp) throw std::runtime_error("the module of this function has been torn down");
    auto* g = PyObject_GC_New(GeneratorObject, tp);
    if (!g) throw_error();
    g->start = start;
    g->captured = captured.release().ptr();
    g->iter = nullptr;
    g->name = Py_NewRef(call.fn->name);
    g->qualname = Py_NewRef(call.fn->qualname);
    g->weaklist = nullptr;
    g->state = 0;
    PyObject_GC_Track(g);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(g));
}

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

}  // namespace movarn
