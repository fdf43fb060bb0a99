"""Benchmarks, side by side in one run, printed as one table of ratios.

Every case is timed against its baselines in the same process and the same
run: medians of interleaved rounds (ours, baseline, ours, baseline, ...) of
CPU time, the first calls (calibration) excluded, results checked equal
wherever the two sides mean the same thing.  Tcl's own list building is timed by the native
program bench/native_bench (built with -Dnative_tests=true) on a file of the
very strings the Python side uses; without it those rows are skipped.  Peak
memory is measured in a fresh subprocess per case.

    bench.py [--native PATH] [--rounds N]   the whole table
    bench.py --smoke                        one small case, a second or two

Ratios matter; absolute times depend on the (shared) machine.
"""

import argparse
import gc
import json
import os
import pathlib
import random
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
import tkinter
from collections.abc import Mapping, Sequence, Set

from _tkinter import Tcl_Obj

from movarn.tcl.zendra import tclobj, zendra

HERE = pathlib.Path(__file__).resolve().parent
DEFAULT_NATIVE = HERE.parent / "build" / "meson" / "native_bench"


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


# ---- reference: tclobj written in plain Python --------------------------------
def py_tclobj(obj):
    func = getattr(obj, "__tclobj__", None)
    if func:
        return func()
    if obj is None:
        return ""
    if isinstance(obj, (bytes, bool, float, str, Tcl_Obj)):
        return obj
    if type(obj) is int and -sys.maxsize - 1 <= obj <= sys.maxsize:
        return obj
    if isinstance(obj, (Sequence, Set)):
        return tuple(py_tclobj(item) for item in obj)
    if isinstance(obj, Mapping):
        return py_tclobj([x for k in obj for x in (k, obj[k])])
    return py_zendra(obj)


# ---- data ----------------------------------------------------------------------
SEED = 20240611
MIXED_ALPHABET = "abcdefghij klmnop{}[]$;\\\"\nxyz\u00e9\u20ac"
LETTERS = "abcdefghijklmnopqrstuvwxyz"


def words(n):
    return ["w%d" % i for i in range(n)]


def mixed(n, seed=SEED):
    rng = random.Random(seed)
    return ["".join(rng.choice(MIXED_ALPHABET) for _ in range(rng.randint(0, 24))) for _ in range(n)]


def letters(n, length=100, seed=SEED):
    # One run of random bytes folded onto the alphabet, cut into strings:
    # cheap enough for the million strings of the memory cases.
    table = bytes(ord(LETTERS[b % len(LETTERS)]) for b in range(256))
    text = random.Random(seed).randbytes(n * length).translate(table).decode("ascii")
    return [text[i:i + length] for i in range(0, n * length, length)]


def dict_tree(a=100, b=10, c=10):
    return {"k%d" % i: {"j%d" % j: {"i%d" % k: "leaf %d.%d.%d" % (i, j, k) for k in range(c)} for j in range(b)}
            for i in range(a)}


# ---- timing ----------------------------------------------------------------------
def calibrate(timer, floor):
    """Calls per measurement so that one lasts at least `floor` seconds.  These
    first calls are the warm-up and are not reported."""
    number = 1
    while True:
        t = timer.timeit(number)
        if t >= floor:
            return number
        number = max(number * 2, int(number * floor * 1.1 / t) + 1) if t > 0 else number * 10


def interleaved(env, stmts, rounds, floor, after_round=None):
    """Median seconds per call of each statement, over `rounds` rounds that
    each time every statement once, in order; `after_round` runs between
    rounds (the native baselines take their turn there).  Times are the
    process's CPU time, so that time spent descheduled on a shared machine
    counts for neither side."""
    timers = [timeit.Timer(s, timer=time.process_time, globals=env) for s in stmts]
    numbers = [calibrate(t, floor) for t in timers]
    samples = [[] for _ in stmts]
    for _ in range(rounds):
        for timer, number, out in zip(timers, numbers, samples):
            out.append(timer.timeit(number) / number)
        if after_round:
            after_round()
    return {s: statistics.median(v) for s, v in zip(stmts, samples)}


