"""Quick calls: attribute chains that run one Tcl command."""

import gc
import inspect
import subprocess
import sys
import weakref
from tkinter import TclError

import pytest

from movarn.tcl import vesk
from movarn.tcl.vesk import Vesk, Vesk_Code
from movarn.tcl.zendra import zendra

PROCS = """
namespace eval ::outer::inner {
    proc echo {args} { return $args }
    proc greet {name {greeting Hello}} { return "$greeting, $name!" }
    proc opts {first args} { return [list $first [dict get $args -size] [dict get $args -label]] }
    proc fail {why} { error "failed: $why" }
}
"""


class Plain:
    pass


ALIVE = Plain()  # something alive to take a proxy of


@pytest.fixture
def Fake(fake):
    """The recording fake's class, to make fakes with set answers."""
    return type(fake)


@pytest.fixture
def tcl(interp):
    interp.tk.eval(PROCS)
    return interp


def test_module_frame():
    names = [n for n in vars(vesk) if not n.startswith("__")]
    assert names == ["weakref", "TclError", "zendra", "Vesk", "Vesk_Code"]
    assert not hasattr(vesk, "__all__")
    assert vesk.weakref is weakref and vesk.TclError is TclError
    assert vesk.zendra is zendra
    for cls in (Vesk, Vesk_Code):
        assert cls.__bases__ == (object,) and cls.__module__ == "movarn.tcl.vesk"
    assert "A-Z, a-z, 0-9" in Vesk.__doc__
    assert all(w in Vesk.__doc__.lower() for w in ("quick call", "cast_", "dashed", "positional"))
    assert "worker class" in Vesk_Code.__doc__.lower()
    assert str(inspect.signature(Vesk_Code.__init__)) == "(self, *cmd, tcl)"


def test_chains(fake):
    root = Vesk(fake)
    assert isinstance(root.tcl, weakref.ProxyType) and root.tcl.history is fake.history
    assert root.x is not root.x
    x = root.ns
    assert x.p1 is x and x.p2 is x and x.cmd == ["ns", "p1", "p2"]
    assert x.tcl is root.tcl and x.cmd == ["ns", "p1", "p2"]
    assert hasattr(x, "anything") and hasattr(x, "__anything__")
    assert x.cmd[-2:] == ["anything", "__anything__"]
    code = root.a.b.c
    assert str(code) == repr(code) == "<tcl.Vesk magic, referring Tcl code ::a::b::c>"
    code.__dict__["__str__"] = lambda: "mine"
    assert repr(code) == "mine"
    assert fake.log == []


@pytest.mark.parametrize("make, message", [
    (lambda: Vesk(1), "cannot create weak reference to 'int' object"),
    (lambda: Vesk(weakref.proxy(ALIVE)), "cannot create weak reference to 'weakref.ProxyType' object"),
    (lambda: Vesk_Code("a"), "Vesk_Code.__init__() missing 1 required keyword-only argument: 'tcl'"),
])
def test_construction_errors(make, message):
    with pytest.raises(TypeError) as info:
        make()
    assert str(info.value) == message


def test_root_call_never_reaches_tcl(fake):
    with pytest.raises(TclError) as info:
        Vesk(fake)("x", y=1)
    assert info.value.args == ('invalid command name ""',)
    assert fake.log == [] and fake.history == []


@pytest.mark.parametrize("args, kwargs, words", [
    (("v", [1, 2]), {}, ("set", "v", "1 2")),
    (("x",), {"opt": 1, "flag": "a b"}, ("set", "x", "-opt", "1", "-flag", "a b")),
    (({"k": "a b"}, None, True), {"cast_": True}, ("set", "k {a b}", "", "true")),
])
def test_exact_words_and_history(args, kwargs, words, Fake):
    seen = []
    fake = Fake(call=lambda *w: seen.append(list(fake.history)) or "r")
    assert Vesk(fake).set(*args, **kwargs) == "r"
    assert fake.log == [("call",) + words, ("cast_any", "r")]
    assert fake.history == [list(words)] and seen == [[list(words)]]


