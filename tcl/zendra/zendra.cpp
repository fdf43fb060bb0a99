// movarn.tcl.zendra: Python values to Tcl strings (zendra) and to typed Tcl
// words (tclobj), with Tcl's own list-element quoting.
#include "../common/runtime.hpp"
#include "quote.hpp"

#include <algorithm>
#include <charconv>
#include <vector>

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
};

// Exact built-in types cannot carry __zendra__ / __tclobj__.
static bool plain_builtin(PyTypeObject* t) {
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type ||
           t == Py_TYPE(Py_None) || t == &PyBytes_Type || t == &PyList_Type || t == &PyTuple_Type ||
           t == &PyDict_Type || t == &PySet_Type || t == &PyFrozenSet_Type;
}

static py::object zendra_do(const Call& c, py::handle obj);
static py::object tclobj_do(const Call& c, py::handle obj);
static py::object update_string_of_list(const Call& c, py::handle list_obj);
static py::object tclobj_from_sequence(const Call& c, py::handle obj);
enum Kind { K_OTHER = 0, K_SEQUENCE = 1, K_MAPPING = 2 };
static Kind classify(const Call& c, py::handle obj);

// Calls through a module global, or straight to C++ while it is the original.
static py::object call_zendra(const Call& c, py::handle obj) {
    py::object f = c.global(N_zendra);
    if (f.ptr() == c.ref(R_zendra).ptr()) return zendra_do(c, obj);
    return vcall(f, obj);
}
static py::object call_tclobj(const Call& c, py::handle obj) {
    py::object f = c.global(N_tclobj);
    if (f.ptr() == c.ref(R_tclobj).ptr()) return tclobj_do(c, obj);
    return vcall(f, obj);
}
static py::object call_from_sequence(const Call& c, py::handle obj) {
    py::object f = c.global(N_from_sequence);
    if (f.ptr() == c.ref(R_from_sequence).ptr()) return update_string_of_list(c, obj);
    return vcall(f, obj);
}
static py::object call_t_from_sequence(const Call& c, py::handle obj) {
    py::object f = c.global(N_t_from_sequence);
    if (f.ptr() == c.ref(R_t_from_sequence).ptr()) return tclobj_from_sequence(c, obj);
    return vcall(f, obj);
}

static py::str as_str(py::handle s) {
    if (!PyUnicode_Check(s.ptr())) {
        PyErr_Format(PyExc_TypeError, "zendra() gave %.200s, expected str", Py_TYPE(s.ptr())->tp_name);
        throw_error();
    }
    return py::reinterpret_borrow<py::str>(s);
}

