"""A walk through movarn.tcl against a real Tcl interpreter."""

from movarn.tcl import Interpreter
from movarn.tcl.zendra import tclobj, zendra


def step(title):
    print()
    print("== " + title)


def conversion(interp):
    step("zendra: Python values as Tcl text, read back by Tcl")
    values = [
        [1, 2.5, True, None],
        ["a b", "{unbalanced", "back\\slash", "$x [cmd] ;"],
        {"name": "probe 7", "limits": [0, 10]},
        ["\\{} [set ::pwned 1] {x\\}"],
    ]
    for value in values:
        text = zendra(value)
        back = interp.tk.splitlist(text)
        print("%-45r -> %-45s Tcl splits it into %r" % (value, text, back))
    interp.tk.eval("list " + zendra(values[-1]))
    print("evaluating a quoted hostile string ran nothing:", interp.tk.eval("info exists ::pwned") == "0")

    step("tclobj: typed words through tkinter")
    word = tclobj({"ch": [1, 2], "gain": 0.5})
    print("tclobj ->", repr(word))
    interp.tk.call("set", "cfg", word)
    print("Tcl: dict get $cfg ch ->", interp.tk.eval("dict get $cfg ch"),
          "| llength ->", interp.tk.eval("llength $cfg"))


def namespaces(interp):
    from movarn.tcl.namespace import TempTclArrayVariable, TempTclNamespace

    step("namespace: a temporary namespace with variables and an array")
    with TempTclNamespace(tcl=interp) as ns:
        print("created", ns.ns, "-> Tcl: namespace exists:", interp.tk.call("namespace", "exists", ns.ns))
        ns.vars["limits"] = [0, 10]
        ns.vars["label"] = "probe {7}"
        print("ns.vars['limits'] (string form) ->", repr(ns.vars["limits"]))
        print("ns.objs['limits'] (object form) ->", repr(ns.objs["limits"]))
        print("Tcl: set %s::label ->" % ns.ns, interp.tk.eval("set %s::label" % ns.ns))
        arr = ns.vars.array_byref("readings")
        arr.update({"ch1": 0.5, "ch2": 1.25})
        arr["ch 3"] = [1, 2]
        print("array as dict:", dict(arr))
        print("Tcl: array get ->", interp.tk.eval("array get %s::readings" % ns.ns))
        del arr["ch1"]
        print("after del arr['ch1'], Tcl: array names ->", interp.tk.eval("array names %s::readings" % ns.ns))
        name = ns.ns
    print("after the with block, Tcl: namespace exists:", interp.tk.call("namespace", "exists", name))
    with TempTclArrayVariable(tcl=interp) as scratch:
        scratch.update(a=1)
        print("temporary array", scratch.var_name, "holds", dict(scratch))
    print("and is gone afterwards:", not scratch.exists())


def main():
    interp = Interpreter()
    print("Tcl", interp.tk.eval("info patchlevel"))
    conversion(interp)
    namespaces(interp)


if __name__ == "__main__":
    main()
