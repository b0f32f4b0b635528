"""Reading the evaluator's scores and placing them against the report's thresholds.

``extract_numeric_value`` reads the score out of the score texts that the
evaluator produces ("0.750 +/-  0.050": the score, a blank, "+/-", two blanks,
the margin) or out of a plain number text.
"""

from __future__ import annotations

import math
import numbers
import re
from collections.abc import Mapping
from dataclasses import dataclass

# Also "nan" and "inf": what format(x, ".3f") writes for a score without a value.
_NUMBER = re.compile(r"[-+]?(?:(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][-+]?\d+)?|nan|inf)", re.IGNORECASE)

BELOW, BETWEEN, ABOVE = "below", "between", "above"


def extract_numeric_value(text: str) -> float:
    """The score of a "score +/-  margin" text, or the value of a plain number text."""
    if not isinstance(text, str):
        raise TypeError(f"expected a score text, got {type(text).__name__}")
    # Split on the sign alone so that a text with other spacing around it still reads.
    head = text.split("+/-", 1)[0].strip()
    if not _NUMBER.fullmatch(head):
        raise ValueError(f"no numeric score found in {text!r}")
    return float(head)


def margin_of(score) -> float | None:
    """The margin of a "score +/-  margin" text (made positive), or None when there is none.

    A plain number, or a text whose margin does not read as a finite number,
    has no margin to draw.
    """
    if not isinstance(score, str) or "+/-" not in score:
        return None
    tail = score.split("+/-", 1)[1].strip()
    if not _NUMBER.fullmatch(tail):
        return None
    margin = abs(float(tail))
    return margin if math.isfinite(margin) else None


def finite_number(value) -> float | None:
    """The value as a float when it is a finite real number (booleans are not scores)."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        return None
    value = float(value)
    return value if math.isfinite(value) else None


@dataclass(frozen=True)
class Thresholds:
    lower: float
    upper: float

    def level(self, score: float | None) -> str | None:
        """Where a score lies: below the lower threshold, between the two (inclusive), or above the upper."""
        if score is None:
            return None
        if score < self.lower:
            return BELOW
        if score > self.upper:
            return ABOVE
        return BETWEEN


def read_thresholds(thresholds) -> Thresholds:
    """Check that the thresholds are two finite numbers, the lower one first."""
    if isinstance(thresholds, (str, bytes, Mapping)):
        values = None
    else:
        try:
            values = list(thresholds)
        except TypeError:
            values = None
    if values is None or len(values) != 2:
        raise ValueError(
            "user_custom_percentile_thresholds must be a pair (lower_threshold, upper_threshold), "
            f"got {thresholds!r}"
        )
    lower, upper = (finite_number(value) for value in values)
    if lower is None or upper is None:
        raise ValueError(
            f"user_custom_percentile_thresholds must hold two finite numbers, got {thresholds!r}"
        )
    if lower > upper:
        raise ValueError(
            "user_custom_percentile_thresholds must be in ascending order (lower_threshold, upper_threshold), "
            f"got {thresholds!r}"
        )
    return Thresholds(lower, upper)


@dataclass(frozen=True)
class ScoreRow:
    """The main score of one card as the summary shows it."""

    risk: str
    card: str
    score: float | None  # None when the card has no finite numeric score
    margin: float | None  # None when the card's score text carries none
    level: str | None


def summary_rows(executive_summary_data: Mapping, score_with_margin: Mapping, thresholds: Thresholds) -> list[ScoreRow]:
    """One row per card of the summary, in its order, with the margin of the card's score text."""
    rows = []
    for risk, cards in executive_summary_data.items():
        texts = score_with_margin.get(risk)
        for card, summary in cards.items():
            score = finite_number(summary.get("score"))
            metrics = texts.get(card) if isinstance(texts, Mapping) else None
            margin = margin_of(metrics.get("score")) if isinstance(metrics, Mapping) else None
            rows.append(ScoreRow(str(risk), str(card), score, margin if score is not None else None,
                                 thresholds.level(score)))
    return rows