template <class F>
static auto with_units(py::handle s, F&& f) {
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

static unsigned scan_str(py::handle s) {
    return with_units(s, [](auto* d, std::size_t n) { return quote::scan(d, n); });
}
static std::size_t quoted_length_str(py::handle s, unsigned& flags) {
    return with_units(s, [&](auto* d, std::size_t n) { return quote::quoted_length(d, n, flags); });
}
template <class O>
static O* write_str(py::handle s, unsigned flags, O* out) {
    return with_units(s, [&](auto* d, std::size_t n) { return quote::write_quoted(d, n, flags, out); });
}

// One list element on its way to the list string: the item's zendra()
// result, the string that is quoted, and its flags.
struct Element {
    py::object value;
    py::object text;
    unsigned flags = 0;
};

// Writes each element's quoted text into one new str, joined by single
// spaces.  A whole list also guards its first element against reading as a
// comment (quote::first_element_flags); a single element does not.
static py::object join_quoted(std::vector<Element>& elements, bool whole_list) {
    std::size_t total = elements.empty() ? 0 : elements.size() - 1;
    Py_UCS4 maxchar = 127;
    if (whole_list && !elements.empty()) {
        Element& e = elements.front();
        Py_ssize_t n = PyUnicode_GET_LENGTH(e.text.ptr());
        e.flags = quote::first_element_flags(e.flags, n ? PyUnicode_READ_CHAR(e.text.ptr(), 0) : 0, (std::size_t)n);
    }
    for (auto& e : elements) {
        total += quoted_length_str(e.text, e.flags);
        maxchar = std::max(maxchar, PyUnicode_MAX_CHAR_VALUE(e.text.ptr()));
    }
    py::object out = steal(PyUnicode_New((Py_ssize_t)total, maxchar));
    auto fill = [&](auto* p) {
        bool first = true;
        for (auto& e : elements) {
            if (!first) *p++ = ' ';
            first = false;
            p = write_str(e.text, e.flags, p);
        }
    };
    switch (PyUnicode_KIND(out.ptr())) {
        case PyUnicode_1BYTE_KIND:
            fill(PyUnicode_1BYTE_DATA(out.ptr()));
            break;
        case PyUnicode_2BYTE_KIND:
            fill(PyUnicode_2BYTE_DATA(out.ptr()));
            break;
        default:
            fill(PyUnicode_4BYTE_DATA(out.ptr()));
            break;
    }
    return out;
}

static py::object flag_set(const Call& c, unsigned flags) {
    py::object s = steal(PySet_New(nullptr));
    if ((flags & quote::USE_BRACES) && PySet_Add(s.ptr(), c.name(N_USE_BRACES).ptr()) < 0) throw_error();
    if ((flags & quote::DONT_USE_BRACES) && PySet_Add(s.ptr(), c.name(N_DONT_USE_BRACES).ptr()) < 0) throw_error();
    if ((flags & quote::BRACES_UNMATCHED) && PySet_Add(s.ptr(), c.name(N_BRACES_UNMATCHED).ptr()) < 0)
        throw_error();
    return s;
}

static bool contains(py::handle container, py::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0) throw_error();
    return r != 0;
}

// ---- _Tcl_ScanElement(string) ----------------------------------------------------
static py::object scan_impl(Call& c) {
    py::str s = as_str(call_zendra(c, c[0]));
    unsigned flags = scan_str(s);
    py::object estimate = steal(PyLong_FromSsize_t(2 * PyUnicode_GET_LENGTH(s.ptr()) + 2));
    return py::make_tuple(estimate, flag_set(c, flags));
}

// ---- _Tcl_ConvertElement(src, flags) -------------------------------------------------
static py::object convert_impl(Call& c) {
    py::str s = as_str(call_zendra(c, c[0]));
    py::handle flags_obj = c[1];
    Py_ssize_t n = PyUnicode_GET_LENGTH(s.ptr());
    if (n == 0) return steal(PyUnicode_FromString("{}"));
    unsigned flags = 0;
    if (contains(flags_obj, c.name(N_USE_BRACES))) flags |= quote::USE_BRACES;
    if (contains(flags_obj, c.name(N_DONT_USE_BRACES))) flags |= quote::DONT_USE_BRACES;
    if (!quote::brace_mode(flags)) {
        if (PyUnicode_READ_CHAR(s.ptr(), 0) == '{') vcall_method(flags_obj, c.name(N_add), c.name(N_BRACES_UNMATCHED));
        if (contains(flags_obj, c.name(N_BRACES_UNMATCHED))) flags |= quote::BRACES_UNMATCHED;
    }
    std::vector<Element> one{{py::object(), s, flags}};
    return join_quoted(one, false);
}

// ---- the list writer's fast path ------------------------------------------------------
// An exact list or tuple whose items are all exact str, or exact int that fits
// a long long, converts without running any Python code: zendra() of such an
// item is the item itself or str() of it, its decimal digits, which never need
// quoting.  Nothing can change the list, its items or the module globals while
// they are read, so the items are borrowed, each scanned once and written once
// into the result.

static bool own_list_writer(const Call& c) {
    return c.global(N_scan).ptr() == c.ref(R_scan).ptr() && c.global(N_convert).ptr() == c.ref(R_convert).ptr() &&
           c.global(N_zendra).ptr() == c.ref(R_zendra).ptr() &&
           c.global(N_unicode).ptr() == reinterpret_cast<PyObject*>(&PyUnicode_Type);
}

