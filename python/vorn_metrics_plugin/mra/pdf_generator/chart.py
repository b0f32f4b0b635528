"""Bar charts of scores: one horizontal bar per card and run, with its margin as an error bar.

In the summary chart bars are coloured by where the score lies against the
thresholds, which are drawn as dashed lines across the plot; in a comparison
each run has its colour. Cards are grouped under their risk.
Error bars stop at the ends of the score range [0, 1] (an end cut there has no
cap). Long summaries are cut into several drawings so that each fits on a page.
"""

from __future__ import annotations

import math
from itertools import groupby

from reportlab.graphics.shapes import Drawing, Line, Rect, String
from reportlab.lib import colors
from reportlab.pdfbase.pdfmetrics import stringWidth

from .fonts import ReportFonts, report_fonts
from .scores import ABOVE, BELOW, BETWEEN, ScoreRow, Thresholds
from .values import visible

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

FONT_SIZE = 7.5
ROW_HEIGHT = 15.0
ROWS_PER_DRAWING = 32  # fits an A4 page upright
ROWS_PER_LANDSCAPE_DRAWING = 26
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


def fit(text: str, width: float, font: str) -> str:
    """The text, its invisible characters shown, cut with an ellipsis so that it fits into the width."""
    text = visible(text)
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


# One line of a chart: a risk's heading (no bars), or a card with one bar per run and its colour.
Bars = list[tuple[ScoreRow, colors.Color]]


def _lines(cards: list[tuple[str, str, Bars]]) -> list[tuple[str, str, Bars | None]]:
    """The chart's lines: a heading line per risk, then one line per card."""
    lines: list[tuple[str, str, Bars | None]] = []
    for risk, group in groupby(cards, key=lambda card: card[0]):
        lines.append((risk, risk, None))
        lines.extend(group)
    return lines


def bar_charts(cards: list[tuple[str, str, Bars]], width: float, fonts: ReportFonts, caption: str,
               thresholds: Thresholds | None = None, rows_per_drawing: int = ROWS_PER_DRAWING) -> list[Drawing]:
    """Drawings of a chart of (risk, card, bars), each at most ``rows_per_drawing`` bars or headings high."""
    rows = [row for _, _, bars in cards for row, _ in bars]
    low, high = axis_range(rows, thresholds or Thresholds(*SCORE_RANGE))
    tick_values = ticks(low, high)
    low, high = min(low, tick_values[0]), max(high, tick_values[-1])
    drawings, chunk, used = [], [], 0
    for line in _lines(cards):
        size = len(line[2] or [None])
        if chunk and used + size > rows_per_drawing:
            drawings.append(_drawing(chunk, width, low, high, tick_values, fonts, caption, thresholds))
            chunk, used = [], 0
        if not chunk and line[2] is not None:  # a risk cut across two drawings keeps its heading
            chunk, used = [(line[0], f"{line[0]} (continued)", None)], 1
        chunk.append(line)
        used += size
    if chunk:
        drawings.append(_drawing(chunk, width, low, high, tick_values, fonts, caption, thresholds))
    return drawings


def score_charts(rows: list[ScoreRow], thresholds: Thresholds, width: float,
                 fonts: ReportFonts | None = None) -> list[Drawing]:
    """Drawings of the summary chart: each card's main score, coloured by its level."""
    cards = [(row.risk, row.card, [(row, LEVEL_COLOURS.get(row.level))]) for row in rows]
    return bar_charts(cards, width, fonts or report_fonts(), f"main score of each card ({WHISKER_NOTE})", thresholds)


