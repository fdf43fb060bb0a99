"""Property tests over arbitrary nested values, odd protocol objects and real Tcl.

Every input is a *recipe* that `build` turns into fresh objects, so the same
input can be given twice: to the modules and to a plain-Python model of the
documented conversion rules (`model_zendra`, `model_tclobj`).  Both must agree
on the result or on the type of the exception; anything else (a SystemError, a
result of the wrong type, a crash) is a fault.  Strings are compared through
real Tcl: a list string must split, in Tcl, into the model's elements.
"""

import importlib.util
import math
import re
import pathlib
import subprocess
import sys
import textwrap
from collections.abc import Mapping, Sequence, Set

import _tkinter
import pytest
import tkinter
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from movarn.tcl import Interpreter
from movarn.tcl.namespace import TclCommand, TclVariable
from movarn.tcl.tovrin import Tovrin
from movarn.tcl.zendra import tclobj, zendra

_where = importlib.util.spec_from_file_location(
    "bench_tovrin", pathlib.Path(__file__).resolve().parent.parent / "bench" / "bench_tovrin.py")
_bench = importlib.util.module_from_spec(_where)
_where.loader.exec_module(_bench)
PyTovrin = _bench.PyTovrin  # the keyed list in plain Python: the reference

FUZZ = settings(max_examples=70, deadline=None, suppress_health_check=list(HealthCheck))


# ---- inputs -----------------------------------------------------------------------
SPECIAL = "{}\\\"[]$; \t\n\r\f\v#\0.:()"
# Planes 15 and 16 are left out: `tcl_safe` maps lone surrogates there.
_chars = st.one_of(st.sampled_from(SPECIAL), st.characters(max_codepoint=0xEFFFF),
                   st.characters(min_codepoint=0x10000, max_codepoint=0xEFFFF),
                   st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF))
_tcl_chars = st.one_of(st.sampled_from(SPECIAL), st.characters(max_codepoint=0xEFFFF, blacklist_categories=("Cs",)))
# Long texts too: the quoting skips ordinary characters 16 at a time.
_plain = st.characters(min_codepoint=0x20, max_codepoint=0x7E, blacklist_characters=SPECIAL)
texts = st.one_of(st.text(_chars, max_size=8),
                  st.text(st.one_of(_plain, _plain, _plain, _chars), min_size=15, max_size=60))
tcl_texts = st.one_of(st.text(_tcl_chars, max_size=8),  # what tkinter can send inside a tuple
                      st.text(st.one_of(_plain, _plain, _plain, _tcl_chars), min_size=15, max_size=60))

_ints = st.one_of(st.integers(), st.integers(-2 ** 200, 2 ** 200),
                  st.sampled_from([2 ** 63 - 1, 2 ** 63, -2 ** 63, -2 ** 63 - 1, 2 ** 31, -1, 0]))


def scalars(text):
    return st.one_of(text, st.binary(max_size=4), _ints, st.floats(), st.booleans(), st.none())


class Boom(Exception):
    """Raised by user methods: must come out unchanged."""


class Odd:
    """An object whose protocol attributes are set per instance.

    A mode per attribute: absent, falsy (skipped), a method returning the
    payload, a method returning the object itself, one that raises Boom.
    """

    def __init__(self, zmode, tmode, payload):
        for name, mode in (("__zendra__", zmode), ("__tclobj__", tmode)):
            if mode == "falsy":
                setattr(self, name, 0)
            elif mode == "return":
                setattr(self, name, lambda: payload)
            elif mode == "self":
                setattr(self, name, lambda: self)
            elif mode == "raise":
                setattr(self, name, _raise_boom)

    def __str__(self):
        return "odd"


def _raise_boom(*args, **kwargs):
    raise Boom("user method")


class BadAttr:
    """Reading a protocol attribute raises: AttributeError counts as absent, the rest propagates."""

    def __init__(self, exc):
        self.exc = exc

    @property
    def __zendra__(self):
        raise self.exc("attribute read")

    __tclobj__ = __zendra__

    def __str__(self):
        return "bad attr"


class Mutator:
    """An element whose conversion changes the list holding it, once."""

    def __init__(self, owner, op):
        self.owner, self.op, self.done = owner, op, False

    def _mutate(self):
        if not self.done:
            self.done = True
            if self.op == "append":
                self.owner.append("late")
            elif self.op == "clear":
                self.owner.clear()
            elif self.op == "pop":
                self.owner.pop(0)
            elif self.op == "replace":
                self.owner[:] = [["x y"], None, 5]
        return "m"

    __zendra__ = __tclobj__ = _mutate


