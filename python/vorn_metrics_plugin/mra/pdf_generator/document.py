"""Layout of the report: title page, executive summary, one section per risk, page numbers."""

from __future__ import annotations

from collections.abc import Mapping
from typing import BinaryIO

from reportlab.lib import colors
from reportlab.lib.pagesizes import A4
from reportlab.lib.styles import ParagraphStyle, getSampleStyleSheet
from reportlab.lib.units import mm
from reportlab.pdfgen import canvas
from reportlab.platypus import KeepTogether, PageBreak, Paragraph, SimpleDocTemplate, Spacer, Table, TableStyle

from .chart import FONT, LEVEL_COLOURS, LEVEL_LABELS, legend, score_charts
from .scores import ScoreRow, Thresholds
from .values import MAX_CHARS, report_text, shorten

NOT_PROVIDED = "<Not Provided>"
MODEL_NAME_KEY = "Foundation Model Name"
# Report details whose keys are not meant to be read as labels.
DETAIL_LABELS = {"utc_date": "Generated at (UTC)"}
DETAIL_CHARS = 200  # report details and the model name get more room than table cells

_MARGIN = 18 * mm
_GRID = colors.HexColor("#c8c8c8")
_HEADER_FILL = colors.HexColor("#2f3e4e")


def _styles() -> dict[str, ParagraphStyle]:
    sheet = getSampleStyleSheet()
    return {
        "title": ParagraphStyle("title", parent=sheet["Title"], fontSize=24, leading=30, spaceAfter=6),
        "model": ParagraphStyle("model", parent=sheet["Title"], fontSize=15, leading=20,
                                textColor=colors.HexColor("#2f3e4e"), spaceAfter=18),
        "h1": ParagraphStyle("h1", parent=sheet["Heading1"], fontSize=16, leading=20, spaceAfter=8),
        "h2": ParagraphStyle("h2", parent=sheet["Heading2"], fontSize=13, leading=17, spaceBefore=10, spaceAfter=6),
        "h3": ParagraphStyle("h3", parent=sheet["Heading3"], fontSize=10, leading=13, spaceBefore=6, spaceAfter=3),
        "body": ParagraphStyle("body", parent=sheet["BodyText"], fontSize=9.5, leading=13),
        "cell": ParagraphStyle("cell", parent=sheet["BodyText"], fontSize=8.5, leading=10.5),
        "head": ParagraphStyle("head", parent=sheet["BodyText"], fontSize=8.5, leading=10.5,
                               fontName="Helvetica-Bold", textColor=colors.white),
    }


def _text(value) -> str:
    """A report detail as text; a detail given as None reads as not provided."""
    return NOT_PROVIDED if value is None else shorten(value, limit=DETAIL_CHARS)


def _table(rows: list[list], widths: list[float], styles, extra: list | None = None,
           limit: int = MAX_CHARS) -> Table:
    """A table of any values, each shortened to ``limit`` characters so that every row fits on a page."""
    cells = [[Paragraph(report_text(value, limit), styles["head" if index == 0 else "cell"]) for value in row]
             for index, row in enumerate(rows)]
    table = Table(cells, colWidths=widths, repeatRows=1, hAlign="LEFT")
    table.setStyle(TableStyle([
        ("BACKGROUND", (0, 0), (-1, 0), _HEADER_FILL),
        ("GRID", (0, 0), (-1, -1), 0.4, _GRID),
        ("VALIGN", (0, 0), (-1, -1), "TOP"),
        ("ROWBACKGROUNDS", (0, 1), (-1, -1), [colors.white, colors.HexColor("#f4f6f8")]),
        *(extra or []),
    ]))
    return table


