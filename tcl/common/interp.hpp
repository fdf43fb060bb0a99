// The interpreter contract: what the modules do with an interpreter object.
//
// An interpreter object holds a tkinter application in `tk` (read afresh on
// every use) and offers cast_list / cast_array / cast_boolean / cast_any.
// Handles keep it only as a weak proxy; a false one means the package
// default, which is the package module `movarn.tcl` itself.
#pragma once

#include "runtime.hpp"

namespace movarn::interp {

// Interned attribute names the helpers use, supplied by the calling module.
struct Names {
    py::handle tk, call, eval, getvar, setvar, unsetvar, createcommand;
    py::handle cast_list, cast_array, cast_boolean, ProxyTypes, proxy;
};

// tkinter refuses a str that UTF-8 cannot hold (a lone surrogate) with
// UnicodeEncodeError when it is a word of its own, but crashes on one nested
// in a tuple it turns into a Tcl list.  Words and values about to be sent
// get the same error at any depth.
inline bool has_surrogate(PyObject* s) {
    if (PyUnicode_MAX_CHAR_VALUE(s) < 0xD800) return false;
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(s); i < n; i++) {
        Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (ch >= 0xD800 && ch <= 0xDFFF) return true;
    }
    return false;
}
inline void check_sendable(py::handle value) {
    PyObject* v = value.ptr();
    if (PyUnicode_Check(v)) {
        if (has_surrogate(v) && !PyUnicode_AsUTF8AndSize(v, nullptr)) throw_error();
        return;
    }
    if (!PyTuple_Check(v) && !PyList_Check(v)) return;
    RecursionGuard guard(" while checking Tcl words");
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(v); i++) check_sendable(PySequence_Fast_GET_ITEM(v, i));
}

inline py::object tk(const Names& n, py::handle tcl) { return steal(PyObject_GetAttr(tcl.ptr(), n.tk.ptr())); }

// tk.call(words): one tuple whose items are the command's words.
inline py::object call(const Names& n, py::handle tcl, py::handle words) {
    return vcall_method(tk(n, tcl), n.call, words);
}
// tk.call(w1, w2, ...): the words as separate arguments.
template <class... W>
py::object call_words(const Names& n, py::handle tcl, W... words) {
    return vcall_method(tk(n, tcl), n.call, words...);
}
inline py::object eval(const Names& n, py::handle tcl, py::handle script) {
    return vcall_method(tk(n, tcl), n.eval, script);
}
inline py::object cast(py::handle tcl, py::handle which, py::handle value) { return vcall_method(tcl, which, value); }

// The package default: `movarn.tcl` itself, imported when it is needed.
inline py::object package() { return steal(PyImport_ImportModule("movarn.tcl")); }

// A weak proxy to `interp` unless it already is one (so handles made from
// handles share one proxy).
inline py::object weak_proxy(const Names& n, py::handle weakref_module, py::handle interp) {
    py::object proxy_types = steal(PyObject_GetAttr(weakref_module.ptr(), n.ProxyTypes.ptr()));
    int known = PySequence_Contains(proxy_types.ptr(), (PyObject*)Py_TYPE(interp.ptr()));
    if (known < 0) throw_error();
    if (known) return py::reinterpret_borrow<py::object>(interp);
    return vcall(steal(PyObject_GetAttr(weakref_module.ptr(), n.proxy.ptr())), interp);
}

// `tcl` when true, else the package, as a weak proxy.
inline py::object weak_interp(const Names& n, py::handle weakref_module, py::handle tcl) {
    py::object interp = truthy(tcl) ? py::reinterpret_borrow<py::object>(tcl) : package();
    return weak_proxy(n, weakref_module, interp);
}

}  // namespace movarn::interp
