import doctest
import importlib.util
import inspect
import pathlib
import subprocess
import sys
import textwrap
from collections.abc import MutableMapping

import _tkinter
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import movarn.tcl
from movarn.datastructures import AttrDict
from movarn.tcl import tovrin as tm
from movarn.tcl.tovrin import Tovrin
from movarn.tcl.zendra import tclobj, zendra

_where = importlib.util.spec_from_file_location(
    "bench_tovrin", pathlib.Path(__file__).resolve().parent.parent / "bench" / "bench_tovrin.py")
bench = importlib.util.module_from_spec(_where)
_where.loader.exec_module(bench)
PyTovrin = bench.PyTovrin  # the same class in plain Python: the reference

TARGET = 'target key "%s" is a value, cannot update value against another keyed list'


def test_module_frame():
    assert [n for n in vars(tm) if not n.startswith("__")] == ["AttrDict", "MutableMapping", "Tcl_Obj", "tclobj",
                                                               "Tovrin"]
    assert (tm.AttrDict, tm.MutableMapping, tm.Tcl_Obj, tm.tclobj) == (AttrDict, MutableMapping, _tkinter.Tcl_Obj,
                                                                      tclobj)
    assert Tovrin.__mro__[:4] == (Tovrin, AttrDict, dict, MutableMapping)
    members = [n for n in vars(Tovrin) if n not in ("__module__", "__doc__", "__dict__", "__weakref__",
                                                    "__abstractmethods__", "_abc_impl")]
    assert members == ["__init__", "from_tcl", "__getitem__", "__setitem__", "__contains__", "__delitem__", "get",
                       "pop", "setdefault", "update", "all_keys", "all_items", "has_key", "__tclobj__"]
    for name in ("get", "pop", "setdefault"):
        assert vars(Tovrin)[name] is getattr(MutableMapping, name)
    assert Tovrin.has_key is Tovrin.__contains__
    assert isinstance(vars(Tovrin)["from_tcl"], staticmethod)
    assert str(inspect.signature(Tovrin.update)) == "(self, *args, **kwargs)"
    assert str(inspect.signature(Tovrin.from_tcl)) == "(string)"


def test_docstrings_and_doctests():
    assert "movarn.tcl.Tovrin" in tm.__doc__ and "AttrDict" in Tovrin.__doc__
    assert Tovrin.__init__.__doc__ is None and Tovrin.from_tcl.__doc__ is None and Tovrin.update.__doc__ is None
    docs = {"Tovrin.%s (line %d)" % (name, line): getattr(Tovrin, name).__doc__ for name, line in [
        ("__getitem__", 103), ("__setitem__", 127), ("__contains__", 174), ("__delitem__", 200),
        ("all_keys", 262), ("all_items", 289), ("__tclobj__", 319)]}
    assert tm.__test__ == docs
    titles = [doc.splitlines()[0] for doc in docs.values()]
    assert titles[:4] == ["Tovrin %s (built_in)" % n for n in ("__getitem__", "__setitem__", "__contains__",
                                                               "__delitem__")]
    assert titles[4:] == ["Tovrin all_keys", "Tovrin all_items", "To Tcl format"]
    assert all("separated by '.' when needed" in d for d in list(docs.values())[:4])
    assert "Raises:" in Tovrin.__getitem__.__doc__ and "Raises:" in Tovrin.__delitem__.__doc__
    result = doctest.testmod(tm)
    assert result.failed == 0 and result.attempted >= 20


def test_dotted_paths():
    kl = Tovrin()
    kl["a.b.c"] = 1
    assert type(kl["a"]) is Tovrin and type(kl["a"]["b"]) is Tovrin
    assert kl["a.b.c"] == kl["a"]["b"]["c"] == kl.a.b.c == 1 and list(kl.keys()) == ["a"]
    kl["x"] = "plain"
    for key, value in [("x.y", 1), ("x", Tovrin())]:
        with pytest.raises(KeyError) as info:
            kl[key] = value
        assert info.value.args == (TARGET % "x",)
    kl["x"] = "other"
    kl["a"] = Tovrin(z=1)  # replaces, no merge
    assert kl == {"a": {"z": 1}, "x": "other"}
    assert ("q.b" in kl, "a.z" in kl, "a.y" in kl, "x.th" in kl, kl.has_key("a.z")) == (False, True, False, True,
                                                                                         True)
    with pytest.raises(AttributeError, match="__contains__"):
        Tovrin(n=5).__contains__("n.m")
    for bad in (lambda: kl.__setitem__(5, 1), lambda: kl[5], lambda: 5 in kl, lambda: kl.__delitem__(None)):
        with pytest.raises(TypeError, match="not iterable"):
            bad()
    with pytest.raises(TypeError, match="string indices"):
        kl["x.y"]