def recipes(text=texts, odd=True):
    """Recipes: ("v", value), ("list"|"tuple"|"set", kids), ("dict"|"tovrin", pairs),
    ("odd", zmode, tmode, payload), ("badattr", exc), ("mut", op, kids)."""
    leaf = scalars(text).map(lambda v: ("v", v))
    hashable = st.one_of(text, _ints, st.booleans(), st.none(), st.binary(max_size=3))
    leaves = [leaf, st.sets(hashable, max_size=3).map(lambda s: ("set", sorted(s, key=repr)))]
    if odd:
        leaves.append(st.sampled_from([AttributeError, Boom, KeyError, TypeError]).map(lambda e: ("badattr", e)))
    keys = st.one_of(text, st.sampled_from(["a", "b", "a.b", "b.c", "a.b.c", ".", "", "c."]))

    def extend(kids):
        options = [
            st.lists(kids, max_size=4).map(lambda k: ("list", k)),
            st.lists(kids, max_size=4).map(lambda k: ("tuple", k)),
            st.lists(st.tuples(keys, kids), max_size=3).map(lambda p: ("dict", p)),
            st.lists(st.tuples(keys, kids), max_size=3).map(lambda p: ("tovrin", p)),
        ]
        if odd:
            modes = st.sampled_from(["absent", "falsy", "return", "raise"])
            options += [
                st.tuples(st.sampled_from(["absent", "falsy", "return", "raise", "self"]), modes, kids)
                .map(lambda t: ("odd",) + t),
                st.tuples(st.sampled_from(["append", "clear", "pop", "replace"]), st.lists(kids, max_size=3))
                .map(lambda t: ("mut",) + t),
            ]
        return st.one_of(options)

    return st.recursive(st.one_of(leaves), extend, max_leaves=10)


