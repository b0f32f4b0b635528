"""Plain-text table of evaluation results, for terminals and logs."""

from __future__ import annotations

from typing import Any, Mapping

__all__ = ["results_table"]

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
    widths = [max(len(row[i]) for row in [_HEADER, *rows]) for i in range(len(_HEADER))]
    lines = ["  ".join(text.ljust(width) for text, width in zip(row, widths)).rstrip()
             for row in [_HEADER, tuple("-" * w for w in widths), *rows]]
    return "\n".join(lines)