enum ItemTypes { MIXED, ONLY_STR, STR_AND_INT };
static ItemTypes item_types(PyObject* seq) {
    ItemTypes found = ONLY_STR;
    for (Py_ssize_t i = 0, n = PySequence_Fast_GET_SIZE(seq); i < n; i++) {
        PyTypeObject* t = Py_TYPE(PySequence_Fast_GET_ITEM(seq, i));
        if (t == &PyLong_Type)
            found = STR_AND_INT;
        else if (t != &PyUnicode_Type)
            return MIXED;
    }
    return found;
}

// Whether the exact list or tuple `seq` may take the fast path.  Classifying
// int may run Python code (an abc's subclass hook), so the globals and item
// types are checked after it.
static bool plain_items(const Call& c, PyObject* seq) {
    if (!own_list_writer(c)) return false;
    ItemTypes types = item_types(seq);
    if (types == MIXED) return false;
    if (types == ONLY_STR) return true;
    if (classify(c, py::int_(0)) != K_OTHER) return false;
    return own_list_writer(c) && item_types(seq) != MIXED;
}

struct Digits {
    char buf[24];
    std::size_t n;
    explicit Digits(long long v) : n((std::size_t)(std::to_chars(buf, buf + sizeof buf, v).ptr - buf)) {}
};

// The list string of plain items, or a null object when an int is too large
// for the digit writer (the general path then converts it with str()).
static py::object join_plain_items(PyObject* seq) {
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(seq);
    PyObject** items = PySequence_Fast_ITEMS(seq);
    std::vector<quote::Plan> plans((std::size_t)count);
    std::size_t total = count ? (std::size_t)count - 1 : 0;
    Py_UCS4 maxchar = 127;
    for (Py_ssize_t i = 0; i < count; i++) {
        PyObject* o = items[i];
        if (PyUnicode_CheckExact(o)) {
            total += with_units(o, [&](auto* d, std::size_t n) { return quote::plan_element(d, n, i == 0, plans[(std::size_t)i]); });
            maxchar = std::max(maxchar, PyUnicode_MAX_CHAR_VALUE(o));
        } else {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
            if (overflow) return py::object();
            total += Digits(v).n;
        }
    }
    py::object out = steal(PyUnicode_New((Py_ssize_t)total, maxchar));
    auto fill = [&](auto* p) {
        for (Py_ssize_t i = 0; i < count; i++) {
            if (i) *p++ = ' ';
            PyObject* o = items[i];
            if (PyUnicode_CheckExact(o)) {
                p = with_units(o, [&](auto* d, std::size_t n) { return quote::write_planned(d, n, plans[(std::size_t)i], p); });
            } else {
                Digits digits(PyLong_AsLongLong(o));
                p = quote::copy_units(reinterpret_cast<const std::uint8_t*>(digits.buf), digits.n, p);
            }
        }
    };
    switch (PyUnicode_KIND(out.ptr())) {
        case PyUnicode_1BYTE_KIND:
            fill(PyUnicode_1BYTE_DATA(out.ptr()));
            break;
        case PyUnicode_2BYTE_KIND:
            fill(PyUnicode_2BYTE_DATA(out.ptr()));
            break;
        default:
            fill(PyUnicode_4BYTE_DATA(out.ptr()));
            break;
    }
    return out;
}

