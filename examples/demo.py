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


def commands(interp):
    from movarn.tcl.namespace import TclCommand, TclNamespace, TempTclCommand

    step("namespace: a Python function as a Tcl command, called from a Tcl proc")

    def scale(value, factor):
        print("    (Python scale() called by Tcl with %r, %r)" % (value, factor))
        return float(value) * float(factor)

    with TempTclCommand(scale, tcl=interp) as cmd:
        interp.tk.eval("proc ::calibrate {raw} {return [expr {[%s $raw 2.5] + 1}]}" % cmd.cmd_name)
        print("Python scale() registered as", cmd.cmd_name)
        print("Tcl: calibrate 4 ->", interp.tk.eval("calibrate 4"))
        print("Python calls it back through Tcl: cmd(2, 3) ->", cmd(2, 3))
    print("after the with block the command exists:", cmd.exists())

    step("namespace: a proc called with keyword options")
    lab = TclNamespace("::lab", tcl=interp)
    lab.create()
    lab.eval("proc measure {channel args} {"
             " array set opt {-samples 1 -unit V}; array set opt $args;"
             " return [list $channel $opt(-samples) $opt(-unit)]}")
    measure = lab.cmds["measure"]
    print("handle:", repr(measure), "| is a proc:", measure.is_proc(), "| args:", measure.proc_args())
    print("measure('ch 1', samples=8, unit='mV') sends", measure.build_tclcmd("ch 1", samples=8, unit="mV"))
    print("    Tcl answered", measure("ch 1", samples=8, unit="mV"))
    fixed = TclCommand(measure, keywords={"unit": "A"}, tcl=interp)
    print("a handle with a stored option:", str(fixed), "->", fixed("ch2"))
    print("procs in ::lab:", list(lab.procs))


def main():
    interp = Interpreter()
    print("Tcl", interp.tk.eval("info patchlevel"))
    conversion(interp)
    namespaces(interp)
    commands(interp)
    for tour in tours():
        tour(interp, step)


def tours():
    """The tours of the other modules, each in examples/tour_*.py."""
    import importlib.util
    import pathlib

    for path in sorted(pathlib.Path(__file__).parent.glob("tour_*.py")):
        found = importlib.util.spec_from_file_location(path.stem, path)
        module = importlib.util.module_from_spec(found)
        found.loader.exec_module(module)
        yield module.tour


if __name__ == "__main__":
    main()
