"""Attributes of a module or an object replaced for the duration of a block."""

from __future__ import annotations

import contextlib
from collections.abc import Iterator
from typing import Any

_ABSENT = object()


@contextlib.contextmanager
def substituted(owner: Any, **values: Any) -> Iterator[None]:
    """Set the attributes of ``owner`` for the block, then put back what it held itself.

    An attribute that ``owner`` did not hold itself (a module global that was
    not set, a method that an instance reads from its class) is removed again,
    so that the class's own is seen once more.
    """
    saved = {name: vars(owner).get(name, _ABSENT) for name in values}
    for name, value in values.items():
        setattr(owner, name, value)
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is not _ABSENT:
                setattr(owner, name, value)
            elif name in vars(owner):
                delattr(owner, name)
