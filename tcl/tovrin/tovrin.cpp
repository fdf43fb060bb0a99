// movarn.tcl.tovrin: TclX keyed lists as Python mappings whose keys may be
// dotted paths ("name.first"), built from Tcl text and rendered back.
//
// Every step below does what the equivalent Python code would do, name for
// name: module globals are read at call time, `super()` goes through the
// class cell, subscriptions go through the value's own type.  Where one of
// our own methods would be reached anyway, it is called directly in C++, and
// where the Python code would raise an exception only to catch it one frame
// up (a missing key, a value that is not a keyed list), the outcome is
// decided without raising.  Both only after checking that nothing has been
// rebound or overridden, so the shortcut cannot be observed.
#include "../common/runtime.hpp"

#include <optional>
#include <utility>
#include <vector>

namespace movarn::tovrin_mod {

enum Name {
    N_Tovrin,
    N_AttrDict,
    N_MutableMapping,
    N_Tcl_Obj,
    N_tclobj,
    N_from_tcl,
    N_update,
    N_all_keys,
    N_all_items,
    N_items,
    N_keys,
    N_split,
    N_getitem,
    N_setitem,
    N_delitem,
    N_contains,
    N_init,
    N_missing,
    N_instancecheck,
    N_typename,
    N_keyedList,
    N_dot,
    N_movarn_tcl,
    N_tcl,
    N_cast_list,
    N_import,
};

// Originals kept in module state: a shortcut is taken only while the name
// it replaces still holds one of these.
enum Ref {
    R_Tovrin,
    R_cell,  // the __class__ cell of the methods that use super()
    R_init,
    R_from_tcl,
    R_getitem,
    R_setitem,
    R_delitem,
    R_contains,
    R_update,
    R_all_keys,
    R_all_items,
    R_mm_update,          // MutableMapping.update
    R_get_cache_token,    // abc's invalidation counter: changes on every ABC registration
    R_abc_instancecheck,  // ABCMeta.__instancecheck__
    R_inst_cache,         // (token, {type: bool}): isinstance(x, Tovrin) for exact built-in types
    R_import,             // builtins.__import__ as the module found it
    R_TclError,
};

using Opt = std::optional<py::object>;  // empty: the error the caller would catch

static py::object borrow(PyObject* p) { return py::reinterpret_borrow<py::object>(p); }

static bool matches(PyObject* exc) {
    if (!PyErr_ExceptionMatches(exc)) return false;
    PyErr_Clear();
    return true;
}

static bool iterable(PyObject* o) { return Py_TYPE(o)->tp_iter || PySequence_Check(o); }

// `obj.<name>` is `func` bound to obj: our own method, not shadowed anywhere.
static bool bound_to(py::handle m, py::handle func, py::handle obj) {
    return PyMethod_Check(m.ptr()) && PyMethod_GET_FUNCTION(m.ptr()) == func.ptr() &&
           PyMethod_GET_SELF(m.ptr()) == obj.ptr();
}

// The type of obj resolves `name` to `func`, so the operator slot calls it.
static bool slot_is(const Call& c, py::handle obj, int name, int func) {
    return _PyType_Lookup(Py_TYPE(obj.ptr()), c.name(name).ptr()) == c.ref(func).ptr();
}

// ---- keys --------------------------------------------------------------------
// "." in key
static bool has_dot(const Call& c, py::handle key) {
    PyObject* k = key.ptr();
    if (PyUnicode_CheckExact(k)) {
        Py_ssize_t i = PyUnicode_FindChar(k, '.', 0, PyUnicode_GET_LENGTH(k), 1);
        if (i == -2) throw_error();
        return i >= 0;
    }
    int r = PySequence_Contains(k, c.name(N_dot).ptr());
    if (r < 0) throw_error();
    return r != 0;
}

// a, b = seq
static std::pair<py::object, py::object> unpack2(py::handle seq) {
    PyObject* s = seq.ptr();
    if ((PyTuple_CheckExact(s) || PyList_CheckExact(s)) && PySequence_Fast_GET_SIZE(s) == 2)
        return {borrow(PySequence_Fast_GET_ITEM(s, 0)), borrow(PySequence_Fast_GET_ITEM(s, 1))};
    PyObject* it = PyObject_GetIter(s);
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !iterable(s))
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(s)->tp_name);
        throw_error();
    }
    py::object iter = py::reinterpret_steal<py::object>(it);
    py::object out[2];
    for (int i = 0; i < 2; i++) {
        PyObject* item = PyIter_Next(it);
        if (!item) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw_error();
        }
        out[i] = py::reinterpret_steal<py::object>(item);
    }
    PyObject* extra = PyIter_Next(it);
    if (extra) {
        Py_DECREF(extra);
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) throw_error();
    return {out[0], out[1]};
}

// first, rest = key.split(".", 1)
static std::pair<py::object, py::object> split_key(const Call& c, py::handle key) {
    PyObject* k = key.ptr();
    if (PyUnicode_CheckExact(k)) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(k);
        Py_ssize_t i = PyUnicode_FindChar(k, '.', 0, n, 1);
        if (i == -2) throw_error();
        if (i >= 0) return {steal(PyUnicode_Substring(k, 0, i)), steal(PyUnicode_Substring(k, i + 1, n))};
    }
    py::object one = steal(PyLong_FromLong(1));
    return unpack2(vcall_method(key, c.name(N_split), c.name(N_dot), one));
}

