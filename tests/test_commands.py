"""Command handles, temporary commands and the command views."""

import collections.abc
import functools
import gc
import inspect
import subprocess
import sys
import os
import types
import weakref

import pytest
import tkinter

import movarn.tcl
from movarn.tcl import Interpreter
from movarn.tcl import namespace as nsmod
from movarn.tcl.namespace import TclCommand, TclNamespace, TempTclCommand, TempTclVariable
from movarn.tcl.zendra import tclobj, zendra


def test_shape():
    names = [n for n in vars(nsmod) if not (n.startswith("__") and n.endswith("__"))]
    assert names[9:] == list(nsmod.__all__)
    members = [k for k in vars(TclCommand) if not k.startswith("__") or k in (
        "__init__", "__call__", "__repr__", "__str__", "__tclobj__", "__get__")]
    assert members == ["__init__", "createcommand", "exists", "is_command", "is_proc", "rename", "delete",
                       "origin", "proc_body", "proc_args", "proc_arg_default", "build_tclcmd",
                       "kwargs_to_dashed_args", "call", "__call__", "eval", "absolute", "make_absolute", "__repr__",
                       "__str__", "__tclobj__", "__get__"]
    assert isinstance(vars(TclCommand)["kwargs_to_dashed_args"], staticmethod)
    assert str(inspect.signature(TclCommand.kwargs_to_dashed_args)) == "(**kwargs)"
    assert str(inspect.signature(TclCommand.__init__)) == \
        "(self, cmd, args=None, keywords=None, tcl=None, cast=None, logger=None)"
    assert str(inspect.signature(TempTclCommand.__init__)) == \
        "(self, func=None, cmd_name='::__movarn__{cls}_{id}_tmp', **kwargs)"
    assert [k for k in vars(TempTclCommand) if k.startswith("__") and k not in ("__module__", "__qualname__",
                                                                                 "__doc__")] == \
        ["__init__", "__enter__", "__exit__", "__del__"]
    assert TempTclCommand.__del__.__closure__[0].cell_contents is TempTclCommand
    views = [k for k in vars(TclNamespace) if k.endswith("View")]
    assert views == ["VariablesView", "ObjectsView", "CommandsView", "ProcsView"]
    assert TclNamespace.ProcsView.__bases__ == (TclNamespace.CommandsView,)
    assert [k for k in vars(TclNamespace.ProcsView) if not k.startswith("_")] == ["exists"]
    assert TclNamespace.CommandsView.__qualname__ == "TclNamespace.CommandsView"


@pytest.mark.parametrize("cmd, kwargs, name, args", [
    (("a b", "c"), {}, "a b", ("c",)),
    ("puts hello", {}, "puts", ("hello",)),
    (["set", "x", [1, 2]], {}, "set", ("x", (1, 2))),
    ("my cmd", {"args": ["x"]}, "my cmd", ("x",)),
    ("my cmd", {"args": "x {y z}"}, "my cmd", ("x", "y z")),
    (("x",), {}, "x", ()),
    (5, {}, "5", ()),
])
def test_construction(fake, cmd, kwargs, name, args):
    h = TclCommand(cmd, tcl=fake, **kwargs)
    assert h.cmd_name == name and h.args == args and h.keywords == {}
    assert type(h.tcl) in weakref.ProxyTypes


def test_construction_from_handles(fake):
    base = TclCommand(("p", "a"), keywords={"x": [1, 2]}, tcl=fake, cast=int, logger=object())
    again = TclCommand(base, tcl=fake)
    assert again.cmd_name == "p" and again.args == ("a", "-x", (1, 2)) and again.keywords == {}
    assert again.cast is None and again.logger is None
    more = TclCommand(base, args=["b"], tcl=fake)
    assert more.args == ("a", "b", "-x", (1, 2))
    assert TclCommand(("x",), tcl=base.tcl).tcl is base.tcl
    assert fake.log == []


