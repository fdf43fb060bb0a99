// tclobj(): Python values to typed Tcl words, nested sequences to tuples.
#include "zendra.hpp"

namespace movarn::zendra_mod {

// ---- tclobj(obj) ----------------------------------------------------------------------
static bool in_machine_range(const Call& c, py::handle obj) {
    py::object maxsize = c.global(N_sysmaxsize);
    if (PyLong_CheckExact(maxsize.ptr())) {
        int overflow = 0;
        long long m = PyLong_AsLongLongAndOverflow(maxsize.ptr(), &overflow);
        if (!overflow && m >= 0) {
            long long v = PyLong_AsLongLongAndOverflow(obj.ptr(), &overflow);
            if (v == -1 && PyErr_Occurred()) throw_error();
            if (overflow) return false;
            return -m - 1 <= v && v <= m;
        }
    }
    py::object low = steal(PyNumber_Subtract(steal(PyNumber_Negative(maxsize.ptr())).ptr(), py::int_(1).ptr()));
    int a = PyObject_RichCompareBool(low.ptr(), obj.ptr(), Py_LE);
    if (a < 0) throw_error();
    if (!a) return false;
    int b = PyObject_RichCompareBool(obj.ptr(), maxsize.ptr(), Py_LE);
    if (b < 0) throw_error();
    return b != 0;
}

py::object tclobj_do(const Call& c, py::handle obj) {
    PyTypeObject* t = Py_TYPE(obj.ptr());
    const bool builtin = plain_builtin(t);
    if (!builtin) {
        py::object f = getattr_or_none(obj, c.name(N_dunder_tclobj));
        if (truthy(f)) return vcall(f);
    }
    if (obj.is_none()) return py::reinterpret_borrow<py::object>(c.name(N_empty));
    if (PyBytes_Check(obj.ptr()) || PyBool_Check(obj.ptr()) || PyFloat_Check(obj.ptr()) || PyUnicode_Check(obj.ptr()))
        return py::reinterpret_borrow<py::object>(obj);
    // An exact built-in is never a Tcl_Obj: its isinstance test is skipped
    // while the global still holds the original type.
    py::object tcl_obj = c.global(N_tkTcl_Obj);
    if (!(builtin && tcl_obj.ptr() == c.ref(R_tkTcl_Obj).ptr()) && is_instance(obj, tcl_obj))
        return py::reinterpret_borrow<py::object>(obj);
    if (t == &PyLong_Type || (PyObject*)t == c.global(N_long_type).ptr()) {
        if (in_machine_range(c, obj)) return py::reinterpret_borrow<py::object>(obj);
    }
    py::object unicode = c.global(N_unicode);
    if (!(builtin && unicode.ptr() == (PyObject*)&PyUnicode_Type) && is_instance(obj, unicode))
        return steal(PyObject_Str(obj.ptr()));
    Kind kind = classify(c, obj);
    if (kind == K_SEQUENCE) return call_t_from_sequence(c, obj);
    if (kind == K_MAPPING) {
        py::object f = c.global(N_t_from_mapping);
        if (f.ptr() != c.ref(R_t_from_mapping).ptr()) return vcall(f, obj);
        RecursionGuard guard(" while calling a Python object");  // as the call would count
        return call_t_from_sequence(c, flatten_mapping(obj));
    }
    return call_zendra(c, obj);
}

py::object tclobj_impl(Call& c) { return tclobj_do(c, c[0]); }

// Fast path: with the module's own tclobj bound and the globals it reads at
// their originals, an exact str, bytes, float or bool converts to itself, None
// to "", and an exact int within sys.maxsize to itself, without running any
// Python code.  So an exact list or tuple of only such items cannot change
// while it is read, and its items go straight into the result tuple.
static bool machine_range_is_native(const Call& c) {
    py::object maxsize = c.global(N_sysmaxsize);
    if (!PyLong_CheckExact(maxsize.ptr())) return false;
    int overflow = 0;
    return PyLong_AsLongLongAndOverflow(maxsize.ptr(), &overflow) == PY_SSIZE_T_MAX && !overflow;
}

static py::object plain_tuple(const Call& c, PyObject* seq) {
    if (c.global(N_tclobj).ptr() != c.ref(R_tclobj).ptr() ||
        c.global(N_tkTcl_Obj).ptr() != c.ref(R_tkTcl_Obj).ptr() || !machine_range_is_native(c))
        return py::object();
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    PyObject** items = PySequence_Fast_ITEMS(seq);
    py::object out = steal(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* o = items[i];
        PyTypeObject* t = Py_TYPE(o);
        if (t == &PyLong_Type) {
            // Up to two 30-bit digits always fits; longer ones are measured.
            Py_ssize_t size = Py_SIZE(o);
            if (size < -2 || size > 2) {
                int overflow = 0;
                PyLong_AsLongLongAndOverflow(o, &overflow);
                if (overflow) return py::object();
            }
        } else if (o == Py_None) {
            o = c.name(N_empty).ptr();
        } else if (t != &PyUnicode_Type && t != &PyFloat_Type && t != &PyBytes_Type && t != &PyBool_Type) {
            return py::object();  // the tuple so far is dropped; nothing was observable
        }
        PyTuple_SET_ITEM(out.ptr(), i, Py_NewRef(o));
    }
    return out;
}

py::object tclobj_from_sequence(const Call& c, py::handle obj) {
    RecursionGuard guard(" while converting a Tcl list");
    PyObject* seq = obj.ptr();
    Py_ssize_t guess = 0;
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        if (py::object fast = plain_tuple(c, seq)) return fast;
        guess = PySequence_Fast_GET_SIZE(seq);
    }
    // The result is written straight into a tuple sized by the input, and
    // resized only if the iteration yields a different number of items.
    py::object out = steal(PyTuple_New(guess));
    Py_ssize_t n = 0;
    py::object it = steal(PyObject_GetIter(seq));
    while (PyObject* item = PyIter_Next(it.ptr())) {
        py::object hold = py::reinterpret_steal<py::object>(item);
        py::object converted = call_tclobj(c, hold);
        if (n == PyTuple_GET_SIZE(out.ptr())) {
            PyObject* p = out.release().ptr();
            if (_PyTuple_Resize(&p, n < 8 ? 8 : 2 * n) < 0) throw_error();
            out = py::reinterpret_steal<py::object>(p);
        }
        PyTuple_SET_ITEM(out.ptr(), n++, converted.release().ptr());
    }
    if (PyErr_Occurred()) throw_error();
    if (n != PyTuple_GET_SIZE(out.ptr())) {
        PyObject* p = out.release().ptr();
        if (_PyTuple_Resize(&p, n) < 0) throw_error();
        out = py::reinterpret_steal<py::object>(p);
    }
    return out;
}

py::object t_from_sequence_impl(Call& c) { return tclobj_from_sequence(c, c[0]); }
py::object t_from_mapping_impl(Call& c) { return call_t_from_sequence(c, flatten_mapping(c[0])); }

}  // namespace movarn::zendra_mod
