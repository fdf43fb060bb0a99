"""Namespace names and namespace operations, with exact words and real Tcl."""

import gc
import subprocess
import sys
import textwrap

import pytest
import tkinter

from movarn.tcl.namespace import TclNamespace, TempTclNamespace
from movarn.tcl.zendra import zendra

split, join, normalize, qualifiers, tail = (TclNamespace.split, TclNamespace.join, TclNamespace.normalize,
                                            TclNamespace.qualifiers, TclNamespace.tail)


@pytest.mark.parametrize("name, parts", [
    ("::a::b", ["", "a", "b"]), ("a::b::", ["a", "b"]), ("::", [""]), ("", []), ("a::::b", ["a", "b"]),
    ("::::a", ["", "a"]), ("a", ["a"]), (5, ["5"]),
])
def test_split(name, parts):
    assert split(name) == parts


@pytest.mark.parametrize("bad", ["a:b", "a:::b", ":a", "::a:", "x::y:::::z"])
def test_odd_colon_runs_are_invalid(bad):
    for func in (split, normalize):
        with pytest.raises(ValueError) as info:
            func(bad)
        assert str(info.value) == "Invalid Tcl namespace '%s'" % bad
    joined = bad if bad.startswith("::") else "::q::" + bad
    with pytest.raises(ValueError) as info:
        join("::q", bad)
    assert str(info.value) == "Invalid Tcl namespace '%s'" % joined


@pytest.mark.parametrize("args, result", [
    (("::a", "b", "c"), "::a::b::c"), (("::a", "::x", "y"), "::x::y"), (("", "a"), "a"), (("a", ""), "a"),
    (("::", "a"), "::a"), (("::",), ""), (("::a::::b::",), "::a::b"), ((TclNamespace("::n"), "v"), "::n::v"),
])
def test_join_and_normalize(args, result):
    assert join(*args) == result
    if len(args) == 1:
        assert normalize(args[0]) == result


@pytest.mark.parametrize("name, quals, last", [
    ("::a::b::c", "::a::b", "c"), ("a::b", "a", "b"), ("a:::b", "a", "b"), ("::a", "", "a"), ("a", "", "a"),
    ("abc", "", "abc"), ("a::", "a", ""), ("::", "", ""),
])
def test_qualifiers_and_tail_match_tcl(interp, name, quals, last):
    assert qualifiers(name) == quals == interp.tk.call("namespace", "qualifiers", name)
    assert tail(name) == last == interp.tk.call("namespace", "tail", name)


def test_absolute_tests_and_names(fake):
    assert TclNamespace("", tcl=fake).is_absolute() == "" and TclNamespace("", tcl=fake).is_relative() == ""
    assert TclNamespace("::", tcl=fake).is_absolute() is True
    assert TclNamespace("a", tcl=fake).is_relative() is True
    assert TclNamespace("::", tcl=fake).absolute() == "::" and fake.log == []
    fake.answers["call"] = "::"
    h = TclNamespace("x::y", tcl=fake)
    assert h.make_absolute() is None and h.ns == "::x::y"
    assert fake.log == [("call", ("namespace", "current"))]


def test_handle_construction(fake, default_interp):
    import weakref
    h = TclNamespace(["a", "b c"], tcl=fake)
    assert h.ns == "a {b c}" and str(h) == h.ns
    assert type(h.tcl) in weakref.ProxyTypes
    assert TclNamespace("x", tcl=h.tcl).tcl is h.tcl  # a proxy is used as it is
    assert isinstance(h.vars, TclNamespace.VariablesView) and h.vars.ns is h
    assert type(h.objs) is TclNamespace.ObjectsView and h.objs.ns is h
    d = TclNamespace("::d")
    assert d.tcl.tk is default_interp.tk
    assert fake.log == []