def test_the_package_splitter_is_used(fake, monkeypatch):
    seen = []

    def split(value):
        seen.append(value)
        return ("w1", "w2")

    monkeypatch.setattr(movarn.tcl, "cast_list", split, raising=False)

    class T(tuple):
        pass

    assert TclCommand(T(["a b", "c"]), tcl=fake).cmd_name == "w1"  # only an exact tuple is kept whole
    assert TclCommand(("a b", "c"), tcl=fake).cmd_name == "a b"
    assert TclCommand("x", args="y z", tcl=fake).args == ("w1", "w2")
    assert seen == [T(["a b", "c"]), "y z"] and fake.log == []


def test_empty_commands_raise_index_error(fake):
    for empty in ((), "", []):
        with pytest.raises(IndexError):
            TclCommand(empty, tcl=fake)


def test_build_tclcmd_and_options(fake):
    h = TclCommand("f", args=["s"], keywords={"x": 0, "y": 2}, tcl=fake)
    assert h.build_tclcmd("a", x=1, z=3) == ("f", "s", "a", "-x", 1, "-y", 2, "-z", 3)
    assert h.build_tclcmd() == ("f", "s", "-x", 0, "-y", 2)
    assert h.keywords == {"x": 0, "y": 2}
    assert h.build_tclcmd(flag=None, on=True, data={"k": [1]}) == \
        ("f", "s", "-x", 0, "-y", 2, "-flag", "", "-on", True, "-data", ("k", (1,)))
    assert TclCommand.kwargs_to_dashed_args() == ()
    assert TclCommand.kwargs_to_dashed_args(flag=None, foo_bar=1) == ("-flag", None, "-foo_bar", 1)
    with pytest.raises(TypeError):
        TclCommand.kwargs_to_dashed_args(1)
    bad = TclCommand("f", keywords={1: 2}, tcl=fake)
    with pytest.raises(TypeError):
        bad.build_tclcmd()


class _Options(collections.abc.Mapping):
    def __init__(self, **items):
        self._items = items

    def __getitem__(self, key):
        return self._items[key]

    def __iter__(self):
        return iter(self._items)

    def __len__(self):
        return len(self._items)


class _KeysTwice:
    def keys(self):
        return ["a", "a"]

    def __getitem__(self, key):
        return 1


@pytest.mark.parametrize("keywords", [types.MappingProxyType({"a": 1, "b": 2}), _Options(a=1, b=2)])
def test_stored_keywords_may_be_any_mapping(fake, keywords):
    h = TclCommand(("f",), tcl=fake)
    h.keywords = keywords
    assert h.build_tclcmd() == ("f", "-a", 1, "-b", 2)


@pytest.mark.parametrize("keywords", [[1, 2], 5, None, _KeysTwice()])
def test_stored_keywords_that_are_no_mapping_raise_as_python_does(fake, keywords):
    def kwargs_to_dashed_args(**kwargs):
        pass

    with pytest.raises(TypeError) as python:
        kwargs_to_dashed_args(**keywords)
    h = TclCommand(("f",), tcl=fake)
    h.keywords = keywords
    with pytest.raises(TypeError) as ours:
        h.build_tclcmd()
    prefix = "movarn.tcl.namespace.TclCommand.kwargs_to_dashed_args() "
    assert str(ours.value) == prefix + str(python.value).split("() ", 1)[1]


def _python_error(action):
    with pytest.raises(Exception) as info:
        action()
    return info.type, str(info.value)


@pytest.mark.parametrize("items", [[("a", 1, 2)], [("a",)], [5], [None]])
def test_construction_keywords_unpack_items_as_python_does(fake, items):
    class Keywords(dict):
        def items(self):
            return items

    def unpack():
        for key, value in items:
            pass

    with pytest.raises(Exception) as ours:
        TclCommand(("f",), keywords=Keywords(x=1), tcl=fake)
    assert (ours.type, str(ours.value)) == _python_error(unpack)


class _Unsplittable(TclCommand):
    def build_tclcmd(self, *args, **kwargs):
        return 5


