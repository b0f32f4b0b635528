"""Layout of the report: title page, executive summary, one section per risk (with each card's
lowest-scoring instances when the run gave them), page numbers."""

from __future__ import annotations

from collections.abc import Mapping
from typing import BinaryIO

from reportlab.lib.units import mm
from reportlab.platypus import KeepTogether, PageBreak, Paragraph, Spacer

from .chart import LEVEL_COLOURS, LEVEL_LABELS, legend, score_charts
from .examples import example_tables
from .fonts import ReportFonts
from .layout import TEXT_WIDTH, numbered_canvas, report_document, report_styles, report_table
from .scores import ScoreRow, Thresholds
from .values import report_text, shorten, visible

NOT_PROVIDED = "<Not Provided>"
MODEL_NAME_KEY = "Foundation Model Name"
# Report details whose keys are not meant to be read as labels.
DETAIL_LABELS = {"utc_date": "Generated at (UTC)"}
DETAIL_CHARS = 200  # report details and the model name get more room than table cells


def _text(value) -> str:
    """A report detail as text; a detail given as None reads as not provided."""
    return NOT_PROVIDED if value is None else shorten(value, limit=DETAIL_CHARS)


def _title_page(details: Mapping, rows: list[ScoreRow], risk_count: int, thresholds: Thresholds, styles, width):
    model = details.get(MODEL_NAME_KEY)
    story = [Spacer(1, 40 * mm), Paragraph("Risk evaluation report", styles["title"]),
             Paragraph(report_text(_text(model), DETAIL_CHARS), styles["model"])]
    detail_rows = [["Report detail", "Value"]]
    detail_rows += [[DETAIL_LABELS.get(str(key), key), _text(value)] for key, value in details.items()]
    detail_rows.append(["Score thresholds", f"lower {thresholds.lower:g}, upper {thresholds.upper:g}"])
    detail_rows.append(["Evaluated", f"{risk_count} risk(s), {len(rows)} card(s)"])
    story.append(report_table(detail_rows, [width * 0.38, width * 0.62], styles, limit=DETAIL_CHARS))
    story.append(Spacer(1, 10 * mm))
    story.append(Paragraph(
        "Each risk is measured on benchmark cards. A card's score is given as "
        "<i>score +/- margin</i>, the margin being half the width of the score's confidence interval. "
        "The executive summary places every card's main score against the thresholds; the sections "
        "that follow list every metric of every card and, where the run kept its instances, the card's "
        "lowest-scoring instances with the prompt, the model's answer and the references.", styles["body"]))
    story.append(PageBreak())
    return story


def _summary_section(rows: list[ScoreRow], thresholds: Thresholds, styles, width, fonts: ReportFonts):
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
    story.append(report_table(table_rows, [width * f for f in (0.2, 0.36, 0.1, 0.1, 0.24)], styles, shading))
    story += [Spacer(1, 6 * mm), legend(width, fonts), Spacer(1, 3 * mm)]
    story += score_charts(rows, thresholds, width, fonts)
    return story


def _risk_sections(score_with_margin: Mapping, examples: Mapping, styles, width):
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
            story.append(KeepTogether([heading, report_table(rows, [width * 0.38, width * 0.62], styles)]))
            story += example_tables(examples.get(risk, {}).get(card, ()), styles, width)
    return story


def write_report(stream: BinaryIO, details: Mapping, rows: list[ScoreRow], score_with_margin: Mapping,
                 thresholds: Thresholds, fonts: ReportFonts, examples: Mapping | None = None) -> None:
    """Lay the report out and write it as PDF to the binary stream."""
    styles = report_styles(fonts)
    width = TEXT_WIDTH
    model = visible(_text(details.get(MODEL_NAME_KEY)))
    document = report_document(stream, f"Risk evaluation report: {model}", "Risk evaluation report")
    story = _title_page(details, rows, len(score_with_margin), thresholds, styles, width)
    story += _summary_section(rows, thresholds, styles, width, fonts)
    story += _risk_sections(score_with_margin, examples or {}, styles, width)
    footer = shorten(f"Risk evaluation report \u2013 {model}", 100)
    document.build(story, canvasmaker=numbered_canvas(footer, fonts.regular))
