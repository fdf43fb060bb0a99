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


def main():
    interp = Interpreter()
    print("Tcl", interp.tk.eval("info patchlevel"))
    conversion(interp)


if __name__ == "__main__":
    main()
