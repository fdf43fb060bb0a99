"""ns.vars and ns.objs: the variables of a namespace as mappings."""

import functools

import pytest
import tkinter

from movarn.tcl import namespace as nsmod
from movarn.tcl.namespace import TclArrayVariable, TclNamespace, TclVariable, TempTclCommand


@pytest.fixture
def app(interp):
    ns = TclNamespace("::a", tcl=interp)
    ns.create()
    return ns


def test_string_and_object_forms(app, interp):
    app.vars["x"] = 5
    assert interp.tk.eval("set ::a::x") == "5"
    assert app.vars["x"] == "5" and app.objs["x"] == 5
    app.vars["l"] = [1, "a b"]
    assert app.vars["l"] == "1 {a b}" and app.objs["l"] == (1, "a b")
    interp.tk.eval("set ::g global")
    assert app.vars["::g"] == "global"
    assert "x" in app.vars and "missing" not in app.vars
    assert set(app.vars) >= {"x", "l"} and len(app.vars) == len(list(app.vars))


def test_elements_and_arrays(app):
    app.vars.set("arr", "v", array_index="k")
    assert app.vars.exists("arr", array_index="k")
    assert app.objs.get("arr", array_index="k") == "v" and app.objs.get("arr", "k") == "v"
    assert app.vars["arr(k)"] == "v"
    assert app.vars.array_get("arr") == {"k": "v"} and app.objs.array_get("arr") == {"k": "v"}
    assert app.vars.is_array("arr") and app.vars.array_names("arr") == ("k",)
    arr = app.vars.array_byref("arr")
    assert type(arr) is TclArrayVariable and arr.var_name == "::a::arr" and arr.tcl is app.tcl
    app.vars.array_set("arr", {"j": 2})
    assert dict(arr) == {"k": "v", "j": 2}
    app.vars.array_unset("arr", "j")
    assert list(arr) == ["k"]
    app.vars["n"] = "7"
    assert app.vars.byref("n", cast=int).get() == 7
    with pytest.raises(KeyError):
        app.vars["arr"]  # an array has no string value


def test_missing_and_invalid_names(app):
    with pytest.raises(KeyError) as info:
        app.vars["missing"]
    assert isinstance(info.value.args[0], tkinter.TclError) and info.value.__cause__ is info.value.args[0]
    with pytest.raises(KeyError) as info:
        del app.vars["missing"]
    assert info.value.__cause__ is info.value.args[0]
    assert app.vars.unset("missing", nocomplain=True) is None
    with pytest.raises(KeyError) as info:
        app.vars["a:b"]
    assert isinstance(info.value.args[0], ValueError)
    for call in (lambda: app.vars.get("a:b"), lambda: app.vars.exists("a:b"), lambda: "a:b" in app.vars):
        with pytest.raises(ValueError, match="Invalid Tcl namespace"):
            call()
    with pytest.raises(ValueError):
        del app.vars["a:b"]
    with pytest.raises(tkinter.TclError):
        app.vars.get("missing")
    assert app.vars.pop("missing", 0) == 0
    assert app.vars.setdefault("fresh", 1) == 1 and app.vars["fresh"] == "1"
    with pytest.raises(TypeError):
        app.vars.get("x", None)


def test_qualification_and_words(fake):
    fake.answers.update(eval="S", getvar="O", call=("x", "y"))
    ns = TclNamespace("::a", tcl=fake)
    assert ns.vars["x"] == "S" and ns.objs["b::x"] == "O" and ns.vars["::g"] == "S"
    ns.vars["x"] = 5
    del ns.vars["x"]
    assert [name for name in ns.vars] == ["x", "y"] and len(ns.objs) == 2
    assert fake.log == [
        ("eval", "set ::a::x"), ("getvar", "::a::b::x"), ("eval", "set ::g"),
        ("setvar", "::a::x", 5), ("unsetvar", "::a::x"),
        ("call", ("namespace", "eval", "::a", ("::info", "vars"))), ("cast_list", ("x", "y")),
        ("call", ("namespace", "eval", "::a", ("::info", "vars"))), ("cast_list", ("x", "y")),
    ]


def test_iteration_is_lazy_and_runs_in_the_namespace(fake):
    fake.answers["call"] = ("v",)
    it = iter(TclNamespace("", tcl=fake).vars)
    assert fake.log == []
    assert list(it) == ["v"]
    assert fake.log[0] == ("call", ("::info", "vars"))


def test_byref_keyword_rules(fake):
    ns = TclNamespace("::ns", tcl=fake)
    h = ns.vars.byref("a", "k")
    assert type(h) is TclVariable and h.var_name == "::ns::a(k)" and h.tcl is ns.tcl
    with pytest.raises(TypeError, match="multiple values for keyword argument 'tcl'"):
        ns.vars.byref("a", tcl=fake)
    with pytest.raises(TypeError, match="multiple values for argument 'tcl'"):
        ns.vars.byref("a", "k", "extra")
    with pytest.raises(TypeError):
        ns.vars.array_byref("a", "k")
    with pytest.raises(TypeError, match="multiple values for keyword argument 'var_type'"):
        ns.vars.array_byref("a", var_type=TclVariable)
    assert type(ns.vars.byref("a", var_type=TclArrayVariable)) is TclArrayVariable
    assert fake.log == []


def test_views_check_their_namespace():
    with pytest.raises(AssertionError):
        TclNamespace.VariablesView("not a namespace")


class _Maker:
    def __call__(self, *args, **kwargs):
        return None


@pytest.mark.parametrize("var_type", [TclVariable, functools.partial(TclVariable), _Maker()])
def test_byref_names_a_repeated_keyword_as_python_does(fake, var_type):
    ns = TclNamespace("::ns", tcl=fake)
    with pytest.raises(TypeError) as python:
        var_type("::ns::a", tcl=ns.tcl, **{"tcl": fake})
    with pytest.raises(TypeError) as ours:
        ns.vars.byref("a", var_type=var_type, tcl=fake)
    assert str(ours.value) == str(python.value)


def _delete_vars_item(ns):
    del ns.vars["missing"]


def _delete_cmds_item(ns):
    del ns.cmds["missing"]


@pytest.mark.parametrize("bad", [None, 5, (tkinter.TclError, 3)])
@pytest.mark.parametrize("operation", [
    lambda ns: ns.vars["missing"],
    _delete_vars_item,
    _delete_cmds_item,
    lambda ns: TclVariable("::missing", tcl=ns.tcl).unset(nocomplain=True),
    lambda ns: TempTclCommand(tcl=ns.tcl).__exit__(None, None, None),
])
def test_a_rebound_tcl_error_that_cannot_be_caught(app, monkeypatch, bad, operation):
    # As `except TclError:` does: TypeError, with the Tcl error at the end
    # of its context chain (one refusal per handler it passed).
    monkeypatch.setattr(nsmod, "TclError", bad)
    with pytest.raises(TypeError, match="^catching classes that do not inherit from BaseException is not allowed$") \
            as info:
        operation(app)
    error = info.value
    while isinstance(error, TypeError):
        error = error.__context__
    assert isinstance(error, tkinter.TclError)