[[noreturn]] static void raise_target(py::handle key) {
    py::object msg = format_str("target key \"%s\" is a value, cannot update value against another keyed list", key);
    py::object exc = vcall(PyExc_KeyError, msg);
    PyErr_SetObject(PyExc_KeyError, exc.ptr());
    throw_error();
}

// ---- module globals ----------------------------------------------------------
// isinstance(obj, Tovrin).  Tovrin's metaclass is ABCMeta, whose check runs
// Python code; for exact built-in types the answer can only change with an
// ABC registration, so it is kept per abc cache token.
static bool cacheable(PyTypeObject* t) {
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type ||
           t == Py_TYPE(Py_None) || t == &PyBytes_Type || t == &PyTuple_Type || t == &PyList_Type ||
           t == &PyDict_Type;
}

static bool is_tovrin(const Call& c, py::handle obj) {
    py::object cls = c.global(N_Tovrin);
    PyTypeObject* t = Py_TYPE(obj.ptr());
    if ((PyObject*)t == cls.ptr()) return true;
    if (cls.ptr() != c.ref(R_Tovrin).ptr() || !cacheable(t) ||
        _PyType_Lookup(Py_TYPE(cls.ptr()), c.name(N_instancecheck).ptr()) != c.ref(R_abc_instancecheck).ptr())
        return is_instance(obj, cls);
    py::object token = vcall(c.ref(R_get_cache_token));
    ModuleState& st = c.state();
    PyObject* cache = st.refs[R_inst_cache];
    bool valid = false;
    if (cache) {
        int eq = PyObject_RichCompareBool(PyTuple_GET_ITEM(cache, 0), token.ptr(), Py_EQ);
        if (eq < 0) throw_error();
        valid = eq;
    }
    if (!valid) {
        py::object known = steal(PyDict_New());
        Py_XSETREF(st.refs[R_inst_cache], py::make_tuple(token, known).release().ptr());
        cache = st.refs[R_inst_cache];
    }
    PyObject* known = PyTuple_GET_ITEM(cache, 1);
    PyObject* hit = PyDict_GetItemWithError(known, (PyObject*)t);
    if (hit) return hit == Py_True;
    if (PyErr_Occurred()) throw_error();
    bool r = is_instance(obj, cls);
    if (PyDict_SetItem(known, (PyObject*)t, r ? Py_True : Py_False) < 0) throw_error();
    return r;
}

// A Tcl_Obj of TclX's keyed-list type.
static bool is_keyed_list_obj(const Call& c, py::handle value) {
    if (!is_instance(value, c.global(N_Tcl_Obj))) return false;
    py::object name = steal(PyObject_GetAttr(value.ptr(), c.name(N_typename).ptr()));
    int eq = PyObject_RichCompareBool(name.ptr(), c.name(N_keyedList).ptr(), Py_EQ);
    if (eq < 0) throw_error();
    return eq != 0;
}

// ---- super() -------------------------------------------------------------------
static py::object class_of_cell(const Call& c) {
    PyObject* cls = PyCell_GET(c.ref(R_cell).ptr());
    if (!cls) {
        PyErr_SetString(PyExc_RuntimeError, "super(): empty __class__ cell");
        throw_error();
    }
    return borrow(cls);
}

// super(cls, self).<name> is dict's own method.
static bool super_is_dict(PyObject* self, PyObject* cls, PyObject* name) {
    PyTypeObject* t = Py_TYPE(self);
    if (!PyType_Check(cls) || !PyType_IsSubtype(t, (PyTypeObject*)cls) || !t->tp_mro) return false;
    PyObject* mro = t->tp_mro;
    Py_ssize_t n = PyTuple_GET_SIZE(mro), i = 0;
    while (i < n && PyTuple_GET_ITEM(mro, i) != cls) i++;
    for (i++; i < n; i++) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        PyObject* d = ((PyTypeObject*)base)->tp_dict;
        if (!d) continue;
        PyObject* v = PyDict_GetItemWithError(d, name);
        if (v) return base == (PyObject*)&PyDict_Type;
        if (PyErr_Occurred()) throw_error();
    }
    return false;
}

static py::object super_attr(py::handle cls, py::handle self, py::handle name) {
    py::object sup = steal(PyObject_CallFunctionObjArgs((PyObject*)&PySuper_Type, cls.ptr(), self.ptr(), nullptr));
    return steal(PyObject_GetAttr(sup.ptr(), name.ptr()));
}

// super().__getitem__(key); with `soft`, a KeyError comes back as empty.
static Opt super_getitem(const Call& c, py::handle self, py::handle key, bool soft) {
    py::object cls = class_of_cell(c);
    PyObject* r;
    if (super_is_dict(self.ptr(), cls.ptr(), c.name(N_getitem).ptr())) {
        if (soft) {
            PyObject* v = PyDict_GetItemWithError(self.ptr(), key.ptr());
            if (v) return borrow(v);
            if (PyErr_Occurred()) throw_error();
            if (PyDict_CheckExact(self.ptr()) || !_PyType_Lookup(Py_TYPE(self.ptr()), c.name(N_missing).ptr()))
                return std::nullopt;
        }
        r = PyDict_Type.tp_as_mapping->mp_subscript(self.ptr(), key.ptr());
    } else {
        r = PyObject_CallOneArg(super_attr(cls, self, c.name(N_getitem)).ptr(), key.ptr());
    }
    if (r) return steal(r);
    if (soft && matches(PyExc_KeyError)) return std::nullopt;
    throw_error();
}