class Native:
    """The native program over a data file of string sets: one check run that
    also dumps the engine's text, then one run per round (each with its own
    warm-up) whose samples are pooled per set and method."""

    def __init__(self, path, sets, floor, workdir):
        self.path, self.floor = str(path), floor
        self.data = pathlib.Path(workdir) / "sets.dat"
        with open(self.data, "wb") as f:
            for name, items in sets.items():
                f.write(b"set %s %d\n" % (name.encode(), len(items)))
                for item in items:
                    raw = item.encode("utf-8")
                    f.write(b"%d\n" % len(raw))
                    f.write(raw)
        self.dumps = pathlib.Path(workdir) / "dumps"
        self.dumps.mkdir()
        self.info = {s["name"]: s for s in self._run(1, dump=True)}
        for name, items in sets.items():
            info = self.info[name]
            assert info["count"] == len(items), name
            assert info["engine_splits_back"] and info["merge_splits_back"], name
            # The same engine over the same strings must give zendra's text.
            assert (self.dumps / name).read_bytes() == zendra(items).encode("utf-8"), name
        self.samples = {name: {"engine": [], "merge": [], "listobj": []} for name in sets}

    def _run(self, rounds, dump=False):
        cmd = [self.path, str(self.data), str(rounds), repr(self.floor)] + ([str(self.dumps)] if dump else [])
        done = subprocess.run(cmd, capture_output=True, text=True)
        if done.returncode != 0:
            raise RuntimeError("%s failed (%d): %s" % (self.path, done.returncode, done.stderr.strip()))
        return json.loads(done.stdout)["sets"]

    def round(self):
        for s in self._run(1):
            for method, out in self.samples[s["name"]].items():
                out.extend(s[method])

    def median(self, name, method):
        return statistics.median(self.samples[name][method])


# ---- the table -------------------------------------------------------------------
class Row:
    """One line: `kind` says how the ratio reads.  "speed": baseline / ours,
    the target a minimum; "time": ours / baseline, the target a maximum;
    "report" and "report-rel": the same two ratios with no target of their
    own (the note says what to look for)."""

    def __init__(self, case, ours, base_name, base, kind, target=None, note="", unit="s"):
        self.case, self.ours, self.base_name, self.base = case, ours, base_name, base
        self.kind, self.target, self.note, self.unit = kind, target, note, unit

    def ratio(self):
        if self.ours is None or self.base is None:
            return None
        if self.kind in ("time", "report-rel"):
            return self.ours / self.base
        return self.base / self.ours

    def cells(self):
        r = self.ratio()
        if self.target is None:
            target = self.note or "report"
        else:
            target = ("<= %gx" if self.kind == "time" else ">= %gx") % self.target
            if self.note:
                target += " " + self.note
        if r is None:
            met, ratio = "skipped", "-"
        else:
            ratio = "%.2fx" % r
            if self.target is None:
                met = "-"
            elif self.kind == "time":
                met = "yes" if r <= self.target else "no"
            else:
                met = "yes" if r >= self.target else "no"
        return [self.case, fmt(self.ours, self.unit), self.base_name, fmt(self.base, self.unit), ratio, target, met]


def fmt(value, unit):
    if value is None:
        return "-"
    if unit == "B":
        return "%.1f MiB" % (value / 2 ** 20)
    for scale, name in ((1e-6, "ns"), (1e-3, "us"), (1.0, "ms")):
        if value < scale:
            return "%.1f %s" % (value / scale * 1e3, name)
    return "%.2f s" % value


def print_table(rows, title):
    head = ["case", "ours", "baseline", "baseline time", "ratio", "target", "met"]
    table = [head] + [r.cells() for r in rows]
    widths = [max(len(line[i]) for line in table) for i in range(len(head))]
    right = {1, 3, 4}
    print(title)
    for n, line in enumerate(table):
        print("  ".join(c.rjust(w) if i in right else c.ljust(w) for i, (c, w) in enumerate(zip(line, widths))).rstrip())
        if n == 0:
            print("  ".join("-" * w for w in widths))


