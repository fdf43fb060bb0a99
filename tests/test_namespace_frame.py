"""The namespace module's shape: names, classes, members, aliases, defaults."""

import inspect
from abc import ABCMeta
from collections.abc import MutableMapping

import pytest
import tkinter

from movarn.tcl import namespace as nsmod
from movarn.tcl.namespace import (TclArrayVariable, TclNamespace, TclVariable, TempTclArrayVariable,
                                  TempTclNamespace, TempTclVariable)


def test_module_names_in_order():
    names = [n for n in vars(nsmod) if not (n.startswith("__") and n.endswith("__"))]
    head = ["MutableMapping", "zendra", "tclobj", "TclError", "Tk", "MethodType", "weakref", "sys", "functools"]
    assert names[: len(head)] == head
    classes = [n for n in names[len(head):]]
    assert classes == [n for n in nsmod.__all__ if n in classes]
    assert list(vars(nsmod)).index("__all__") < list(vars(nsmod)).index("TclVariable")
    assert nsmod.__all__ == ("TclVariable", "TempTclVariable", "TclArrayVariable", "TempTclArrayVariable",
                             "TclCommand", "TempTclCommand", "TclNamespace", "TempTclNamespace")
    assert nsmod.Tk is tkinter.Tk and nsmod.TclError is tkinter.TclError
    from movarn.tcl.zendra import tclobj, zendra
    assert nsmod.zendra is zendra and nsmod.tclobj is tclobj
    for name in nsmod.__all__[:4]:
        assert "TclVariable" in nsmod.__doc__ and name in nsmod.__doc__


def own_members(cls):
    return [k for k in vars(cls) if k not in ("__module__", "__qualname__", "__doc__", "__dict__", "__weakref__",
                                               "__abstractmethods__", "_abc_impl")]


@pytest.mark.parametrize("cls, members", [
    (TclVariable, ["_TclVariable__marker", "__init__", "get_obj", "get_str", "get", "set", "unset", "exists",
                   "array_item_byref", "array_get_obj", "array_get_str", "array_get", "array_set", "array_unset",
                   "array_size", "array_names", "is_array", "absolute", "make_absolute", "__str__", "__tclobj__",
                   "__repr__"]),
    (TempTclVariable, ["__init__", "__enter__", "__exit__"]),
    (TclArrayVariable, ["__init__", "get", "__len__", "__iter__", "__contains__", "__getitem__", "__setitem__",
                        "__delitem__", "clear", "update"]),
    (TempTclArrayVariable, []),
    (TempTclNamespace, ["__init__", "__enter__", "__exit__"]),
    (TclNamespace.ObjectsView, ["get", "array_get"]),
])
def test_members_in_order(cls, members):
    assert own_members(cls) == members


def test_namespace_members_and_nested_views():
    members = own_members(TclNamespace)
    assert members[:25] == ["__init__", "children", "code", "current", "create", "delete", "eval", "call",
                            "exists", "export", "forget", "import_", "origin", "parent", "which", "is_absolute",
                            "is_relative", "absolute", "make_absolute", "__str__", "qualifiers", "tail", "join",
                            "split", "normalize"]
    assert members[25:27] == ["VariablesView", "ObjectsView"]
    for view in ("VariablesView", "ObjectsView"):
        cls = getattr(TclNamespace, view)
        assert cls.__qualname__ == "TclNamespace." + view and cls.__module__ == "movarn.tcl.namespace"
        assert type(cls) is ABCMeta
    assert TclNamespace.ObjectsView.__bases__ == (TclNamespace.VariablesView,)
    assert TclNamespace.VariablesView.__bases__ == (MutableMapping,)
    assert TclNamespace.VariablesView.get.__qualname__ == "TclNamespace.VariablesView.get"