static void super_setitem(const Call& c, py::handle self, py::handle key, py::handle value) {
    py::object cls = class_of_cell(c);
    if (super_is_dict(self.ptr(), cls.ptr(), c.name(N_setitem).ptr())) {
        if (PyDict_SetItem(self.ptr(), key.ptr(), value.ptr()) < 0) throw_error();
        return;
    }
    vcall(super_attr(cls, self, c.name(N_setitem)), key, value);
}

static void super_delitem(const Call& c, py::handle self, py::handle key) {
    py::object cls = class_of_cell(c);
    if (super_is_dict(self.ptr(), cls.ptr(), c.name(N_delitem).ptr())) {
        if (PyDict_DelItem(self.ptr(), key.ptr()) < 0) throw_error();
        return;
    }
    vcall(super_attr(cls, self, c.name(N_delitem)), key);
}

static py::object super_contains(const Call& c, py::handle self, py::handle key) {
    py::object cls = class_of_cell(c);
    if (super_is_dict(self.ptr(), cls.ptr(), c.name(N_contains).ptr())) {
        int r = PyDict_Contains(self.ptr(), key.ptr());
        if (r < 0) throw_error();
        return borrow(r ? Py_True : Py_False);
    }
    return vcall(super_attr(cls, self, c.name(N_contains)), key);
}

// super().__init__(): dict's own __init__ without arguments does nothing.
static void super_init(const Call& c, py::handle self) {
    py::object cls = class_of_cell(c);
    if (super_is_dict(self.ptr(), cls.ptr(), c.name(N_init).ptr())) return;
    vcall(super_attr(cls, self, c.name(N_init)));
}

// ---- item operations ------------------------------------------------------------
static Opt getitem_do(const Call& c, py::handle self, py::handle key, bool soft);
static void setitem_do(const Call& c, py::handle self, py::handle key, py::handle value);
static void delitem_do(const Call& c, py::handle self, py::handle key);
static py::object contains_do(const Call& c, py::handle self, py::handle key);
static Opt from_tcl_do(const Call& c, py::handle string, bool nested);
static void update_do(const Call& c, py::handle self, py::handle other, py::handle kwargs);
static py::object all_keys_do(const Call& c, py::handle self);
static py::object all_items_do(const Call& c, py::handle self);

// obj[key]; with `soft`, a KeyError comes back as empty.
static Opt subscript(const Call& c, py::handle obj, py::handle key, bool soft) {
    if (slot_is(c, obj, N_getitem, R_getitem)) return getitem_do(c, obj, key, soft);
    PyObject* r = PyObject_GetItem(obj.ptr(), key.ptr());
    if (r) return steal(r);
    if (soft && matches(PyExc_KeyError)) return std::nullopt;
    throw_error();
}

// obj[key] = value
static void assign(const Call& c, py::handle obj, py::handle key, py::handle value) {
    if (slot_is(c, obj, N_setitem, R_setitem)) return setitem_do(c, obj, key, value);
    if (PyObject_SetItem(obj.ptr(), key.ptr(), value.ptr()) < 0) throw_error();
}

// del obj[key]
static void remove(const Call& c, py::handle obj, py::handle key) {
    if (slot_is(c, obj, N_delitem, R_delitem)) return delitem_do(c, obj, key);
    if (PyObject_DelItem(obj.ptr(), key.ptr()) < 0) throw_error();
}

// Tovrin(), through the module global.
static py::object new_tovrin(const Call& c) { return vcall(c.global(N_Tovrin)); }

// Tovrin.from_tcl(value), through the module global.
static py::object call_from_tcl(const Call& c, py::handle value) {
    py::object f = steal(PyObject_GetAttr(c.global(N_Tovrin).ptr(), c.name(N_from_tcl).ptr()));
    if (f.ptr() == c.ref(R_from_tcl).ptr()) return *from_tcl_do(c, value, false);
    return vcall(f, value);
}

// obj.update(arg)
static void call_update(const Call& c, py::handle obj, py::handle arg) {
    py::object m = steal(PyObject_GetAttr(obj.ptr(), c.name(N_update).ptr()));
    if (bound_to(m, c.ref(R_update), obj)) return update_do(c, obj, arg, py::handle());
    vcall(m, arg);
}

static py::object call_walk(const Call& c, py::handle obj, int name, int ref,
                            py::object (*walk)(const Call&, py::handle)) {
    py::object m = steal(PyObject_GetAttr(obj.ptr(), c.name(name).ptr()));
    if (bound_to(m, c.ref(ref), obj)) return walk(c, obj);
    return vcall(m);
}

static Opt getitem_do(const Call& c, py::handle self, py::handle key, bool soft) {
    RecursionGuard guard(" while looking up a keyed list");
    if (!has_dot(c, key)) return super_getitem(c, self, key, soft);
    auto [first, rest] = split_key(c, key);
    Opt level = super_getitem(c, self, first, soft);
    if (!level) return level;
    return subscript(c, *level, rest, soft);
}

static void setitem_do(const Call& c, py::handle self, py::handle key, py::handle value_in) {
    RecursionGuard guard(" while storing into a keyed list");
    py::object value = borrow(value_in.ptr());
    if (is_keyed_list_obj(c, value)) value = call_from_tcl(c, value);
    if (has_dot(c, key)) {
        auto [first, rest] = split_key(c, key);
        Opt found = subscript(c, self, first, true);
        py::object sub;
        if (!found) {
            sub = new_tovrin(c);
            super_setitem(c, self, first, sub);
        } else {
            if (!is_tovrin(c, *found)) raise_target(first);
            sub = std::move(*found);
        }
        return assign(c, sub, rest, value);
    }
    if (is_tovrin(c, value)) {
        // A keyed list may replace a keyed list, never a plain value.
        Opt current = subscript(c, self, key, true);
        if (current && !is_tovrin(c, *current)) raise_target(key);
    }
    super_setitem(c, self, key, value);
}