# ---- cases -----------------------------------------------------------------------
def zendra_cases(sets, native_path, rounds, floor, names):
    """zendra() on each string set against Tcl_Merge (native), str.join where
    the text is the same, and tkinter's own quoting helper."""
    env = dict(zendra=zendra, _join=getattr(tkinter, "_join", None), **sets)
    tk = tkinter.Tcl().tk
    for name, items in sets.items():
        text = zendra(items)
        assert tk.splitlist(text) == tuple(str(i) for i in items), name
        if name in ("letters", "ints", "smoke"):  # nothing to quote: the plain join is the same text
            assert text == " ".join(map(str, items)), name
    stmts = []
    for name in sets:
        stmts.append("zendra(%s)" % name)
        if name in ("letters", "ints", "smoke"):
            stmts.append("' '.join(%s)" % name if name != "ints" else "' '.join(map(str, ints))")
        if env["_join"] is not None:
            stmts.append("_join(%s)" % name)
    native = None
    string_sets = {n: v for n, v in sets.items() if n != "ints"}
    with tempfile.TemporaryDirectory(prefix="movarn-bench-") as tmp:
        if native_path and os.access(native_path, os.X_OK):
            native = Native(native_path, string_sets, floor, tmp)
        t = interleaved(env, stmts, rounds, floor, native.round if native else None)

    rows = []
    targets = {"words": 1.0, "mixed": 1.0, "letters": 1.0, "smoke": 1.0}
    for name in sets:
        case = "zendra(list) of %s" % names[name]
        ours = t["zendra(%s)" % name]
        if name in string_sets:
            base = native.median(name, "merge") if native else None
            rows.append(Row(case, ours, "Tcl_Merge (native)", base, "speed", targets[name]))
        if name == "letters":
            rows.append(Row(case, ours, "' '.join", t["' '.join(letters)"], "speed", 0.5))
        elif name == "ints":
            rows.append(Row(case, ours, "' '.join(map(str))", t["' '.join(map(str, ints))"], "speed", 0.7))
        elif name == "smoke":
            rows.append(Row(case, ours, "' '.join", t["' '.join(smoke)"], "report"))
        if env["_join"] is not None:
            rows.append(Row(case, ours, "tkinter._join", t["_join(%s)" % name], "report"))
    if string_sets:
        engine_targets = {"words": 2.0, "mixed": 2.0, "letters": 4.0, "smoke": 2.0}
        for name in string_sets:
            case = "engine, native, on %s" % names[name]
            ours = native.median(name, "engine") if native else None
            merge = native.median(name, "merge") if native else None
            listobj = native.median(name, "listobj") if native else None
            rows.append(Row(case, ours, "Tcl_Merge (native)", merge, "speed", engine_targets[name]))
            rows.append(Row(case, ours, "Tcl_NewListObj+GetString", listobj, "report"))
    differ = [n for n in string_sets if native and not native.info[n]["engine_same_as_merge"]]
    return rows, differ


def tclobj_cases(rounds, floor):
    lists = [list(range(i, i + 100)) for i in range(1000)]
    tree = dict_tree()
    assert tclobj(lists) == tuple(map(tuple, lists))
    assert tclobj(tree) == py_tclobj(tree)
    assert sum(len(v) for sub in tree.values() for v in sub.values()) == 10_000
    env = dict(tclobj=tclobj, py_tclobj=py_tclobj, lists=lists, tree=tree)
    t = interleaved(env, ["tclobj(lists)", "tuple(map(tuple, lists))", "tclobj(tree)", "py_tclobj(tree)"],
                    rounds, floor)
    return [Row("tclobj of 1,000 lists of 100 ints", t["tclobj(lists)"], "tuple(map(tuple))",
                t["tuple(map(tuple, lists))"], "time", 3.0),
            Row("tclobj of a 100x10x10 dict tree", t["tclobj(tree)"], "python rendering", t["py_tclobj(tree)"],
                "speed", 10.0)]


