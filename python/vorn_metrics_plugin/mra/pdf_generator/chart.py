"""The summary chart: one horizontal bar per card with its margin as an error bar.

Bars are coloured by where the score lies against the thresholds, which are
drawn as dashed lines across the plot. Cards are grouped under their risk.
Error bars stop at the ends of the score range [0, 1] (an end cut there has no
cap). Long summaries are cut into several drawings so that each fits on a page.
"""

from __future__ import annotations

import math
from itertools import groupby

from reportlab.graphics.shapes import Drawing, Line, Rect, String
from reportlab.lib import colors
from reportlab.pdfbase.pdfmetrics import stringWidth

from .scores import ABOVE, BELOW, BETWEEN, ScoreRow, Thresholds

LEVEL_COLOURS = {
    BELOW: colors.HexColor("#c0392b"),
    BETWEEN: colors.HexColor("#e0a030"),
    ABOVE: colors.HexColor("#2e8b57"),
}
LEVEL_LABELS = {
    BELOW: "below the lower threshold",
    BETWEEN: "between the thresholds",
    ABOVE: "above the upper threshold",
}

FONT, BOLD = "Helvetica", "Helvetica-Bold"
FONT_SIZE = 7.5
ROW_HEIGHT = 15.0
ROWS_PER_DRAWING = 32
_AXIS_SPACE = 28.0  # below the plot: ticks and their labels
_TOP_SPACE = 16.0  # above the plot: threshold labels
_VALUE_COLUMN = 72.0  # right of the plot: the score text
# Every bundled metric scores in [0, 1]: a margin cannot take a score beyond it.
SCORE_RANGE = (0.0, 1.0)
WHISKER_NOTE = f"error bars: \u00b1 margin, clipped to [{SCORE_RANGE[0]:g}, {SCORE_RANGE[1]:g}]"


def whisker(row: ScoreRow) -> tuple[float, float] | None:
    """The ends of a card's error bar: score \u00b1 margin, clipped to SCORE_RANGE.

    A score outside that range comes from some other kind of metric; its bar is
    left whole. None when the card has no score or no margin.
    """
    if row.score is None or not row.margin:
        return None
    low, high = row.score - row.margin, row.score + row.margin
    if SCORE_RANGE[0] <= row.score <= SCORE_RANGE[1]:
        low, high = max(low, SCORE_RANGE[0]), min(high, SCORE_RANGE[1])
    return low, high


def axis_range(rows: list[ScoreRow], thresholds: Thresholds) -> tuple[float, float]:
    """The plotted interval: 0 to 1 at least, widened to every score, error bar and threshold."""
    low, high = min(SCORE_RANGE[0], thresholds.lower), max(SCORE_RANGE[1], thresholds.upper)
    for row in rows:
        if row.score is not None:
            left, right = whisker(row) or (row.score, row.score)
            low, high = min(low, row.score, left), max(high, row.score, right)
    return low, high


def ticks(low: float, high: float, wanted: int = 6) -> list[float]:
    """Round tick values (steps of 1, 2 or 5 times a power of ten) covering [low, high]."""
    raw = (high - low) / wanted
    power = 10.0 ** math.floor(math.log10(raw))
    step = next(m * power for m in (1, 2, 5, 10) if m * power >= raw)
    first = math.ceil(low / step - 1e-9)
    values = []
    index = first
    while index * step <= high + step * 1e-9:
        values.append(round(index * step, 12) + 0.0)
        index += 1
    return values


def _fit(text: str, width: float, font: str = FONT) -> str:
    """The text cut with an ellipsis so that it fits into the width."""
    if stringWidth(text, font, FONT_SIZE) <= width:
        return text
    fits, too_long = 0, len(text)  # the longest prefix that fits with the ellipsis, by bisection
    while too_long - fits > 1:
        middle = (fits + too_long) // 2
        if stringWidth(text[:middle] + "\u2026", font, FONT_SIZE) <= width:
            fits = middle
        else:
            too_long = middle
    return text[:fits] + "\u2026"


def _lines(rows: list[ScoreRow]) -> list[tuple[str, ScoreRow | None]]:
    """The chart's lines: a heading line per risk, then one line per card."""
    lines: list[tuple[str, ScoreRow | None]] = []
    for risk, cards in groupby(rows, key=lambda row: row.risk):
        lines.append((risk, None))
        lines.extend((row.card, row) for row in cards)
    return lines


def score_charts(rows: list[ScoreRow], thresholds: Thresholds, width: float) -> list[Drawing]:
    """Drawings of the summary chart, each at most ROWS_PER_DRAWING lines high."""
    lines = _lines(rows)
    low, high = axis_range(rows, thresholds)
    tick_values = ticks(low, high)
    low, high = min(low, tick_values[0]), max(high, tick_values[-1])
    drawings = []
    for start in range(0, len(lines), ROWS_PER_DRAWING):
        chunk = lines[start : start + ROWS_PER_DRAWING]
        if chunk[0][1] is not None:  # a risk cut across two drawings keeps its heading
            chunk.insert(0, (f"{chunk[0][1].risk} (continued)", None))
        drawings.append(_drawing(chunk, thresholds, width, low, high, tick_values))
    return drawings


