import doctest
import string
import sys
from collections import OrderedDict
from collections.abc import Mapping, Sequence, Set

import _tkinter
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from movarn.tcl import zendra as zmod
from movarn.tcl.zendra import _Tcl_ConvertElement, _Tcl_ScanElement, _tcl_UpdateStringOfList, tclobj, zendra

BS = "\\"
U, D, M = "USE_BRACES", "TCL_DONT_USE_BRACES", "BRACES_UNMATCHED"


def test_module_names_in_order():
    names = [n for n in vars(zmod) if not (n.startswith("__") and n.endswith("__"))] + ["__test__"]
    assert names == [
        "Mapping", "Sequence", "Set", "_tkTcl_Obj", "sys", "unicode",
        "_Tcl_ScanElement", "_Tcl_ConvertElement", "_tcl_UpdateStringOfList",
        "_zendra_from_sequence", "_zendra_from_mapping", "zendra", "_sysmaxsize", "_long_type",
        "_tclobj_from_sequence", "_tclobj_from_mapping", "tclobj", "__test__",
    ]
    assert not hasattr(zmod, "__all__")
    assert (zmod.Mapping, zmod.Sequence, zmod.Set) == (Mapping, Sequence, Set)
    assert zmod._tkTcl_Obj is _tkinter.Tcl_Obj and zmod.sys is sys and zmod.unicode is str
    assert zmod._sysmaxsize == sys.maxsize and zmod._long_type is int


def test_function_attributes_and_aliases():
    assert zmod._zendra_from_sequence is _tcl_UpdateStringOfList
    assert zendra.from_sequence is _tcl_UpdateStringOfList
    assert zendra.from_mapping is zmod._zendra_from_mapping
    assert tclobj.from_sequence is zmod._tclobj_from_sequence
    assert tclobj.from_mapping is zmod._tclobj_from_mapping


@pytest.mark.parametrize("func, title, proc", [
    (_Tcl_ScanElement, "Tcl_ScanElement --", "Tcl_ScanElement"),
    (_Tcl_ConvertElement, "Tcl_ConvertElement --", "Tcl_ConvertElement"),
    (_tcl_UpdateStringOfList, "UpdateStringOfList --", "UpdateStringOfList"),
])
def test_tcl_style_docstrings(func, title, proc):
    doc = func.__doc__
    assert doc.splitlines()[0] == title
    for part in ("Results:", "Side effects:", "None.", "From:", "8.4.19", proc):
        assert part in doc


def test_docstrings_and_doctests():
    assert "zendra.py" not in zmod.__doc__ and "zendra()" in zmod.__doc__ and "tclobj()" in zmod.__doc__
    assert zmod.__test__ == {"zendra (line 241)": zendra.__doc__}
    assert zmod._zendra_from_mapping.__doc__ is None and tclobj.__doc__ is None
    result = doctest.testmod(zmod)
    assert result.failed == 0 and result.attempted >= 2


# Element, flags after scanning, quoted element.
WORKED = [
    ("", {U}, "{}"),
    ("abc", set(), "abc"),
    ("a b", {U}, "{a b}"),
    ("$x", {U}, "{$x}"),
    ('"x"', {U}, '{"x"}'),
    ("{abc", {D, M}, BS + "{abc"),
    ("a}b", {D, M}, "a" + BS + "}b"),
    ("{a}", {U}, "{{a}}"),
    ("a" + BS, {D, M}, "a" + BS * 2),
    ("a" + BS + "{b", {D, M}, "a" + BS * 3 + "{b"),
    ("x\ny", {U}, "{x\ny}"),
    ("a{b}c", set(), "a{b}c"),
    ("a]b", set(), "a" + BS + "]b"),
    ("x" + BS + "\ny z", {D, M, U}, "x" + BS * 2 + BS + "n" + "y" + BS + " z"),
    ("é中", set(), "é中"),
    ("a\tb", {U}, "{a\tb}"),
]


