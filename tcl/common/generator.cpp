// The lazy generator: creating it runs nothing; the first __next__ runs the
// query and the generator then yields the items of what it returned.
#include "internal.hpp"

#include <structmember.h>

namespace movarn {

// ---- the lazy generator ---------------------------------------------------------
struct GeneratorObject {
    PyObject_HEAD
    GenStart start;
    PyObject* captured;
    PyObject* iter;
    PyObject* name;
    PyObject* qualname;
    PyObject* weaklist;
    int state;     // 0 not started, 1 going through the items, 2 finished
    bool running;  // inside start() or the next item: gi_running
};

// As for a Python generator, re-entering one that is running is refused:
// its iterator may not exist yet.
static bool refuse_if_running(GeneratorObject* g) {
    if (!g->running) return false;
    PyErr_SetString(PyExc_ValueError, "generator already executing");
    return true;
}

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
    if (refuse_if_running(g)) return nullptr;
    if (g->state == 2) return nullptr;
    g->running = true;
    if (g->state == 0) {
        g->state = 1;
        PyObject* it = guarded([&]() -> py::object {
            py::object iterable = g->start(g->captured);
            return steal(PyObject_GetIter(iterable.ptr()));
        });
        if (!it) {
            g->running = false;
            gen_finish(g);
            return nullptr;
        }
        g->iter = it;
    }
    PyObject* item = PyIter_Next(g->iter);
    g->running = false;
    if (!item) gen_finish(g);
    return item;
}
static PyObject* gen_send(PyObject* self, PyObject* value) {
    auto* g = reinterpret_cast<GeneratorObject*>(self);
    if (refuse_if_running(g)) return nullptr;
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
    auto* g = reinterpret_cast<GeneratorObject*>(self);
    if (refuse_if_running(g)) return nullptr;
    // The body is a plain loop over the items: nothing catches the exception,
    // so the generator ends and the exception comes back out.
    gen_finish(g);
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
    auto* g = reinterpret_cast<GeneratorObject*>(self);
    if (refuse_if_running(g)) return nullptr;
    gen_finish(g);
    Py_RETURN_NONE;
}
static PyObject* gen_repr(PyObject* self) {
    return PyUnicode_FromFormat("<generator object %U at %p>", reinterpret_cast<GeneratorObject*>(self)->qualname,
                                self);
}
static PyObject* gen_running(PyObject* self, void*) {
    return PyBool_FromLong(reinterpret_cast<GeneratorObject*>(self)->running);
}

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
PyType_Spec gen_spec = {
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
    g->running = false;
    PyObject_GC_Track(g);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(g));
}
}  // namespace movarn
