"""Hostile and degenerate input ends in a Python exception, never a crash,
and a quoted list never lets a word become Tcl code."""

import importlib
import subprocess
import sys
import textwrap

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import movarn.tcl
from movarn.tcl.namespace import TclArrayVariable, TclCommand, TclVariable
from movarn.tcl.zendra import tclobj, zendra


class SelfConverting:
    def __tclobj__(self):
        return self


class FreshConverting:
    def __tclobj__(self):
        return FreshConverting()


def self_named_variable():
    v = TclVariable("x")
    v.var_name = v
    return v


def mutually_named_variables():
    a, b = TclVariable("a"), TclVariable("b")
    a.var_name, b.var_name = b, a
    return a


@pytest.mark.parametrize("make", [SelfConverting, FreshConverting, self_named_variable,
                                  mutually_named_variables])
@pytest.mark.parametrize("convert", [zendra, tclobj])
def test_recursion_through_the_package_raises(make, convert, default_interp):
    value = make()
    try:
        result = convert(value)
    except RecursionError:
        return
    # tclobj hands a protocol result back as it is: only a loop of our own
    # conversions may recurse.
    assert convert is tclobj and result is not None


# Each runs in a fresh process: the first RecursionError of a process used to
# abort it while pybind11 set itself up in an error's destructor.
FIRST_RECURSION_ERRORS = {
    "vesk copy": """
        import copy; from movarn.tcl import Interpreter; from movarn.tcl.vesk import Vesk
        copy.copy(Vesk(Interpreter()))""",
    "vesk code attribute": """
        from movarn.tcl.vesk import Vesk_Code
        hasattr(Vesk_Code.__new__(Vesk_Code), "x")""",
    "protocol converting a self-containing list": """
        from movarn.tcl.zendra import zendra
        class B:
            def __zendra__(self):
                l = []; l.append(l); return zendra(l)
        zendra(B())""",
    "command named by itself": """
        from movarn.tcl import Interpreter; from movarn.tcl.namespace import TclCommand
        c = TclCommand("x", tcl=Interpreter()); c.cmd_name = c; c()""",
    "deep data at a huge recursion limit": """
        import sys; sys.setrecursionlimit(10**6)
        from movarn.tcl.zendra import zendra, tclobj
        d = {}; d["a"] = d; l = []; l.append(l)
        for f in (zendra, tclobj):
            for v in (d, l):
                try: f(v)
                except RecursionError: pass
                else: raise SystemExit("no RecursionError")
        raise RecursionError""",
}


@pytest.mark.parametrize("case", sorted(FIRST_RECURSION_ERRORS))
def test_first_recursion_error_of_a_process_is_clean(case):
    code = textwrap.dedent(FIRST_RECURSION_ERRORS[case]).strip()
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 1, proc.stderr[-2000:]
    assert "RecursionError" in proc.stderr.splitlines()[-1]


def test_generator_refuses_reentry_while_running(fake):
    arr = TclArrayVariable("a", tcl=fake)
    gen = iter(arr)
    seen = []

    def reenter(value):
        seen.append(gen.gi_running)
        with pytest.raises(ValueError, match="generator already executing"):
            next(gen)
        return ("k", "v")

    fake.cast_list = reenter
    fake.answers.update(call="k v", eval="k v")
    items = list(gen)
    assert seen == [True] and gen.gi_running is False and items


WORD = st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\0:"), max_size=8)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(first=WORD, args=st.lists(WORD, max_size=4))
def test_script_with_leading_hash_word_calls_exactly_that_command(interp, first, args):
    name = "#" + first
    calls = []
    interp.tk.createcommand(name, lambda *a: calls.append(a) or "")
    interp.tk.eval("set ::canary 0")
    try:
        TclCommand((name,), tcl=interp).eval(*args)
    finally:
        interp.tk.deletecommand(name)
    assert calls == [tuple(args)] and interp.tk.eval("set ::canary") == "0"


def test_leading_hash_line_injection_stays_an_argument(interp):
    calls = []
    interp.tk.createcommand("#x", lambda *a: calls.append(a) or "")
    interp.tk.eval("set ::canary 0")
    TclCommand("#x", tcl=interp).eval("a\nset ::canary 1\n")
    assert calls == [("a\nset ::canary 1\n",)] and interp.tk.eval("set ::canary") == "0"


def test_reload_keeps_the_default_interpreter():
    interp = movarn.tcl.default()
    TclVariable("::kept", tcl=None).set("before")
    importlib.reload(movarn.tcl)
    assert movarn.tcl.default() is interp
    assert TclVariable("::kept", tcl=None).get() == "before"
