// What the runtime's own files share and the modules never see: the C++ to
// Python exception boundary, the binder's entry point and the type specs.
#pragma once

#include "runtime.hpp"

#include <new>
#include <stdexcept>

namespace movarn {

// Runs a C++ implementation with every C++ exception turned into a Python one.
// This is the only place where C++ exceptions meet CPython.
template <class F>
inline PyObject* guarded(F&& f) {
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

// The vectorcall of the function type: binds the arguments, then runs the impl.
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);

extern PyType_Spec function_spec;
extern PyType_Spec gen_spec;

}  // namespace movarn
