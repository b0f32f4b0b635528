"""Metric values and names as short, readable texts for the report."""

from __future__ import annotations

import numbers
from collections.abc import Mapping
from xml.sax.saxutils import escape

MAX_CHARS = 90  # what fits on one or two lines of a table cell
MAX_ITEMS = 5  # items of a list shown before the count takes over


def _clip(text: str, limit: int) -> str:
    return text if len(text) <= limit else text[: limit - 1].rstrip() + "\u2026"


def _plain(value) -> str:
    if value is None or isinstance(value, (bool, str)):
        return str(value)
    if isinstance(value, numbers.Integral):
        return str(int(value))
    if isinstance(value, numbers.Real):
        return format(float(value), ".4g")
    try:
        return str(value)
    except Exception:  # an object that cannot describe itself still gets a cell
        return f"<{type(value).__name__}>"


def _items(value) -> tuple[list, int] | None:
    """The first items of a list-like value and how many there are; None for scalars."""
    if isinstance(value, (str, bytes, Mapping)) or not hasattr(value, "__len__") or not hasattr(value, "__iter__"):
        return None
    try:
        count = len(value)
        head = []
        for item in value:
            if len(head) == MAX_ITEMS:
                break
            head.append(item)
    except Exception:  # e.g. a zero-dimensional array: show it as a scalar
        return None
    return head, count


def shorten(value, limit: int = MAX_CHARS) -> str:
    """A text for a metric value: numbers to four significant digits, long lists with their count."""
    if isinstance(value, Mapping):
        count = len(value)
        shown = [f"{_clip(_plain(key), 30)}: {_clip(_plain(item), 30)}" for key, item in list(value.items())[:MAX_ITEMS]]
        more = ", \u2026" if count > MAX_ITEMS else ""
        text = "{" + ", ".join(shown) + more + "}"
        return text if count <= MAX_ITEMS and len(text) <= limit else _clip(text, limit - 16) + f" ({count} entries)"
    items = _items(value)
    if items is not None:
        head, count = items
        shown = ", ".join(_clip(_plain(item), 20) for item in head)
        if count <= MAX_ITEMS:
            text = "[" + shown + "]"
            if len(text) <= limit:
                return text
        return _clip("[" + shown + ", \u2026]", limit - 16) + f" ({count} values)"
    return _clip(_plain(value), limit)


def report_text(value, limit: int = MAX_CHARS) -> str:
    """Any value or name as paragraph markup: shortened as by ``shorten`` and escaped.

    Names come from the caller (risks, cards, metrics, report details): a long
    one would make a table row taller than a page, and "<" or "&" in it would
    be read as markup.
    """
    return escape(shorten(value, limit))