@pytest.mark.parametrize("ns, method, args, log, result", [
    ("::a", "exists", (), [("call", ("namespace", "exists", "::a")), ("cast_boolean", "1")], True),
    ("", "exists", (), [("call", ("namespace", "current")), ("call", ("namespace", "exists", "1")),
                        ("cast_boolean", "1")], True),
    ("::a", "children", (), [("call", ("namespace", "eval", "::a", ("namespace", "children"))),
                             ("cast_list", "1")], ("1",)),
    ("", "children", ("p",), [("call", ("namespace", "children", "p")), ("cast_list", "1")], ("1",)),
    ("", "export", (), [("call", ("namespace", "export")), ("cast_list", "1")], ("1",)),
    ("", "export", (True,), [("call", ("namespace", "export", "-clear"))], None),
    ("", "export", ("a*",), [("call", ("namespace", "export", "-clear"))], None),
    ("", "export", (False, "a*", "b*"), [("call", ("namespace", "export", "a*", "b*"))], None),
    ("", "import_", (True, "::x::*"), [("call", ("namespace", "import", "-force", "::x::*"))], None),
    ("", "forget", ("p", "q"), [("call", ("namespace", "forget", "p", "q"))], None),
    ("", "which", ("x", True, True), [("call", ("namespace", "which", "-command", "-variable", "x"))], "1"),
    ("::a", "origin", ("cmd",), [("call", ("namespace", "eval", "::a", ("namespace", "origin", "cmd")))], "1"),
    ("", "code", ("puts",), [("call", ("namespace", "code", "puts"))], "1"),
    ("::a", "call", ("set", "v", "1 2"), [("call", ("namespace", "eval", "::a", ("set", "v", "1 2")))], "1"),
    ("::a", "eval", ("set", "v", "1 2"), [("eval", "namespace eval ::a {set v {1 2}}")], "1"),
    ("", "eval", ("puts hi",), [("eval", "puts hi")], "1"),
    ("::a", "delete", (), [("call", ("namespace", "delete", "::a"))], None),
    ("::a::b", "parent", (), [("call", ("namespace", "parent", "::a::b"))], "1"),
    ("", "parent", (), [("call", ("namespace", "parent"))], "1"),
    ("a::b", "parent", (True,), [("call", ("namespace", "parent", "a::b"))], "1"),
    ("::a", "create", (), [("eval", "namespace eval ::a {}")], None),
    ("::a", "current", (), [("call", ("namespace", "current"))], "1"),
])
def test_operation_words(fake, ns, method, args, log, result):
    fake.answers.update(call="1", eval="1")
    assert getattr(TclNamespace(ns, tcl=fake), method)(*args) == result
    assert fake.log == log


@pytest.mark.parametrize("name, parent", [("::a::b", "::a"), ("::a", "::"), ("::", ""), ("::a::::b::", "::a")])
def test_local_parent_agrees_with_tcl(interp, fake, name, parent):
    assert TclNamespace(name, tcl=fake).parent(force_eval=True) == parent
    assert fake.log == []
    interp.tk.eval("namespace eval ::a::b {}")
    assert interp.tk.call("namespace", "parent", normalize(name) or "::") == parent


@pytest.mark.parametrize("normal", [5, None, b"::a", ["::a"]])
def test_local_parent_checks_what_normalize_returns(fake, monkeypatch, normal):
    monkeypatch.setattr(TclNamespace, "normalize", staticmethod(lambda string: normal))
    with pytest.raises(TypeError, match="^expected TclNamespace.normalize\\(\\) to return str, not %s$"
                       % type(normal).__name__):
        TclNamespace("::a::b", tcl=fake).parent(force_eval=True)


def test_create_current_namespace_is_refused(fake):
    with pytest.raises(ValueError, match="^Cannot create current namespace$"):
        TclNamespace("", tcl=fake).create()
    assert fake.log == []


def test_operations_against_tcl(interp):
    tk = interp.tk
    a = TclNamespace("::app", tcl=interp)
    assert not a.exists()
    a.create()
    assert a.exists() and TclNamespace("::app::sub", tcl=interp).exists() is False
    a.eval("proc hello {who} {return \"hi $who\"}")
    a.call("proc", "p2", "x", "return [list $x]")
    assert tk.call("::app::hello", "a b") == "hi a b"
    assert a.call("hello", "x y") == "hi x y" and a.eval("hello", "x y") == "hi x y"
    TclNamespace("::app::sub", tcl=interp).create()
    assert a.children() == ("::app::sub",)
    # The word after "children" names a namespace, resolved inside this one.
    assert a.children("sub") == ()
    with pytest.raises(tkinter.TclError, match='namespace "s\\*" not found'):
        a.children("s*")
    assert a.export(False, "hel*") is None and a.export() == ("hel*",)
    b = TclNamespace("::other", tcl=interp)
    b.create()
    b.import_(False, "::app::hello")
    assert b.origin("hello") == "::app::hello"
    assert b.which("hello", command=True) == "::other::hello"
    b.forget("::app::hello")
    assert b.which("hello", command=True) == ""
    assert str(tk.call("namespace", "eval", "::app", b"hello w".decode())) == "hi w"
    assert a.current() == "::" and TclNamespace("::app::sub", tcl=interp).parent() == "::app"
    assert a.code("hello") == ("::namespace", "inscope", "::app", "hello")  # the raw result
    a.delete()
    assert not a.exists()
    with pytest.raises(tkinter.TclError):
        a.delete()
    # The empty name stands for the current namespace.
    cur = TclNamespace("", tcl=interp)
    assert cur.exists() is True and cur.parent() == ""