static py::object contains_do(const Call& c, py::handle self, py::handle key) {
    RecursionGuard guard(" while searching a keyed list");
    if (!has_dot(c, key)) return super_contains(c, self, key);
    auto [first, rest] = split_key(c, key);
    if (!truthy(super_contains(c, self, first))) return borrow(Py_False);
    py::object level = *super_getitem(c, self, first, false);
    py::object m = steal(PyObject_GetAttr(level.ptr(), c.name(N_contains).ptr()));
    if (bound_to(m, c.ref(R_contains), level)) return contains_do(c, level, rest);
    return vcall(m, rest);
}

static void delitem_do(const Call& c, py::handle self, py::handle key) {
    RecursionGuard guard(" while deleting from a keyed list");
    if (!has_dot(c, key)) return super_delitem(c, self, key);
    auto [first, rest] = split_key(c, key);
    remove(c, *super_getitem(c, self, first, false), rest);
    // Every level prunes what became empty below it.
    if (!truthy(*super_getitem(c, self, first, false))) super_delitem(c, self, first);
}

// ---- dict() -------------------------------------------------------------------------
// The pair-by-pair merge of dict(iterable).  A failure that `soft_value`
// (ValueError: an element is not a pair) or `soft_type` (TypeError: not
// iterable, an element not a sequence, an unhashable key) lets the caller
// catch comes back as false without raising; every other error is raised
// as dict() raises it.
static bool merge_pairs(py::handle d, py::handle seq, bool soft_value, bool soft_type) {
    if (soft_type && !iterable(seq.ptr())) return false;
    py::object it = steal(PyObject_GetIter(seq.ptr()));
    for (Py_ssize_t i = 0;; i++) {
        PyObject* raw = PyIter_Next(it.ptr());
        if (!raw) {
            if (PyErr_Occurred()) throw_error();
            return true;
        }
        py::object item = py::reinterpret_steal<py::object>(raw);
        py::object fast;
        py::object key, value;
        Py_ssize_t n;
        if (PyUnicode_CheckExact(raw)) {
            // A string is a sequence of its characters.
            n = PyUnicode_GET_LENGTH(raw);
            if (n == 2) {
                key = steal(PyUnicode_Substring(raw, 0, 1));
                value = steal(PyUnicode_Substring(raw, 1, 2));
            }
        } else {
            if (PyTuple_CheckExact(raw) || PyList_CheckExact(raw)) {
                fast = item;
            } else {
                if (soft_type && !iterable(raw)) return false;
                PyObject* f = PySequence_Fast(raw, "");
                if (!f) {
                    if (PyErr_ExceptionMatches(PyExc_TypeError))
                        PyErr_Format(PyExc_TypeError,
                                     "cannot convert dictionary update sequence element #%zd to a sequence", i);
                    throw_error();
                }
                fast = py::reinterpret_steal<py::object>(f);
            }
            n = PySequence_Fast_GET_SIZE(fast.ptr());
            if (n == 2) {
                key = borrow(PySequence_Fast_GET_ITEM(fast.ptr(), 0));
                value = borrow(PySequence_Fast_GET_ITEM(fast.ptr(), 1));
            }
        }
        if (n != 2) {
            if (soft_value) return false;
            PyErr_Format(PyExc_ValueError, "dictionary update sequence element #%zd has length %zd; 2 is required",
                         i, n);
            throw_error();
        }
        if (soft_type && Py_TYPE(key.ptr())->tp_hash == PyObject_HashNotImplemented) return false;
        if (PyDict_SetItem(d.ptr(), key.ptr(), value.ptr()) < 0) throw_error();
    }
}

// dict(value), empty where it would raise ValueError or TypeError by itself.
static Opt dict_of(const Call& c, py::handle value) {
    py::object d = steal(PyDict_New());
    PyObject* v = value.ptr();
    if (PyDict_CheckExact(v)) {
        if (PyDict_Merge(d.ptr(), v, 1) < 0) throw_error();
        return d;
    }
    PyObject* keys = nullptr;
    if (_PyObject_LookupAttr(v, c.name(N_keys).ptr(), &keys) < 0) throw_error();
    if (keys) {
        Py_DECREF(keys);
        if (PyDict_Merge(d.ptr(), v, 1) < 0) throw_error();
        return d;
    }
    if (!merge_pairs(d, value, true, true)) return std::nullopt;
    return d;
}

static std::vector<std::pair<py::object, py::object>> items_of(py::handle d) {
    std::vector<std::pair<py::object, py::object>> out;
    out.reserve((std::size_t)PyDict_GET_SIZE(d.ptr()));
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(d.ptr(), &pos, &k, &v)) out.emplace_back(borrow(k), borrow(v));
    return out;
}

// ---- construction ---------------------------------------------------------------------
static bool init_do(const Call& c, py::handle self, py::handle args, py::handle kwargs, bool nested);

