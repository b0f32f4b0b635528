"""Small helpers for reading values from loosely typed objects."""

from __future__ import annotations

from collections.abc import Mapping
from types import ModuleType
from typing import Any

__all__ = ["get"]


def get(obj: Any, key: Any) -> Any:
    """Return ``obj``'s entry or attribute ``key``, or ``None`` when it has none.

    Mappings (and mapping-like objects offering ``get(key)``) are read by key;
    any other object by attribute.  ``None`` is returned for a missing key or
    attribute and for ``obj is None``.  Modules and classes are read by
    attribute only: their ``get`` (``requests.get``, say) is no lookup.
    """
    if obj is None:
        return None
    if isinstance(obj, Mapping):
        return obj.get(key)
    if not isinstance(obj, (ModuleType, type)):
        getter = getattr(obj, "get", None)
        if callable(getter):
            try:
                return getter(key)
            except TypeError:
                # A ``get`` with another signature is not a key lookup.
                pass
    if isinstance(key, str):
        return getattr(obj, key, None)
    return None
