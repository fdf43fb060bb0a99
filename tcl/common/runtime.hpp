// Shared runtime of the movarn.tcl extension modules.
//
// Python-shaped building blocks for C++ implementations: function objects with
// the semantics of Python functions (defaults read at call time, binding as
// methods, a real __code__ for introspection), CPython's argument binding, a
// lazy generator, a class builder equivalent to a class statement, and
// call-time lookup of module globals.  Every Python object lives in module
// state or is reachable from a function object: nothing in C++ statics.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace movarn {
namespace py = pybind11;

struct Call;
using Impl = py::object (*)(Call&);

enum FuncFlags : unsigned {
    F_NONE = 0,
    F_GENERATOR = 1,  // __code__ carries CO_GENERATOR (the impl returns a Generator)
    F_CLASSCELL = 2,  // the function has a __class__ cell (zero-argument super())
};

// Static description of one function: plain C data only.
struct FuncSpec {
    const char* name;
    const char* params;  // Python parameter list without defaults: "self, key, *args, **kwargs"
    Impl impl;
    const char* doc = nullptr;
    unsigned flags = F_NONE;
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FuncSpec* fdef;
    PyObject* module;  // owning module: its state holds interned names and originals
    PyObject* name;
    PyObject* qualname;
    PyObject* modname;
    PyObject* doc;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* dict;
    PyObject* globals;
    PyObject* annotations;
    PyObject* closure;
    PyObject* code;
    PyObject* varnames;  // parameter names, interned (from __code__)
    PyObject* weaklist;
    Py_ssize_t argcount;
    Py_ssize_t kwonlycount;
    bool has_varargs;
    bool has_varkw;
};

// Module state shared by all four modules: the runtime's types, the module's
// interned names, and module-specific references (originals for fast paths).
struct ModuleState {
    static constexpr int NREFS = 24;
    PyObject* function_type;
    PyObject* generator_type;
    PyObject* names;  // tuple of interned str, indexed by the module's name enum
    PyObject* refs[NREFS];
};

ModuleState& state_of(PyObject* module);

// Bound parameters of one call, in signature order (varargs tuple and
// kwargs dict last).  All handles are borrowed and valid during the call.
struct Call {
    FunctionObject* fn;
    PyObject** slots;
    py::handle operator[](Py_ssize_t i) const { return slots[i]; }
    ModuleState& state() const { return state_of(fn->module); }
    // The module's interned names; a module already torn down (state
    // cleared while a function survives it) raises instead of crashing.
    py::handle name(int idx) const {
        PyObject* names = state().names;
        if (!names) throw std::runtime_error("the module of this function has been torn down");
        return PyTuple_GET_ITEM(names, idx);
    }
    py::handle ref(int idx) const { return state().refs[idx]; }
    // Module global looked up now: module dict, then builtins, else NameError.
    py::object global(int name_idx) const;
    // The __class__ cell's class (zero-argument super()).
    py::object cls() const;
    // The function behind `callable` when it is this module's own function
    // built from `fs`, or a method bound to it: the caller may then run its
    // implementation directly (call_impl) instead of packing and binding
    // the arguments again.  Otherwise nullptr.
    FunctionObject* own(py::handle callable, const FuncSpec& fs) const;
};

// Runs a function's implementation with already-bound slots, counted as a
// call.  For slots that the implementation only reads.
py::object call_impl(FunctionObject* fn, PyObject** slots);

