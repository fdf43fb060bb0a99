"""Small data structures shared by the movarn packages."""

__all__ = ["AttrDict"]


class AttrDict(dict):
    """A ``dict`` whose keys can also be read and written as attributes.

    >>> d = AttrDict(a=1)
    >>> d.a
    1
    >>> d.b = 2
    >>> d["b"]
    2

    Item access goes through ``self[...]``, so a subclass that extends item
    access (dotted keys, for instance) gets the same behaviour through
    attributes.  Names starting with two underscores are never keys: they
    keep Python's own meaning, so copying and pickling work as for ``dict``.
    """

    __slots__ = ()

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None

    def __setattr__(self, name, value):
        if name.startswith("__"):
            raise AttributeError(name)
        self[name] = value

    def __delattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        try:
            del self[name]
        except KeyError:
            raise AttributeError(name) from None