// ---- _tcl_UpdateStringOfList(listObj) -------------------------------------------------
static py::object update_string_of_list(const Call& c, py::handle list_obj) {
    RecursionGuard guard(" while converting a Tcl list");
    std::vector<Element> elements;
    PyObject* seq = list_obj.ptr();
    if ((PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) && plain_items(c, seq)) {
        py::object text = join_plain_items(seq);
        if (text) return text;
    }
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        // Indexing with the size read anew each time walks a list exactly as
        // its iterator does, also when a conversion changes the list.
        elements.reserve((std::size_t)PySequence_Fast_GET_SIZE(seq));
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); i++) {
            py::object item = py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(seq, i));
            elements.push_back({call_zendra(c, item), py::object(), 0});
        }
    } else {
        py::object it = steal(PyObject_GetIter(seq));
        while (PyObject* item = PyIter_Next(it.ptr())) {
            py::object hold = py::reinterpret_steal<py::object>(item);
            elements.push_back({call_zendra(c, hold), py::object(), 0});
        }
        if (PyErr_Occurred()) throw_error();
    }

    py::object scan = c.global(N_scan);
    py::object conv = c.global(N_convert);
    py::object z = c.global(N_zendra);
    if (scan.ptr() == c.ref(R_scan).ptr() && conv.ptr() == c.ref(R_convert).ptr() &&
        z.ptr() == c.ref(R_zendra).ptr()) {
        // Own scanner and converter: flags stay bit masks, output is written once.
        for (auto& e : elements) {
            e.text = PyUnicode_CheckExact(e.value.ptr()) ? e.value : zendra_do(c, e.value);
            e.flags = scan_str(as_str(e.text));
        }
        for (auto& e : elements) {
            // The converter converts its input again; only non-strings can differ.
            if (!PyUnicode_CheckExact(e.value.ptr())) e.text = as_str(zendra_do(c, e.value));
        }
        return join_quoted(elements, true);
    }
    std::vector<py::object> flag_objs;
    flag_objs.reserve(elements.size());
    py::object one = steal(PyLong_FromLong(1));
    for (auto& e : elements) flag_objs.push_back(steal(PyObject_GetItem(vcall(scan, e.value).ptr(), one.ptr())));
    py::object parts = steal(PyList_New((Py_ssize_t)elements.size()));
    for (std::size_t i = 0; i < elements.size(); i++) {
        py::object part = vcall(conv, elements[i].value, flag_objs[i]);
        // A rebound converter's first element that begins with "#" is a bare
        // word; "\#" reads back as "#" and keeps the script one command.
        if (i == 0 && PyUnicode_Check(part.ptr()) && PyUnicode_GET_LENGTH(part.ptr()) &&
            PyUnicode_READ_CHAR(part.ptr(), 0) == '#')
            part = steal(PyUnicode_Concat(c.name(N_backslash).ptr(), part.ptr()));
        PyList_SET_ITEM(parts.ptr(), (Py_ssize_t)i, part.release().ptr());
    }
    return steal(PyUnicode_Join(c.name(N_space).ptr(), parts.ptr()));
}

static py::object update_impl(Call& c) { return update_string_of_list(c, c[0]); }

// key, obj[key], key, obj[key], ... in the mapping's iteration order.
static py::object flatten_mapping(py::handle obj) {
    py::object flat = steal(PyList_New(0));
    py::object it = steal(PyObject_GetIter(obj.ptr()));
    while (PyObject* key = PyIter_Next(it.ptr())) {
        py::object k = py::reinterpret_steal<py::object>(key);
        py::object v = steal(PyObject_GetItem(obj.ptr(), k.ptr()));
        if (PyList_Append(flat.ptr(), k.ptr()) < 0 || PyList_Append(flat.ptr(), v.ptr()) < 0) throw_error();
    }
    if (PyErr_Occurred()) throw_error();
    return flat;
}

static py::object from_mapping_impl(Call& c) { return call_from_sequence(c, flatten_mapping(c[0])); }

// ---- zendra(obj) ---------------------------------------------------------------------

static Kind classify_slow(py::handle obj, py::handle seq, py::handle set, py::handle map) {
    if (is_instance(obj, seq) || is_instance(obj, set)) return K_SEQUENCE;
    if (is_instance(obj, map)) return K_MAPPING;
    return K_OTHER;
}