// Tovrin(value) as __init__ tries it on each value: empty when that raises
// ValueError or TypeError.
static Opt construct(const Call& c, py::handle value) {
    py::object cls = c.global(N_Tovrin);
    auto* tp = (PyTypeObject*)cls.ptr();
    try {
        if (cls.ptr() == c.ref(R_Tovrin).ptr() && Py_TYPE(cls.ptr())->tp_call == PyType_Type.tp_call &&
            tp->tp_new == PyDict_Type.tp_new && _PyType_Lookup(tp, c.name(N_init).ptr()) == c.ref(R_init).ptr()) {
            py::object args = steal(PyTuple_Pack(1, value.ptr()));
            py::object obj = steal(tp->tp_new(tp, args.ptr(), nullptr));
            if (!init_do(c, obj, args, py::handle(), true)) return std::nullopt;
            return obj;
        }
        return vcall(cls, value);
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_ValueError) || e.matches(PyExc_TypeError)) return std::nullopt;
        throw;
    }
}

// `nested`: called for one value by construct(), args is (value,).
static bool init_do(const Call& c, py::handle self, py::handle args, py::handle kwargs, bool nested) {
    RecursionGuard guard(" while building a keyed list");
    super_init(c, self);
    py::object dsc;
    if (nested) {
        Opt d = dict_of(c, PyTuple_GET_ITEM(args.ptr(), 0));
        if (!d) return false;
        dsc = std::move(*d);
    } else {
        dsc = call_star((PyObject*)&PyDict_Type, args, kwargs);
    }
    for (auto& [key, value] : items_of(dsc)) {
        if (is_tovrin(c, value)) continue;
        Opt sub = construct(c, value);
        if (sub && PyDict_SetItem(dsc.ptr(), key.ptr(), sub->ptr()) < 0) throw_error();
    }
    call_update(c, self, dsc);
    return true;
}

// ---- from_tcl -------------------------------------------------------------------------
// `import movarn.tcl`, as a function body does it: the top-level package.
static py::object import_package(const Call& c) {
    PyObject* builtins = PyEval_GetBuiltins();
    PyObject* imp = builtins ? PyDict_GetItemWithError(builtins, c.name(N_import).ptr()) : nullptr;
    if (!imp) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
        throw_error();
    }
    PyObject* name = c.name(N_movarn_tcl).ptr();
    if (imp == c.ref(R_import).ptr())
        return steal(PyImport_ImportModuleLevelObject(name, c.fn->globals, Py_None, Py_None, 0));
    py::object zero = steal(PyLong_FromLong(0));
    PyObject* args[] = {name, c.fn->globals, Py_None, Py_None, zero.ptr()};
    return steal(PyObject_Vectorcall(imp, args, 5, nullptr));
}

// movarn.tcl.cast_list(value)
static py::object cast_list(const Call& c, py::handle top, py::handle value) {
    py::object pkg = steal(PyObject_GetAttr(top.ptr(), c.name(N_tcl).ptr()));
    py::object f = steal(PyObject_GetAttr(pkg.ptr(), c.name(N_cast_list).ptr()));
    return vcall(f, value);
}

// `nested`: a value of an outer level, tried as a keyed list; empty when it
// is a leaf (dict() refused its elements: the ValueError that the outer
// level catches).
static Opt from_tcl_do(const Call& c, py::handle string, bool nested) {
    RecursionGuard guard(" while reading a keyed list");
    py::object top = import_package(c);
    py::object elements = cast_list(c, top, string);
    py::object pairs = steal(PyList_New(0));
    py::object it = steal(PyObject_GetIter(elements.ptr()));
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        py::object element = py::reinterpret_steal<py::object>(raw);
        if (PyList_Append(pairs.ptr(), cast_list(c, top, element).ptr()) < 0) throw_error();
    }
    if (PyErr_Occurred()) throw_error();
    py::object dsc = steal(PyDict_New());
    if (!merge_pairs(dsc, pairs, nested, false)) return std::nullopt;
    for (auto& [key, value] : items_of(dsc)) {
        if (is_tovrin(c, value)) continue;
        Opt sub;
        try {
            py::object f = steal(PyObject_GetAttr(c.global(N_Tovrin).ptr(), c.name(N_from_tcl).ptr()));
            sub = f.ptr() == c.ref(R_from_tcl).ptr() ? from_tcl_do(c, value, true) : vcall(f, value);
        } catch (py::error_already_set& e) {
            // A value that Tcl cannot split as a list (an unbalanced brace or
            // quote) is no keyed list either: it stays a leaf too.
            if (!e.matches(PyExc_ValueError) && !e.matches(c.ref(R_TclError))) throw;
        }
        if (sub && PyDict_SetItem(dsc.ptr(), key.ptr(), sub->ptr()) < 0) throw_error();
    }
    py::object klist = new_tovrin(c);
    call_update(c, klist, dsc);
    return klist;
}

// ---- update ---------------------------------------------------------------------------
// MutableMapping.update(self, other)
static void mapping_update(const Call& c, py::handle self, py::handle other) {
    py::object f = steal(PyObject_GetAttr(c.global(N_MutableMapping).ptr(), c.name(N_update).ptr()));
    if (f.ptr() != c.ref(R_mm_update).ptr() || !PyDict_CheckExact(other.ptr())) {
        vcall(f, self, other);
        return;
    }
    // A dict is a Mapping: for key in other: self[key] = other[key]
    py::object it = steal(PyObject_GetIter(other.ptr()));
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        py::object key = py::reinterpret_steal<py::object>(raw);
        py::object value = steal(PyObject_GetItem(other.ptr(), key.ptr()));
        assign(c, self, key, value);
    }
    if (PyErr_Occurred()) throw_error();
}

