"""Process environment variables put back as they were."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Iterable, Iterator


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