def handle_cases(rounds, floor):
    from movarn.tcl import Interpreter
    from movarn.tcl.namespace import TclArrayVariable, TclCommand, TclNamespace, TclVariable
    from movarn.tcl.vesk import Vesk

    interp = Interpreter()
    tk = interp.tk
    tk.setvar("::bench_v", "hello world")
    tk.setvar("::bench_a", "k", "element")
    tk.setvar("::x", "1 {a b}")
    tk.eval("namespace eval ::q { proc f {s} { return $s } }")
    env = dict(tk=tk, var=TclVariable("::bench_v", tcl=interp), value="hello world",
               arr=TclArrayVariable("::bench_a", tcl=interp), cmd=TclCommand(("::string", "length"), tcl=interp),
               root=Vesk(interp), ns=TclNamespace("::", tcl=interp))
    checks = [("var.get()", "tk.getvar('::bench_v')"),
              ("arr['k']", "tk.getvar('::bench_a', 'k')"),
              ("cmd('abc')", "tk.call('::string', 'length', 'abc')"),
              ("root.q.f('abc')", "tk.call('q::f', 'abc')"),
              ("ns.vars['x']", "tk.eval('set ::x')")]
    for ours, raw in checks:
        a, b = eval(ours, env), eval(raw, env)
        assert a == b and type(a) is type(b), (ours, a, raw, b)
    exec("var.set('set by handle')", env)
    assert tk.getvar("::bench_v") == "set by handle"
    exec("tk.setvar('::bench_v', value)", env)
    stmts = [s for pair in checks[:1] for s in pair] + ["var.set(value)", "tk.setvar('::bench_v', value)"]
    stmts += [s for pair in checks[1:] for s in pair]
    t = interleaved(env, stmts, rounds, floor)
    assert tk.getvar("::bench_v") == "hello world"
    cases = [("TclVariable.get()", "var.get()", "tk.getvar", "tk.getvar('::bench_v')", 1.3),
            ("TclVariable.set(v)", "var.set(value)", "tk.setvar", "tk.setvar('::bench_v', value)", 1.3),
            ("TclArrayVariable item read", "arr['k']", "tk.getvar(name, key)", "tk.getvar('::bench_a', 'k')", 1.4),
            ('TclCommand(("::string", "length"))("abc")', "cmd('abc')", "tk.call",
             "tk.call('::string', 'length', 'abc')", 1.5),
            ('Vesk(interp).q.f("abc")', "root.q.f('abc')", 'tk.call("q::f", "abc")', "tk.call('q::f', 'abc')", 1.8),
            ('ns.vars["x"]', "ns.vars['x']", 'tk.eval("set ::x")', "tk.eval('set ::x')", 2.0)]
    return [Row(case, t[ours], base_name, t[raw], "time", target) for case, ours, base_name, raw, target in cases]


def tovrin_case(rounds, floor):
    from bench_tovrin import PyTovrin, nested_data
    from movarn.tcl.tovrin import Tovrin

    text = zendra(Tovrin(nested_data()))
    ours = Tovrin.from_tcl(text)
    assert len(ours.all_keys()) == 10_000 and ours == PyTovrin.from_tcl(text)
    env = dict(Tovrin=Tovrin, PyTovrin=PyTovrin, text=text)
    t = interleaved(env, ["Tovrin.from_tcl(text)", "PyTovrin.from_tcl(text)"], rounds, floor)
    return [Row("Tovrin.from_tcl, 10,000 leaves in 3 levels", t["Tovrin.from_tcl(text)"], "python rendering",
                t["PyTovrin.from_tcl(text)"], "report", note="report (later: >= 8x)")]


def scaling_cases(rounds, floor):
    items = words(10 ** 6)
    sizes = [10 ** k for k in range(3, 7)]
    env = {"zendra": zendra, "tclobj": tclobj}
    env.update({"s%d" % n: items[:n] for n in sizes})
    stmts = ["%s(s%d)" % (f, n) for n in sizes for f in ("zendra", "tclobj")]
    t = interleaved(env, stmts, rounds, floor)
    rows = []
    for f in ("zendra", "tclobj"):
        first = t["%s(s%d)" % (f, sizes[0])] / sizes[0]
        for n in sizes[1:]:
            rows.append(Row("%s per item, 10^%d words" % (f, len(str(n)) - 1), t["%s(s%d)" % (f, n)] / n,
                            "per item at 10^3", first, "report-rel", note="flat is ~1x"))
    return rows


# ---- peak memory, one fresh subprocess per case -------------------------------------
def _status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no %s in /proc/self/status" % field)


def memory_child(which, n):
    """Peak memory that zendra, tclobj (or, as a check of the method, a plain
    join) takes beyond its input, measured as
    the rise of the process's resident high-water mark (which sees C++ and
    Python allocations alike), reset to the current size once the input is
    built."""
    data = letters(n)
    func = {"zendra": zendra, "tclobj": tclobj, "join": " ".join}[which]
    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets VmHWM to the current resident size
    before = _status_kib("VmRSS")
    result = func(data)
    peak = _status_kib("VmHWM")
    assert len(result) == (n if which == "tclobj" else 100 * n + n - 1)
    print(json.dumps({"extra": peak - before, "result": sys.getsizeof(result)}))