static void update_do(const Call& c, py::handle self, py::handle other, py::handle kwargs) {
    if (other) {
        if (is_tovrin(c, other)) {
            // Leaf by leaf: the levels of self stay and are extended.
            py::object items = call_walk(c, other, N_all_items, R_all_items, all_items_do);
            py::object it = steal(PyObject_GetIter(items.ptr()));
            while (PyObject* raw = PyIter_Next(it.ptr())) {
                py::object item = py::reinterpret_steal<py::object>(raw);
                auto [key, value] = unpack2(item);
                assign(c, self, key, value);
            }
            if (PyErr_Occurred()) throw_error();
        } else {
            mapping_update(c, self, other);
        }
    }
    if (!kwargs || !PyDict_GET_SIZE(kwargs.ptr())) return;
    for (auto& [key, value] : items_of(kwargs)) {
        if (!is_tovrin(c, value)) {
            assign(c, self, key, value);
            continue;
        }
        Opt found = subscript(c, self, key, true);
        py::object sub;
        if (found) {
            sub = std::move(*found);
        } else {
            sub = new_tovrin(c);
            assign(c, self, key, sub);
        }
        if (!is_tovrin(c, sub)) raise_target(key);
        call_update(c, sub, value);
    }
}

// ---- traversal --------------------------------------------------------------------------
// key + "." + subkey for every subkey of a nested level.
static void extend_joined(const Call& c, py::handle out, py::handle key, py::handle subs, bool pairs) {
    py::object it = steal(PyObject_GetIter(subs.ptr()));
    py::object prefix;  // key + ".", once per key when that cannot differ
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        py::object item = py::reinterpret_steal<py::object>(raw);
        py::object sub = item, subvalue;
        if (pairs) std::tie(sub, subvalue) = unpack2(item);
        py::object left;
        if (prefix) {
            left = prefix;
        } else {
            left = steal(PyNumber_Add(key.ptr(), c.name(N_dot).ptr()));
            if (PyUnicode_CheckExact(key.ptr())) prefix = left;
        }
        py::object full = steal(PyNumber_Add(left.ptr(), sub.ptr()));
        py::object entry = pairs ? steal(PyTuple_Pack(2, full.ptr(), subvalue.ptr())) : full;
        if (PyList_Append(out.ptr(), entry.ptr()) < 0) throw_error();
    }
    if (PyErr_Occurred()) throw_error();
}

static py::object walk(const Call& c, py::handle self, bool pairs) {
    RecursionGuard guard(" while walking a keyed list");
    py::object out = steal(PyList_New(0));
    py::object items = vcall_method(self, c.name(N_items));
    py::object it = steal(PyObject_GetIter(items.ptr()));
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        py::object item = py::reinterpret_steal<py::object>(raw);
        auto [key, value] = unpack2(item);
        if (is_tovrin(c, value)) {
            py::object subs = pairs ? call_walk(c, value, N_all_items, R_all_items, all_items_do)
                                    : call_walk(c, value, N_all_keys, R_all_keys, all_keys_do);
            extend_joined(c, out, key, subs, pairs);
        } else {
            py::object entry = pairs ? steal(PyTuple_Pack(2, key.ptr(), value.ptr())) : key;
            if (PyList_Append(out.ptr(), entry.ptr()) < 0) throw_error();
        }
    }
    if (PyErr_Occurred()) throw_error();
    return out;
}

static py::object all_keys_do(const Call& c, py::handle self) { return walk(c, self, false); }
static py::object all_items_do(const Call& c, py::handle self) { return walk(c, self, true); }

// ---- the methods --------------------------------------------------------------------------
static py::object init_impl(Call& c) {
    init_do(c, c[0], c[1], c[2], false);
    return none();
}

static py::object from_tcl_impl(Call& c) { return *from_tcl_do(c, c[0], false); }
static py::object getitem_impl(Call& c) { return *getitem_do(c, c[0], c[1], false); }

static py::object setitem_impl(Call& c) {
    setitem_do(c, c[0], c[1], c[2]);
    return none();
}

static py::object contains_impl(Call& c) { return contains_do(c, c[0], c[1]); }

static py::object delitem_impl(Call& c) {
    delitem_do(c, c[0], c[1]);
    return none();
}

static py::object update_impl(Call& c) {
    Py_ssize_t n = PyTuple_GET_SIZE(c[1].ptr());
    if (n > 1) {
        PyErr_Format(PyExc_TypeError, "update() takes at most 1 positional arguments (%zd given)", n);
        throw_error();
    }
    update_do(c, c[0], n ? py::handle(PyTuple_GET_ITEM(c[1].ptr(), 0)) : py::handle(), c[2]);
    return none();
}

static py::object all_keys_impl(Call& c) { return all_keys_do(c, c[0]); }
static py::object all_items_impl(Call& c) { return all_items_do(c, c[0]); }

static py::object tclobj_impl(Call& c) {
    py::object pairs = steal(PyList_New(0));
    py::object items = vcall_method(c[0], c.name(N_items));
    py::object it = steal(PyObject_GetIter(items.ptr()));
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        py::object item = py::reinterpret_steal<py::object>(raw);
        auto [key, value] = unpack2(item);
        py::object pair = steal(PyTuple_Pack(2, key.ptr(), value.ptr()));
        if (PyList_Append(pairs.ptr(), pair.ptr()) < 0) throw_error();
    }
    if (PyErr_Occurred()) throw_error();
    return vcall(c.global(N_tclobj), pairs);
}