@pytest.mark.parametrize("make, python", [
    (lambda fake: TclCommand("puts hi", tcl=fake), lambda: int(5)[1:]),
    (lambda fake: TclCommand(_Unsplittable(("f",), tcl=fake), tcl=fake), lambda: int(5)[1:]),
    (lambda fake: TclCommand(TclCommand(("f",), tcl=fake), args="x", tcl=fake),
     lambda: TclCommand.build_tclcmd(*5)),
])
def test_construction_from_odd_splits_raises_as_python_does(fake, monkeypatch, make, python):
    monkeypatch.setattr(movarn.tcl, "cast_list", lambda value: 5, raising=False)
    with pytest.raises(TypeError) as ours:
        make(fake)
    assert (TypeError, str(ours.value)) == _python_error(python)


@pytest.mark.parametrize("manager", [object(), type("EnterOnly", (), {"__enter__": lambda self: self})()])
def test_proc_arg_default_needs_a_context_manager(fake, monkeypatch, manager):
    def python():
        with manager:
            pass

    monkeypatch.setattr(nsmod, "TempTclVariable", lambda tcl: manager)
    with pytest.raises(TypeError) as ours:
        TclCommand(("p",), tcl=fake).proc_arg_default("a")
    assert (TypeError, str(ours.value)) == _python_error(python)
    assert fake.log == []


def test_call_eval_cast_and_logging(fake):
    fake.answers.update(call="7", eval="8")
    lines = []

    class Log:
        def info(self, line):
            lines.append(line)

    h = TclCommand("puts", tcl=fake, cast=int, logger=Log())
    assert h("hello world", nonewline=1) == 7 and h.eval("hello world") == 8
    assert lines == ["Calling: puts {hello world} -nonewline 1"]
    assert fake.log == [("call", ("puts", "hello world", "-nonewline", 1)), ("eval", "puts {hello world}")]

    class Sub(TclCommand):
        def call(self, *args, **kwargs):
            return ("sub", args, kwargs)

    assert Sub("x", tcl=fake)(1, a=2) == ("sub", (1,), {"a": 2})


@pytest.mark.parametrize("method, args, words", [
    ("exists", (), ("::info", "commands", "c d")),
    ("is_proc", (), ("::info", "procs", "c d")),
    ("rename", ("n",), ("::rename", "c d", "n")),
    ("delete", (), ("::rename", "c d", "")),
    ("origin", (), ("::namespace", "origin", "c d")),
    ("proc_body", (), ("::info", "body", "c d")),
    ("proc_args", (), ("::info", "args", "c d")),
])
def test_query_words(fake, method, args, words):
    fake.answers["call"] = ""
    getattr(TclCommand(("c d",), tcl=fake), method)(*args)
    assert fake.log[0] == ("call", words)


def test_queries_against_tcl(interp):
    interp.tk.eval("proc ::greet {who {style plain}} {return \"$style:$who\"}")
    g = TclCommand("::greet", tcl=interp)
    assert g("Bob") == "plain:Bob" and g.eval("A B") == "plain:A B"
    assert g.exists() is True and g.is_proc() is True and g.is_command() is False
    assert g.proc_args() == ("who", "style") and g.proc_body() == 'return "$style:$who"'
    assert g.proc_arg_default("style") == "plain" and g.proc_arg_default("who") is None
    assert TclCommand("set", tcl=interp).is_command() is True
    missing = TclCommand("::nosuch", tcl=interp)
    assert missing.exists() is False and missing.is_proc() is False and missing.is_command() is False
    assert g.origin() == "::greet"
    before = set(interp.tk.splitlist(interp.tk.eval("info vars ::__movarn__*")))
    with pytest.raises(tkinter.TclError):
        g.proc_arg_default("nope")
    assert set(interp.tk.splitlist(interp.tk.eval("info vars ::__movarn__*"))) == before == set()
    with pytest.raises(tkinter.TclError):
        g.rename("::set")
    assert g.cmd_name == "::greet"
    g.rename("::hello")
    assert g.cmd_name == "::hello" and g("x") == "plain:x"
    g.delete()
    assert not g.exists() and g.cmd_name == "::hello"


