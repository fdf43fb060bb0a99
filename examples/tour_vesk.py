"""Quick calls: Tcl procs in nested namespaces called as attribute chains."""

from tkinter import TclError

from movarn.tcl.vesk import Vesk

PROCS = """
namespace eval ::shop::stock {
    variable items [dict create]
    proc add {name count args} {
        variable items
        set price [expr {[dict exists $args -price] ? [dict get $args -price] : 0}]
        dict set items $name [list $count $price]
        return [dict size $items]
    }
    proc names {} { variable items; return [lsort [dict keys $items]] }
    proc value {} {
        variable items
        set total 0
        dict for {name entry} $items { lassign $entry count price; set total [expr {$total + $count * $price}] }
        return $total
    }
    proc take {name count} {
        variable items
        if {![dict exists $items $name]} { error "no such item: $name" }
        return $count
    }
}
"""


def tour(interp, step):
    step("vesk: Tcl procs called as attribute chains")
    interp.tk.eval(PROCS)
    root = Vesk(interp)
    print("defined ::shop::stock::add, names, value and take")

    print("root.shop.stock.add('blue pen', 12, price=0.5) ->", root.shop.stock.add("blue pen", 12, price=0.5))
    print("root.shop.stock.add('ink', 3, price=4) ->", root.shop.stock.add("ink", 3, price=4))
    print("words sent for the last call:", interp.history[-1])
    print("chain:", repr(root.shop.stock.value))
    print("root.shop.stock.value() ->", repr(root.shop.stock.value()))

    step("vesk: results cast to Python, or kept as Tcl text with cast_=False")
    print("root.shop.stock.names() ->", repr(root.shop.stock.names()))
    print("root.shop.stock.names(cast_=False) ->", repr(root.shop.stock.names(cast_=False)))
    print("a list argument is one word: root.llength([1, 'a b', 'c']) ->", root.llength([1, "a b", "c"]))

    step("vesk: a Tcl error comes back with Tcl's own trace")
    try:
        root.shop.stock.take("red pen", 1)
    except TclError as exc:
        print("TclError, context suppressed:", exc.__suppress_context__)
        for line in str(exc).splitlines():
            print("    " + line)


if __name__ == "__main__":
    from movarn.tcl import Interpreter

    tour(Interpreter(), lambda title: print("\n== " + title))
