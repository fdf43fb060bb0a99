// Small helpers over the C API, module state and call-time globals.
#include "internal.hpp"

#include <pthread.h>

#include <vector>

namespace movarn {

// ---- the C stack guard --------------------------------------------------------
thread_local std::uintptr_t stack_limit = 0;

// The lowest address the guard lets recursion reach: the stack's low end plus
// a margin for whatever the deepest level still calls (Python, Tcl, libc).
std::uintptr_t measure_stack_limit() {
    std::uintptr_t limit = 1;  // unknown bounds: never trip
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* addr = nullptr;
        std::size_t size = 0;
        if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr && size) {
            std::size_t margin = size >= (std::size_t(4) << 20) ? (std::size_t(512) << 10) : size / 4;
            limit = reinterpret_cast<std::uintptr_t>(addr) + margin;
        }
        pthread_attr_destroy(&attr);
    }
    stack_limit = limit;
    return limit;
}

void throw_stack_exhausted(const char* where) {
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s (C stack nearly exhausted)", where);
    throw py::error_already_set();
}

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
    if (kwargs && !kwargs.is_none() && !PyDict_Check(kwargs.ptr())) {
        PyErr_Format(PyExc_TypeError, "keyword arguments must be a dict, not %.200s", Py_TYPE(kwargs.ptr())->tp_name);
        throw_error();
    }
    if (args && !PyTuple_Check(args.ptr())) {
        PyErr_Format(PyExc_TypeError, "positional arguments must be a tuple, not %.200s", Py_TYPE(args.ptr())->tp_name);
        throw_error();
    }
    PyObject* kw = (kwargs && !kwargs.is_none() && PyDict_GET_SIZE(kwargs.ptr())) ? kwargs.ptr() : nullptr;
    return steal(PyObject_Call(f.ptr(), args.ptr(), kw));
}

py::object staticmethod(py::handle fn) { return steal(PyStaticMethod_New(fn.ptr())); }

ModuleState& state_of(PyObject* module) { return *static_cast<ModuleState*>(PyModule_GetState(module)); }

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
FunctionObject* Call::own(py::handle callable, const FuncSpec& fs) const {
    PyObject* f = callable.ptr();
    if (PyMethod_Check(f)) f = PyMethod_GET_FUNCTION(f);
    if (Py_TYPE(f) != reinterpret_cast<PyTypeObject*>(state().function_type)) return nullptr;
    auto* fn = reinterpret_cast<FunctionObject*>(f);
    return fn->fdef == &fs ? fn : nullptr;
}

py::object call_impl(FunctionObject* fn, PyObject** slots) {
    RecursionGuard guard(" while calling a Python object");
    Call call{fn, slots};
    return fn->fdef->impl(call);
}

}  // namespace movarn