def test_bases_mro_and_metaclasses():
    assert TclVariable.__bases__ == (object,)
    assert TclArrayVariable.__bases__ == (MutableMapping, TclVariable)
    assert type(TclArrayVariable) is ABCMeta and type(TclVariable) is type
    mro = [c.__name__ for c in TempTclArrayVariable.__mro__]
    assert mro == ["TempTclArrayVariable", "TempTclVariable", "TclArrayVariable", "MutableMapping", "Mapping",
                   "Collection", "Sized", "Iterable", "Container", "TclVariable", "object"]
    assert TempTclNamespace.__bases__ == (TclNamespace,)
    for cls in (TclVariable, TempTclArrayVariable, TclNamespace.VariablesView):
        assert cls.__module__ == "movarn.tcl.namespace"


def test_aliases_marker_and_defaults():
    assert TclVariable.get is TclVariable.get_obj
    assert TclVariable.array_get is TclVariable.array_get_obj
    assert TclArrayVariable.get is TclVariable.get_obj
    marker = TclVariable._TclVariable__marker
    assert type(marker) is object
    assert TclVariable.get_obj.__defaults__ == (None, marker) and TclVariable.get_obj.__defaults__[1] is marker
    template = "::__movarn__{cls}_{id}_tmp"
    assert TempTclVariable.__init__.__defaults__ == (template,)
    assert TempTclNamespace.__init__.__defaults__ == (template,)


@pytest.mark.parametrize("func, text", [
    (TclVariable.__init__, "(self, var_name, array_index=None, tcl=None, cast=None)"),
    (TclVariable.unset, "(self, array_index=None, nocomplain=False)"),
    (TclVariable.array_item_byref, "(self, array_index, cast=None)"),
    (TempTclVariable.__init__, "(self, var_name='::__movarn__{cls}_{id}_tmp', **kwargs)"),
    (TempTclVariable.__exit__, "(self, *exc_info)"),
    (TclArrayVariable.__init__, "(self, var_name, tcl=None, cast=None)"),
    (TclArrayVariable.update, "(self, *args, **kwargs)"),
    (TclNamespace.__init__, "(self, ns, tcl=None)"),
    (TclNamespace.export, "(self, clear=False, *patterns)"),
    (TclNamespace.import_, "(self, force=False, *patterns)"),
    (TclNamespace.which, "(self, name, command=False, variable=False)"),
    (TclNamespace.join, "(string, *args)"),
    (TclNamespace.VariablesView.byref, "(self, var_name, *args, **kwargs)"),
    (TclNamespace.VariablesView.unset, "(self, var_name, array_index=None, nocomplain=False)"),
    (TclNamespace.ObjectsView.get, "(self, var_name, array_index=None)"),
])
def test_signatures(func, text):
    assert str(inspect.signature(func)) == text


def test_static_methods_and_super_cells():
    assert isinstance(vars(TclNamespace)["split"], staticmethod)
    interp = type("I", (), {})()
    handle = TclNamespace("::x", tcl=interp)
    assert handle.split is TclNamespace.split and handle.split("::a::b") == ["", "a", "b"]
    for cls in (TempTclVariable, TempTclNamespace):
        cell = cls.__init__.__closure__[0]
        assert cell.cell_contents is cls
        assert cls.__init__.__code__.co_freevars == ("__class__",)
    from collections.abc import Generator
    it = iter(TclArrayVariable("a", tcl=interp))  # a lazy generator: nothing is asked of `interp` yet
    assert isinstance(it, Generator)
    with pytest.raises(AttributeError, match="tk"):
        next(it)


def test_binding_errors_are_cpythons():
    with pytest.raises(TypeError, match=r"^TclVariable.__init__\(\) missing 1 required positional argument: "
                                        r"'var_name'$"):
        TclVariable()
    with pytest.raises(TypeError, match=r"^TclVariable.get_obj\(\) got an unexpected keyword argument 'x'$"):
        TclVariable("a", tcl=TclNamespace).get_obj(x=1)
