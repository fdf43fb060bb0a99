"""Variable handles, array mappings and temporary variables."""

import gc
import weakref

import pytest
import tkinter

from movarn.tcl import Interpreter
from movarn.tcl.namespace import TclArrayVariable, TclVariable, TempTclArrayVariable, TempTclVariable
from movarn.tcl.zendra import tclobj, zendra


def raising(exc):
    def answer(*args):
        raise exc
    return answer


@pytest.mark.parametrize("args, name", [
    (("a",), "a"), (("a", "k"), "a(k)"), (("a", 3), "a(3)"), (("a", "x y"), "a(x y)"),
    ((["a", "b"], ""), "a b()"), ((5,), "5"),
])
def test_element_names(fake, args, name):
    assert TclVariable(*args, tcl=fake).var_name == name


@pytest.mark.parametrize("method, args, log, result", [
    ("get_obj", (), [("getvar", "v")], "R"),
    ("get_obj", ("k",), [("getvar", "v", "k")], "R"),
    ("get_obj", (7,), [("getvar", "v", "7")], "R"),
    ("get_str", (), [("eval", "set v")], "R"),
    ("set", ([1, "a b"],), [("setvar", "v", (1, "a b"))], "R"),
    ("set", (2, 7), [("setvar", "v", "7", 2)], "R"),
    ("unset", (), [("unsetvar", "v")], None),
    ("unset", (("a", "b"),), [("unsetvar", "v", "a b")], None),
    ("exists", (), [("call", ("::info", "exists", "v")), ("cast_boolean", "R")], True),
    ("exists", ("k",), [("call", ("::info", "exists", "v(k)")), ("cast_boolean", "R")], True),
    ("array_get_obj", (), [("call", ("::array", "get", "v")), ("cast_array", "R")], {}),
    ("array_get_obj", ("",), [("call", ("::array", "get", "v", "")), ("cast_array", "R")], {}),
    ("array_get_str", (["x", "y*"],), [("eval", "::array get v {x y*}"), ("cast_array", "R")], {}),
    ("array_set", ({"a": [1, 2]},), [("call", ("::array", "set", "v", ("a", (1, 2))))], None),
    ("array_unset", (), [("call", ("::array", "unset", "v"))], None),
    ("array_unset", ("p*",), [("call", ("::array", "unset", "v", "p*"))], None),
    ("array_size", (), [("call", ("::array", "size", "v"))], "R"),
    ("array_names", ("",), [("call", ("::array", "names", "v", "")), ("cast_list", "R")], ("R",)),
    ("is_array", (), [("call", ("::array", "exists", "v")), ("cast_boolean", "R")], True),
])
def test_words_sent(fake, method, args, log, result):
    for op in ("getvar", "eval", "setvar", "call"):
        fake.answers[op] = "R"
    fake.cast_boolean = lambda value: fake.log.append(("cast_boolean", value)) or True
    assert getattr(TclVariable("v", tcl=fake), method)(*args) == result
    assert fake.log == log


def test_get_str_quotes_the_name(fake):
    TclVariable("my var", tcl=fake).get_str()
    TclVariable("my var", tcl=fake).get_str("k")
    assert fake.log == [("eval", "set {my var}"), ("eval", "set {my var(k)}")]


def test_cast_marker_rule(interp):
    interp.tk.eval("set n 5")
    v = TclVariable("n", tcl=interp, cast=int)
    assert v.get_obj() == 5 and v.get() == 5
    assert v.get_obj(cast=None) == "5"
    assert v.get_obj(cast=str) == "5" and v.get_obj(cast=float) == 5.0
    v.cast = None
    assert v.get_obj() == "5"


def test_unset_swallows_only_tcl_errors(fake):
    fake.answers["unsetvar"] = raising(tkinter.TclError("no such variable"))
    assert TclVariable("x", tcl=fake).unset(nocomplain=True) is None
    with pytest.raises(tkinter.TclError, match="no such variable"):
        TclVariable("x", tcl=fake).unset()
    fake.answers["unsetvar"] = raising(KeyError("other"))
    with pytest.raises(KeyError):
        TclVariable("x", tcl=fake).unset(nocomplain=True)