def test_call_keeps_words_and_eval_quotes_them(interp):
    a = TclNamespace("::w", tcl=interp)
    a.create()
    hostile = "x}; set ::pwned 1; {"
    a.call("set", "v", hostile)
    assert a.vars["v"] == hostile
    a.eval("set", "v2", hostile)
    assert a.vars["v2"] == hostile
    assert interp.tk.eval("info exists ::pwned") == "0"
    assert zendra(("namespace", "eval", "::w", ("set", "v", "1 2"))) == "namespace eval ::w {set v {1 2}}"


def test_temporary_namespace(interp):
    first, second = TempTclNamespace(tcl=interp), TempTclNamespace(tcl=interp)
    assert first.ns != second.ns
    for t in (first, second):
        assert t.ns == "::__movarn__TempTclNamespace_%d_tmp" % id(t)
    assert interp.tk.call("namespace", "exists", first.ns) == 0  # nothing sent by the constructor
    with first as entered:
        assert entered is first and first.exists()
        first.vars["x"] = 1
    assert not first.exists()
    with pytest.raises(KeyError):
        with second:
            raise KeyError("inner")
    assert not second.exists()
    with TempTclNamespace(tcl=interp) as t:
        t.delete()  # the block removed it itself: the exit is silent

    class Scratch(TempTclNamespace):
        pass

    assert Scratch(tcl=interp).ns.startswith("::__movarn__Scratch_")
    assert TempTclNamespace("::fixed", tcl=interp).ns == "::fixed"
    x = TempTclNamespace("::x_{id}", tcl=interp)
    assert x.ns == "::x_%d" % id(x)
    with pytest.raises(ValueError, match="Cannot create current namespace"):
        with TempTclNamespace("", tcl=interp):
            pass


def test_temporary_namespace_exit_swallows_only_tcl_errors(fake):
    fake.answers["call"] = lambda words: (_ for _ in ()).throw(tkinter.TclError("gone"))
    t = TempTclNamespace("::t", tcl=fake)
    assert t.__exit__(None, None, None) is False
    fake.answers["call"] = lambda words: (_ for _ in ()).throw(OSError("disk"))
    with pytest.raises(OSError):
        t.__exit__(None, None, None)


def test_reference_error_once_the_interpreter_is_gone():
    from movarn.tcl import Interpreter
    interp = Interpreter()
    h = TclNamespace("::a", tcl=interp)
    del interp
    gc.collect()
    with pytest.raises(ReferenceError):
        h.exists()
    with pytest.raises(ReferenceError):
        TclNamespace("::b", tcl=h.tcl)


# Names that convert through themselves, at a recursion limit far above what
# the C stack holds: RecursionError, never a crash.
SELF_NAMING = {
    "join": "TclNamespace.join(Named(lambda self: TclNamespace.join(self)))",
    "split": "TclNamespace.split(Named(lambda self: TclNamespace.normalize(self)))",
    "namespace handle": "TclNamespace(Named(lambda self: str(TclNamespace(self, tcl=i))), tcl=i)",
    "variable handle": "TclVariable(Named(lambda self: str(TclVariable(self, tcl=i))), tcl=i)",
    "variables view": "ns.vars.byref(Named(lambda self: ns.vars.byref(self).var_name))",
    "command word": "h = TclCommand(('list',), tcl=i); h.args = (h,); h()",
}
_SELF_NAMING_PRELUDE = """
    import sys
    sys.setrecursionlimit(100000)
    from movarn.tcl import Interpreter
    from movarn.tcl.namespace import TclCommand, TclNamespace, TclVariable
    class Named:
        def __init__(self, name): self.name = name
        def __zendra__(self): return self.name(self)
    i = Interpreter()
    ns = TclNamespace("::", tcl=i)
    try:
        CODE
    except RecursionError:
        print("RecursionError")
"""


@pytest.mark.parametrize("case", sorted(SELF_NAMING))
def test_self_naming_at_a_huge_recursion_limit_raises(case):
    code = textwrap.dedent(_SELF_NAMING_PRELUDE).replace("CODE", SELF_NAMING[case])
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert (proc.returncode, proc.stdout) == (0, "RecursionError\n"), proc.stderr[-2000:]
