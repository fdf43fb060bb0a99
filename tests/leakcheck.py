"""Leak check: every public operation of the package, error paths included, many times over.

    PYTHONPATH=build/pkg python3 tests/leakcheck.py [--rounds N] [--group G] [--only NAME] [--list]

Each operation runs a warm-up tenth of its rounds, then the rest.  It fails
(exit status 1, the operation named) when, after the warm-up,

- the process's resident memory (/proc/self/statm) keeps growing: more than
  the tolerance over the whole run and still growing in its second half;
- the number of objects the garbage collector tracks grew: a leaked list,
  dict, handle or exception;
- the reference count of an object the operation was given changed: a
  reference taken and never dropped, or dropped twice.

An operation that raises an exception it was not written to expect fails too.
Faults of tkinter itself, listed in KNOWN, are reported but fail the run only
with --strict.
"""

import argparse
import gc
import logging
import os
import sys
import tkinter
import weakref

import _tkinter

import movarn.tcl
from movarn.tcl import Interpreter
from movarn.tcl.namespace import (TclArrayVariable, TclCommand, TclNamespace, TclVariable, TempTclArrayVariable,
                                  TempTclCommand, TempTclNamespace, TempTclVariable)
from movarn.tcl.tovrin import Tovrin
from movarn.tcl.vesk import Vesk
from movarn.tcl.zendra import _Tcl_ConvertElement, _Tcl_ScanElement, _tcl_UpdateStringOfList, tclobj, zendra

TclError = tkinter.TclError
PAGE = os.sysconf("SC_PAGE_SIZE")


# Operations whose leak lies in the Python underneath, not in this package.
KNOWN = {
    "callback raises": "tkinter (CPython 3.11) keeps each exception that a Python callback raises inside Tcl "
                       "and overwrites it at the next one without releasing it",
}

KNOWN_ROUNDS = 5000
# Operations that each cost a thousand nested calls run a twentieth of the rounds.
SLOW = {"self-containing list": 20}


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class Boom(Exception):
    pass


def expect(exc, func, *args, **kwargs):
    """Run an error path: it must raise `exc`."""
    try:
        func(*args, **kwargs)
    except exc:
        return
    raise AssertionError("%s did not raise %s" % (getattr(func, "__name__", func), exc.__name__))


class Z:
    def __zendra__(self):
        return "z {text}"


class T:
    def __tclobj__(self):
        return ("t", 1, ["u v"])


class RaisesInMethod:
    def __tclobj__(self):
        raise Boom("tclobj")

    __zendra__ = __tclobj__


class RaisesOnRead:
    @property
    def __zendra__(self):
        raise Boom("read")

    __tclobj__ = __zendra__


class Missing:
    @property
    def __zendra__(self):
        raise AttributeError("absent")

    __tclobj__ = __zendra__

    def __str__(self):
        return "missing"


class BadStr:
    def __str__(self):
        raise Boom("str")


class Grows:
    """Its conversion appends to the list that holds it, once per list."""

    def __init__(self, owner):
        self.owner = owner

    def __zendra__(self):
        if len(self.owner) < 4:
            self.owner.append("late")
        return "g"

    __tclobj__ = __zendra__


class NullLogger:
    def info(self, line):
        self.last = line


