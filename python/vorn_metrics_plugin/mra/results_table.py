"""Plain-text table of evaluation results, for terminals and logs."""

from __future__ import annotations

from typing import Any, Mapping, Sequence

__all__ = ["results_table", "text_table"]

_HEADER = ("Risk", "Card", "Score", "Instances")


def _cell(value: Any) -> str:
    return "-" if value is None else str(value)


def results_table(results: Mapping[str, Mapping[str, Mapping[str, Any]]]) -> str:
    """One line per card: risk, card, main score ("score +/-  margin") and instance count.

    ``results`` is what ``Quorvane.quorvanes()`` returns (risk -> card -> metrics).
    A risk without cards shows one line with dashes, so no selected risk goes unseen.
    """
    rows = []
    for risk, cards in results.items():
        if not cards:
            rows.append((str(risk), "-", "-", "-"))
        for card, metrics in cards.items():
            rows.append((str(risk), str(card), _cell(metrics.get("score")),
                         _cell(metrics.get("num_of_instances"))))
    return text_table(_HEADER, rows)


def text_table(header: Sequence[str], rows: Sequence[Sequence[str]]) -> str:
    """Left-aligned columns two blanks apart, the header underlined with dashes."""
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(len(header))]
    lines = ["  ".join(text.ljust(width) for text, width in zip(row, widths)).rstrip()
             for row in [header, tuple("-" * w for w in widths), *rows]]
    return "\n".join(lines)