def test_absolute_repr_str_and_conversion(interp, fake):
    assert TclCommand("::x", tcl=fake).absolute() == "::x" and fake.log == []
    h = TclCommand("x", tcl=interp)
    assert h.absolute() == "::x" and h.make_absolute() is None and h.cmd_name == "::x"
    assert repr(TclCommand(("x",), tcl=fake)) == "TclCommand('x')"
    assert repr(TclCommand(("puts", "hi"), tcl=fake)) == "TclCommand('puts', args=('hi',))"
    assert repr(TclCommand("p", keywords={"a": 1}, tcl=fake, cast=int, logger=1)) == \
        "TclCommand('p', keywords={'a': 1}, cast=<class 'int'>)"
    assert repr(TclCommand("p", tcl=fake, cast=0)) == "TclCommand('p')"
    assert str(TclCommand(("puts", "hello world"), tcl=fake)) == "puts {hello world}"
    cb = TclCommand(("cb", "a b"), keywords={"k": 1}, tcl=fake)
    assert tclobj(cb) == ("cb", "a b", "-k", 1)
    assert zendra(["after", 10, cb]) == "after 10 {cb {a b} -k 1}"


def test_handles_bind_like_methods(interp):
    class Widget:
        show = TclCommand("list", tcl=interp)

        def __tclobj__(self):
            return "widget 1"

    assert Widget.show is vars(Widget)["show"]
    bound = Widget().show
    assert bound.__func__ is vars(Widget)["show"]
    assert bound("x") == ("widget 1", "x")


def test_temporary_command_names(fake):
    a, b = TempTclCommand(tcl=fake), TempTclCommand(tcl=fake)
    assert a.cmd_name == "::__movarn__TempTclCommand_%d_tmp" % id(a) and a.cmd_name != b.cmd_name

    class MyCmd(TempTclCommand):
        pass

    assert MyCmd(tcl=fake).cmd_name.startswith("::__movarn__MyCmd_")
    c = TempTclCommand(cmd_name="::cb_{id}", tcl=fake)
    assert c.cmd_name == "::cb_%d" % id(c)
    assert TempTclCommand(cmd_name="::fixed", tcl=fake).cmd_name == "::fixed"
    with pytest.raises(KeyError):
        TempTclCommand(cmd_name="{x}", tcl=fake)
    with pytest.raises(TypeError):
        TempTclCommand(cmd="x", tcl=fake)
    assert fake.log == []


def test_python_callable_as_tcl_command(interp, default_interp):
    seen = []

    @TempTclCommand
    def add(a, b):
        """Adds two numbers."""
        seen.append((a, b))
        return int(a) + int(b)

    assert isinstance(add, TempTclCommand) and add.__name__ == "add" and add.__doc__ == "Adds two numbers."
    assert add.__wrapped__.__name__ == "add"
    tk = default_interp.tk
    tk.eval("proc ::use_it {x} {return [%s $x 10]}" % add.cmd_name)
    assert tk.eval("::use_it 5") == "15" and seen == [("5", "10")]
    assert add(1, 2) == 3
    name = add.cmd_name
    del add
    gc.collect()
    assert tk.call("info", "commands", name) == ""


def test_python_errors_reach_tcl_as_tcl_errors(interp):
    def boom(*args):
        raise ValueError("bad input")

    with TempTclCommand(boom, tcl=interp) as cmd:
        assert interp.tk.eval("catch {%s x} msg" % cmd.cmd_name) == "1"
        with pytest.raises(tkinter.TclError):
            cmd("y")
    assert not cmd.exists()


