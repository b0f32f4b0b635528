"""Metric values, names and model texts as short, readable texts for the report.

Every text that reaches a paragraph is escaped, so that nothing in it is read
as markup, and characters that would print as nothing or move the text about
(control and format characters) are shown as visible marks.
"""

from __future__ import annotations

import numbers
import re
import unicodedata
from collections.abc import Mapping
from xml.sax.saxutils import escape

MAX_CHARS = 90  # what fits on one or two lines of a table cell
MAX_ITEMS = 5  # items of a list shown before the count takes over
EXCERPT_CHARS = 600  # an example's prompt, answer or reference: a few lines of a cell
EXCERPT_LINES = 12
TAB_WIDTH = 4
_NO_BREAK_SPACE = "\u00a0"
_LINE_BREAKS = re.compile(r"\r\n|[\r\n\u2028\u2029\x0b\x0c\x85]")


def _mark(character: str) -> str:
    if unicodedata.category(character) in ("Cc", "Cf", "Cs", "Zl", "Zp"):
        return f"[U+{ord(character):04X}]"
    return character


def visible(text: str) -> str:
    """The text with its control, format, line-separator and lone surrogate characters shown as their code
    points ("[U+0007]"), the rest unchanged."""
    if text.isprintable():
        return text
    return "".join(map(_mark, text))


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
    """Any value or name as paragraph markup: shortened as by ``shorten``, made visible and escaped.

    Names come from the caller (risks, cards, metrics, report details): a long
    one would make a table row taller than a page, and "<" or "&" in it would
    be read as markup.
    """
    return escape(visible(shorten(value, limit)))


def excerpt(text: str, chars: int = EXCERPT_CHARS, lines: int = EXCERPT_LINES) -> str:
    """The start of a text, at most ``chars`` characters on at most ``lines`` lines, with a mark where it was cut."""
    kept = text[:chars]
    breaks = [match.start() for match in _LINE_BREAKS.finditer(kept)]
    if len(breaks) >= lines:
        kept = kept[: breaks[lines - 1]]
    if len(kept) == len(text):
        return text
    return f"{kept.rstrip()} [\u2026 cut: {len(text)} characters in all]"


def _kept_blanks(line: str) -> str:
    """Indentation and runs of blanks kept (a paragraph folds blanks into one): the indentation and all but
    the last blank of a run become no-break spaces, so a line may still break at the last one."""
    line = line.replace("\t", " " * TAB_WIDTH)
    body = line.lstrip(" ")
    return _NO_BREAK_SPACE * (len(line) - len(body)) + re.sub(r" (?= )", _NO_BREAK_SPACE, body)


def example_lines(text) -> list[str]:
    """An untrusted text (prompt, answer, reference) as paragraph markup, one per line: cut by ``excerpt``,
    every character shown as written, nothing read as markup. (One paragraph per line: reportlab
    measures a long word wrongly when it is split on a line after a line break in the same paragraph.)"""
    lines = _LINE_BREAKS.split(excerpt(str(text)))
    return [escape(visible(_kept_blanks(line))) or _NO_BREAK_SPACE for line in lines]
