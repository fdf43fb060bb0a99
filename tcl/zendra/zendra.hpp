// Shared by the files of the zendra module: its interned names, the originals
// kept for fast paths, and the calls through rebindable module globals.
#pragma once

#include "../common/runtime.hpp"
#include "quote.hpp"

namespace movarn::zendra_mod {

enum Name {
    N_zendra,
    N_unicode,
    N_Sequence,
    N_Set,
    N_Mapping,
    N_tkTcl_Obj,
    N_long_type,
    N_sysmaxsize,
    N_scan,
    N_convert,
    N_from_sequence,
    N_from_mapping,
    N_t_from_sequence,
    N_t_from_mapping,
    N_tclobj,
    N_dunder_zendra,
    N_dunder_tclobj,
    N_USE_BRACES,
    N_DONT_USE_BRACES,
    N_BRACES_UNMATCHED,
    N_add,
    N_true,
    N_false,
    N_empty,
    N_space,
    N_backslash,
    N_dunder_class,
};

// Originals kept in module state: a module global may only be bypassed while
// it still holds one of these.
enum Ref {
    R_scan,
    R_convert,
    R_from_sequence,
    R_zendra,
    R_tclobj,
    R_t_from_sequence,
    R_t_from_mapping,
    R_Sequence,
    R_get_cache_token,  // abc's invalidation counter: changes on every ABC registration
    R_abc_cache,        // (token, Sequence, Set, Mapping, {type: kind}) for exact int/float/dict
    R_tkTcl_Obj,
    R_Set,
    R_Mapping,
    R_class_attr,  // object.__dict__["__class__"]
};

// Exact built-in types cannot carry __zendra__ / __tclobj__.
inline bool plain_builtin(PyTypeObject* t) {
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type ||
           t == Py_TYPE(Py_None) || t == &PyBytes_Type || t == &PyList_Type || t == &PyTuple_Type ||
           t == &PyDict_Type || t == &PySet_Type || t == &PyFrozenSet_Type;
}

py::object zendra_do(const Call& c, py::handle obj);       // zendra.cpp
py::object tclobj_do(const Call& c, py::handle obj);       // tclobj.cpp
py::object update_string_of_list(const Call& c, py::handle list_obj);  // lists.cpp
py::object tclobj_from_sequence(const Call& c, py::handle obj);       // tclobj.cpp
enum Kind { K_OTHER = 0, K_SEQUENCE = 1, K_MAPPING = 2 };
Kind classify(const Call& c, py::handle obj);  // zendra.cpp
// key, obj[key], key, obj[key], ... in the mapping's iteration order.
py::object flatten_mapping(py::handle obj);  // lists.cpp

// The functions' implementations, bound in the module body.
py::object scan_impl(Call& c);
py::object convert_impl(Call& c);
py::object update_impl(Call& c);
py::object from_mapping_impl(Call& c);
py::object tclobj_impl(Call& c);
py::object t_from_sequence_impl(Call& c);
py::object t_from_mapping_impl(Call& c);

// Calls through a module global, or straight to C++ while it is the original.
inline py::object call_zendra(const Call& c, py::handle obj) {
    py::object f = c.global(N_zendra);
    if (f.ptr() == c.ref(R_zendra).ptr()) return zendra_do(c, obj);
    return vcall(f, obj);
}
inline py::object call_tclobj(const Call& c, py::handle obj) {
    py::object f = c.global(N_tclobj);
    if (f.ptr() == c.ref(R_tclobj).ptr()) return tclobj_do(c, obj);
    return vcall(f, obj);
}
inline py::object call_from_sequence(const Call& c, py::handle obj) {
    py::object f = c.global(N_from_sequence);
    if (f.ptr() == c.ref(R_from_sequence).ptr()) return update_string_of_list(c, obj);
    return vcall(f, obj);
}
inline py::object call_t_from_sequence(const Call& c, py::handle obj) {
    py::object f = c.global(N_t_from_sequence);
    if (f.ptr() == c.ref(R_t_from_sequence).ptr()) return tclobj_from_sequence(c, obj);
    return vcall(f, obj);
}

inline py::str as_str(py::handle s) {
    if (!PyUnicode_Check(s.ptr())) {
        PyErr_Format(PyExc_TypeError, "zendra() gave %.200s, expected str", Py_TYPE(s.ptr())->tp_name);
        throw_error();
    }
    return py::reinterpret_borrow<py::str>(s);
}

template <class F>
inline auto with_units(py::handle s, F&& f) {
    PyObject* p = s.ptr();
    Py_ssize_t n = PyUnicode_GET_LENGTH(p);
    switch (PyUnicode_KIND(p)) {
        case PyUnicode_1BYTE_KIND:
            return f(PyUnicode_1BYTE_DATA(p), (std::size_t)n);
        case PyUnicode_2BYTE_KIND:
            return f(PyUnicode_2BYTE_DATA(p), (std::size_t)n);
        default:
            return f(PyUnicode_4BYTE_DATA(p), (std::size_t)n);
    }
}

}  // namespace movarn::zendra_mod