def test_delete_prunes_emptied_levels_and_mapping_methods():
    kl = Tovrin({"a.b.c": 1, "a.b.d": 2, "e": 3})
    del kl["a.b.c"]
    assert kl == {"a": {"b": {"d": 2}}, "e": 3}
    del kl["a.b.d"]
    assert kl == {"e": 3}
    with pytest.raises(KeyError) as info:
        del kl["z.q"]
    assert info.value.args == ("z",)
    kl = Tovrin({"a.b": 1, "a.c": 2})
    assert kl.get("a.zz") is None and kl.get("zz.a", 7) == 7 and kl.pop("a.b") == 1 and kl.pop("a.c") == 2
    assert kl == {} and kl.pop("a.b", "d") == "d"
    assert kl.setdefault("p.s", 5) == 5 and kl == {"p": {"s": 5}} and kl.setdefault("p.s", 6) == 5


def test_construction_nests_mapping_like_values():
    kl = Tovrin({"a.b": 1, "c": {"d": 2}, "e": [], "f": "", "g": "text", "h": [("k", "v")], "n": 5},
                i=Tovrin(j=1))
    assert {k: type(v).__name__ for k, v in kl.items()} == dict(a="Tovrin", c="Tovrin", e="Tovrin", f="Tovrin",
                                                                g="str", h="Tovrin", n="int", i="Tovrin")
    assert kl == {"a": {"b": 1}, "c": {"d": 2}, "e": {}, "f": {}, "g": "text", "h": {"k": "v"}, "n": 5,
                  "i": {"j": 1}}
    nested = Tovrin(x=Tovrin(y=1))
    assert Tovrin(nested)["x"] is nested["x"]  # the top level is copied only
    with pytest.raises(ValueError, match="element #0 has length 1"):
        Tovrin(["a"])
    with pytest.raises(TypeError):
        Tovrin({5: 1})


def test_update_merges_leaf_by_leaf():
    kl = Tovrin()
    kl["a.x"] = 1
    kl.update(Tovrin({"a.y": 2}))
    assert kl == {"a": {"x": 1, "y": 2}}
    kl.update({"a": Tovrin({"y": 3})})
    assert kl == {"a": {"y": 3}}
    kl.update([("b.c", 1)], a=Tovrin(z=4), d=5)
    assert kl == {"a": {"y": 3, "z": 4}, "b": {"c": 1}, "d": 5}
    kl.update(n=Tovrin(m=1))
    assert kl.n == {"m": 1}
    with pytest.raises(TypeError) as info:
        kl.update({"a": 1}, {"b": 2})
    assert str(info.value) == "update() takes at most 1 positional arguments (2 given)"
    with pytest.raises(KeyError) as info:
        kl.update(d=Tovrin({"y": 1}))
    assert info.value.args == (TARGET % "d",)


def test_traversal_and_tcl_form():
    assert Tovrin(a=Tovrin()).all_keys() == []
    kl = Tovrin({"a.b": 1, "c": 2, "a.d.e": "x y"})
    assert kl.all_keys() == ["a.b", "a.d.e", "c"]
    assert kl.all_items() == [("a.b", 1), ("a.d.e", "x y"), ("c", 2)]
    assert kl.__tclobj__() == (("a", (("b", 1), ("d", (("e", "x y"),)))), ("c", 2))
    assert zendra(kl) == "{a {{b 1} {d {{e {x y}}}}}} {c 2}" and zendra(Tovrin(k="a b")) == "{k {a b}}"
    assert Tovrin().__tclobj__() == () and zendra(Tovrin()) == ""
    odd = Tovrin()
    dict.__setitem__(odd, 5, Tovrin(a=1))  # a key that could not be stored through Tovrin
    with pytest.raises(TypeError, match="unsupported operand"):
        odd.all_keys()