def _title_page(details: Mapping, rows: list[ScoreRow], risk_count: int, thresholds: Thresholds, styles, width):
    model = details.get(MODEL_NAME_KEY)
    story = [Spacer(1, 40 * mm), Paragraph("Risk evaluation report", styles["title"]),
             Paragraph(report_text(_text(model), DETAIL_CHARS), styles["model"])]
    detail_rows = [["Report detail", "Value"]]
    detail_rows += [[DETAIL_LABELS.get(str(key), key), _text(value)] for key, value in details.items()]
    detail_rows.append(["Score thresholds", f"lower {thresholds.lower:g}, upper {thresholds.upper:g}"])
    detail_rows.append(["Evaluated", f"{risk_count} risk(s), {len(rows)} card(s)"])
    story.append(_table(detail_rows, [width * 0.38, width * 0.62], styles, limit=DETAIL_CHARS))
    story.append(Spacer(1, 10 * mm))
    story.append(Paragraph(
        "Each risk is measured on benchmark cards. A card's score is given as "
        "<i>score +/- margin</i>, the margin being half the width of the score's confidence interval. "
        "The executive summary places every card's main score against the thresholds; the sections "
        "that follow list every metric of every card.", styles["body"]))
    story.append(PageBreak())
    return story


def _summary_section(rows: list[ScoreRow], thresholds: Thresholds, styles, width):
    story = [Paragraph("Executive summary", styles["h1"])]
    if not rows:
        story.append(Paragraph("No card was evaluated, so there are no scores to summarise.", styles["body"]))
        return story
    table_rows = [["Risk", "Card", "Score", "Margin", "Level"]]
    shading = []
    for index, row in enumerate(rows, start=1):
        table_rows.append([
            row.risk, row.card,
            "n/a" if row.score is None else format(row.score, ".3f"),
            "" if row.margin is None else format(row.margin, ".3f"),
            LEVEL_LABELS.get(row.level, "no score"),
        ])
        if row.level is not None:
            shading.append(("BACKGROUND", (4, index), (4, index), LEVEL_COLOURS[row.level].clone(alpha=0.35)))
    story.append(_table(table_rows, [width * f for f in (0.2, 0.36, 0.1, 0.1, 0.24)], styles, shading))
    story += [Spacer(1, 6 * mm), legend(width), Spacer(1, 3 * mm)]
    story += score_charts(rows, thresholds, width)
    return story


def _risk_sections(score_with_margin: Mapping, styles, width):
    story = [PageBreak(), Paragraph("Results by risk", styles["h1"])]
    if not score_with_margin:
        story.append(Paragraph("There are no results to show.", styles["body"]))
    for risk, cards in score_with_margin.items():
        story.append(Paragraph(f"Risk: {report_text(risk)}", styles["h2"]))
        if not cards:
            story.append(Paragraph("No card of this risk has results.", styles["body"]))
        for card, metrics in cards.items():
            rows = [["Metric", "Value"], *metrics.items()]
            heading = Paragraph(report_text(card), styles["h3"])
            story.append(KeepTogether([heading, _table(rows, [width * 0.38, width * 0.62], styles)]))
    return story


def _numbered_canvas(footer: str):
    """A canvas class that writes "Page n of N" once the number of pages is known."""

    class NumberedCanvas(canvas.Canvas):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self._pages = []

        def showPage(self):
            self._pages.append(dict(self.__dict__))
            self._startPage()

        def save(self):
            total = len(self._pages)
            for state in self._pages:
                self.__dict__.update(state)
                self.setFont(FONT, 8)
                self.setFillColor(colors.HexColor("#666666"))
                self.drawString(_MARGIN, 10 * mm, footer)
                self.drawRightString(A4[0] - _MARGIN, 10 * mm, f"Page {self._pageNumber} of {total}")
                super().showPage()
            super().save()

    return NumberedCanvas


def write_report(stream: BinaryIO, details: Mapping, rows: list[ScoreRow], score_with_margin: Mapping,
                 thresholds: Thresholds) -> None:
    """Lay the report out and write it as PDF to the binary stream."""
    styles = _styles()
    width = A4[0] - 2 * _MARGIN
    model = _text(details.get(MODEL_NAME_KEY))
    document = SimpleDocTemplate(
        stream, pagesize=A4, leftMargin=_MARGIN, rightMargin=_MARGIN, topMargin=_MARGIN, bottomMargin=_MARGIN,
        title=f"Risk evaluation report: {model}", author="vorn_metrics_plugin", subject="Risk evaluation report",
    )
    story = _title_page(details, rows, len(score_with_margin), thresholds, styles, width)
    story += _summary_section(rows, thresholds, styles, width)
    story += _risk_sections(score_with_margin, styles, width)
    document.build(story, canvasmaker=_numbered_canvas(shorten(f"Risk evaluation report \u2013 {model}", 100)))
