// Argument binding with CPython's own rules and messages: positional,
// keyword, defaults read at call time, *args, **kwargs and keyword-only.
#include "internal.hpp"

#include <algorithm>
#include <vector>

namespace movarn {

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

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
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
        // Counted like any Python call, so recursion through the package's
        // own functions stops at the recursion limit.
        RecursionGuard guard(" while calling a Python object");
        return fn->fdef->impl(call);
    });
}
}  // namespace movarn