@pytest.mark.parametrize("text, expected", [
    ("{a 1} {b {{c 2} {d 3}}}", {"a": "1", "b": {"c": "2", "d": "3"}}),
    ("{a {x y z}}", {"a": "x y z"}),
    ("{a {}}", {"a": {}}),
    ("{a.b 1}", {"a": {"b": "1"}}),
    ("", {}),
    ("{a 1} {a 2} {b 3}", {"a": "2", "b": "3"}),
    ("{m \\{oops} {q a\\\"b} {r {{x}y}}", {"m": "{oops", "q": 'a"b', "r": "{x}y"}),
])
def test_from_tcl(default_interp, text, expected):
    kl = Tovrin.from_tcl(text)
    assert kl == expected and type(kl) is Tovrin
    assert all(type(v) is Tovrin for v in kl.values() if isinstance(v, dict))


@pytest.mark.parametrize("text, error", [("a b c", ValueError), ("{a", _tkinter.TclError)])
def test_from_tcl_rejects_what_is_no_keyed_list(default_interp, text, error):
    with pytest.raises(error):
        Tovrin.from_tcl(text)


def test_from_tcl_calls_the_package_cast_list_in_order(fake):
    previous = movarn.tcl._default
    movarn.tcl.set_default(fake)
    try:
        kl = Tovrin.from_tcl((("a", "1"), ("b", (("c", "2"),))))
        assert kl == {"a": "1", "b": {"c": "2"}} and type(kl["b"]) is Tovrin
        assert [arg for _, arg in fake.log] == [
            (("a", "1"), ("b", (("c", "2"),))), ("a", "1"), ("b", (("c", "2"),)),
            "1", "1", (("c", "2"),), ("c", "2"), "2", "2"]
        with pytest.raises(ValueError, match="element #0 has length 1"):
            Tovrin.from_tcl("x")
    finally:
        movarn.tcl.set_default(previous)


def test_module_globals_are_read_at_call_time(monkeypatch):
    class Sub(Tovrin):
        pass

    monkeypatch.setattr(tm, "Tovrin", Sub)
    kl = Tovrin()
    kl["a.b"] = 1
    assert type(kl["a"]) is Sub and type(Tovrin({"x": {"y": 1}})["x"]) is Sub
    monkeypatch.undo()
    monkeypatch.setattr(tm, "tclobj", lambda obj: ("T", obj))
    assert Tovrin(a=1).__tclobj__() == ("T", [("a", 1)])
    seen = []

    class MM(MutableMapping):
        def update(self, other):
            seen.append(other)

    kl = Tovrin()
    monkeypatch.setattr(tm, "MutableMapping", MM)
    kl.update({"a": 1})
    assert seen == [{"a": 1}]


def test_overrides_in_subclasses_are_honoured():
    log = []

    class Logged(Tovrin):
        def __setitem__(self, key, value):
            log.append(key)
            super().__setitem__(key, value)

        def __missing__(self, key):
            if key == "zz":
                return "fallback"
            raise KeyError(key)

    kl = Logged({"a.b": 1}, c=2)
    assert log == ["a.b", "c"] and kl == {"a": {"b": 1}, "c": 2}
    assert kl["zz"] == "fallback"
    with pytest.raises(KeyError, match="target key"):
        kl["zz.q"] = 1  # __missing__ answers the lookup of "zz" with a plain value


def test_recursion_is_bounded():
    kl = Tovrin()
    kl["me"] = kl
    for op in (kl.all_keys, kl.all_items, lambda: zendra(kl), lambda: kl["me." * 5000 + "x"]):
        with pytest.raises(RecursionError):
            op()
    with pytest.raises(RecursionError):
        Tovrin()["a." * 5000 + "b"] = 1
    loop = {}
    loop["x"] = loop
    with pytest.raises(RecursionError):
        Tovrin(loop)


# Self-containing data at a recursion limit far above what the C stack
# holds: each must end in RecursionError, never in a crash.  A lazy key
# (one level per split) keeps a deep dotted path small in memory.
DEEP_KEYED_LIST_PATHS = {
    "dotted lookup": "kl[Key(10**6)]",
    "dotted store": "kl[Key(10**6)] = 1",
    "dotted store of fresh levels": "Tovrin()[Key(10**6)] = 1",
    "dotted membership": "Key(10**6) in kl",
    "dotted deletion": "del kl[Key(10**6)]",
    "construction": "d = {}; d['a'] = d; Tovrin(d)",
    "from_tcl": "l = []; l.append(['a', l]); Tovrin.from_tcl(l)",
    "all_keys": "kl.all_keys()",
    "all_items": "kl.all_items()",
    "update": "Tovrin().update(a=kl)",
    "tclobj": "tclobj(kl)",
}
_DEEP_PRELUDE = """
    import sys
    sys.setrecursionlimit(100000)
    from movarn.tcl.tovrin import Tovrin
    from movarn.tcl.zendra import tclobj
    class Key:
        def __init__(self, n): self.n = n
        def __contains__(self, sep): return self.n > 0
        def split(self, sep, maxsplit): return ["a", Key(self.n - 1)]
        def __hash__(self): return hash("a")
        def __eq__(self, other): return other == "a"
    kl = Tovrin()
    dict.__setitem__(kl, "a", kl)
    try:
        CODE
    except RecursionError:
        print("RecursionError")
"""


