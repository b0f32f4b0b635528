"""Process environment variables put back as they were."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Iterable, Iterator, Mapping


@contextlib.contextmanager
def restored_environment(names: Iterable[str]) -> Iterator[None]:
    """On the way out, give each named variable back its earlier value, or
    remove it when it was not set."""
    saved = {name: os.environ.get(name) for name in names}
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


@contextlib.contextmanager
def environment_set(variables: Mapping[str, str]) -> Iterator[None]:
    """Set the variables for the duration of the block, then put back what was there."""
    with restored_environment(variables):
        os.environ.update(variables)
        yield
