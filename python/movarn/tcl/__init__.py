"""Drive a Tcl interpreter from Python.

The modules of this package (``zendra``, ``tovrin``, ``namespace``, ``vesk``)
work through an *interpreter object*: :class:`Interpreter` here, or any object
with the same members.  The package itself also acts as one: ``movarn.tcl.tk``,
``movarn.tcl.cast_list`` and the other members below are those of a default
:class:`Interpreter`, created on first use, so importing the package starts
no Tcl interpreter.  :func:`set_default` installs your own.
"""

import re
import tkinter
from collections.abc import MutableMapping

import _tkinter

__all__ = ["Interpreter", "default", "set_default"]

_INT = re.compile(r"[+-]?(?:0[xX][0-9a-fA-F]+|[0-9]+)\Z")
# Every number either pattern takes begins with one of these: most text is
# told apart by its first character alone.
_NUMBER_START = frozenset("+-.0123456789")
_FLOAT = re.compile(r"[+-]?(?:[0-9]+\.[0-9]*|\.[0-9]+|[0-9]+)(?:[eE][+-]?[0-9]+)?\Z")


class _GlobalVars(MutableMapping):
    """Tcl's global variables as a mapping: ``vars["::errorInfo"]``."""

    def __init__(self, interp):
        self._interp = interp

    def __getitem__(self, name):
        try:
            return self._interp.tk.globalgetvar(name)
        except tkinter.TclError as exc:
            raise KeyError(name) from exc

    def __setitem__(self, name, value):
        self._interp.tk.globalsetvar(name, value)

    def __delitem__(self, name):
        try:
            self._interp.tk.globalunsetvar(name)
        except tkinter.TclError as exc:
            raise KeyError(name) from exc

    def __iter__(self):
        return iter(self._interp.tk.splitlist(self._interp.tk.call("info", "globals")))

    def __len__(self):
        return len(self._interp.tk.splitlist(self._interp.tk.call("info", "globals")))


class Interpreter:
    """A Tcl interpreter and the conversions the movarn.tcl modules need.

    ``Interpreter()`` starts a new Tcl interpreter (``tkinter.Tcl()``);
    ``Interpreter(app)`` wraps an existing ``tkinter.Tk``/``tkinter.Tcl``
    instance.  The handles of the other modules keep only a weak proxy to
    it: keep the object alive as long as you use them.
    """

    def __init__(self, app=None):
        self.app = tkinter.Tcl() if app is None else app
        #: the tkinter Tcl application object; a plain attribute, since every
        #: handle operation reads it
        self.tk = self.app.tk
        #: word lists of the quick calls made through this interpreter
        self.history = []
        #: Tcl's global variables, as a mapping
        self.vars = _GlobalVars(self)

    def cast_list(self, value):
        """Split a Tcl list into a tuple of its elements.

        Accepts ``str``, ``bytes`` and ``Tcl_Obj`` (split by Tcl), ``tuple``
        and ``list`` (taken as already split), and numbers, which are
        one-element lists.  Elements that tkinter hands back as ``Tcl_Obj``
        (values of Tcl types it does not know, such as variable names) are
        returned as their Tcl strings.
        """
        if type(value) is str:
            return self.tk.splitlist(value)  # Tcl splits text into strings
        if isinstance(value, (str, bytes, _tkinter.Tcl_Obj)):
            value = self.tk.splitlist(value)
        if isinstance(value, (tuple, list)):
            if any(type(item) is _tkinter.Tcl_Obj for item in value):
                return tuple(str(item) if type(item) is _tkinter.Tcl_Obj else item for item in value)
            return tuple(value)
        if isinstance(value, (int, float)):
            return (value,)
        raise TypeError("cannot use %s as a Tcl list" % type(value).__name__)

    def cast_array(self, value):
        """Turn the answer of ``array get`` (name, value, ...) into a dict."""
        items = self.cast_list(value)
        return dict(zip(items[::2], items[1::2]))

    def cast_boolean(self, value):
        """The Python truth of a Tcl boolean ("1", "yes", "true", 0, ...)."""
        if isinstance(value, (bool, int, float)):
            return bool(value)
        return bool(self.tk.getboolean(value))

    def cast_any(self, value):
        """Convert a Tcl result to the most fitting Python value.

        Integers (decimal or 0x hexadecimal) become ``int``, decimal numbers
        ``float``, lists (as tkinter returns them) tuples of converted items;
        every other text stays a ``str``.  Numbers pass through.
        """
        if isinstance(value, _tkinter.Tcl_Obj):
            value = str(value)
        if isinstance(value, str):
            text = value.strip()
            if not text or text[0] not in _NUMBER_START:
                return value
            if _INT.match(text):
                return int(text, 0) if text.lstrip("+-")[:2].lower() == "0x" else int(text)
            if _FLOAT.match(text):
                return float(text)
            return value
        if isinstance(value, tuple):
            return tuple(self.cast_any(item) for item in value)
        return value


# importlib.reload() keeps the default it had, so handles made before the
# reload stay on the same Tcl interpreter.
_default = globals().get("_default")


def default():
    """The package's default interpreter object, created on first use."""
    global _default
    if _default is None:
        _default = Interpreter()
    return _default


def set_default(interp):
    """Make ``interp`` the default interpreter object of the package."""
    global _default
    _default = interp


# The conversions are plain functions, so the hot ones (cast_list splits
# every level of a keyed list) are found without the module __getattr__.
def cast_list(value):
    """``cast_list`` of the default interpreter."""
    return default().cast_list(value)


def cast_array(value):
    """``cast_array`` of the default interpreter."""
    return default().cast_array(value)


def cast_boolean(value):
    """``cast_boolean`` of the default interpreter."""
    return default().cast_boolean(value)


def cast_any(value):
    """``cast_any`` of the default interpreter."""
    return default().cast_any(value)


_DELEGATED = frozenset(("tk", "history", "vars"))


def __getattr__(name):
    if name in _DELEGATED:
        return getattr(default(), name)
    raise AttributeError("module %r has no attribute %r" % (__name__, name))