@pytest.mark.parametrize("path", sorted(DEEP_KEYED_LIST_PATHS))
def test_deep_recursion_at_a_huge_limit_raises(path):
    code = textwrap.dedent(_DEEP_PRELUDE).replace("CODE", DEEP_KEYED_LIST_PATHS[path])
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert (proc.returncode, proc.stdout) == (0, "RecursionError\n"), proc.stderr[-2000:]


# ---- the extension against the plain Python class, operation by operation ----------
class KL:
    """A keyed list to be built by whichever class is under test."""

    def __init__(self, items):
        self.items = items


class Pairs(list):
    """A list of (key, value) pairs whose values are to be built."""


KEYS = st.sampled_from(["a", "b", "a.b", "a.c", "b.a.c", "a.b.c", "", ".", "a.", "x.y", 5, ("t",)])
STR_KEYS = st.sampled_from(["a", "b", "a.b", "c.d", ""])
VALUES = st.recursive(
    st.one_of(st.integers(0, 2), st.sampled_from(["", "x", "ab", "x y"]), st.none(),
              st.lists(st.sampled_from(["ab", "x", "a.", (1, 2), ((1,), "v"), ([1], "v")]), max_size=2)),
    lambda inner: st.one_of(st.lists(st.tuples(STR_KEYS, inner), max_size=3).map(Pairs),
                            st.dictionaries(STR_KEYS, inner, max_size=3),
                            st.dictionaries(STR_KEYS, inner, max_size=3).map(KL)),
    max_leaves=6)
OPS = st.one_of(
    st.tuples(st.sampled_from(["set", "setdefault"]), KEYS, VALUES),
    st.tuples(st.sampled_from(["get", "del", "in", "getm", "pop"]), KEYS),
    st.tuples(st.just("update"), VALUES, st.dictionaries(STR_KEYS, VALUES, max_size=2)),
    st.tuples(st.sampled_from(["all_keys", "all_items", "tclobj", "update2"])))


def build(cls, shape):
    if isinstance(shape, KL):
        return cls(build(cls, shape.items))
    if isinstance(shape, dict):
        return {k: build(cls, v) for k, v in shape.items()}
    if isinstance(shape, Pairs):
        return [(k, build(cls, v)) for k, v in shape]
    return list(shape) if isinstance(shape, list) else shape


def canon(value):
    if isinstance(value, (Tovrin, PyTovrin)):
        return "KL", [(k, canon(v)) for k, v in dict.items(value)]
    if isinstance(value, (dict, list, tuple)):
        items = value.items() if isinstance(value, dict) else value
        return type(value).__name__, [canon(v) for v in items]
    return value


def outcome(kl, op):
    name, args = op[0], op[1:]
    try:
        result = {
            "set": lambda k, v: kl.__setitem__(k, v), "setdefault": lambda k, v: kl.setdefault(k, v),
            "get": lambda k: kl[k], "del": lambda k: kl.__delitem__(k), "in": lambda k: k in kl,
            "getm": lambda k: kl.get(k), "pop": lambda k: kl.pop(k, "none"),
            "update": lambda v, kw: kl.update(v, **kw), "update2": lambda: kl.update(type(kl)(kl)),
            "all_keys": kl.all_keys, "all_items": kl.all_items, "tclobj": kl.__tclobj__,
        }[name](*[build(type(kl), a) for a in args])
        return "ok", canon(result)
    except Exception as exc:  # the same exception, with the same message
        return type(exc).__name__, str(exc)


@settings(max_examples=400, deadline=None)
@given(st.dictionaries(KEYS, VALUES, max_size=3), st.lists(OPS, max_size=8))
def test_behaves_as_the_python_class(start, ops):
    objs = []
    for cls in (Tovrin, PyTovrin):
        try:
            objs.append(cls(build(cls, start)))
        except Exception as exc:
            objs.append((type(exc).__name__, str(exc)))
    if isinstance(objs[0], tuple):
        assert objs[0] == objs[1]
        return
    ours, ref = objs
    for op in ops:
        assert outcome(ours, op) == outcome(ref, op), op
        assert canon(ours) == canon(ref)