@pytest.mark.parametrize("element, flags, quoted", WORKED)
def test_worked_examples(element, flags, quoted):
    estimate, got = _Tcl_ScanElement(element)
    assert got == flags and type(got) is set
    assert estimate == 2 * len(element) + 2
    assert _Tcl_ConvertElement(element, got) == quoted
    assert _tcl_UpdateStringOfList([element]) == quoted


def test_backslash_mode_escapes_control_characters():
    flags = {D, M}
    assert _Tcl_ConvertElement("a\f\n\r\t\vb", flags) == "a\\f\\n\\r\\t\\vb"
    assert _Tcl_ConvertElement('[a];$ "', set()) == '\\[a\\]\\;\\$\\ \\"'
    # Without BRACES_UNMATCHED balanced braces stay as they are.
    assert _Tcl_ConvertElement("a{b}", set()) == "a{b}"


def test_convert_adds_unmatched_for_leading_brace():
    flags = set()
    assert _Tcl_ConvertElement("{a}b", flags) == "\\{a\\}b"
    assert flags == {M}
    with pytest.raises(AttributeError):
        _Tcl_ConvertElement("{a", (D,))
    # Brace mode and the other tests only use `in`.
    assert _Tcl_ConvertElement("a b", (U,)) == "{a b}"
    assert _Tcl_ConvertElement("", ()) == "{}"


@pytest.mark.parametrize("value, text", [
    ([1, 2, [3, 4]], "1 2 {3 4}"),
    ({"my key": "my value", "a": "b"}, "{my key} {my value} a b"),
    ([[1, 2], "", "x y"], "{1 2} {} {x y}"),
    ([1, "a b", [2, 3], {}], "1 {a b} {2 3} {}"),
    ([], ""),
    ((), ""),
    (None, ""),
    (True, "true"),
    (False, "false"),
    (5, "5"),
    (1.5, "1.5"),
    (b"ab", "97 98"),
    (bytearray(b"a"), "97"),
    (range(3), "0 1 2"),
    (frozenset([7]), "7"),
    ({"a": 1}.keys(), "a"),
    ({"a": 1}.items(), "{a 1}"),
    (OrderedDict([("x", [1, 2])]), "x {1 2}"),
    (2 ** 70, str(2 ** 70)),
])
def test_zendra_values(value, text):
    assert zendra(value) == text
    assert type(zendra(value)) is str


@pytest.mark.parametrize("value, expected", [
    (None, ""),
    (True, True),
    (5, 5),
    (1.5, 1.5),
    (b"ab", b"ab"),
    ("s", "s"),
    ([], ()),
    ({"k": [1, "x"]}, ("k", (1, "x"))),
    (2 ** 63, "9223372036854775808"),
    (2 ** 63 - 1, 2 ** 63 - 1),
    (-2 ** 63, -2 ** 63),
    (-2 ** 63 - 1, "-9223372036854775809"),
    ({1, 2}, (1, 2)),
    (range(2), (0, 1)),
])
def test_tclobj_values(value, expected):
    got = tclobj(value)
    assert got == expected and type(got) is type(expected)


def test_tclobj_passes_typed_values_themselves(tclx):
    tclx.tk.eval("keylset k a 1")
    tcl_obj = tclx.tk.call("set", "k")
    assert type(tcl_obj) is _tkinter.Tcl_Obj
    for value in (b"x", True, 1.25, "x", 7, tcl_obj):
        assert tclobj(value) is value
    assert zendra(tcl_obj) == "{a 1}"


class S(str):
    pass


class IntSub(int):
    pass


def test_subclasses():
    s = S("a b")
    assert type(zendra(s)) is str and zendra(s) == "a b"
    assert tclobj(s) is s
    # Only the exact int type is passed as a machine integer.
    assert tclobj(IntSub(3)) == "3"
    assert tclobj(False) is False


class Protocol:
    def __init__(self, z=None, t=None):
        if z is not None:
            self.__zendra__ = z
        if t is not None:
            self.__tclobj__ = t

    def __str__(self):
        return "plain"


