"""The pieces every report of the package is made of: styles, tables, page frame, page numbers."""

from __future__ import annotations

from typing import BinaryIO

from reportlab.lib import colors
from reportlab.lib.pagesizes import A4
from reportlab.lib.styles import ParagraphStyle, getSampleStyleSheet
from reportlab.lib.units import mm
from reportlab.pdfgen import canvas
from reportlab.platypus import Paragraph, SimpleDocTemplate, Table, TableStyle

from .fonts import ReportFonts
from .values import MAX_CHARS, report_text

_MARGIN = 18 * mm
_GRID = colors.HexColor("#c8c8c8")
_HEADER_FILL = colors.HexColor("#2f3e4e")
TEXT_WIDTH = A4[0] - 2 * _MARGIN
LANDSCAPE_WIDTH = A4[1] - 2 * _MARGIN


def report_styles(fonts: ReportFonts) -> dict[str, ParagraphStyle]:
    """The paragraph styles of the report, in its embedded fonts."""
    sheet = getSampleStyleSheet()
    bold, regular = fonts.bold, fonts.regular
    return {
        "title": ParagraphStyle("title", parent=sheet["Title"], fontName=bold, fontSize=24, leading=30, spaceAfter=6),
        "model": ParagraphStyle("model", parent=sheet["Title"], fontName=bold, fontSize=15, leading=20,
                                textColor=colors.HexColor("#2f3e4e"), spaceAfter=18),
        "h1": ParagraphStyle("h1", parent=sheet["Heading1"], fontName=bold, fontSize=16, leading=20, spaceAfter=8),
        "h2": ParagraphStyle("h2", parent=sheet["Heading2"], fontName=bold, fontSize=13, leading=17, spaceBefore=10,
                             spaceAfter=6),
        "h3": ParagraphStyle("h3", parent=sheet["Heading3"], fontName=bold, fontSize=10, leading=13, spaceBefore=6,
                             spaceAfter=3),
        "h4": ParagraphStyle("h4", parent=sheet["BodyText"], fontName=bold, fontSize=8.5, leading=11, spaceBefore=5,
                             spaceAfter=3, textColor=colors.HexColor("#2f3e4e")),
        "body": ParagraphStyle("body", parent=sheet["BodyText"], fontName=regular, fontSize=9.5, leading=13),
        "cell": ParagraphStyle("cell", parent=sheet["BodyText"], fontName=regular, fontSize=8.5, leading=10.5),
        # one of several lines in a cell
        "line": ParagraphStyle("line", parent=sheet["BodyText"], fontName=regular, fontSize=8.5, leading=10.5,
                               spaceBefore=0, spaceAfter=0),
        "head": ParagraphStyle("head", parent=sheet["BodyText"], fontName=bold, fontSize=8.5, leading=10.5,
                               textColor=colors.white),
    }


def report_table(rows: list[list], widths: list[float], styles, extra: list | None = None,
                 limit: int = MAX_CHARS) -> Table:
    """A table of any values, each shortened to ``limit`` characters so that every row fits on a page."""
    cells = [[Paragraph(report_text(value, limit), styles["head" if index == 0 else "cell"]) for value in row]
             for index, row in enumerate(rows)]
    return grid_table(cells, widths, styles, extra)


def grid_table(cells: list[list], widths: list[float], styles, extra: list | None = None) -> Table:
    """A table of flowables in the report's style: a dark first row, a grid, shaded rows."""
    table = Table(cells, colWidths=widths, repeatRows=1, hAlign="LEFT")
    table.setStyle(TableStyle([
        ("FONTNAME", (0, 0), (-1, -1), styles["cell"].fontName),  # the table's own default is a standard font
        ("BACKGROUND", (0, 0), (-1, 0), _HEADER_FILL),
        ("GRID", (0, 0), (-1, -1), 0.4, _GRID),
        ("VALIGN", (0, 0), (-1, -1), "TOP"),
        ("ROWBACKGROUNDS", (0, 1), (-1, -1), [colors.white, colors.HexColor("#f4f6f8")]),
        *(extra or []),
    ]))
    return table


def numbered_canvas(footer: str, font: str):
    """A canvas class that writes "Page n of N" once the number of pages is known."""

    class NumberedCanvas(canvas.Canvas):
        def __init__(self, *args, **kwargs):
            kwargs["initialFontName"] = font  # else the page's text state starts in a standard font
            super().__init__(*args, **kwargs)
            self._pages = []

        def showPage(self):
            self._pages.append(dict(self.__dict__))
            self._startPage()

        def save(self):
            total = len(self._pages)
            for state in self._pages:
                self.__dict__.update(state)
                self.setFont(font, 8)
                self.setFillColor(colors.HexColor("#666666"))
                self.drawString(_MARGIN, 10 * mm, footer)
                self.drawRightString(self._pagesize[0] - _MARGIN, 10 * mm, f"Page {self._pageNumber} of {total}")
                super().showPage()
            super().save()

    return NumberedCanvas


def report_document(stream: BinaryIO, title: str, subject: str, pagesize=A4) -> SimpleDocTemplate:
    """A document (A4 unless said otherwise) with the report's margins."""
    return SimpleDocTemplate(stream, pagesize=pagesize, leftMargin=_MARGIN, rightMargin=_MARGIN, topMargin=_MARGIN,
                             bottomMargin=_MARGIN, title=title, author="vorn_metrics_plugin", subject=subject)