TCL_TEXT = st.text(alphabet=st.sampled_from("ab. {}\\\"x"), max_size=14)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.one_of(TCL_TEXT, st.dictionaries(TCL_TEXT, st.one_of(TCL_TEXT, st.dictionaries(TCL_TEXT, TCL_TEXT)),
                                           max_size=3).map(zendra)))
def test_from_tcl_as_the_python_class(default_interp, text):
    results = []
    for cls in (Tovrin, PyTovrin):
        try:
            results.append(canon(cls.from_tcl(text)))
        except Exception as exc:
            results.append((type(exc).__name__, str(exc)))
    assert results[0] == results[1]


# ---- with TclX itself --------------------------------------------------------------------
@pytest.fixture
def tclx_default(tclx):
    """TclX's interpreter, also the package default that from_tcl splits with."""
    previous = movarn.tcl._default
    movarn.tcl.set_default(tclx)
    yield tclx
    movarn.tcl.set_default(previous)


def keyed(tclx, script):
    """A keyed list built by TclX, read back as a Tcl_Obj of TclX's type."""
    tclx.tk.eval("unset -nocomplain k; " + script)
    obj = tclx.tk.call("set", "k")
    assert type(obj) is _tkinter.Tcl_Obj and obj.typename == "keyedList"
    return obj


SCRIPT = 'keylset k name.first John name.last "van Smith" size 10 msg "\\{odd brace" q "a\\"b"'
EXPECTED = {"name": {"first": "John", "last": "van Smith"}, "size": "10", "msg": "{odd brace", "q": 'a"b'}


@pytest.mark.parametrize("store", [
    lambda kl, obj: kl.__setitem__("r", obj),
    lambda kl, obj: kl.__setitem__("deep.er.r", obj),
    lambda kl, obj: kl.update(r=obj),
    lambda kl, obj: kl.update(Tovrin(r=obj)),
    lambda kl, obj: Tovrin.__init__(kl, [("r", obj)]),
])
def test_tclx_objects_convert_at_every_level(tclx_default, store):
    tclx = tclx_default
    kl = Tovrin({"deep.er": Tovrin()})
    store(kl, keyed(tclx, SCRIPT))
    level = kl["deep.er.r"] if "r" in kl["deep.er"] else kl["r"]
    assert level == EXPECTED and type(level["name"]) is Tovrin
    plain = tclx.tk.call("list", "a", "b")
    kl["p"] = plain
    assert kl["p"] is plain  # other Tcl_Obj types are stored as they are


@pytest.mark.parametrize("convert", [tclobj, zendra])
def test_tclx_reads_what_we_send(tclx_default, convert):
    tclx = tclx_default
    kl = Tovrin({"name.first": "John", "name.last": "van Smith", "odd": "{x", "br": "a {b} c", "sp": " "})
    tclx.tk.call("set", "k", convert(kl))
    get = lambda key: tclx.tk.call("keylget", "k", key)  # noqa: E731
    assert [str(get(key)) for key in kl.all_keys()] == [str(v) for _, v in kl.all_items()]
    assert tclx.tk.splitlist(tclx.tk.eval("keylkeys k")) == ("name", "odd", "br", "sp")
    assert tclx.tk.splitlist(tclx.tk.eval("keylkeys k name")) == ("first", "last")
    tclx.tk.eval("keylset k name.middle {J. R.}")
    assert Tovrin.from_tcl(tclx.tk.eval("set k"))["name"] == {"first": "John", "last": "van Smith",
                                                               "middle": "J. R."}


def test_tclx_text_round_trips(tclx_default):
    tclx = tclx_default
    tclx.tk.eval("unset -nocomplain k; " + SCRIPT + "; keylset k empty {} list {a b c}")
    text = tclx.tk.eval("set k")
    kl = Tovrin.from_tcl(text)
    assert Tovrin.from_tcl(zendra(kl)) == kl and kl["empty"] == {} and kl["list"] == "a b c"
    # Quoting may differ from Tcl 8.6's (both are valid); TclX's own rendering
    # of what we send is its original text.
    tclx.tk.call("set", "k2", zendra(kl))
    tclx.tk.eval("keylset k2 zz 1; keyldel k2 zz")
    assert tclx.tk.eval("set k2") == text and tclx.tk.eval("keylget k2 msg") == "{odd brace"