// isinstance tests against the Sequence, Set and Mapping globals.  For exact
// int, float and dict the answer depends on the type alone, so it is cached
// for as long as abc's invalidation token and the three globals are unchanged.
static Kind classify(const Call& c, py::handle obj) {
    PyTypeObject* t = Py_TYPE(obj.ptr());
    py::object seq = c.global(N_Sequence);
    if ((t == &PyList_Type || t == &PyTuple_Type) && seq.ptr() == c.ref(R_Sequence).ptr()) return K_SEQUENCE;
    py::object set = c.global(N_Set);
    py::object map = c.global(N_Mapping);
    if (t != &PyLong_Type && t != &PyFloat_Type && t != &PyDict_Type) return classify_slow(obj, seq, set, map);
    py::object token = vcall(c.ref(R_get_cache_token));
    ModuleState& st = c.state();
    PyObject* cache = st.refs[R_abc_cache];
    bool valid = cache && PyTuple_GET_ITEM(cache, 1) == seq.ptr() && PyTuple_GET_ITEM(cache, 2) == set.ptr() &&
                 PyTuple_GET_ITEM(cache, 3) == map.ptr();
    if (valid) {
        int eq = PyObject_RichCompareBool(PyTuple_GET_ITEM(cache, 0), token.ptr(), Py_EQ);
        if (eq < 0) throw_error();
        valid = eq;
    }
    if (!valid) {
        py::object kinds = steal(PyDict_New());
        Py_XSETREF(st.refs[R_abc_cache], py::make_tuple(token, seq, set, map, kinds).release().ptr());
        cache = st.refs[R_abc_cache];
    }
    PyObject* kinds = PyTuple_GET_ITEM(cache, 4);
    PyObject* known = PyDict_GetItemWithError(kinds, (PyObject*)t);
    if (known) return (Kind)PyLong_AsLong(known);
    if (PyErr_Occurred()) throw_error();
    Kind k = classify_slow(obj, seq, set, map);
    py::object kv = steal(PyLong_FromLong(k));
    if (PyDict_SetItem(kinds, (PyObject*)t, kv.ptr()) < 0) throw_error();
    return k;
}

static py::object zendra_do(const Call& c, py::handle obj) {
    PyTypeObject* t = Py_TYPE(obj.ptr());
    if (!plain_builtin(t)) {
        // A protocol method may hand back an object that converts through
        // this same path again; each step counts as a recursion level.
        RecursionGuard guard(" while converting an object with zendra()");
        py::object f = getattr_or_none(obj, c.name(N_dunder_zendra));
        if (truthy(f)) return vcall(f);
        f = getattr_or_none(obj, c.name(N_dunder_tclobj));
        if (truthy(f)) return call_zendra(c, vcall(f));
    }
    if (obj.is_none()) return py::reinterpret_borrow<py::object>(c.name(N_empty));
    py::object unicode = c.global(N_unicode);
    if (t == &PyUnicode_Type && unicode.ptr() == (PyObject*)&PyUnicode_Type) return py::reinterpret_borrow<py::object>(obj);
    if (is_instance(obj, unicode)) return steal(PyObject_Str(obj.ptr()));
    if (PyBool_Check(obj.ptr())) return py::reinterpret_borrow<py::object>(c.name(obj.ptr() == Py_True ? N_true : N_false));
    Kind kind = classify(c, obj);
    if (kind == K_SEQUENCE) return call_from_sequence(c, obj);
    if (kind == K_MAPPING) return vcall(c.global(N_from_mapping), obj);
    return steal(PyObject_Str(obj.ptr()));
}

static py::object zendra_impl(Call& c) { return zendra_do(c, c[0]); }

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

