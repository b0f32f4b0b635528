"""Hypothesis strategies for malformed inputs of the native modules.

`anything()` draws the values no caller should pass and every entry point must
survive: wrong types, None, NaN and infinities, text with lone surrogates,
bytes that are no HDF5 file, odd numpy arrays (object and zero-size ones,
views with odd strides, other byte orders, huge zero-stride broadcasts),
frames, nested containers with non-string keys, callables that raise or
answer nonsense, and objects whose __eq__, __hash__, __len__, __str__, ...
raise. The callbacks and objects that raise KeyboardInterrupt report it to the
`tripwire`, so the fuzz runner can tell that such an interrupt must come back.
"""

import math
import sys

import numpy as np
import pandas as pd
from hypothesis import strategies as st


class Tripwire:
    """Notes the KeyboardInterrupts raised by the callbacks of one call."""

    def __init__(self):
        self.interrupts = []

    def reset(self):
        self.interrupts.clear()

    def interrupt(self, where):
        error = KeyboardInterrupt(f"fuzz interrupt from {where}")
        self.interrupts.append(error)
        return error


tripwire = Tripwire()


# ---------------------------------------------------------------------------
# Objects whose special methods raise

DUNDERS = ("__eq__", "__hash__", "__len__", "__str__", "__repr__", "__iter__", "__bool__",
           "__getitem__", "__lt__", "__float__", "__index__", "__contains__", "__format__",
           "__array__", "__getattr__")


class Raising:
    """Base of the generated classes below (its name shows in messages)."""


def _raiser(name, kind):
    def method(self, *args, **kwargs):
        if kind == "interrupt":
            # An interrupt from a special method may be swallowed by the
            # libraries in between (as by Python code); it is not tracked.
            raise KeyboardInterrupt(f"fuzz interrupt from {name}")
        if kind == "recursion":
            return method(self, *args)
        raise ValueError(f"fuzz error from {name}")
    return method


_raising_classes = {}


def raising_object(names, kind):
    key = (tuple(sorted(names)), kind)
    cls = _raising_classes.get(key)
    if cls is None:
        cls = type("Raising_" + kind, (Raising,), {name: _raiser(name, kind) for name in key[0]})
        _raising_classes[key] = cls
    return cls()


raising_objects = st.builds(
    raising_object,
    st.sets(st.sampled_from(DUNDERS), min_size=1, max_size=5),
    st.sampled_from(["error", "error", "error", "interrupt", "recursion"]),
)


class NotAStr(str):
    """A str subclass whose own methods raise."""

    def __eq__(self, other):
        raise ValueError("fuzz error from __eq__ of a str subclass")

    def __hash__(self):
        raise ValueError("fuzz error from __hash__ of a str subclass")

    def __str__(self):
        raise ValueError("fuzz error from __str__ of a str subclass")

    def format(self, *args, **kwargs):
        raise ValueError("fuzz error from format of a str subclass")


class OddDict(dict):
    """A dict subclass whose lookups raise."""

    def get(self, *args):
        raise KeyError("fuzz error from get")

    def __getitem__(self, key):
        raise TypeError("fuzz error from __getitem__")

    def keys(self):
        raise RuntimeError("fuzz error from keys")

    def items(self):
        raise RuntimeError("fuzz error from items")


# ---------------------------------------------------------------------------
# Callbacks

def _callback(kind, answer):
    def callback(*args, **kwargs):
        if kind == "interrupt":
            raise tripwire.interrupt("a callback")
        if kind == "raise":
            raise RuntimeError("fuzz error from a callback")
        if kind == "exit":
            raise SystemExit(3)
        return answer
    callback.kind = kind
    return callback


def callbacks(answers=None):
    answers = answers if answers is not None else st.deferred(lambda: plain_values)
    return st.builds(_callback, st.sampled_from(["interrupt", "raise", "exit", "answer", "answer"]),
                     answers)


# ---------------------------------------------------------------------------
# Scalars and text

floats = st.one_of(st.sampled_from([math.nan, math.inf, -math.inf, -0.0, 1e308, 5e-324, 0.5]),
                   st.floats(allow_nan=True, allow_infinity=True))
integers = st.one_of(st.integers(-3, 300), st.sampled_from([2**63, -2**63 - 1, 2**64, 10**40, -1]))
texts = st.one_of(st.text(max_size=12), st.sampled_from(["", "\ud800", "'", "''", "{}", "{0}",
                                                          "%s", "hxd", "a\x00b", "503", "nan"]))
scalars = st.one_of(st.none(), st.booleans(), integers, floats, texts, st.binary(max_size=16),
                    st.sampled_from([np.float64("nan"), np.int64(-1), np.uint8(255), np.bool_(True),
                                     np.float32("inf"), pd.NA, pd.NaT, np.datetime64("NaT"),
                                     complex(1, math.nan), Ellipsis, NotImplemented]),
                    st.builds(NotAStr, st.text(max_size=5)))


# ---------------------------------------------------------------------------
# Bytes that look like an image payload but are none

