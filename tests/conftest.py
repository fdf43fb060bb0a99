"""Fixtures: a real Tcl interpreter, one with TclX, and a recording fake."""

import pytest

import movarn.tcl
from movarn.tcl import Interpreter


@pytest.fixture
def interp():
    """A fresh interpreter object over a real Tcl interpreter."""
    return Interpreter()


@pytest.fixture
def tclx(interp):
    """A real interpreter with TclX's keyed-list commands loaded."""
    interp.tk.eval("package require Tclx")
    return interp


class FakeTk:
    """Stands in for tkinter's application object and records every call."""

    def __init__(self, log, answers):
        self._log = log
        self._answers = answers

    def _record(self, op, *args):
        self._log.append((op,) + args)
        answer = self._answers.get(op)
        if callable(answer):
            return answer(*args)
        return answer

    def call(self, *args):
        return self._record("call", *args)

    def eval(self, script):
        return self._record("eval", script)

    def getvar(self, *args):
        return self._record("getvar", *args)

    def setvar(self, *args):
        return self._record("setvar", *args)

    def unsetvar(self, *args):
        return self._record("unsetvar", *args)

    def createcommand(self, name, func):
        return self._record("createcommand", name, func)


class FakeInterp:
    """An interpreter object that logs each operation with its exact arguments.

    ``answers`` maps an operation name ("call", "eval", "getvar", ...) to a
    value or to a callable computing the answer from the arguments.
    """

    def __init__(self, **answers):
        self.log = []
        self.answers = answers
        self.history = []
        self.vars = {}
        self._tk = FakeTk(self.log, answers)

    @property
    def tk(self):
        return self._tk

    def cast_list(self, value):
        self.log.append(("cast_list", value))
        return tuple(value) if isinstance(value, (tuple, list)) else tuple(str(value).split())

    def cast_array(self, value):
        self.log.append(("cast_array", value))
        items = tuple(value) if isinstance(value, (tuple, list)) else tuple(str(value).split())
        return dict(zip(items[::2], items[1::2]))

    def cast_boolean(self, value):
        self.log.append(("cast_boolean", value))
        return bool(int(value)) if value not in ("", None) else False

    def cast_any(self, value):
        self.log.append(("cast_any", value))
        return value


@pytest.fixture
def fake():
    return FakeInterp()


@pytest.fixture
def default_interp():
    """Installs a fresh default interpreter for the package, restored afterwards."""
    previous = movarn.tcl._default
    interp = Interpreter()
    movarn.tcl.set_default(interp)
    yield interp
    movarn.tcl.set_default(previous)