def test_conversion_errors_send_nothing(fake):
    class Bad:
        def __str__(self):
            raise ZeroDivisionError

    v = TclVariable("x", tcl=fake)
    for call in (lambda: v.set(Bad()), lambda: v.set(1, Bad()), lambda: v.exists(Bad()),
                 lambda: v.array_names(Bad()), lambda: v.unset(Bad())):
        with pytest.raises(ZeroDivisionError):
            call()
    assert fake.log == []


def test_handles_on_real_tcl(interp):
    v = TclVariable("::g", tcl=interp)
    assert not v.exists()
    v.set([1, "a b", ["c", "d e"]])
    assert v.get_str() == "1 {a b} {c {d e}}"
    assert v.get_obj() == (1, "a b", ("c", "d e"))
    assert v.exists() is True and v.is_array() is False
    v.unset()
    assert not v.exists() and v.unset(nocomplain=True) is None
    arr = TclVariable("::arr", tcl=interp)
    arr.array_set({"x": 1, "y z": "w"})
    assert arr.is_array() and arr.array_size() == 2
    assert sorted(arr.array_names()) == ["x", "y z"] and arr.array_names("y*") == ("y z",)
    assert arr.array_get() == {"x": 1, "y z": "w"}
    assert arr.array_get_str() == {"x": "1", "y z": "w"}
    item = arr.array_item_byref("y z")
    assert type(item) is TclVariable and item.var_name == "::arr(y z)" and item.tcl is arr.tcl
    assert item.get() == "w" and item.cast is None
    assert arr.exists("y z") and not arr.exists("nope")
    arr.array_unset("x")
    assert arr.array_names() == ("y z",)
    arr.array_unset()
    assert not arr.exists()


def test_non_string_index_reads_what_was_written(interp):
    arr = TclArrayVariable("::nums", tcl=interp)
    arr[1] = "one"
    arr[2.5] = "two and a half"
    assert arr[1] == "one" and arr.get(array_index=1) == "one"
    assert arr[2.5] == "two and a half"
    assert TclVariable("::nums", tcl=interp).get_obj(1) == "one"
    assert 1 in arr and sorted(arr) == ["1", "2.5"]
    del arr[1]
    assert 1 not in arr


def test_absolute_names(interp, fake):
    assert TclVariable("::x", tcl=fake).absolute() == "::x" and fake.log == []
    v = TclVariable("x", tcl=interp)
    assert v.absolute() == "::x"
    assert v.make_absolute() is None and v.var_name == "::x"
    bad = TclVariable("a:b", tcl=interp)
    with pytest.raises(ValueError, match="Invalid Tcl namespace"):
        bad.make_absolute()
    assert bad.var_name == "a:b"


def test_text_forms(fake):
    v = TclVariable("::a", tcl=fake)
    assert repr(v) == "TclVariable('::a')" and str(v) == "::a" and tclobj(v) == "::a"
    assert zendra([v, "x"]) == "::a x"
    assert repr(TempTclVariable("t", tcl=fake)) == "TempTclVariable('t')"
    assert TclVariable(v, tcl=fake).var_name == "::a"


def test_weak_proxies_and_reference_errors(default_interp):
    interp = Interpreter()
    v = TclVariable("x", tcl=interp)
    assert type(v.tcl) in weakref.ProxyTypes
    assert TclVariable("y", tcl=v.tcl).tcl is v.tcl
    for falsy in (None, 0, ""):
        assert TclVariable("z", tcl=falsy).tcl.tk is default_interp.tk
    del interp
    gc.collect()
    with pytest.raises(ReferenceError):
        v.get()
    with pytest.raises(ReferenceError):
        TclVariable("x", tcl=v.tcl)


