"""The comparison as text: who A and B are, one line per card, and what was compared."""

from __future__ import annotations

from vorn_metrics_plugin.mra.results_table import text_table

from .pairing import ONLY_IN_A, ONLY_IN_B, CardComparison, Comparison
from .records import RunRecord

HEADER = ("Risk", "Card", "A", "B", "B - A", "95% interval", "Shared", "Verdict")


def score_text(score: float | None, margin: float | None) -> str:
    if score is None:
        return "-"
    return f"{score:.3f}" if margin is None else f"{score:.3f} +/-  {margin:.3f}"


def cells(card: CardComparison) -> tuple[str, ...]:
    """The card's line as texts, in the order of HEADER."""
    if card.difference is None:
        difference = interval = "-"
    else:
        difference, interval = f"{card.difference:+.3f}", f"[{card.low:+.3f}, {card.high:+.3f}]"
    shared = "-" if card.verdict in (ONLY_IN_A, ONLY_IN_B) else str(card.shared)
    return (card.risk, card.card, score_text(card.a_score, card.a_margin), score_text(card.b_score, card.b_margin),
            difference, interval, shared, card.verdict)


def run_line(label: str, record: RunRecord) -> str:
    model = record.settings.get("model_id") or "model not named"
    finished = f", finished {record.finished_at}" if record.finished_at else ""
    return f"{label}: {record.folder} ({model}{finished})"


def summary_line(comparison: Comparison) -> str:
    return (f"Compared on {comparison.shared} instance(s) that both runs have (same card, index and prompt); "
            f"A has {comparison.only_in_a} and B has {comparison.only_in_b} instance(s) that were not compared.")


def comparison_text(a: RunRecord, b: RunRecord, comparison: Comparison) -> str:
    lines = [run_line("A", a), run_line("B", b), "", text_table(HEADER, [cells(card) for card in comparison.cards]),
             "", summary_line(comparison)]
    return "\n".join(lines)