def operations(interp):
    """(group, name, function, objects whose reference counts must not change)."""
    tk = interp.tk
    tk.eval("package require Tclx")
    tk.eval("namespace eval ::lk { proc echo {a args} { return [list $a {*}$args] } }")
    tk.eval("namespace eval ::lk { proc fail {} { error boom } }")
    tk.eval("proc ::lk::dflt {a {b 7}} { return $a }")
    tk.eval("namespace eval ::lk::child {}")

    nested = [1, "a b", ("c", {"k": [2.5, None, True]}), {3, 4}, b"\x00\xff", 2 ** 70, "\U0001F600{\\"]
    selfref = []
    selfref.append(selfref)
    z, t, rim, ror, miss = Z(), T(), RaisesInMethod(), RaisesOnRead(), Missing()
    kl_text = "{a 1} {b {{c 2} {d {x y}}}}"
    tk.call("set", "::lk::kl", kl_text)
    tk.eval("keylset ::lk::kl e.f 3")
    kl_obj = tk.call("set", "::lk::kl")  # a Tcl_Obj of TclX's keyed-list type
    kl = Tovrin({"a.b": 1, "c": {"d": [1, 2]}, "e": "text"})
    other = Tovrin({"a.x": 2, "n.m": "v"})
    plain_value = Tovrin({"p": "plain"})
    ns = TclNamespace("::lk", tcl=interp)
    var = TclVariable("::lk::v", tcl=interp)
    arr = TclArrayVariable("::lk::arr", tcl=interp)
    arr.update({"k1": 1, "k2": "two"})
    cmd = TclCommand("::lk::echo", keywords={"opt": 1}, tcl=interp)
    proc_h = TclCommand("::lk::dflt", tcl=interp)
    fail = TclCommand("::lk::fail", tcl=interp)
    logged = TclCommand(("::lk::echo", "x"), tcl=interp, cast=interp.cast_any, logger=NullLogger())
    root = Vesk(interp)
    callback = lambda *a: "-".join(a)  # noqa: E731
    raising_callback = lambda *a: 1 / 0  # noqa: E731

    class Method:
        echo = TclCommand("::lk::echo", tcl=interp)

        def __tclobj__(self):
            return "self"

    method_owner = Method()

    def grows():
        owner = ["a"]
        owner.append(Grows(owner))
        zendra(owner)
        tclobj(owner)

    def temp_var():
        with TempTclVariable(tcl=interp) as tv:
            tv.set([1, 2])
            tv.get_str()

    def temp_var_raising():
        with TempTclVariable(tcl=interp) as tv:
            tv.set(1)
            raise Boom("inside")

    def temp_array():
        with TempTclArrayVariable(tcl=interp) as ta:
            ta["k"] = "v"
            dict(ta)

    def temp_cmd():
        with TempTclCommand(callback, tcl=interp) as tc:
            tk.call(tc.cmd_name, "a", "b")

    def temp_cmd_collected():
        tc = TempTclCommand(callback, tcl=interp)
        tk.call(tc.cmd_name, "x")
        del tc

    def temp_cmd_raising():
        with TempTclCommand(raising_callback, tcl=interp) as tc:
            expect(TclError, tk.call, tc.cmd_name)
            tk.eval("catch {%s}" % tc.cmd_name)

    def temp_ns():
        with TempTclNamespace(tcl=interp) as tn:
            tn.vars["x"] = 1
            tn.exists()

    def temp_ns_raising():
        with TempTclNamespace(tcl=interp) as tn:
            tn.vars["x"] = 1
            raise Boom("inside")

    class Holder:  # an interpreter object without reference cycles: it dies at once
        def __init__(self):
            self.tk = tk

    def dead_interp():
        gone = Holder()
        h = TclVariable("x", tcl=gone)
        c = TclCommand("::lk::echo", tcl=gone)
        del gone
        expect(ReferenceError, h.get)
        expect(ReferenceError, c, 1)

    def views():
        ns.vars["vx"] = [1, "a b"]
        ns.vars["vx"]
        ns.objs["vx"]
        "vx" in ns.vars
        sorted(ns.vars)
        len(ns.objs)
        del ns.vars["vx"]
        ns.vars.set("va", 1, array_index="i")
        ns.vars.array_get("va")
        ns.objs.array_get("va")
        ns.vars.array_names("va")
        ns.vars.is_array("va")
        ns.vars.array_unset("va")

    def view_errors():
        expect(KeyError, ns.vars.__getitem__, "missing")
        expect(KeyError, ns.vars.__delitem__, "missing")
        expect(KeyError, ns.vars.__getitem__, "a:b")
        expect(ValueError, ns.vars.get, "a:b")
        expect(TclError, ns.vars.get, "missing")

    def cmd_views():
        ns.cmds["echo"]("v")
        ns.procs["dflt"]
        sorted(ns.cmds)
        len(ns.procs)
        ns.cmds.exists("echo")
        ns.cmds.proc_args("dflt")
        ns.cmds.proc_arg_default("dflt", "b")
        ns.cmds["tmp"] = callback
        tk.call("::lk::tmp", "q")
        ns.cmds.rename("tmp", "tmp2")
        del ns.cmds["tmp2"]
        expect(KeyError, ns.cmds.__delitem__, "missing")

    def generator_protocol():
        it = iter(ns.vars)
        next(it, None)
        it.close()
        it = iter(arr)
        expect(Boom, it.throw, Boom("thrown"))

    def ns_ops():
        ns.children()
        ns.code("echo a")
        ns.current()
        ns.eval("set ::lk::e 1")
        ns.call(("::lk::echo", "a"))
        ns.exists()
        ns.export(False, "echo")
        ns.origin("echo")
        ns.parent()
        ns.parent(force_eval=True)
        ns.which("echo", command=True)
        ns.is_absolute()
        TclNamespace("lk", tcl=interp).absolute()
        TclNamespace.qualifiers("::a::b::c")
        TclNamespace.tail("::a::b::c")
        TclNamespace.join("::a", "b", "::c")
        TclNamespace.split("::a::b")
        TclNamespace.normalize("a::::b::")
        child = TclNamespace("::lk::imp", tcl=interp)
        child.create()
        child.import_(False, "::lk::echo")
        child.forget("::lk::echo")
        child.delete()

    def ns_errors():
        expect(ValueError, TclNamespace.join, "a:b", "c")
        expect(TclError, ns.children, "no*")
        expect(TclError, ns.eval, "error x")
        expect(ValueError, TclNamespace("", tcl=interp).create)

    def vesk_calls():
        root.lk.echo("ch 1", range=5)
        root.lk.echo("x", cast_=False)
        del interp.history[:]

    def vesk_errors():
        expect(TclError, root.lk.fail)
        expect(TclError, root)
        str(root.lk.echo)
        del interp.history[:]

    def shell():
        interp.cast_list("a {b c}")
        interp.cast_list(("a", 1))
        interp.cast_array("k v k2 {v 2}")
        interp.cast_boolean("yes")
        interp.cast_any("0x1f")
        interp.cast_any(("1", "2.5", "x"))
        movarn.tcl.cast_list("p q")
        interp.vars["::lk_g"] = "v"
        interp.vars["::lk_g"]
        del interp.vars["::lk_g"]
        expect(KeyError, interp.vars.__getitem__, "::lk_missing")
        expect(TypeError, interp.cast_list, object())

    ops = [
        # conversions
        ("zendra", "zendra nested", lambda: zendra(nested), [nested]),
        ("zendra", "tclobj nested", lambda: tclobj(nested), [nested]),
        ("zendra", "zendra protocol", lambda: (zendra([z, t, miss]), zendra(z), zendra(t)), [z, t, miss]),
        ("zendra", "tclobj protocol", lambda: (tclobj([z, t, miss]), tclobj(t)), [z, t, miss]),
        ("zendra", "quoting functions", lambda: (_Tcl_ScanElement("a{b"), _Tcl_ConvertElement("{a", set()),
                                                  _tcl_UpdateStringOfList(iter(["x y", 1])),
                                                  zendra.from_mapping({"k": "v"}), tclobj.from_sequence([1]),
                                                  tclobj.from_mapping({"k": [1]})), []),
        ("zendra", "user method raises", lambda: (expect(Boom, zendra, [1, rim]), expect(Boom, tclobj, (rim,))),
         [rim]),
        ("zendra", "attribute read raises", lambda: (expect(Boom, zendra, [ror]), expect(Boom, tclobj, ror)), [ror]),
        ("zendra", "str raises", lambda: expect(Boom, zendra, [1, BadStr()]), []),
        ("zendra", "non-str element", lambda: expect(TypeError, zendra, [Z3]), []),
        ("zendra", "self-containing list", lambda: (expect(RecursionError, zendra, selfref),
                                                    expect(RecursionError, tclobj, selfref)), [selfref]),
        ("zendra", "list grows while converted", grows, []),
        # keyed lists
        ("tovrin", "construct", lambda: Tovrin({"a.b": 1, "c": {"d": []}, "e": ""}, f="g"), []),
        ("tovrin", "dotted access", lambda: (kl["a.b"], kl.c.d, "a.b" in kl, kl.get("a.zz"), kl.has_key("c")), [kl]),
        ("tovrin", "set and delete", lambda: (kl.__setitem__("x.y.z", [1]), kl.__delitem__("x.y.z"),
                                              kl.setdefault("s.t", 1), kl.pop("s.t")), [kl]),
        ("tovrin", "update", lambda: Tovrin(kl).update(other, q=Tovrin({"r": 1})), [kl, other]),
        ("tovrin", "traverse", lambda: (kl.all_keys(), kl.all_items(), kl.__tclobj__(), zendra(kl)), [kl]),
        ("tovrin", "from_tcl", lambda: (Tovrin.from_tcl(kl_text), Tovrin.from_tcl(kl_obj),
                                        Tovrin().__setitem__("o", kl_obj)), [kl_obj]),
        ("tovrin", "errors", lambda: (expect(KeyError, kl.__getitem__, "nope.x"),
                                      expect(KeyError, plain_value.__setitem__, "p.q", 1),
                                      expect(KeyError, plain_value.__setitem__, "p", Tovrin()),
                                      expect(TypeError, kl.__setitem__, 5, 1),
                                      expect(TypeError, kl.update, {}, {}),
                                      expect(KeyError, plain_value.update, p=Tovrin({"y": 1})),
                                      expect(ValueError, Tovrin.from_tcl, "a b c"),
                                      expect(AttributeError, getattr, kl, "nope")), [kl, plain_value]),
        # variables
        ("variables", "variable handle", lambda: (var.set([1, "a b"]), var.get(), var.get_str(), var.exists(),
                                                  var.get_obj(cast=str), repr(var), str(var), tclobj(var),
                                                  var.absolute(), TclVariable("v", tcl=interp).absolute(),
                                                  var.unset()), [var]),
        ("variables", "variable errors", lambda: (expect(TclError, var.get), expect(TclError, var.get_str),
                                                  expect(TclError, var.unset), var.unset(nocomplain=True),
                                                  expect(ValueError, TclVariable("a:b", tcl=interp).absolute),
                                                  expect(Boom, var.set, [rim])), [var, rim]),
        ("variables", "array handle", lambda: (arr["k1"], dict(arr), len(arr), arr.array_get(), arr.array_get_str("k*"),
                                               arr.array_names(), arr.array_size(), arr.is_array(),
                                               arr.array_item_byref("k1").get(), arr.__setitem__("k3", [3]),
                                               arr.__delitem__("k3"), arr.__setitem__("k3", 0)), [arr]),
        ("variables", "array errors", lambda: (expect(TclError, arr.__getitem__, "nope"),
                                               expect(TclError, arr.__delitem__, "nope")), [arr]),
        ("variables", "temporary variable", temp_var, []),
        ("variables", "temporary variable, block raises", lambda: expect(Boom, temp_var_raising), []),
        ("variables", "temporary array", temp_array, []),
        ("variables", "dead interpreter", dead_interp, []),
        # commands
        ("commands", "call and eval", lambda: (cmd("a b", flag=None), cmd.eval("a", opt=[1, 2]), cmd.call(t, z),
                                               logged("y"), method_owner.echo(), cmd.build_tclcmd(1, x=2)),
         [cmd, t, z, method_owner]),
        ("commands", "construct", lambda: (TclCommand("puts hello", tcl=interp), TclCommand(cmd, tcl=interp),
                                           TclCommand(cmd, args=["x"], tcl=interp),
                                           TclCommand(("::lk::echo", "w"), keywords={"k": [1]}, tcl=interp),
                                           repr(cmd), str(cmd), tclobj(cmd),
                                           TclCommand.kwargs_to_dashed_args(a=1, b=None)), [cmd]),
        ("commands", "queries", lambda: (proc_h.exists(), proc_h.is_proc(), proc_h.is_command(), proc_h.proc_body(),
                                         proc_h.proc_args(), proc_h.proc_arg_default("b"),
                                         proc_h.proc_arg_default("a"), proc_h.origin(), proc_h.absolute(),
                                         TclCommand("set", tcl=interp).absolute()), [proc_h]),
        ("commands", "rename and create", lambda: (TclCommand("::lk::made", tcl=interp).createcommand(callback),
                                                   TclCommand("::lk::made", tcl=interp).rename("::lk::made2"),
                                                   TclCommand("::lk::made2", tcl=interp).delete()), [callback]),
        ("commands", "command errors", lambda: (expect(TclError, fail), expect(TclError, fail.eval),
                                                expect(TclError, TclCommand("::nope", tcl=interp)),
                                                expect(TclError, proc_h.rename, "::set"),
                                                expect(IndexError, TclCommand, (), tcl=interp),
                                                expect(Boom, cmd, rim),
                                                expect(TclError, proc_h.proc_arg_default, "zz")), [fail, proc_h, rim]),
        ("commands", "temporary command", temp_cmd, [callback]),
        ("commands", "temporary command, collected", temp_cmd_collected, [callback]),
        # namespaces
        ("namespaces", "namespace operations", ns_ops, [ns]),
        ("namespaces", "namespace errors", ns_errors, [ns]),
        ("namespaces", "variables views", views, [ns]),
        ("namespaces", "variables view errors", view_errors, [ns]),
        ("namespaces", "commands views", cmd_views, [ns, callback]),
        ("namespaces", "listing generators", generator_protocol, [ns, arr]),
        ("namespaces", "temporary namespace", temp_ns, []),
        ("namespaces", "temporary namespace, block raises", lambda: expect(Boom, temp_ns_raising), []),
        # quick calls and the shell
        ("vesk", "quick calls", vesk_calls, [root]),
        ("vesk", "quick call errors", vesk_errors, [root]),
        ("shell", "interpreter conversions and vars", shell, [interp]),
        # last, and fewer rounds: what it leaks would crowd the others' figures
        ("commands", "callback raises", temp_cmd_raising, [raising_callback]),
    ]
    return ops