def test_protocol_rules():
    marker = object()
    assert zendra(Protocol(z=lambda: marker)) is marker  # unchecked and unconverted
    assert zendra(Protocol(t=lambda: ("a", "b c"))) == "a {b c}"
    assert tclobj(Protocol(t=lambda: ("a", "b c"))) == ("a", "b c")
    # tclobj does not consult __zendra__ except through its last rule.
    assert tclobj(Protocol(z=lambda: "Z")) == "Z"
    both = Protocol(z=lambda: "Z", t=lambda: "T")
    assert zendra(both) == "Z" and tclobj(both) == "T"
    # A falsy attribute counts as absent.
    p = Protocol()
    p.__zendra__ = None
    p.__tclobj__ = 0
    assert zendra(p) == "plain" and tclobj(p) == "plain"


class Raising:
    def __init__(self, exc):
        self.exc = exc

    @property
    def __zendra__(self):
        raise self.exc

    @property
    def __tclobj__(self):
        raise self.exc

    def __str__(self):
        return "raising"


def test_attribute_errors_count_as_missing_others_propagate():
    assert zendra(Raising(AttributeError("x"))) == "raising"
    assert tclobj(Raising(AttributeError("x"))) == "raising"
    with pytest.raises(KeyError):
        zendra(Raising(KeyError("x")))
    with pytest.raises(ValueError):
        tclobj(Raising(ValueError("x")))


class SeqMap(Sequence, Mapping):
    def __init__(self, items):
        self.items_ = items

    def __getitem__(self, i):
        return self.items_[i]

    def __len__(self):
        return len(self.items_)

    def __iter__(self):
        return iter(self.items_)


def test_mapping_that_is_a_sequence_uses_the_sequence_rule():
    assert zendra(SeqMap(["a", "b c"])) == "a {b c}"
    assert tclobj(SeqMap(["a", "b c"])) == ("a", "b c")


def test_mapping_values_are_fetched_by_subscription():
    class M(Mapping):
        def __getitem__(self, k):
            return k.upper()

        def __iter__(self):
            return iter(["a", "b"])

        def __len__(self):
            return 2

    assert zendra(M()) == "a A b B"
    assert tclobj(M()) == ("a", "A", "b", "B")


def test_self_containing_values_raise_recursion_error():
    lst = []
    lst.append(lst)
    d = {}
    d["d"] = d
    for func in (zendra, tclobj):
        with pytest.raises(RecursionError):
            func(lst)
        with pytest.raises(RecursionError):
            func(d)


def test_errors_propagate_unchanged():
    class Bad:
        def __str__(self):
            raise ZeroDivisionError

    with pytest.raises(ZeroDivisionError):
        zendra([1, Bad()])

    def gen():
        yield 1
        raise KeyError("it")

    class It(Sequence):
        def __getitem__(self, i):
            raise IndexError

        def __len__(self):
            return 0

        def __iter__(self):
            return gen()

    with pytest.raises(KeyError):
        zendra(It())


def test_globals_are_looked_up_at_call_time(monkeypatch):
    monkeypatch.setattr(zmod, "_Tcl_ConvertElement", lambda src, flags: "<%s:%s>" % (src, ",".join(sorted(flags))))
    assert _tcl_UpdateStringOfList(["a b", "c"]) == "<a b:USE_BRACES> <c:>"
    assert zendra(["x"]) == "<x:>"
    monkeypatch.undo()

    seen = []

    def scan(string):
        seen.append(string)
        return 0, ("USE_BRACES",)

    monkeypatch.setattr(zmod, "_Tcl_ScanElement", scan)
    assert zendra(["a", 1]) == "{a} {1}"
    assert seen == ["a", "1"]
    monkeypatch.undo()

    monkeypatch.setattr(zmod, "zendra", lambda obj: "Z")
    assert tclobj(object()) == "Z"
    assert _tcl_UpdateStringOfList([1, 2]) == "Z Z"
    monkeypatch.undo()

    monkeypatch.setattr(zmod, "_sysmaxsize", 10)
    assert tclobj(11) == "11" and tclobj(-11) == -11 and tclobj(-12) == "-12"
    monkeypatch.undo()

    monkeypatch.setattr(zmod, "_zendra_from_sequence", lambda obj: "SEQ")
    assert zendra([1]) == "SEQ" and zendra({"a": 1}) == "SEQ"
    monkeypatch.undo()

    monkeypatch.setattr(zmod, "Sequence", Mapping)
    assert zendra({"a": "b"}) == "a"  # a dict now passes the sequence rule: keys only
    monkeypatch.undo()

    monkeypatch.setattr(zmod, "_tclobj_from_sequence", lambda obj: "TSEQ")
    assert tclobj([1]) == "TSEQ" and tclobj({"a": 1}) == "TSEQ"