@pytest.mark.parametrize("answer, text", [(5, "5"), (("a", "b c", ("d",)), "a {b c} d"), (None, "None")])
def test_uncast_results_are_text(answer, text, Fake):
    fake = Fake(call=answer)
    assert Vesk(fake).cmd(cast_=False) == text
    assert ("cast_any", answer) not in fake.log


def test_uncast_str_result_is_returned_as_is(Fake):
    answer = "".join(["a", "b"])
    assert Vesk(Fake(call=answer)).x(cast_=False) is answer


def test_tcl_error_carries_error_info(Fake):
    def fail(*words):
        raise TclError("boom")
    fake = Fake(call=fail)
    fake.vars["::errorInfo"] = "boom\n    while executing\n\"x\""
    with pytest.raises(TclError) as info:
        Vesk(fake).x()
    assert info.value.args == (fake.vars["::errorInfo"],)
    assert info.value.__suppress_context__ and info.value.__cause__ is None
    assert str(info.value.__context__) == "boom"
    del fake.vars["::errorInfo"]
    with pytest.raises(KeyError):
        Vesk(fake).x()


def test_other_errors_pass_unchanged(Fake):
    error = ValueError("not Tcl")
    fake = Fake(call=lambda *w: (_ for _ in ()).throw(error))
    with pytest.raises(ValueError) as info:
        Vesk(fake).x()
    assert info.value is error


def test_globals_are_looked_up_at_call_time(fake, monkeypatch):
    class Other(Exception):
        pass
    monkeypatch.setattr(vesk, "TclError", Other)
    monkeypatch.setattr(vesk, "zendra", lambda obj: "Z")
    with pytest.raises(Other):
        Vesk(fake)()
    Vesk(fake).p(1, k=2)
    assert fake.log[0] == ("call", "p", "Z", "-k", "Z")
    monkeypatch.setattr(vesk, "Vesk_Code", lambda name, tcl: ("made", name))
    assert Vesk(fake).q == ("made", "q")


def test_dead_interpreter_and_half_built_objects(Fake):
    fake = Fake()
    chain = Vesk(fake).a
    del fake
    gc.collect()
    with pytest.raises(ReferenceError):
        chain()
    # No tcl/cmd yet: the lookup recurses into __getattr__ until Python stops it.
    for cls in (Vesk, Vesk_Code):
        with pytest.raises(RecursionError):
            cls.__new__(cls).anything


@pytest.mark.parametrize("cls", ["Vesk", "Vesk_Code"])
def test_half_built_objects_at_a_huge_recursion_limit(cls):
    code = ("import sys; sys.setrecursionlimit(100000)\n"
            "from movarn.tcl.vesk import %s as cls\n"
            "try:\n    cls.__new__(cls).anything\n"
            "except RecursionError:\n    print('RecursionError')\n" % cls)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert (proc.returncode, proc.stdout) == (0, "RecursionError\n"), proc.stderr[-2000:]


def test_real_tcl_procs_in_nested_namespaces(tcl):
    root = Vesk(tcl)
    assert root.outer.inner.greet("Ada Lovelace") == "Hello, Ada Lovelace!"
    assert root.outer.inner.greet("Bob", "Hi there") == "Hi there, Bob!"
    assert root.outer.inner.opts([1, "a b"], size=3, label="x y") == ("1 {a b}", 3, "x y")
    assert tcl.history[-1] == ["outer::inner::opts", "1 {a b}", "-size", "3", "-label", "x y"]
    # A Tcl list comes back as Tcl's own text, not as a Python tuple repr.
    assert root.outer.inner.echo("a", "b c", ["d", "e f"], cast_=False) == "a {b c} {d {e f}}"
    assert root.set("v", "7", cast_=False) == "7" and root.set("v", "7") == 7


def test_real_tcl_error_trace(tcl):
    with pytest.raises(TclError) as info:
        Vesk(tcl).outer.inner.fail("no disk")
    text = str(info.value)
    assert text.startswith("failed: no disk\n") and '(procedure "outer::inner::fail" line 1)' in text
    assert info.value.__suppress_context__ and info.value.__cause__ is None
    with pytest.raises(TclError, match='^invalid command name "outer::nope"'):
        Vesk(tcl).outer.nope()