// ---- module body ----------------------------------------------------------------------------
static const char MODULE_DOC[] =
    "Implements movarn.tcl.Tovrin: the Tcl keyed list in Python.\n"
    "\n"
    "A Tovrin holds a TclX keyed list as a dict whose keys may be dotted\n"
    "paths (\"name.first\"); it is built from Tcl text or a Tcl object with\n"
    "Tovrin.from_tcl() and goes back to Tcl through tclobj() or zendra().\n";

static const char CLASS_DOC[] =
    "Mimics the Tcl keyed-list variable of TclX (keylset, keylget, keylkeys).\n"
    "\n"
    "Tovrin extends AttrDict, which is based on dict.  Keys and sub-keys are\n"
    "separated by \".\"; a nested keyed list is itself a Tovrin object, reached\n"
    "recursively through the dotted path, and keys are also attributes.\n"
    "\n"
    ">>> kl = Tovrin()\n"
    ">>> kl['name.first'] = 'John'\n"
    ">>> kl['name.last'] = 'Smith'\n"
    ">>> list(kl.keys())\n"
    "['name']\n"
    ">>> kl.name.first\n"
    "'John'\n";

static const char GETITEM_DOC[] =
    "Tovrin __getitem__ (built_in)\n"
    "\n"
    "Args:\n"
    "    key: the key, with its sub-keys separated by '.' when needed\n"
    "\n"
    "Returns:\n"
    "    the value stored under the key; a nested keyed list is a Tovrin\n"
    "\n"
    "Raises:\n"
    "    KeyError: the key, or one of its sub-keys, is missing\n"
    "\n"
    ">>> kl = Tovrin({'a': {'b': 1}})\n"
    ">>> kl['a.b']\n"
    "1\n"
    ">>> kl['a']['b']\n"
    "1\n";

static const char SETITEM_DOC[] =
    "Tovrin __setitem__ (built_in)\n"
    "\n"
    "Args:\n"
    "    key: the key, with its sub-keys separated by '.' when needed;\n"
    "        missing intermediate keyed lists are created\n"
    "    value: the value; a keyed list replaces the keyed list stored under\n"
    "        the key (no merge), a TclX keyed-list Tcl_Obj is converted\n"
    "\n"
    "Returns:\n"
    "    None\n"
    "\n"
    ">>> kl = Tovrin()\n"
    ">>> kl['a.b.c'] = 1\n"
    ">>> kl\n"
    "{'a': {'b': {'c': 1}}}\n";

static const char CONTAINS_DOC[] =
    "Tovrin __contains__ (built_in)\n"
    "\n"
    "Args:\n"
    "    key: the key, with its sub-keys separated by '.' when needed\n"
    "\n"
    "Returns:\n"
    "    True when the key is present; below the first level, the stored\n"
    "    value answers for the rest of the key\n"
    "\n"
    ">>> kl = Tovrin({'a.b': 1})\n"
    ">>> 'a.b' in kl, 'a.c' in kl, 'x.b' in kl\n"
    "(True, False, False)\n";

static const char DELITEM_DOC[] =
    "Tovrin __delitem__ (built_in)\n"
    "\n"
    "Args:\n"
    "    key: the key, with its sub-keys separated by '.' when needed;\n"
    "        keyed lists left empty are removed too\n"
    "\n"
    "Returns:\n"
    "    None\n"
    "\n"
    "Raises:\n"
    "    KeyError: the key, or one of its sub-keys, is missing\n"
    "\n"
    ">>> kl = Tovrin({'a.b.c': 1, 'x': 2})\n"
    ">>> del kl['a.b.c']\n"
    ">>> kl\n"
    "{'x': 2}\n";

static const char ALL_KEYS_DOC[] =
    "Tovrin all_keys\n"
    "\n"
    "Recursive: returns all the fully qualified keys, sub-keys included,\n"
    "depth first in the keyed list's order.\n"
    "\n"
    ">>> Tovrin({'a.b': 1, 'a.c.d': 2, 'e': 3}).all_keys()\n"
    "['a.b', 'a.c.d', 'e']\n";

static const char ALL_ITEMS_DOC[] =
    "Tovrin all_items\n"
    "\n"
    "Recursive: returns all the (fully qualified key, value) pairs,\n"
    "sub-keys included, depth first in the keyed list's order.\n"
    "\n"
    ">>> Tovrin({'a.b': 1, 'a.c.d': 2, 'e': 3}).all_items()\n"
    "[('a.b', 1), ('a.c.d', 2), ('e', 3)]\n";

static const char TCLOBJ_DOC[] =
    "To Tcl format\n"
    "\n"
    "Converts the Tovrin object to the Tcl string/list format understood by\n"
    "the TclX keyed-list commands: one (key, value) pair per item, a nested\n"
    "keyed list in the same form.\n"
    "\n"
    ">>> from movarn.tcl.zendra import zendra\n"
    ">>> kl = Tovrin()\n"
    ">>> kl['disk.size'] = '10'\n"
    ">>> kl['disk.unit'] = 'kb'\n"
    ">>> zendra(kl)\n"
    "'{disk {{size 10} {unit kb}}}'\n"
    ">>> kl.__tclobj__()\n"
    "(('disk', (('size', '10'), ('unit', 'kb'))),)\n";