static py::object tclobj_do(const Call& c, py::handle obj) {
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

static py::object tclobj_impl(Call& c) { return tclobj_do(c, c[0]); }

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

static py::object tclobj_from_sequence(const Call& c, py::handle obj) {
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

static py::object t_from_sequence_impl(Call& c) { return tclobj_from_sequence(c, c[0]); }
static py::object t_from_mapping_impl(Call& c) { return call_t_from_sequence(c, flatten_mapping(c[0])); }

// ---- module body ------------------------------------------------------------------------
static const char MODULE_DOC[] =
    "Implements movarn.tcl.zendra and movarn.tcl.tclobj: the zendra() and tclobj() functions.\n"
    "\n"
    "zendra() turns any Python value into its Tcl string form, sequences and\n"
    "mappings becoming correctly quoted Tcl lists; tclobj() turns it into a value\n"
    "that tkinter passes to Tcl as one word without losing its type.  Classes take\n"
    "part by defining __zendra__() and/or __tclobj__().\n";

static const char SCAN_DOC[] =
    "Tcl_ScanElement --\n"
    "\n"
    "    This procedure is a companion procedure to Tcl_ConvertElement. It\n"
    "    scans a string to see what needs to be done to it (e.g. add\n"
    "    backslashes or enclosing braces) to make the string into a valid Tcl\n"
    "    list element.\n"
    "\n"
    "Results:\n"
    "    A tuple: an overestimate of the number of characters that\n"
    "    Tcl_ConvertElement will need to produce a valid list element from\n"
    "    the string, and the set of flags that Tcl_ConvertElement needs.\n"
    "\n"
    "Side effects:\n"
    "    None.\n"
    "\n"
    "From:\n"
    "    Tcl_ScanElement / Tcl_ScanCountedElement, generic/tclUtil.c, Tcl 8.4.19.\n";

static const char CONVERT_DOC[] =
    "Tcl_ConvertElement --\n"
    "\n"
    "    This is a companion procedure to Tcl_ScanElement. Given the\n"
    "    information produced by Tcl_ScanElement, this procedure converts a\n"
    "    string to a list element equal to that string.\n"
    "\n"
    "Results:\n"
    "    The quoted list element: the string enclosed in braces, or with\n"
    "    backslashes before its special characters.\n"
    "\n"
    "Side effects:\n"
    "    None.\n"
    "\n"
    "From:\n"
    "    Tcl_ConvertElement / Tcl_ConvertCountedElement, generic/tclUtil.c, Tcl 8.4.19.\n";

static const char UPDATE_DOC[] =
    "UpdateStringOfList --\n"
    "\n"
    "    Produce the string representation of a list: each item is converted\n"
    "    with zendra(), quoted as a list element, and the elements are\n"
    "    joined with single spaces.\n"
    "\n"
    "Results:\n"
    "    The Tcl list string.\n"
    "\n"
    "Side effects:\n"
    "    None.\n"
    "\n"
    "From:\n"
    "    UpdateStringOfList, generic/tclListObj.c, Tcl 8.4.19.\n";

static const char ZENDRA_DOC[] =
    "Convert any object into a string appropriate for use in Tcl.\n"
    "\n"
    "The result is a string.  An object that defines __zendra__() has that\n"
    "method invoked to perform the conversion.\n"
    "\n"
    ">>> zendra([1, 2, [3, 4]])\n"
    "'1 2 {3 4}'\n"
    ">>> zendra({'my key': 'my value', 'a': 'b'})\n"
    "'{my key} {my value} a b'\n";

static const FuncSpec SCAN{"_Tcl_ScanElement", "string", scan_impl, SCAN_DOC};
static const FuncSpec CONVERT{"_Tcl_ConvertElement", "src, flags", convert_impl, CONVERT_DOC};
static const FuncSpec UPDATE{"_tcl_UpdateStringOfList", "listObj", update_impl, UPDATE_DOC};
static const FuncSpec FROM_MAPPING{"_zendra_from_mapping", "obj", from_mapping_impl};
static const FuncSpec ZENDRA{"zendra", "obj", zendra_impl, ZENDRA_DOC};
static const FuncSpec T_FROM_SEQUENCE{"_tclobj_from_sequence", "obj", t_from_sequence_impl};
static const FuncSpec T_FROM_MAPPING{"_tclobj_from_mapping", "obj", t_from_mapping_impl};
static const FuncSpec TCLOBJ{"tclobj", "obj", tclobj_impl};

static void keep(ModuleState& st, Ref r, py::handle o) {
    Py_XSETREF(st.refs[r], py::reinterpret_borrow<py::object>(o).release().ptr());
}

static void body(PyObject* m) {
    ModuleBuilder mb(m, {"zendra", "unicode", "Sequence", "Set", "Mapping", "_tkTcl_Obj", "_long_type",
                         "_sysmaxsize", "_Tcl_ScanElement", "_Tcl_ConvertElement", "_zendra_from_sequence",
                         "_zendra_from_mapping", "_tclobj_from_sequence", "_tclobj_from_mapping", "tclobj",
                         "__zendra__", "__tclobj__", "USE_BRACES", "TCL_DONT_USE_BRACES", "BRACES_UNMATCHED",
                         "add", "true", "false", "", " ", "\\"});
    ModuleState& st = mb.state();
    py::object abc = mb.import("collections.abc");
    mb.set("Mapping", abc.attr("Mapping"));
    mb.set("Sequence", abc.attr("Sequence"));
    mb.set("Set", abc.attr("Set"));
    keep(st, R_Sequence, abc.attr("Sequence"));
    keep(st, R_get_cache_token, mb.import("abc", "get_cache_token"));
    mb.set("_tkTcl_Obj", mb.import("_tkinter", "Tcl_Obj"));
    keep(st, R_tkTcl_Obj, mb.dict["_tkTcl_Obj"]);
    py::object sys = mb.import("sys");
    mb.set("sys", sys);
    mb.set("unicode", py::type::of(py::str("")));

    py::object scan = mb.function(SCAN);
    py::object conv = mb.function(CONVERT);
    py::object update = mb.function(UPDATE);
    mb.set("_Tcl_ScanElement", scan);
    mb.set("_Tcl_ConvertElement", conv);
    mb.set("_tcl_UpdateStringOfList", update);
    mb.set("_zendra_from_sequence", update);
    keep(st, R_scan, scan);
    keep(st, R_convert, conv);
    keep(st, R_from_sequence, update);
    py::object from_mapping = mb.function(FROM_MAPPING);
    mb.set("_zendra_from_mapping", from_mapping);
    py::object zendra = mb.function(ZENDRA);
    mb.set("zendra", zendra);
    keep(st, R_zendra, zendra);

    py::object maxsize;
    PyObject* ms = nullptr;
    if (_PyObject_LookupAttr(sys.ptr(), py::str("maxsize").ptr(), &ms) < 0) throw_error();
    maxsize = ms ? py::reinterpret_steal<py::object>(ms) : sys.attr("maxint");
    mb.set("_sysmaxsize", maxsize);
    mb.set("_long_type", py::type::of(maxsize + py::int_(1)));

    py::object t_seq = mb.function(T_FROM_SEQUENCE);
    py::object t_map = mb.function(T_FROM_MAPPING);
    py::object tclobj = mb.function(TCLOBJ);
    mb.set("_tclobj_from_sequence", t_seq);
    mb.set("_tclobj_from_mapping", t_map);
    mb.set("tclobj", tclobj);
    keep(st, R_t_from_sequence, t_seq);
    keep(st, R_t_from_mapping, t_map);
    keep(st, R_tclobj, tclobj);

    zendra.attr("from_sequence") = update;
    zendra.attr("from_mapping") = from_mapping;
    tclobj.attr("from_sequence") = t_seq;
    tclobj.attr("from_mapping") = t_map;

    py::dict test;
    test["zendra (line 241)"] = zendra.attr("__doc__");
    mb.set("__test__", test);
}

}  // namespace movarn::zendra_mod

MOVARN_MODULE(zendra, movarn::zendra_mod::MODULE_DOC, movarn::zendra_mod::body)