HDF5_SIGNATURE = b"\x89HDF\r\n\x1a\n"
bad_hdf5 = st.one_of(
    st.binary(max_size=64).map(lambda tail: HDF5_SIGNATURE + tail),
    st.binary(max_size=64),
    st.just(HDF5_SIGNATURE + b"\x00" * 512),
)


# ---------------------------------------------------------------------------
# numpy arrays

DTYPES = ["uint8", "int8", "int16", "int32", "int64", "uint16", "uint32", "uint64", "float16",
          "float32", "float64", "bool", "complex128", "object", ">f8", ">i4", "<U3", "S2",
          "datetime64[s]", "timedelta64[ms]", "longdouble", [("a", "i4"), ("b", "f8")]]


def _array(dtype, shape, fill, layout):
    dtype = np.dtype(dtype)
    size = math.prod(shape)
    if dtype.kind == "O":
        array = np.empty(shape, dtype=object)
        if size:
            array.reshape(-1)[:] = [fill] * size
    elif dtype.fields is not None or dtype.kind in "USmM":
        array = np.zeros(shape, dtype=dtype)
    else:
        with np.errstate(all="ignore"):
            try:
                array = np.full(shape, fill, dtype=dtype)
            except (TypeError, ValueError, OverflowError):
                array = np.zeros(shape, dtype=dtype)
            if size and dtype.kind in "fc":
                array.reshape(-1)[:: max(1, size // 3)] = np.nan
    if layout == "reversed" and array.ndim:
        array = array[::-1]
    elif layout == "strided" and array.ndim:
        array = np.repeat(array, 2, axis=0)[::2]
    elif layout == "fortran":
        array = np.asfortranarray(array)
    elif layout == "readonly":
        array.setflags(write=False)
    elif layout == "unaligned" and dtype.kind in "iuf" and dtype.itemsize > 1:
        raw = np.zeros(array.nbytes + 1, dtype=np.uint8)
        view = raw[1:].view(dtype).reshape(array.shape)
        view[...] = array
        array = view
    elif layout == "subclass":
        array = array.view(np.ma.MaskedArray)
    return array


shapes = st.one_of(
    st.lists(st.integers(0, 6), min_size=0, max_size=4).map(tuple),
    st.sampled_from([(0,), (0, 0), (1, 0, 3), (0, 3, 3), (4, 4, 0), (1, 1, 1), (3, 3, 4), (2, 2, 2, 2, 3),
                     (5, 5, 2), (1,), (7, 1)]),
)
arrays = st.builds(_array, st.sampled_from(DTYPES), shapes,
                   st.one_of(st.integers(-300, 300), floats, st.none(), st.just("x")),
                   st.sampled_from(["plain", "plain", "reversed", "strided", "fortran", "readonly",
                                    "unaligned", "subclass"]))
# Huge arrays that cost no memory: one value broadcast over many elements.
huge_arrays = st.builds(
    lambda value, shape: np.broadcast_to(np.asarray(value), shape),
    st.sampled_from([0, 1, 255, 0.5, math.nan, -1.0, True]),
    st.sampled_from([(1500, 1500), (600, 600, 3), (4_000_000,), (1, 2_000_000), (2_000_000, 1), (3, 800, 800)]),
)
numpy_values = st.one_of(arrays, arrays, huge_arrays)


# ---------------------------------------------------------------------------
# Containers

def _frame(columns, rows):
    try:
        return pd.DataFrame({name: [value] * rows for name, value in columns})
    except Exception:
        return pd.DataFrame()


plain_values = st.recursive(
    st.one_of(scalars, raising_objects, bad_hdf5),
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.lists(inner, max_size=3).map(tuple),
        st.dictionaries(st.one_of(texts, integers, st.none(), st.just(math.nan)), inner, max_size=4),
        st.builds(OddDict, st.dictionaries(texts, inner, max_size=2)),
    ),
    max_leaves=8,
)

frames = st.one_of(
    st.builds(_frame, st.lists(st.tuples(st.one_of(texts, integers), st.one_of(scalars, arrays)),
                               max_size=4), st.integers(0, 3)),
    st.just(pd.DataFrame()),
    st.builds(lambda values: pd.Series(values, dtype=object), st.lists(scalars, max_size=3)),
)

others = st.sampled_from([object(), object, int, type, sys, print, len, lambda: None,
                          (lambda *a, **k: None), iter([]), range(3), slice(None), memoryview(b"ab"),
                          bytearray(b"x"), frozenset({1}), {1, 2}])
# Huge arrays are drawn where arrays are expected (numpy_values): elsewhere
# they mostly meet Python-level loops (`x in array` for each of its items is
# quadratic), where a twin written in Python would take hours just the same.
anything = st.one_of(plain_values, arrays, frames, callbacks(), others)
small_anything = anything


def dictionaries_with(keys, values=anything):
    """Dicts that mostly hold the expected keys, with malformed values, some
    missing and some unexpected keys."""
    known = st.fixed_dictionaries({}, optional={key: values for key in keys})
    return st.one_of(
        known,
        st.builds(lambda base, extra: {**base, **extra}, known,
                  st.dictionaries(st.one_of(integers, st.none(), texts), values, max_size=2)),
    )