def test_deleted_global_raises_name_error(monkeypatch):
    monkeypatch.delattr(zmod, "_Tcl_ScanElement")
    with pytest.raises(NameError, match="_Tcl_ScanElement"):
        zendra(["a"])


def test_update_string_of_list_accepts_any_iterable():
    assert _tcl_UpdateStringOfList(iter(["a", "b c"])) == "a {b c}"
    assert _tcl_UpdateStringOfList(x for x in (1, 2)) == "1 2"


# ---- against real Tcl -------------------------------------------------------
SPECIAL = "{}\\\"[]$; \t\n\r\f\v#xé中"
texts = st.text(alphabet=st.one_of(st.sampled_from(SPECIAL), st.characters(blacklist_categories=("Cs",), blacklist_characters="\x00")),
                max_size=12)


@settings(max_examples=400, deadline=None)
@given(st.lists(texts, max_size=5))
def test_tcl_splits_back_every_list(items):
    tk = _tk()
    assert tk.splitlist(zendra(items)) == tuple(items)


@settings(max_examples=300, deadline=None)
@given(texts)
def test_evaluating_a_quoted_word_runs_nothing(s):
    tk = _tk()
    tk.eval("catch {unset ::pwned}")
    text = "[set ::pwned 1]" + s if len(s) % 2 else s + "[set ::pwned 1]$::env(HOME)"
    result = tk.eval("list " + zendra([text]))
    assert tk.splitlist(result) == (text,)
    assert tk.eval("info exists ::pwned") == "0"


@pytest.mark.parametrize("text", [
    "\\{} [set ::pwned 1] {x\\}",
    "{\\}",
    "\\}[set ::pwned 1]{",
    "{a\\}} [set ::pwned 1] {",
    "{} {[set ::pwned 1]}",
])
def test_brace_injection_is_mended(text):
    tk = _tk()
    tk.eval("catch {unset ::pwned}")
    assert tk.splitlist(tk.eval("list " + zendra([text]))) == (text,)
    assert tk.eval("info exists ::pwned") == "0"
    assert _Tcl_ScanElement(text)[1] in ({D, M}, {D, M, U}, {U})


def test_tclobj_keeps_types_through_tkinter(interp):
    tk = interp.tk
    assert tk.call("set", "x", tclobj([1, "a b", [2, "c d"]])) == (1, "a b", (2, "c d"))
    assert tk.eval("set x") == "1 {a b} {2 {c d}}"
    assert tk.call("string", "is", "entier", tclobj(2 ** 63)) == 1
    assert tk.eval("llength [set y %s]" % zendra([zendra({"k": "v w"})])) == "2"


_TK = []


def _tk():
    if not _TK:
        import tkinter
        _TK.append(tkinter.Tcl().tk)
    return _TK[0]


def test_abc_registration_is_seen_at_once(monkeypatch):
    import abc

    class Fresh(abc.ABC):
        pass

    monkeypatch.setattr(zmod, "Set", Fresh)
    assert zendra([1.5, 2]) == "1.5 2" and tclobj(1.5) == 1.5
    Fresh.register(float)
    with pytest.raises(TypeError, match="not iterable"):
        zendra(1.5)
    assert tclobj(1.5) == 1.5  # floats are taken before the sequence rule
    assert zendra(2) == "2"