def test_temporary_command_scopes_a_proc(interp):
    with TempTclCommand(tcl=interp) as cmd:
        assert not cmd.exists()
        interp.tk.eval("proc %s {} {return ok}" % cmd.cmd_name)
        assert cmd() == "ok"
    assert not cmd.exists()
    with TempTclCommand(tcl=interp):
        pass  # nothing defined: the exit is silent
    with pytest.raises(KeyError):
        with TempTclCommand(lambda: "x", tcl=interp) as c2:
            raise KeyError("inner")
    assert not c2.exists()


def test_exit_and_collection_swallow_only_tcl_errors(fake):
    fake.answers["call"] = lambda words: (_ for _ in ()).throw(OSError("io"))
    t = TempTclCommand(tcl=fake)
    with pytest.raises(OSError):
        t.__exit__(None, None, None)
    fake.answers["call"] = lambda words: (_ for _ in ()).throw(tkinter.TclError("gone"))
    assert t.__exit__(None, None, None) is False


def test_collection_after_the_interpreter_is_gone_does_not_crash():
    code = """if 1:
        import gc
        from movarn.tcl import Interpreter
        from movarn.tcl.namespace import TempTclCommand
        interp = Interpreter()
        kept = [TempTclCommand(lambda: 1, tcl=interp) for _ in range(3)]
        del interp
        gc.collect()
        del kept[0]
        gc.collect()
        print("alive")
    """
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    assert done.returncode == 0 and "alive" in done.stdout
    assert "ReferenceError" in done.stderr  # reported as ignored, never fatal


def test_command_views_words(fake):
    fake.answers["call"] = ("p",)
    ns = TclNamespace("::ns", tcl=fake)
    assert ("p" in ns.cmds) is True and "::p" in ns.cmds
    h = ns.cmds["two words"]
    assert type(h) is TclCommand and h.cmd_name == "::ns::two words" and h.tcl is ns.tcl
    assert ns.cmds.byref("p", ["a"]).args == ("a",)
    assert [n for n in ns.procs] == ["p"] and len(ns.cmds) == 1
    assert fake.log == [
        ("call", ("::info", "commands", "::ns::p")), ("call", ("::info", "commands", "::p")),
        ("call", ("namespace", "eval", "::ns", ("::info", "procs"))), ("cast_list", ("p",)),
        ("call", ("namespace", "eval", "::ns", ("::info", "commands"))), ("cast_list", ("p",)),
    ]
    with pytest.raises(TypeError, match="multiple values for keyword argument 'tcl'"):
        ns.cmds.byref("p", tcl=fake)


def test_command_views_against_tcl(interp):
    ns = TclNamespace("::ns", tcl=interp)
    ns.create()
    ns.eval("proc p {a {b 2}} {return $a$b}")
    ns.procs["py"] = lambda *a: "-".join(a)
    assert "py" in ns.cmds and "py" not in ns.procs and "p" in ns.procs
    assert ns.cmds["py"]("x y", "z") == "x y-z" and ns.cmds["p"]("a") == "a2"
    assert sorted(ns.procs) == ["p"] and {"p", "py"} <= set(ns.cmds)
    assert len(ns.procs) == 1
    assert ns.cmds.proc_args("p") == ("a", "b") and ns.cmds.proc_arg_default("p", "b") == "2"
    assert ns.cmds.proc_body("p") == "return $a$b" and ns.cmds.origin("p") == "::ns::p"
    ns.cmds.rename("p", "q")
    assert "q" in ns.procs and "p" not in ns.cmds
    ns.cmds.rename("q", "::q_global")
    assert interp.tk.eval("::q_global 1") == "12"
    nosuch = ns.cmds["nosuch"]
    assert nosuch.exists() is False
    with pytest.raises(KeyError) as info:
        del ns.cmds["nosuch"]
    assert isinstance(info.value.args[0], tkinter.TclError) and info.value.__cause__ is info.value.args[0]
    del ns.cmds["py"]
    assert "py" not in ns.cmds
    assert ns.cmds.get("nosuch") is not None  # item access never raises KeyError
