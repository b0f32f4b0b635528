"""The PDF of a comparison of two runs: who A and B are, the table of the comparison, and a chart of
both runs' scores with their margins."""

from __future__ import annotations

import io
import os
from collections.abc import Sequence

from reportlab.graphics.shapes import Drawing, Rect, String
from reportlab.lib import colors
from reportlab.lib.pagesizes import A4, landscape
from reportlab.lib.units import mm
from reportlab.platypus import Paragraph, Spacer

from .chart import FONT_SIZE, ROWS_PER_LANDSCAPE_DRAWING, WHISKER_NOTE, bar_charts
from .files import write_atomically
from .fonts import report_fonts
from .layout import LANDSCAPE_WIDTH, numbered_canvas, report_document, report_styles, report_table
from .scores import ScoreRow
from .document import DETAIL_CHARS
from .values import report_text

RUN_COLOURS = {"A": colors.HexColor("#4a6fa5"), "B": colors.HexColor("#d9822b")}
TITLE = "Comparison of two runs"
# Column widths of the table, as parts of the text width.
_COLUMNS = (0.11, 0.25, 0.11, 0.11, 0.06, 0.13, 0.07, 0.16)


def _run_legend(font: str) -> Drawing:
    drawing = Drawing(LANDSCAPE_WIDTH, 12, initialFontName=font)
    for number, (run, colour) in enumerate(RUN_COLOURS.items()):
        drawing.add(Rect(number * 60, 2, 10, 8, fillColor=colour, strokeColor=None))
        drawing.add(String(number * 60 + 14, 3, f"run {run}", fontName=font, fontSize=FONT_SIZE))
    return drawing


def write_comparison_report(path: str | os.PathLike, runs: Sequence[str], header: Sequence[str],
                            rows: Sequence[Sequence[str]], cards: Sequence, summary: str, font=None) -> str:
    """Write the comparison's PDF to ``path`` (whole or not at all) and return the path.

    ``runs`` describes A and B (one text each), ``header`` and ``rows`` are the
    comparison's table, ``cards`` holds per card its ``risk``, ``card``,
    ``a_score``, ``a_margin``, ``b_score`` and ``b_margin`` (None where a run
    lacks it) for the chart, ``summary`` says what was compared.
    """
    fonts = report_fonts(font)
    styles = report_styles(fonts)
    story = [Paragraph(TITLE, styles["h1"])]
    story += [Paragraph(report_text(text, DETAIL_CHARS), styles["body"]) for text in runs]
    story += [Spacer(1, 3 * mm), Paragraph(report_text(summary, DETAIL_CHARS), styles["body"]), Spacer(1, 4 * mm)]
    story.append(report_table([list(header), *map(list, rows)], [LANDSCAPE_WIDTH * part for part in _COLUMNS], styles))
    story += [Spacer(1, 6 * mm), _run_legend(fonts.regular), Spacer(1, 2 * mm)]
    bars = [(card.risk, card.card, [(ScoreRow(card.risk, card.card, score, margin, None), RUN_COLOURS[run])
                                    for run, score, margin in (("A", card.a_score, card.a_margin),
                                                               ("B", card.b_score, card.b_margin))])
            for card in cards]
    story += bar_charts(bars, LANDSCAPE_WIDTH, fonts, f"main score of each card, A above B ({WHISKER_NOTE})",
                        rows_per_drawing=ROWS_PER_LANDSCAPE_DRAWING)
    document = io.BytesIO()
    report_document(document, TITLE, TITLE, landscape(A4)).build(story, canvasmaker=numbered_canvas(TITLE, fonts.regular))
    target = os.fsdecode(os.fspath(path))
    write_atomically(target, document.getvalue())
    return target