// ---- small helpers over the C API, returning owning handles ----------------
[[noreturn]] void throw_error();
inline py::object steal(PyObject* p) {
    if (!p) throw_error();
    return py::reinterpret_steal<py::object>(p);
}
template <class... A>
py::object vcall(py::handle f, A... args) {
    PyObject* arr[sizeof...(A) + 1] = {nullptr, py::handle(args).ptr()...};
    return steal(PyObject_Vectorcall(f.ptr(), arr + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
template <class... A>
py::object vcall_method(py::handle obj, py::handle name, A... args) {
    PyObject* arr[sizeof...(A) + 1] = {obj.ptr(), py::handle(args).ptr()...};
    return steal(PyObject_VectorcallMethod(name.ptr(), arr, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
// Call with positional args and keyword args given as (name, value) pairs.
py::object vcall_kw(py::handle f, std::initializer_list<py::handle> args,
                    std::initializer_list<std::pair<py::handle, py::handle>> kwargs);
// f(*args, **kwargs) with a tuple and a dict.
py::object call_star(py::handle f, py::handle args, py::handle kwargs);
bool truthy(py::handle o);

// The C stack of the running thread, measured once per thread.  A user may
// raise the recursion limit far beyond what the stack holds, so recursive
// paths also stop while a safety margin of stack is still left.
extern thread_local std::uintptr_t stack_limit;  // 0: not measured yet
std::uintptr_t measure_stack_limit();
inline bool stack_nearly_exhausted() {
    std::uintptr_t limit = stack_limit ? stack_limit : measure_stack_limit();
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) < limit;
}
[[noreturn]] void throw_stack_exhausted(const char* where);

// Counts against Python's recursion limit for the guard's lifetime, so deep
// or self-containing structures raise RecursionError instead of overflowing
// the C stack.
struct RecursionGuard {
    explicit RecursionGuard(const char* where = "") {
        if (Py_EnterRecursiveCall(where)) throw_error();
        if (stack_nearly_exhausted()) {
            Py_LeaveRecursiveCall();
            throw_stack_exhausted(where);
        }
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};
bool is_instance(py::handle o, py::handle cls);
// getattr(obj, name, None) where only AttributeError counts as missing.
py::object getattr_or_none(py::handle obj, py::handle name);
py::str format_str(const char* fmt, py::handle arg);  // fmt % arg
inline py::object none() { return py::none(); }

// ---- module construction ---------------------------------------------------
struct ModuleBuilder {
    PyObject* module;
    py::dict dict;
    ModuleBuilder(PyObject* m, std::initializer_list<const char*> names);
    ModuleState& state() const { return state_of(module); }
    py::handle name(int idx) const { return PyTuple_GET_ITEM(state().names, idx); }
    // Keys are interned, so call-time lookups with interned names match by identity.
    void set(const char* key, py::handle value) {
        py::object k = steal(PyUnicode_InternFromString(key));
        if (PyDict_SetItem(dict.ptr(), k.ptr(), value.ptr()) < 0) throw_error();
    }
    py::object import(const char* module, const char* attr = nullptr) const;
    py::object import_relative(const char* sibling, const char* attr) const;
    // A function object; qualprefix "" for module level, "Cls" for methods.
    py::object function(const FuncSpec& fs, const std::string& qualprefix = "",
                        py::object defaults = py::none(), py::object kwdefaults = py::none(),
                        py::object closure = py::none()) const;
};

// One class statement: members in declaration order.
struct ClassDef {
    std::string name;
    std::string qualname;
    py::tuple bases;
    const char* doc = nullptr;
    std::vector<std::pair<std::string, py::object>> members;
    py::object classcell;  // a cell shared with F_CLASSCELL methods, or None
    ClassDef(std::string n, std::string q, py::tuple b, const char* d = nullptr);
    py::object new_cell();
    void add(const std::string& key, py::handle value) { members.emplace_back(key, py::reinterpret_borrow<py::object>(value)); }
};
py::object build_class(const ModuleBuilder& mb, ClassDef& def);

// For a class built with a __getattr__ and object's __getattribute__: look
// attributes up as CPython does, without making the AttributeError that
// __getattr__ would only discard.  Setting either hook on the class later
// puts CPython's own lookup back.
void use_quiet_getattr(py::handle cls);

// Wrap a static method (staticmethod(fn)).
py::object staticmethod(py::handle fn);

// ---- lazy generator --------------------------------------------------------
// The generator runs `start(captured)` on the first __next__ and then yields
// the items of the iterable it returned.
using GenStart = py::object (*)(py::handle captured);
py::object make_generator(const Call& call, GenStart start, py::object captured);

// Module definition glue: multi-phase init with the shared state layout.
int module_traverse(PyObject* m, visitproc visit, void* arg);
int module_clear(PyObject* m);
void module_free(void* m);

// Runs a module body, turning C++ exceptions into Python errors.
int run_exec(PyObject* m, void (*body)(PyObject*));

}  // namespace movarn

// The module definition glue (multi-phase init, shared state layout) for a
// module whose body is `body(PyObject* module)`.  Use at global scope.
#define MOVARN_MODULE(NAME, DOC, BODY)                                                                   \
    namespace {                                                                                          \
    int movarn_exec_##NAME(PyObject* m) { return ::movarn::run_exec(m, BODY); }                          \
    PyModuleDef_Slot movarn_slots_##NAME[] = {{Py_mod_exec, (void*)movarn_exec_##NAME}, {0, nullptr}};   \
    PyModuleDef movarn_def_##NAME = {                                                                    \
        PyModuleDef_HEAD_INIT, #NAME, DOC, sizeof(::movarn::ModuleState), nullptr, movarn_slots_##NAME, \
        ::movarn::module_traverse, ::movarn::module_clear, ::movarn::module_free,                       \
    };                                                                                                   \
    }                                                                                                    \
    PyMODINIT_FUNC PyInit_##NAME(void) { return PyModuleDef_Init(&movarn_def_##NAME); }