# ---- arrays as mappings ------------------------------------------------------------
def test_array_mapping_on_real_tcl(interp):
    arr = TclArrayVariable("::m", interp)  # the second positional is the interpreter
    assert len(arr) == 0 and list(arr) == [] and not arr.is_array()
    arr["k"] = [1, 2]
    arr.update({"a": 1}, b="x y")
    assert interp.tk.eval("set ::m(k)") == "1 2"
    assert dict(arr) == {"k": (1, 2), "a": 1, "b": "x y"}
    assert len(arr) == 3 and "a" in arr and "zz" not in arr
    assert arr == {"k": (1, 2), "a": 1, "b": "x y"}
    assert arr.get("k") == arr["k"] and arr.get("a", str) == "1"
    with pytest.raises(tkinter.TclError):
        arr["zz"]
    with pytest.raises(tkinter.TclError):
        del arr["zz"]
    with pytest.raises(tkinter.TclError):
        arr.pop("zz", 0)
    with pytest.raises(tkinter.TclError):
        arr.get()
    del arr["k"]
    assert sorted(arr.keys()) == ["a", "b"]
    arr.clear()
    assert not arr.is_array() and len(arr) == 0
    arr.update()
    assert arr.is_array()
    with pytest.raises(TypeError):
        hash(arr)


def test_array_mapping_words(fake):
    fake.answers["call"] = lambda words: ("a", "b") if words[1] == "names" else 2
    arr = TclArrayVariable("v", tcl=fake, cast=str)
    it = iter(arr)
    assert fake.log == []  # nothing is asked before the first next()
    assert next(it) == "a"
    arr.update({"a": 1}, b=2)
    assert "k" in arr
    len(arr)
    arr.clear()
    assert list(it) == ["b"]
    assert fake.log == [
        ("call", ("::array", "names", "v")), ("cast_list", ("a", "b")),
        ("call", ("::array", "set", "v", ("a", 1, "b", 2))),
        ("call", ("::info", "exists", "v(k)")), ("cast_boolean", 2),
        ("call", ("::array", "size", "v")),
        ("call", ("::array", "unset", "v")),
    ]


def test_array_iteration_fetches_once(interp):
    arr = TclArrayVariable("::it", tcl=interp)
    arr.update(a=1, b=2)
    seen = []
    for name in arr:
        seen.append(name)
        arr["added_%s" % name] = 1
        arr.unset("b", nocomplain=True)
    # The names were fetched once: added ones do not show, the removed one does.
    assert sorted(seen) == ["a", "b"]


# ---- temporaries ---------------------------------------------------------------------
def test_temporary_names(fake):
    t = TempTclVariable(tcl=fake)
    assert t.var_name == "::__movarn__TempTclVariable_%d_tmp" % id(t)
    a = TempTclArrayVariable(tcl=fake)
    assert a.var_name == "::__movarn__TempTclArrayVariable_%d_tmp" % id(a)
    assert TempTclVariable("plain", tcl=fake).var_name == "plain"
    v = TempTclVariable("v{id}", tcl=fake)
    assert v.var_name == "v%d" % id(v)
    assert TempTclVariable("a{{b}}", tcl=fake).var_name == "a{b}"
    assert TempTclVariable(5, tcl=fake).var_name == "5"
    with pytest.raises(KeyError):
        TempTclVariable("{x}", tcl=fake)
    with pytest.raises(IndexError):
        TempTclVariable("{}", tcl=fake)
    with pytest.raises(TypeError):
        TempTclArrayVariable(array_index="k", tcl=fake)
    assert fake.log == []


def test_temporary_variable_lifecycle(interp):
    with TempTclVariable(tcl=interp) as v:
        assert isinstance(v, TempTclVariable)
        v.set("x")
        assert v.exists()
    assert not v.exists()
    with TempTclVariable(tcl=interp):
        pass  # never set: the exit is silent
    with pytest.raises(RuntimeError, match="boom"):
        with TempTclVariable(tcl=interp) as v2:
            v2.set(1)
            raise RuntimeError("boom")
    assert not v2.exists()
    t = TempTclVariable(tcl=interp)
    assert t.__exit__(None, None, None) is False


def test_temporary_array(interp):
    with TempTclArrayVariable(tcl=interp, cast=int) as arr:
        arr.update(a="1", b="2")
        assert arr["a"] == 1 and sorted(arr) == ["a", "b"]
        name = arr.var_name
    assert interp.tk.call("info", "exists", name) == 0
