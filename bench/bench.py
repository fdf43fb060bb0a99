"""Benchmarks, side by side in one run: the extension against a line-by-line
Python rendering of the same algorithm, and against Tcl building the same
list itself.  Ratios matter; absolute times depend on the (shared) machine."""

import sys
import timeit
import tkinter
from collections.abc import Mapping, Sequence, Set

from movarn.tcl.zendra import tclobj, zendra


# ---- reference: the quoting algorithm written in plain Python -----------------
def py_scan(string):
    string = py_zendra(string)
    flags, level = set(), 0
    if not string or string[0] in '{"':
        flags.add("USE_BRACES")
    for i, c in enumerate(string):
        if c == "{":
            level += 1
        elif c == "}":
            level -= 1
            if level < 0:
                flags |= {"TCL_DONT_USE_BRACES", "BRACES_UNMATCHED"}
        elif c in "[$; \f\n\r\t\v":
            flags.add("USE_BRACES")
        elif c == "\\":
            if i + 1 == len(string) or string[i + 1] == "\n":
                flags = {"TCL_DONT_USE_BRACES", "BRACES_UNMATCHED"}
            else:
                flags.add("USE_BRACES")
    if level:
        flags = {"TCL_DONT_USE_BRACES", "BRACES_UNMATCHED"}
    return 2 * len(string) + 2, flags


ESC = {"\f": "\\f", "\n": "\\n", "\r": "\\r", "\t": "\\t", "\v": "\\v"}


def py_convert(src, flags):
    src = py_zendra(src)
    if not src:
        return "{}"
    if "USE_BRACES" in flags and "TCL_DONT_USE_BRACES" not in flags:
        return "{%s}" % src
    out, start = [], 0
    if src[0] == "{":
        out.append("\\{")
        start = 1
        flags.add("BRACES_UNMATCHED")
    for c in src[start:]:
        if c in '[]$; \\"':
            out.append("\\" + c)
        elif c in "{}":
            out.append("\\" + c if "BRACES_UNMATCHED" in flags else c)
        else:
            out.append(ESC.get(c, c))
    return "".join(out)


def py_list(items):
    elements = [py_zendra(i) for i in items]
    flags = [py_scan(e)[1] for e in elements]
    return " ".join(py_convert(e, f) for e, f in zip(elements, flags))


def py_zendra(obj):
    if isinstance(obj, str):
        return obj
    if obj is None:
        return ""
    if isinstance(obj, bool):
        return "true" if obj else "false"
    if isinstance(obj, (Sequence, Set)):
        return py_list(obj)
    if isinstance(obj, Mapping):
        return py_list([x for k in obj for x in (k, obj[k])])
    return str(obj)


def best(func, number):
    return min(timeit.repeat(func, number=number, repeat=5)) / number


def row(name, ours, *others):
    cells = ["%-44s %10.1f us" % (name, ours * 1e6)]
    for label, t in others:
        cells.append("%s %8.1f us (%5.1fx)" % (label, t * 1e6, t / ours))
    print("  ".join(cells))


def main():
    tk = tkinter.Tcl().tk
    plain = ["word%d" % i for i in range(10_000)]
    quoted = ["item %d {x} $y" % i for i in range(10_000)]
    mixed = [[i, "a b", {"k": i}] for i in range(2_000)]
    assert zendra(plain) == py_list(plain) and zendra(quoted) == py_list(quoted)
    assert zendra(mixed) == py_zendra(mixed)
    assert tk.splitlist(zendra(quoted)) == tuple(quoted)

    print("Python", sys.version.split()[0], "| times are the best of 5; (Nx) = other / movarn")
    for name, data in (("zendra: 10,000 plain strings", plain),
                       ("zendra: 10,000 strings needing braces", quoted),
                       ("zendra: 2,000 nested [int, str, dict]", mixed)):
        ours = best(lambda: zendra(data), 20)
        ref = best(lambda: py_zendra(data), 2)
        if data is mixed:
            row(name, ours, ("python", ref))
        else:
            tcl = best(lambda: tk.call("list", *data), 20)
            row(name, ours, ("python", ref), ("Tcl list", tcl))
    row("tclobj: 2,000 nested [int, str, dict]", best(lambda: tclobj(mixed), 20))


if __name__ == "__main__":
    main()