class _Z2:
    def __zendra__(self):
        return 5  # unchecked at the top, and as a list element it converts again to "5"


class _Z3:
    def __zendra__(self):
        return Z2  # an element whose own conversion is no string: refused


Z2, Z3 = _Z2(), _Z3()


def run_op(op, rounds, rss_tolerance):
    group, name, func, probes = op
    warm = max(rounds // 10, 1)
    for _ in range(warm):
        func()
    gc.collect()
    counts = [sys.getrefcount(p) for p in probes]
    objects0 = len(gc.get_objects())
    rss0 = rss()
    half = (rounds - warm) // 2
    for _ in range(half):
        func()
    rss1 = rss()
    for _ in range(rounds - warm - half):
        func()
    gc.collect()
    rss2 = rss()
    objects = len(gc.get_objects()) - objects0
    problems = []
    if rss2 - rss0 > rss_tolerance and rss2 - rss1 > rss_tolerance // 2:
        problems.append("memory grew by %d KiB" % ((rss2 - rss0) // 1024))
    if objects > 50:
        problems.append("%d more objects tracked by the collector" % objects)
    # Measured exactly as before the loop, so the counting adds the same references.
    after = [sys.getrefcount(p) for p in probes]
    for probe, was, now in zip(probes, counts, after):
        if now != was:
            problems.append("reference count of %s went from %d to %d" % (type(probe).__name__, was, now))
    return {"group": group, "name": name, "rounds": rounds, "rss0": rss0, "rss2": rss2, "objects": objects,
            "refcounts": counts, "problems": problems}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=100000)
    parser.add_argument("--group", action="append", help="only these groups")
    parser.add_argument("--only", action="append", help="only the operations whose name contains this")
    parser.add_argument("--tolerance-kib", type=int, default=1024, help="allowed growth of resident memory")
    parser.add_argument("--strict", action="store_true", help="known faults of tkinter fail the run too")
    parser.add_argument("--list", action="store_true")
    args = parser.parse_args(argv)
    interp = Interpreter()
    movarn.tcl.set_default(interp)
    ops = [op for op in operations(interp)
           if (not args.group or op[0] in args.group) and (not args.only or any(s in op[1] for s in args.only))]
    if args.list:
        for op in ops:
            print("%-10s %s" % op[:2])
        return 0
    failed = []
    start = rss()
    for op in ops:
        rounds = min(args.rounds, KNOWN_ROUNDS) if op[1] in KNOWN else max(args.rounds // SLOW.get(op[1], 1), 1)
        try:
            result = run_op(op, rounds, args.tolerance_kib * 1024)
        except Exception as exc:  # an operation that no longer does what it was written for
            result = {"group": op[0], "name": op[1], "rounds": 0, "rss0": 0, "rss2": 0, "objects": 0,
                      "refcounts": [], "problems": ["raised %s: %s" % (type(exc).__name__, exc)]}
        known = KNOWN.get(op[1]) if not args.strict else None
        mark = ("KNOWN" if known else "FAIL") if result["problems"] else "ok"
        if known and result["problems"]:
            result["problems"].append("known: " + known)
        print("%-5s %-10s %-36s rounds %-7d rss %7d -> %7d KiB  objects %+d  refcounts %s %s" % (
            mark, result["group"], result["name"], result["rounds"], result["rss0"] // 1024, result["rss2"] // 1024,
            result["objects"], result["refcounts"], "; ".join(result["problems"])), flush=True)
        if result["problems"] and not known:
            failed.append(result)
    print("%d operations, %d rounds each (fewer where noted): resident memory %d -> %d KiB; %d failed%s" % (
        len(ops), args.rounds, start // 1024, rss() // 1024, len(failed),
        "".join("\n  FAILED: %s %s: %s" % (r["group"], r["name"], "; ".join(r["problems"])) for r in failed)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