def _drawing(lines, width: float, low: float, high: float, tick_values, fonts: ReportFonts, caption: str,
             thresholds: Thresholds | None) -> Drawing:
    font, bold = fonts.regular, fonts.bold
    label_width = width * 0.34
    plot_left = label_width + 6
    plot_right = width - _VALUE_COLUMN
    plot_height = ROW_HEIGHT * sum(len(bars or [None]) for _, _, bars in lines)
    height = _AXIS_SPACE + plot_height + _TOP_SPACE
    bottom, top = _AXIS_SPACE, _AXIS_SPACE + plot_height

    def x_of(value: float) -> float:
        return plot_left + (value - low) / (high - low) * (plot_right - plot_left)

    drawing = Drawing(width, height, initialFontName=font)  # else drawn in a standard font first
    drawing.add(Rect(plot_left, bottom, plot_right - plot_left, plot_height,
                     fillColor=colors.HexColor("#f7f7f7"), strokeColor=colors.HexColor("#bbbbbb"), strokeWidth=0.5))
    for value in tick_values:
        x = x_of(value)
        drawing.add(Line(x, bottom, x, top, strokeColor=colors.HexColor("#e2e2e2"), strokeWidth=0.4))
        drawing.add(Line(x, bottom - 3, x, bottom, strokeColor=colors.black, strokeWidth=0.5))
        drawing.add(String(x, bottom - 11, format(value, "g"), fontName=font, fontSize=FONT_SIZE, textAnchor="middle"))
    drawing.add(String((plot_left + plot_right) / 2, 4, caption, fontName=font, fontSize=FONT_SIZE,
                       textAnchor="middle", fillColor=colors.HexColor("#555555")))

    zero = x_of(0.0)
    y = top
    for _, label, bars in lines:
        if bars is None:
            y -= ROW_HEIGHT
            drawing.add(String(0, y + ROW_HEIGHT / 2 - 2.5, fit(label, label_width, bold), fontName=bold,
                               fontSize=FONT_SIZE))
            continue
        label_y = y - len(bars) * ROW_HEIGHT / 2 - 2.5
        drawing.add(String(8, label_y, fit(label, label_width - 8, font), fontName=font, fontSize=FONT_SIZE))
        for row, colour in bars:
            y -= ROW_HEIGHT
            _bar(drawing, row, colour, y + ROW_HEIGHT / 2, x_of, zero, plot_right, font)

    for name, value in (("lower", thresholds.lower), ("upper", thresholds.upper)) if thresholds else ():
        x = x_of(value)
        drawing.add(Line(x, bottom, x, top + 4, strokeColor=colors.HexColor("#333333"), strokeWidth=0.9,
                         strokeDashArray=[3, 2]))
        anchor = "end" if name == "lower" else "start"
        drawing.add(String(x + (-2 if name == "lower" else 2), top + 6, f"{name} {value:g}", fontName=font,
                           fontSize=FONT_SIZE, textAnchor=anchor))
    return drawing


def _bar(drawing: Drawing, row: ScoreRow, colour, middle: float, x_of, zero: float, plot_right: float,
         font: str) -> None:
    """One score: its value text right of the plot, its bar from 0, and its margin as an error bar."""
    value_text = "n/a" if row.score is None else format(row.score, ".3f")
    if row.margin is not None:
        value_text += f" \u00b1 {row.margin:.3f}"
    drawing.add(String(plot_right + 6, middle - 2.5, value_text, fontName=font, fontSize=FONT_SIZE))
    if row.score is None:
        return
    end = x_of(row.score)
    drawing.add(Rect(min(zero, end), middle - ROW_HEIGHT * 0.3, abs(end - zero), ROW_HEIGHT * 0.6,
                     fillColor=colour, strokeColor=None))
    ends = whisker(row)
    if ends is not None:
        capped = [end for end, full in zip(ends, (row.score - row.margin, row.score + row.margin)) if end == full]
        for shape in error_bar(x_of(ends[0]), x_of(ends[1]), middle, [x_of(end) for end in capped]):
            drawing.add(shape)


def error_bar(left: float, right: float, y: float, caps: list[float]) -> list[Line]:
    shapes = [Line(left, y, right, y)] + [Line(x, y - 3, x, y + 3) for x in caps]
    for shape in shapes:
        shape.strokeColor, shape.strokeWidth = colors.black, 0.8
    return shapes


def legend(width: float, fonts: ReportFonts | None = None) -> Drawing:
    """Key of the chart and of the summary table: the colours on one line, the
    threshold and error-bar marks on the next."""
    font = (fonts or report_fonts()).regular
    drawing = Drawing(width, 28, initialFontName=font)
    x = 0.0
    for level in (BELOW, BETWEEN, ABOVE):
        drawing.add(Rect(x, 16, 10, 8, fillColor=LEVEL_COLOURS[level], strokeColor=None))
        label = LEVEL_LABELS[level]
        drawing.add(String(x + 14, 17, label, fontName=font, fontSize=FONT_SIZE))
        x += 14 + stringWidth(label, font, FONT_SIZE) + 16
    drawing.add(Line(0, 6, 14, 6, strokeColor=colors.HexColor("#333333"), strokeWidth=0.9, strokeDashArray=[3, 2]))
    drawing.add(String(18, 3, "threshold", fontName=font, fontSize=FONT_SIZE))
    x = 18 + stringWidth("threshold", font, FONT_SIZE) + 16
    for shape in error_bar(x, x + 14, 6, [x, x + 14]):
        drawing.add(shape)
    drawing.add(String(x + 18, 3, WHISKER_NOTE, fontName=font, fontSize=FONT_SIZE))
    return drawing