def build(r, tovrin=Tovrin):
    kind = r[0]
    if kind == "v":
        return r[1]
    if kind == "set":
        return set(r[1])
    if kind in ("list", "tuple"):
        items = [build(k, tovrin) for k in r[1]]
        return items if kind == "list" else tuple(items)
    if kind == "dict":
        return {k: build(v, tovrin) for k, v in r[1]}
    if kind == "tovrin":
        kl = tovrin()
        for k, v in r[1]:
            try:
                kl[k] = build(v, tovrin)
            except (KeyError, TypeError):
                pass  # a path through a plain value: that item is left out
        return kl
    if kind == "odd":
        return Odd(r[1], r[2], build(r[3], tovrin))
    if kind == "badattr":
        return BadAttr(r[1])
    if kind == "mut":
        owner = [build(k, tovrin) for k in r[2]]
        owner.insert(len(owner) // 2, Mutator(owner, r[1]))
        return owner
    raise AssertionError(r)


# ---- the model ---------------------------------------------------------------------
class ListText:
    """A Tcl list string, known by its elements (each a str or a ListText)."""

    def __init__(self, items):
        self.items = items

    def __repr__(self):
        return "ListText(%r)" % (self.items,)


def _model_element(e):
    # The quoting steps convert their input with zendra() again.
    if type(e) is str or isinstance(e, ListText):
        return e
    s = model_zendra(e)
    if type(s) is str or isinstance(s, ListText):
        return s
    raise TypeError("element is %s" % type(s).__name__)


def model_zendra(obj):
    f = getattr(obj, "__zendra__", None)
    if f:
        return f()
    f = getattr(obj, "__tclobj__", None)
    if f:
        return model_zendra(f())
    if obj is None:
        return ""
    if isinstance(obj, str):
        return str(obj)
    if isinstance(obj, bool):
        return "true" if obj else "false"
    if isinstance(obj, (Sequence, Set)):
        elements = [model_zendra(x) for x in obj]
        scanned = [_model_element(e) for e in elements]
        del scanned
        return ListText([_model_element(e) for e in elements])
    if isinstance(obj, Mapping):
        return model_zendra([x for k in obj for x in (k, obj[k])])
    return str(obj)


def model_tclobj(obj):
    f = getattr(obj, "__tclobj__", None)
    if f:
        return f()
    if obj is None:
        return ""
    if isinstance(obj, (bytes, bool, float, str, _tkinter.Tcl_Obj)):
        return obj
    if type(obj) is int and -sys.maxsize - 1 <= obj <= sys.maxsize:
        return obj
    if isinstance(obj, (Sequence, Set)):
        return tuple(model_tclobj(x) for x in obj)
    if isinstance(obj, Mapping):
        return tuple(model_tclobj(x) for k in obj for x in (k, obj[k]))
    return model_zendra(obj)


def outcome(func, *args):
    try:
        return True, func(*args)
    except (SystemError, MemoryError):
        raise
    except Exception as exc:
        return False, exc


# ---- comparing through real Tcl ------------------------------------------------------------
_TK = []


def _tk():
    if not _TK:
        _TK.append(tkinter.Tcl().tk)
    return _TK[0]


def tcl_safe(s):
    """Lone surrogates cannot reach Tcl; map them to private characters that
    the quoting treats alike, so a list string can still be split by Tcl."""
    return "".join(chr(0xF0000 + ord(c) - 0xD800) if 0xD800 <= ord(c) <= 0xDFFF else c for c in s)


def tcl_split(text):
    got = _tk().call("lrange", text, 0, "end")
    return () if got == "" else got


def tcl_text(value):
    """Tcl's string form of a value that tkinter sends."""
    if value is None:
        return "None"  # what tkinter's setvar makes of it; as a command word it ends the command
    return _tk().call(("format", "%s", value))


def same_shape(real, model):
    if type(real) is not type(model):
        return False
    if isinstance(real, (list, tuple)):
        return len(real) == len(model) and all(map(same_shape, real, model))
    if isinstance(real, float):
        return real == model or (math.isnan(real) and math.isnan(model))
    if isinstance(real, (str, bytes, int, type(None))):
        return real == model
    return True  # a user's own object: built twice, the same kind is all that can match


def agree(real, model, split=False):
    """`real` is what the module returned, `model` what the rules predict.
    With `split`, `real` is an element string read back by Tcl."""
    if isinstance(model, ListText):
        assert type(real) is str, (real, model)
        elements = tcl_split(real if split else tcl_safe(real))
        assert len(elements) == len(model.items), (real, model)
        for e, m in zip(elements, model.items):
            agree(e, m, split=True)
    elif type(model) is str:
        assert type(real) is str and real == (tcl_safe(model) if split else model), (real, model)
    elif type(model) is tuple:
        assert type(real) is tuple and len(real) == len(model), (real, model)
        for r, m in zip(real, model):
            agree(r, m)
    else:
        assert same_shape(real, model), (real, model)


def same_outcome(real, model):
    ok, value = real
    mok, mvalue = model
    assert not isinstance(value, SystemError)
    if not mok:
        assert not ok and type(value) is type(mvalue), (value, mvalue)
    else:
        assert ok, value
        agree(value, mvalue)


def tcl_agrees(text, word):
    """`text` is Tcl's string of a value that came from the Tcl-ready `word`."""
    if isinstance(word, (tuple, list)):  # tkinter sends a list as a Tcl list too
        elements = tcl_split(text)
        assert len(elements) == len(word), (text, word)
        for e, w in zip(elements, word):
            tcl_agrees(e, w)
    elif isinstance(word, bool):
        assert text == ("1" if word else "0"), (text, word)
    elif isinstance(word, float):
        # Tcl 8.6.13 writes a few doubles one unit off (2 ** -24 as 5.960464477539062e-8).
        got = float("nan") if text.lstrip("-").startswith("NaN") else float(text)  # Tcl shows the payload: -NaN(1)
        assert got == word or math.isclose(got, word, rel_tol=3e-16) or (math.isnan(word) and math.isnan(got)), \
            (text, word)
    elif isinstance(word, bytes):
        assert text == word.decode("latin-1"), (text, word)
    elif type(word) in (str, int, type(None)):
        assert text == str(word), (text, word)
    else:  # a user's object, sent as its str(): built twice, only its kind can match
        assert type(text) is str


def is_tcl_ready(value):
    if isinstance(value, tuple):
        return all(map(is_tcl_ready, value))
    return isinstance(value, (str, bytes, int, float, _tkinter.Tcl_Obj))


# ---- properties -------------------------------------------------------------------------
def check_zendra(r):
    real = outcome(zendra, build(r))
    same_outcome(real, outcome(model_zendra, build(r)))
    if real[0] and r[0] != "odd":
        assert type(real[1]) is str


def check_tclobj(r):
    real = outcome(tclobj, build(r))
    same_outcome(real, outcome(model_tclobj, build(r)))
    if real[0] and "odd" not in repr(r) and "tovrin" not in repr(r):
        assert is_tcl_ready(real[1]), real[1]


@FUZZ
@given(recipes())
def test_zendra_follows_the_rules(r):
    check_zendra(r)


@FUZZ
@given(recipes())
def test_tclobj_follows_the_rules(r):
    check_tclobj(r)


@FUZZ
@given(recipes(odd=False))
def test_plain_data_survives_tcl(r):
    """A Tcl-ready word reaches Tcl as the value it stands for, and zendra's text
    of the same data is the list Tcl splits into zendra's text of each item."""
    value = build(r)
    text = zendra(value)
    if isinstance(value, Tovrin):
        flat = list(value.__tclobj__())  # its pairs
    elif isinstance(value, Mapping):
        flat = [x for k in value for x in (k, value[k])]
    elif isinstance(value, (Sequence, Set)) and not isinstance(value, (str, bytes)):
        flat = list(value)
    else:
        flat = None
    if flat is not None:
        assert tcl_split(tcl_safe(text)) == tuple(tcl_safe(zendra(x)) for x in flat)
    if not re.search(r"\\ud[89a-f]", repr(value)):  # no lone surrogate: tkinter cannot send one
        word = tclobj(value)
        tcl_agrees(tcl_text(word), word)


def check_tovrin(pairs, ops):
    """The keyed list under odd values and keys, against the plain-Python class."""
    sides = []
    for cls in (Tovrin, PyTovrin):
        log = []
        kl = outcome(cls, {k: build(v, cls) for k, v in pairs})
        log.append(kl if not kl[0] else (True, None))
        kl = kl[1] if kl[0] else cls()
        for op, key, value in ops:
            v = build(value, cls)
            step = {
                "set": lambda: kl.__setitem__(key, v), "get": lambda: kl[key], "in": lambda: key in kl,
                "del": lambda: kl.__delitem__(key), "attr": lambda: getattr(kl, key),
                "update": lambda: kl.update({key: v}), "tclobj": lambda: tclobj(kl), "zendra": lambda: zendra(kl),
                "all_items": kl.all_items,
            }[op]
            log.append(outcome(step))
        sides.append((log, canon(kl)))
    (ours, ours_state), (ref, ref_state) = sides
    for (ok, value), (rok, rvalue) in zip(ours, ref):
        assert ok == rok and not isinstance(value, SystemError), (value, rvalue)
        if ok:
            assert canon(value) == canon(rvalue)
        else:
            assert type(value) is type(rvalue), (value, rvalue)
    assert ours_state == ref_state


def canon(value):
    if isinstance(value, (Tovrin, PyTovrin)):
        return "KL", [(k, canon(v)) for k, v in dict.items(value)]
    if isinstance(value, (list, tuple)):
        return type(value).__name__, [canon(v) for v in value]
    if isinstance(value, dict):
        return "dict", [(canon(k), canon(v)) for k, v in value.items()]
    if isinstance(value, float) and math.isnan(value):
        return "nan"
    if isinstance(value, (str, bytes, int, float, type(None))):
        return value
    return type(value).__name__


_tkeys = st.one_of(texts, st.sampled_from(["a", "a.b", "a.b.c", "b", ".", "a.", "x.y"]), st.integers(0, 3))


@settings(FUZZ, max_examples=40)
@given(st.lists(st.tuples(_tkeys, recipes()), max_size=3),
       st.lists(st.tuples(st.sampled_from(["set", "get", "in", "del", "attr", "update", "tclobj", "zendra",
                                           "all_items"]), _tkeys, recipes()), max_size=5))
def test_tovrin_agrees_with_the_python_class(pairs, ops):
    check_tovrin(pairs, ops)


_INTERP = []


def _interp():
    if not _INTERP:
        _INTERP.append(Interpreter())
        _INTERP[0].tk.eval("proc ::fuzz_echo args {return $args}")
    return _INTERP[0]


# What tkinter or Tcl may refuse in a value the conversions accepted: a bad
# name, a NUL in a name, a text for the script that is not a string.
TCL_REFUSALS = (tkinter.TclError, TypeError, ValueError)

_names = st.one_of(tcl_texts.filter(bool), st.sampled_from(["::x", "x", "a(b)", "::fuzz::v", "::", "a b", "{"]))


def check_variable(name, index, r):
    """A value set through a handle reads back as the Tcl value of tclobj(value),
    by object and by script, whatever the variable's name."""
    interp = _interp()
    var = TclVariable(name, index, interp)
    expected = outcome(model_tclobj, build(r))
    done = outcome(var.set, build(r))
    if not expected[0]:
        assert not done[0] and type(done[1]) is type(expected[1]), (done, expected)
        return
    if not done[0]:
        assert isinstance(done[1], TCL_REFUSALS), done[1]
        return
    word = expected[1]
    assert var.exists()
    tcl_agrees(tcl_text(var.get()), word)
    text = var.get_str()
    if "\0" not in tcl_text(word):  # tkinter's eval result stops at a NUL
        tcl_agrees(text, word)
    var.unset()
    assert not var.exists()


@FUZZ
@given(_names, st.one_of(st.none(), tcl_texts, st.integers()), recipes(tcl_texts))
def test_variable_round_trip(name, index, r):
    check_variable(name, index, r)


def check_command(r_args, kwargs, via_eval):
    """A proc that returns its arguments gives back the words the handle built."""
    interp = _interp()
    args = [build(a) for a in r_args]
    kw = {k: build(v) for k, v in kwargs}
    cmd = TclCommand(("::fuzz_echo",), tcl=interp)
    got = outcome(lambda: (cmd.eval if via_eval else cmd)(*args, **kw))
    words = outcome(lambda: [model_tclobj(build(a)) for a in r_args]
                    + [w for k, v in kwargs for w in ("-" + k, model_tclobj(build(v)))])
    if not words[0]:
        assert not got[0] and type(got[1]) is type(words[1]), (got, words)
        return
    if via_eval:
        # The script is zendra's text of the words: the proc gets each word's element text.
        script = outcome(model_zendra, list(words[1]))
        if not script[0]:
            assert not got[0] and type(got[1]) is type(script[1]), (got, script)
            return
    if not got[0]:
        assert isinstance(got[1], TCL_REFUSALS), got[1]
        return
    if not via_eval:
        sent = words[1][:words[1].index(None)] if None in words[1] else words[1]  # tkinter stops at a None
        tcl_agrees(tcl_text(got[1]), tuple(sent))
    elif "\\x00" not in repr(script[1]):  # tkinter's eval result stops at a NUL
        agree(got[1], script[1])


@settings(FUZZ, max_examples=40)
@given(st.lists(recipes(tcl_texts), max_size=3),
       st.lists(st.tuples(st.text("abcxyz_", min_size=1, max_size=3), recipes(tcl_texts)), max_size=2,
                unique_by=lambda kv: kv[0]),
       st.booleans())
def test_command_call_round_trip(r_args, kwargs, via_eval):
    check_command(r_args, kwargs, via_eval)


# ---- faults that took the process down: each in its own interpreter -----------------------------
CRASHERS = {
    "tclobj_returns_self": """
        class A:
            def __tclobj__(self): return self
        for f in (zendra, tclobj):
            try: f([A()])
            except RecursionError: pass
    """,
    "tclobj_returns_fresh_object": """
        class A:
            def __tclobj__(self): return A()
        try: zendra(A())
        except RecursionError: pass
    """,
    "variable_named_by_itself": """
        v = TclVariable("x", tcl=interp)
        v.var_name = v
        try: TclVariable(v, tcl=interp)
        except (RecursionError, TypeError): pass
    """,
    "deep_data_with_a_raised_limit": """
        sys.setrecursionlimit(10 ** 6)
        deep = []
        for _ in range(200000):
            deep = [deep]
        for f in (zendra, tclobj):
            try: f(deep)
            except RecursionError: pass
    """,
    "lone_surrogate_inside_a_sent_tuple": """
        from movarn.tcl.namespace import TclCommand
        for send in (lambda: TclVariable("x", tcl=interp).set(["\\ud800"]),
                     lambda: TclCommand("list", tcl=interp)(["a", ("\\udfff",)])):
            try: send()
            except UnicodeEncodeError: pass
            else: raise SystemExit("sent")
    """,
}


@pytest.mark.parametrize("name", sorted(CRASHERS))
def test_fault_does_not_crash(name):
    script = "import sys\nfrom movarn.tcl import Interpreter\nfrom movarn.tcl.namespace import TclVariable\n" \
             "from movarn.tcl.zendra import tclobj, zendra\ninterp = Interpreter()\n" \
             + textwrap.dedent(CRASHERS[name]) + "print('survived')\n"
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0 and "survived" in run.stdout, run.stderr[-2000:]