def _drawing(lines, thresholds: Thresholds, width: float, low: float, high: float, tick_values) -> Drawing:
    label_width = width * 0.34
    plot_left = label_width + 6
    plot_right = width - _VALUE_COLUMN
    plot_height = ROW_HEIGHT * len(lines)
    height = _AXIS_SPACE + plot_height + _TOP_SPACE
    bottom, top = _AXIS_SPACE, _AXIS_SPACE + plot_height

    def x_of(value: float) -> float:
        return plot_left + (value - low) / (high - low) * (plot_right - plot_left)

    drawing = Drawing(width, height)
    drawing.add(Rect(plot_left, bottom, plot_right - plot_left, plot_height,
                     fillColor=colors.HexColor("#f7f7f7"), strokeColor=colors.HexColor("#bbbbbb"), strokeWidth=0.5))
    for value in tick_values:
        x = x_of(value)
        drawing.add(Line(x, bottom, x, top, strokeColor=colors.HexColor("#e2e2e2"), strokeWidth=0.4))
        drawing.add(Line(x, bottom - 3, x, bottom, strokeColor=colors.black, strokeWidth=0.5))
        drawing.add(String(x, bottom - 11, format(value, "g"), fontName=FONT, fontSize=FONT_SIZE, textAnchor="middle"))
    drawing.add(String((plot_left + plot_right) / 2, 4, f"main score of each card ({WHISKER_NOTE})",
                       fontName=FONT, fontSize=FONT_SIZE, textAnchor="middle", fillColor=colors.HexColor("#555555")))

    zero = x_of(0.0)
    for index, (label, row) in enumerate(lines):
        middle = top - (index + 0.5) * ROW_HEIGHT
        if row is None:
            drawing.add(String(0, middle - 2.5, _fit(label, label_width, BOLD), fontName=BOLD, fontSize=FONT_SIZE))
            continue
        drawing.add(String(8, middle - 2.5, _fit(label, label_width - 8), fontName=FONT, fontSize=FONT_SIZE))
        value_text = "n/a" if row.score is None else format(row.score, ".3f")
        if row.margin is not None:
            value_text += f" \u00b1 {row.margin:.3f}"
        drawing.add(String(plot_right + 6, middle - 2.5, value_text, fontName=FONT, fontSize=FONT_SIZE))
        if row.score is None:
            continue
        end = x_of(row.score)
        drawing.add(Rect(min(zero, end), middle - ROW_HEIGHT * 0.3, abs(end - zero), ROW_HEIGHT * 0.6,
                         fillColor=LEVEL_COLOURS[row.level], strokeColor=None))
        ends = whisker(row)
        if ends is not None:
            capped = [end for end, full in zip(ends, (row.score - row.margin, row.score + row.margin)) if end == full]
            for shape in _error_bar(x_of(ends[0]), x_of(ends[1]), middle, [x_of(end) for end in capped]):
                drawing.add(shape)

    for name, value in (("lower", thresholds.lower), ("upper", thresholds.upper)):
        x = x_of(value)
        drawing.add(Line(x, bottom, x, top + 4, strokeColor=colors.HexColor("#333333"), strokeWidth=0.9,
                         strokeDashArray=[3, 2]))
        anchor = "end" if name == "lower" else "start"
        drawing.add(String(x + (-2 if name == "lower" else 2), top + 6, f"{name} {value:g}", fontName=FONT,
                           fontSize=FONT_SIZE, textAnchor=anchor))
    return drawing


def _error_bar(left: float, right: float, y: float, caps: list[float]) -> list[Line]:
    shapes = [Line(left, y, right, y)] + [Line(x, y - 3, x, y + 3) for x in caps]
    for shape in shapes:
        shape.strokeColor, shape.strokeWidth = colors.black, 0.8
    return shapes


def legend(width: float) -> Drawing:
    """Key of the chart and of the summary table: the colours on one line, the
    threshold and error-bar marks on the next."""
    drawing = Drawing(width, 28)
    x = 0.0
    for level in (BELOW, BETWEEN, ABOVE):
        drawing.add(Rect(x, 16, 10, 8, fillColor=LEVEL_COLOURS[level], strokeColor=None))
        label = LEVEL_LABELS[level]
        drawing.add(String(x + 14, 17, label, fontName=FONT, fontSize=FONT_SIZE))
        x += 14 + stringWidth(label, FONT, FONT_SIZE) + 16
    drawing.add(Line(0, 6, 14, 6, strokeColor=colors.HexColor("#333333"), strokeWidth=0.9, strokeDashArray=[3, 2]))
    drawing.add(String(18, 3, "threshold", fontName=FONT, fontSize=FONT_SIZE))
    x = 18 + stringWidth("threshold", FONT, FONT_SIZE) + 16
    for shape in _error_bar(x, x + 14, 6, [x, x + 14]):
        drawing.add(shape)
    drawing.add(String(x + 18, 3, WHISKER_NOTE, fontName=FONT, fontSize=FONT_SIZE))
    return drawing
