"""The report's fonts: a TrueType family embedded in the PDF, so that every script it covers prints.

The standard PDF fonts cover Latin-1 only. By default the report embeds
DejaVu Sans, which covers Latin, Greek, Cyrillic and common symbols and which
matplotlib ships (found through matplotlib's own font lookup). Another
TrueType file, for CJK text for example, comes from ``font`` or the
``VORN_REPORT_FONT`` variable; its one face then serves for bold and italic too.
"""

from __future__ import annotations

import functools
import hashlib
import os
from dataclasses import dataclass

from reportlab.lib.fonts import addMapping
from reportlab.pdfbase import pdfmetrics
from reportlab.pdfbase.ttfonts import TTFont

__all__ = ["FONT_ENV", "ReportFonts", "ReportFontError", "report_fonts"]

FONT_ENV = "VORN_REPORT_FONT"
DEFAULT_FAMILY = "DejaVu Sans"
# matplotlib's names of the four faces of a family: (weight, style).
_FACES = {"regular": ("normal", "normal"), "bold": ("bold", "normal"), "italic": ("normal", "oblique"),
          "bold_italic": ("bold", "oblique")}


class ReportFontError(ValueError):
    """A font file the report cannot embed."""


@dataclass(frozen=True)
class ReportFonts:
    """Names of the registered faces, for paragraph styles and drawings."""

    regular: str
    bold: str
    italic: str
    bold_italic: str


def _default_files() -> dict[str, str]:
    from matplotlib import font_manager

    files = {}
    for face, (weight, style) in _FACES.items():
        properties = font_manager.FontProperties(family=DEFAULT_FAMILY, weight=weight, style=style)
        try:
            files[face] = font_manager.findfont(properties, fallback_to_default=False)
        except ValueError as error:
            raise ReportFontError(f"the report's font {DEFAULT_FAMILY} was not found: {error}") from None
    return files


def _register(face: str, path: str) -> str:
    name = f"ReportFont-{face}-{hashlib.sha1(path.encode('utf-8', 'surrogateescape')).hexdigest()[:12]}"
    try:
        pdfmetrics.registerFont(TTFont(name, path))
    except Exception as error:  # reportlab raises its own TTFError, or OSError for the file
        raise ReportFontError(f"{path} is not a TrueType font the report can embed: {error}") from None
    return name


@functools.lru_cache(maxsize=None)
def _registered(path: str | None) -> ReportFonts:
    files = {face: path for face in _FACES} if path else _default_files()
    registered: dict[str, str] = {}  # one registration per file: a single face serves for all four
    for face, file in files.items():
        if file not in registered:
            registered[file] = _register(face, file)
    fonts = ReportFonts(**{face: registered[file] for face, file in files.items()})
    # <b> and <i> in the report's own texts pick the family's faces.
    for bold, italic, face in ((0, 0, fonts.regular), (1, 0, fonts.bold), (0, 1, fonts.italic),
                               (1, 1, fonts.bold_italic)):
        addMapping(fonts.regular, bold, italic, face)
    return fonts


def report_fonts(path: str | os.PathLike | None = None) -> ReportFonts:
    """The faces of the font file ``path``, else of ``VORN_REPORT_FONT``, else of DejaVu Sans; registered once."""
    chosen = os.fspath(path) if path else os.environ.get(FONT_ENV) or None
    return _registered(os.path.abspath(chosen) if chosen else None)