def run_memory_child(which, n):
    """{"extra": bytes, "result": bytes} from a fresh interpreter.  glibc's
    mmap threshold is fixed there, so every large block is a fresh mapping
    that the high-water mark sees, even after the input's temporaries were
    freed (the dynamic threshold would otherwise serve it from freed heap)."""
    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="131072")
    done = subprocess.run([sys.executable, __file__, "--memory", which, "--items", str(n)],
                          capture_output=True, text=True, env=env)
    if done.returncode != 0:
        raise RuntimeError("memory case %s failed: %s" % (which, done.stderr.strip()[-500:]))
    return json.loads(done.stdout)


def memory_cases(n):
    rows = []
    size = "%s x 100 chars" % format(n, ",")
    for which, what in (("zendra", "the result string"), ("tclobj", "the result tuple")):
        m = run_memory_child(which, n)
        rows.append(Row("%s peak memory, %s" % (which, size), m["extra"], what, m["result"], "time", 1.1, unit="B"))
    # The instrument itself: a plain join allocates just its result.
    m = run_memory_child("join", n)
    rows.append(Row("' '.join peak memory, %s (check)" % size, m["extra"], "the result string", m["result"],
                    "report-rel", note="~1x: the method sees it", unit="B"))
    return rows


def py_nested_case(rounds, floor):
    nested = [[i, "a b", {"k": i}] for i in range(2_000)]
    assert zendra(nested) == py_zendra(nested)
    t = interleaved(dict(zendra=zendra, py_zendra=py_zendra, nested=nested), ["zendra(nested)", "py_zendra(nested)"],
                    rounds, floor)
    return [Row("zendra of 2,000 nested [int, str, dict]", t["zendra(nested)"], "python rendering",
                t["py_zendra(nested)"], "report")]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--native", default=os.environ.get("MOVARN_NATIVE_BENCH", str(DEFAULT_NATIVE)),
                        help="the native baseline program (default: %(default)s)")
    parser.add_argument("--rounds", type=int, default=9, help="interleaved rounds per case (at least 5)")
    parser.add_argument("--smoke", action="store_true", help="one small case, to check the table prints")
    parser.add_argument("--memory", choices=("zendra", "tclobj", "join"), help=argparse.SUPPRESS)
    parser.add_argument("--items", type=int, default=1_000_000, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.memory:
        return memory_child(args.memory, args.items)
    if args.rounds < 5:
        parser.error("--rounds must be at least 5")

    title = "movarn.tcl bench | Python %s, Tcl %s | CPU time, medians of %d interleaved rounds, warm-up excluded" % (
        sys.version.split()[0], tkinter.Tcl().call("info", "patchlevel"), args.rounds)
    if args.smoke:
        rows, differ = zendra_cases({"smoke": words(1000)}, args.native, args.rounds, 0.002,
                                    {"smoke": "1,000 short words"})
    else:
        floor = 0.02
        sets = {"words": words(100_000), "mixed": mixed(20_000), "letters": letters(10_000),
                "ints": list(range(100_000))}
        names = {"words": "100,000 short words", "mixed": "20,000 mixed 0-24 chars",
                 "letters": "10,000 x 100 letters", "ints": "100,000 ints"}
        rows, differ = zendra_cases(sets, args.native, args.rounds, floor, names)
        rows += tclobj_cases(args.rounds, floor)
        rows += handle_cases(args.rounds, floor)
        rows += memory_cases(1_000_000)
        rows += tovrin_case(args.rounds, floor)
        rows += py_nested_case(args.rounds, floor)
        rows += scaling_cases(args.rounds, floor)
    print_table(rows, title)
    if not os.access(args.native, os.X_OK):
        print("native rows skipped: no %s (build with -Dnative_tests=true)" % args.native)
    if differ:
        print("engine text differs from Tcl_Merge's on: %s (both read back as the same list)" % ", ".join(differ))
    return 0


if __name__ == "__main__":
    sys.exit(main())
