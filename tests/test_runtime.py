"""The function objects behave as Python functions do."""

import inspect
import weakref

import pytest

from movarn.tcl import zendra as zmod
from movarn.tcl.zendra import _Tcl_ConvertElement, zendra


def python_twin(func, *params):
    """A Python function with the same name, qualname and parameters."""
    ns = {}
    exec("def %s(%s): pass" % (func.__name__, ", ".join(params)), ns)
    twin = ns[func.__name__]
    twin.__qualname__ = func.__qualname__
    twin.__defaults__ = func.__defaults__
    return twin


def error_of(f, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        f(*args, **kwargs)
    return str(info.value)


@pytest.mark.parametrize("defaults", [None, (set(),), ("x", set())])
@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    (("a",), {}),
    (("a", "b", "c"), {}),
    (("a", "b", "c", "d"), {}),
    ((), {"flags": set()}),
    (("a",), {"src": "b"}),
    (("a",), {"nope": 1}),
    ((), {"src": "a", "flags": set(), "other": 2}),
])
def test_binding_errors_match_cpython(defaults, args, kwargs):
    _Tcl_ConvertElement.__defaults__ = defaults
    try:
        twin = python_twin(_Tcl_ConvertElement, "src", "flags")
        try:
            twin(*args, **kwargs)
        except TypeError as exc:
            assert error_of(_Tcl_ConvertElement, *args, **kwargs) == str(exc)
        else:
            _Tcl_ConvertElement(*args, **kwargs)
    finally:
        _Tcl_ConvertElement.__defaults__ = None


def test_defaults_are_read_at_call_time():
    assert zendra.__defaults__ is None
    zendra.__defaults__ = (["a b"],)
    try:
        assert zendra() == "{a b}"
        assert inspect.signature(zendra).parameters["obj"].default == ["a b"]
    finally:
        zendra.__defaults__ = None
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'obj'"):
        zendra()
    with pytest.raises(TypeError, match="__defaults__ must be set to a tuple object"):
        zendra.__defaults__ = 1


def test_introspection():
    assert str(inspect.signature(_Tcl_ConvertElement)) == "(src, flags)"
    code = zendra.__code__
    assert code.co_argcount == 1 and code.co_varnames[:1] == ("obj",)
    assert zendra.__name__ == "zendra" and zendra.__qualname__ == "zendra"
    assert zendra.__module__ == "movarn.tcl.zendra"
    assert zendra.__globals__ is vars(zmod)
    assert zendra.__kwdefaults__ is None and zendra.__closure__ is None
    assert zendra.__annotations__ == {}
    assert repr(zendra).startswith("<function zendra at 0x")
    assert weakref.ref(zendra)() is zendra
    assert inspect.isroutine(zendra)
    zendra.extra = 1
    assert zendra.__dict__["extra"] == 1
    del zendra.extra


def test_methods_bind_through_instances_static_methods_do_not():
    class Holder:
        conv = zendra
        static = staticmethod(zendra)

        def __zendra__(self):
            return "holder"

    h = Holder()
    assert Holder.conv is zendra
    assert h.conv() == "holder"  # the instance is bound as the first argument
    assert h.conv.__self__ is h and h.conv.__func__ is zendra
    assert h.static([1, 2]) == "1 2"
    assert str(inspect.signature(h.conv)) == "()"
    with pytest.raises(TypeError, match=r"^zendra\(\) takes 1 positional argument but 2 were given$"):
        h.conv(1)
