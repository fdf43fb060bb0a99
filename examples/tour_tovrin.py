"""A keyed list travelling Python -> TclX -> Python."""

import movarn.tcl
from movarn.tcl.tovrin import Tovrin
from movarn.tcl.zendra import tclobj, zendra


def tour(interp, step):
    tk = interp.tk
    tk.eval("package require Tclx")
    # from_tcl splits Tcl lists with the package's default interpreter.
    movarn.tcl.set_default(interp)

    step("tovrin: a keyed list built in Python, with dotted keys")
    kl = Tovrin({"probe.id": "P-7", "probe.limits": [0, 10]})
    kl["result.gain"] = 0.5
    kl["result.note"] = "ok {checked} twice"
    print("Tovrin     ->", kl)
    print("all_keys() ->", kl.all_keys())
    print("kl.result.gain ->", kl.result.gain, "| 'probe.id' in kl ->", "probe.id" in kl)

    step("to TclX: the keyed list as one Tcl word (tclobj) or as text (zendra)")
    print("zendra ->", zendra(kl))
    tk.call("set", "kl", tclobj(kl))
    print("keylkeys kl        ->", tk.eval("keylkeys kl"))
    print("keylkeys kl probe  ->", tk.eval("keylkeys kl probe"))
    print("keylget kl result.note ->", tk.eval("keylget kl result.note"))
    tk.eval("keylset kl result.status pass probe.serial 1234")
    print("after keylset in Tcl   ->", tk.eval("set kl"))

    step("back to Python: TclX's keyed-list object converts as it is stored")
    obj = tk.call("set", "kl")
    print("Tcl_Obj of type", repr(obj.typename))
    back = Tovrin()
    back["bench.unit"] = obj
    print("back['bench.unit.result.status'] ->", back["bench.unit.result.status"])
    print("back.bench.unit.probe ->", back.bench.unit.probe)
    print("all_items() ->", back.all_items())

    step("round trip: from_tcl of TclX's own text")
    text = tk.eval("set kl")
    again = Tovrin.from_tcl(text)
    print("from_tcl(text) == back['bench.unit'] ->", again == back["bench.unit"])
    print("values come back as Tcl strings: limits ->", repr(again["probe.limits"]),
          "gain ->", repr(again["result.gain"]))


if __name__ == "__main__":
    def _step(title):
        print()
        print("== " + title)

    tour(movarn.tcl.Interpreter(), _step)
