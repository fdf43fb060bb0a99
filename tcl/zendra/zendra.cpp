// movarn.tcl.zendra: Python values to Tcl strings (zendra) and to typed Tcl
// words (tclobj), with Tcl's own list-element quoting.  This file holds
// zendra() itself and the module body; lists.cpp the list writer, tclobj.cpp
// tclobj().
#include "zendra.hpp"

namespace movarn::zendra_mod {

// ---- zendra(obj) ---------------------------------------------------------------------

static Kind classify_slow(py::handle obj, py::handle seq, py::handle set, py::handle map) {
    if (is_instance(obj, seq) || is_instance(obj, set)) return K_SEQUENCE;
    if (is_instance(obj, map)) return K_MAPPING;
    return K_OTHER;
}

// isinstance tests against the Sequence, Set and Mapping globals.  For exact
// int, float and dict the answer depends on the type alone, so it is cached
// for as long as abc's invalidation token and the three globals are unchanged.
// The abcs' isinstance answer depends on the type alone (ABCMeta caches it
// per class until the invalidation token changes) when the three globals are
// still collections.abc's own and the instance cannot present another
// __class__: its type reads attributes generically and keeps object's
// __class__.
static bool cacheable_type(const Call& c, PyTypeObject* t, py::handle seq, py::handle set, py::handle map) {
    if (seq.ptr() != c.ref(R_Sequence).ptr() || set.ptr() != c.ref(R_Set).ptr() || map.ptr() != c.ref(R_Mapping).ptr())
        return false;
    if (t->tp_getattro != PyObject_GenericGetAttr) return false;
    return _PyType_Lookup(t, c.name(N_dunder_class).ptr()) == c.ref(R_class_attr).ptr();
}

Kind classify(const Call& c, py::handle obj) {
    PyTypeObject* t = Py_TYPE(obj.ptr());
    py::object seq = c.global(N_Sequence);
    if ((t == &PyList_Type || t == &PyTuple_Type) && seq.ptr() == c.ref(R_Sequence).ptr()) return K_SEQUENCE;
    py::object set = c.global(N_Set);
    py::object map = c.global(N_Mapping);
    if (t != &PyLong_Type && t != &PyFloat_Type && t != &PyDict_Type && !cacheable_type(c, t, seq, set, map))
        return classify_slow(obj, seq, set, map);
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
    // Types made on the fly would pile up; the cache starts again instead.
    if (PyDict_GET_SIZE(kinds) >= 512) PyDict_Clear(kinds);
    py::object kv = steal(PyLong_FromLong(k));
    if (PyDict_SetItem(kinds, (PyObject*)t, kv.ptr()) < 0) throw_error();
    return k;
}

py::object zendra_do(const Call& c, py::handle obj) {
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
                         "add", "true", "false", "", " ", "\\", "__class__"});
    ModuleState& st = mb.state();
    py::object abc = mb.import("collections.abc");
    mb.set("Mapping", abc.attr("Mapping"));
    mb.set("Sequence", abc.attr("Sequence"));
    mb.set("Set", abc.attr("Set"));
    keep(st, R_Sequence, abc.attr("Sequence"));
    keep(st, R_Set, abc.attr("Set"));
    keep(st, R_Mapping, abc.attr("Mapping"));
    keep(st, R_class_attr, _PyType_Lookup(&PyBaseObject_Type, mb.name(N_dunder_class).ptr()));
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
