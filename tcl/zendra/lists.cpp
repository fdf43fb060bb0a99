// The list writer of the zendra module: _Tcl_ScanElement, _Tcl_ConvertElement,
// _tcl_UpdateStringOfList and its fast path, and the mapping flattener.
#include "zendra.hpp"

#include <algorithm>
#include <charconv>
#include <vector>

namespace movarn::zendra_mod {

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
py::object scan_impl(Call& c) {
    py::str s = as_str(call_zendra(c, c[0]));
    unsigned flags = scan_str(s);
    py::object estimate = steal(PyLong_FromSsize_t(2 * PyUnicode_GET_LENGTH(s.ptr()) + 2));
    return py::make_tuple(estimate, flag_set(c, flags));
}

// ---- _Tcl_ConvertElement(src, flags) -------------------------------------------------
py::object convert_impl(Call& c) {
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
py::object update_string_of_list(const Call& c, py::handle list_obj) {
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

py::object update_impl(Call& c) { return update_string_of_list(c, c[0]); }

// Fast path: an exact dict whose keys are all exact str or int gives the same
// keys and values by walking its table as by iterating and indexing it:
// their hashing and comparison run no Python code, so nothing can change the
// dict meanwhile.
static py::object flatten_plain_dict(PyObject* d) {
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    while (PyDict_Next(d, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key) && !PyLong_CheckExact(key)) return py::object();
    py::object flat = steal(PyList_New(2 * PyDict_GET_SIZE(d)));
    pos = 0;
    while (PyDict_Next(d, &pos, &key, &value)) {
        PyList_SET_ITEM(flat.ptr(), i++, Py_NewRef(key));
        PyList_SET_ITEM(flat.ptr(), i++, Py_NewRef(value));
    }
    return flat;
}

py::object flatten_mapping(py::handle obj) {
    if (PyDict_CheckExact(obj.ptr()))
        if (py::object flat = flatten_plain_dict(obj.ptr())) return flat;
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

py::object from_mapping_impl(Call& c) { return call_from_sequence(c, flatten_mapping(c[0])); }

}  // namespace movarn::zendra_mod