static const FuncSpec INIT{"__init__", "self, *args, **kwargs", init_impl, nullptr, F_CLASSCELL};
static const FuncSpec FROM_TCL{"from_tcl", "string", from_tcl_impl};
static const FuncSpec GETITEM{"__getitem__", "self, key", getitem_impl, GETITEM_DOC, F_CLASSCELL};
static const FuncSpec SETITEM{"__setitem__", "self, key, value", setitem_impl, SETITEM_DOC, F_CLASSCELL};
static const FuncSpec CONTAINS{"__contains__", "self, key", contains_impl, CONTAINS_DOC, F_CLASSCELL};
static const FuncSpec DELITEM{"__delitem__", "self, key", delitem_impl, DELITEM_DOC, F_CLASSCELL};
static const FuncSpec UPDATE{"update", "self, *args, **kwargs", update_impl};
static const FuncSpec ALL_KEYS{"all_keys", "self", all_keys_impl, ALL_KEYS_DOC};
static const FuncSpec ALL_ITEMS{"all_items", "self", all_items_impl, ALL_ITEMS_DOC};
static const FuncSpec TCLOBJ{"__tclobj__", "self", tclobj_impl, TCLOBJ_DOC};

static void keep(ModuleState& st, Ref r, py::handle o) {
    Py_XSETREF(st.refs[r], py::reinterpret_borrow<py::object>(o).release().ptr());
}

static void body(PyObject* m) {
    ModuleBuilder mb(m, {"Tovrin", "AttrDict", "MutableMapping", "Tcl_Obj", "tclobj", "from_tcl", "update",
                         "all_keys", "all_items", "items", "keys", "split", "__getitem__", "__setitem__",
                         "__delitem__", "__contains__", "__init__", "__missing__", "__instancecheck__", "typename",
                         "keyedList", ".", "movarn.tcl", "tcl", "cast_list", "__import__"});
    ModuleState& st = mb.state();

    py::object attrdict = mb.import("movarn.datastructures", "AttrDict");
    mb.set("AttrDict", attrdict);
    py::object mutable_mapping = mb.import("collections.abc", "MutableMapping");
    mb.set("MutableMapping", mutable_mapping);
    py::object tkinter = mb.import("_tkinter");
    mb.set("Tcl_Obj", tkinter.attr("Tcl_Obj"));
    mb.set("tclobj", mb.import_relative("zendra", "tclobj"));

    keep(st, R_TclError, tkinter.attr("TclError"));
    keep(st, R_mm_update, mutable_mapping.attr("update"));
    keep(st, R_get_cache_token, mb.import("abc", "get_cache_token"));
    keep(st, R_import, mb.import("builtins", "__import__"));

    ClassDef cd("Tovrin", "Tovrin", py::make_tuple(attrdict, mutable_mapping), CLASS_DOC);
    py::object cell = cd.new_cell();
    auto method = [&](const FuncSpec& fs) {
        return mb.function(fs, "Tovrin", py::none(), py::none(), (fs.flags & F_CLASSCELL) ? cell : py::none());
    };
    py::object init = method(INIT), from_tcl = mb.function(FROM_TCL, "Tovrin");
    py::object getitem = method(GETITEM), setitem = method(SETITEM);
    py::object contains = method(CONTAINS), delitem = method(DELITEM);
    py::object update = method(UPDATE), all_keys = method(ALL_KEYS), all_items = method(ALL_ITEMS);
    py::object to_tcl = method(TCLOBJ);
    cd.add("__init__", init);
    cd.add("from_tcl", staticmethod(from_tcl));
    cd.add("__getitem__", getitem);
    cd.add("__setitem__", setitem);
    cd.add("__contains__", contains);
    cd.add("__delitem__", delitem);
    cd.add("get", mutable_mapping.attr("get"));
    cd.add("pop", mutable_mapping.attr("pop"));
    cd.add("setdefault", mutable_mapping.attr("setdefault"));
    cd.add("update", update);
    cd.add("all_keys", all_keys);
    cd.add("all_items", all_items);
    cd.add("has_key", contains);
    cd.add("__tclobj__", to_tcl);
    py::object cls = build_class(mb, cd);
    mb.set("Tovrin", cls);

    keep(st, R_Tovrin, cls);
    keep(st, R_cell, py::tuple(cell)[0]);
    keep(st, R_init, init);
    keep(st, R_from_tcl, from_tcl);
    keep(st, R_getitem, getitem);
    keep(st, R_setitem, setitem);
    keep(st, R_delitem, delitem);
    keep(st, R_contains, contains);
    keep(st, R_update, update);
    keep(st, R_all_keys, all_keys);
    keep(st, R_all_items, all_items);
    PyObject* check = _PyType_Lookup(Py_TYPE(cls.ptr()), mb.name(N_instancecheck).ptr());
    keep(st, R_abc_instancecheck, check ? check : Py_None);

    py::dict test;
    test["Tovrin.__getitem__ (line 103)"] = getitem.attr("__doc__");
    test["Tovrin.__setitem__ (line 127)"] = setitem.attr("__doc__");
    test["Tovrin.__contains__ (line 174)"] = contains.attr("__doc__");
    test["Tovrin.__delitem__ (line 200)"] = delitem.attr("__doc__");
    test["Tovrin.all_keys (line 262)"] = all_keys.attr("__doc__");
    test["Tovrin.all_items (line 289)"] = all_items.attr("__doc__");
    test["Tovrin.__tclobj__ (line 319)"] = to_tcl.attr("__doc__");
    mb.set("__test__", test);
}

}  // namespace movarn::tovrin_mod

MOVARN_MODULE(tovrin, movarn::tovrin_mod::MODULE_DOC, movarn::tovrin_mod::body)
