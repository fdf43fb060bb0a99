"""Keyed lists, side by side in one run: the extension against a line-by-line
Python rendering of the same class (PyTovrin below, also used by the tests as
a reference), and Tcl's own list splitting as the floor that every from_tcl
pays through cast_list.  Ratios matter; absolute times depend on the machine."""

import sys
import timeit
from collections.abc import MutableMapping

from _tkinter import TclError, Tcl_Obj

import movarn.tcl
from movarn.datastructures import AttrDict
from movarn.tcl.zendra import tclobj, zendra

TARGET = 'target key "%s" is a value, cannot update value against another keyed list'


# ---- reference: the keyed-list class written in plain Python ------------------
class PyTovrin(AttrDict, MutableMapping):
    def __init__(self, *args, **kwargs):
        super().__init__()
        dsc = dict(*args, **kwargs)
        for key, value in dsc.items():
            if not isinstance(value, PyTovrin):
                try:
                    dsc[key] = PyTovrin(value)
                except (ValueError, TypeError):
                    pass
        self.update(dsc)

    @staticmethod
    def from_tcl(string):
        import movarn.tcl
        dsc = dict([movarn.tcl.cast_list(e) for e in movarn.tcl.cast_list(string)])
        for key, value in dsc.items():
            if not isinstance(value, PyTovrin):
                try:
                    dsc[key] = PyTovrin.from_tcl(value)
                except (ValueError, TclError):
                    pass
        klist = PyTovrin()
        klist.update(dsc)
        return klist

    def __getitem__(self, key):
        if "." in key:
            first, rest = key.split(".", 1)
            return super().__getitem__(first)[rest]
        return super().__getitem__(key)

    def __setitem__(self, key, value):
        if isinstance(value, Tcl_Obj) and value.typename == "keyedList":
            value = PyTovrin.from_tcl(value)
        if "." in key:
            first, rest = key.split(".", 1)
            try:
                subkl = self[first]
            except KeyError:
                subkl = PyTovrin()
                super().__setitem__(first, subkl)
            else:
                if not isinstance(subkl, PyTovrin):
                    raise KeyError(TARGET % first)
            subkl[rest] = value
        else:
            if isinstance(value, PyTovrin):
                try:
                    current = self[key]
                except KeyError:
                    pass
                else:
                    if not isinstance(current, PyTovrin):
                        raise KeyError(TARGET % key)
            super().__setitem__(key, value)

    def __contains__(self, key):
        if "." in key:
            first, rest = key.split(".", 1)
            if not super().__contains__(first):
                return False
            return super().__getitem__(first).__contains__(rest)
        return super().__contains__(key)

    def __delitem__(self, key):
        if "." in key:
            first, rest = key.split(".", 1)
            del super().__getitem__(first)[rest]
            if not super().__getitem__(first):
                super().__delitem__(first)
        else:
            super().__delitem__(key)

    get = MutableMapping.get
    pop = MutableMapping.pop
    setdefault = MutableMapping.setdefault

    def update(self, *args, **kwargs):
        if len(args) > 1:
            raise TypeError("update() takes at most 1 positional arguments ({} given)".format(len(args)))
        if args:
            other = args[0]
            if isinstance(other, PyTovrin):
                for key, value in other.all_items():
                    self[key] = value
            else:
                MutableMapping.update(self, other)
        for key, value in kwargs.items():
            if isinstance(value, PyTovrin):
                try:
                    subkl = self[key]
                except KeyError:
                    subkl = PyTovrin()
                    self[key] = subkl
                if not isinstance(subkl, PyTovrin):
                    raise KeyError(TARGET % key)
                subkl.update(value)
            else:
                self[key] = value

    def all_keys(self):
        keys = []
        for key, value in self.items():
            if isinstance(value, PyTovrin):
                keys.extend(key + "." + subkey for subkey in value.all_keys())
            else:
                keys.append(key)
        return keys

    def all_items(self):
        items = []
        for key, value in self.items():
            if isinstance(value, PyTovrin):
                items.extend((key + "." + subkey, subvalue) for subkey, subvalue in value.all_items())
            else:
                items.append((key, value))
        return items

    has_key = __contains__

    def __tclobj__(self):
        return tclobj([(key, value) for key, value in self.items()])


# ---- data: 10,000 leaves in 3 levels (20 x 20 x 25) ---------------------------
def nested_data():
    return {"unit%d" % u: {"ch%d" % c: {"m%d" % m: "%d.%d %s" % (u, m, "ok" if m % 3 else "{fail}")
                                        for m in range(25)} for c in range(20)} for u in range(20)}


def best(func, number):
    return min(timeit.repeat(func, number=number, repeat=5)) / number


def row(name, ours, *others):
    cells = ["%-40s %9.2f ms" % (name, ours * 1e3)]
    for label, t in others:
        cells.append("%s %9.2f ms (%5.2fx)" % (label, t * 1e3, t / ours))
    print("  ".join(cells))


def main():
    from movarn.tcl.tovrin import Tovrin

    interp = movarn.tcl.default()
    data = nested_data()
    kl = Tovrin(data)
    text = zendra(kl)
    assert len(kl.all_keys()) == 10_000
    assert Tovrin.from_tcl(text) == kl == PyTovrin.from_tcl(text) == PyTovrin(data)
    assert zendra(PyTovrin(data)) == text and interp.tk.splitlist(text)[0].startswith("unit0")
    pkl = PyTovrin(data)

    def split_all(value):  # the cast_list calls that from_tcl makes, and nothing else
        pairs = [interp.cast_list(e) for e in interp.cast_list(value)]
        if all(len(pair) == 2 for pair in pairs):
            for pair in pairs:
                split_all(pair[1])

    print("Python", sys.version.split()[0], "| 10,000 leaves in 3 levels, %d characters of Tcl text" % len(text))
    print("times are the best of 5; (Nx) = other / movarn")
    row("from_tcl(text)", best(lambda: Tovrin.from_tcl(text), 3),
        ("python", best(lambda: PyTovrin.from_tcl(text), 1)))
    row("Tovrin(nested dict)", best(lambda: Tovrin(data), 5), ("python", best(lambda: PyTovrin(data), 2)))
    row("zendra(keyed list)", best(lambda: zendra(kl), 10), ("python", best(lambda: zendra(pkl), 10)))
    row("all_items()", best(kl.all_items, 20), ("python", best(pkl.all_items, 10)))
    row("cast_list calls alone (floor)", best(lambda: split_all(text), 3))


if __name__ == "__main__":
    main()
