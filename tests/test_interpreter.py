import os
import subprocess
import sys
import weakref

import pytest

import movarn.tcl
from movarn.datastructures import AttrDict


def test_importing_the_package_starts_no_tcl():
    code = ("import movarn.tcl, movarn.tcl.zendra; "
            "assert movarn.tcl._default is None; "
            "movarn.tcl.cast_list('a b'); assert movarn.tcl._default is not None")
    subprocess.run([sys.executable, "-c", code], check=True, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))


def test_package_acts_as_interpreter(default_interp):
    proxy = weakref.proxy(movarn.tcl)
    assert proxy.tk is default_interp.tk
    assert proxy.cast_list("a {b c}") == ("a", "b c")
    assert movarn.tcl.history is default_interp.history
    with pytest.raises(AttributeError):
        movarn.tcl.no_such_member


@pytest.mark.parametrize("value, expected", [
    ("a {b c} d", ("a", "b c", "d")),
    ("", ()),
    (("x", "y"), ("x", "y")),
    (["x", "y z"], ("x", "y z")),
    (5, (5,)),
    (2.5, (2.5,)),
])
def test_cast_list(interp, value, expected):
    assert interp.cast_list(value) == expected


def test_cast_list_of_tcl_obj_and_errors(tclx):
    tclx.tk.eval("keylset k a 1 b.c 2")
    obj = tclx.tk.call("set", "k")
    assert tclx.cast_list(obj) == ("a 1", "b {{c 2}}")
    with pytest.raises(TypeError):
        tclx.cast_list(object())


def test_casts(interp):
    interp.tk.eval("array set a {x 1 y {2 3}}")
    assert interp.cast_array(interp.tk.call("array", "get", "a")) == {"x": "1", "y": "2 3"}
    assert interp.cast_boolean("yes") is True and interp.cast_boolean(0) is False
    assert interp.cast_boolean(interp.tk.call("info", "exists", "a")) is True
    assert interp.cast_any("42") == 42 and interp.cast_any("0x10") == 16
    assert interp.cast_any("1.5") == 1.5 and interp.cast_any("a b") == "a b"
    assert interp.cast_any(("1", "x")) == (1, "x")


def test_vars_and_history(interp):
    with pytest.raises(Exception):
        interp.tk.eval("error boom")
    assert interp.vars["::errorInfo"].startswith("boom")
    interp.vars["g"] = "1"
    assert "g" in interp.vars and interp.tk.eval("set ::g") == "1"
    del interp.vars["g"]
    with pytest.raises(KeyError):
        interp.vars["g"]
    assert interp.history == []


def test_attrdict():
    d = AttrDict()
    d.x = 1
    assert d == {"x": 1} and d.x == 1 and isinstance(d, dict)
    del d.x
    with pytest.raises(AttributeError):
        d.x
    assert AttrDict(a=2).copy() == {"a": 2}
