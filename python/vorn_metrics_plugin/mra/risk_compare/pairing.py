"""Card by card comparison of two run records, with a paired bootstrap over the instances they share.

Two instances are the same when they have the same risk, card and index and
the same prompt. For each card the difference B - A is the mean over those
instances of B's main score minus A's; its 95% interval is the percentile
bootstrap interval of that mean (the instances resampled in pairs, so what
the two runs have in common does not widen it). The verdict says whether
the interval excludes 0.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass

import numpy as np

from evalith.bootstrap import confidence_interval
from vorn_metrics_plugin.mra.pdf_generator.scores import extract_numeric_value, finite_number, margin_of
from vorn_metrics_plugin.mra.run_record import main_score

from .records import RunRecord

B_HIGHER, A_HIGHER, NO_CLEAR_DIFFERENCE = "B higher", "A higher", "no clear difference"
ONLY_IN_A, ONLY_IN_B = "only in A", "only in B"
NO_SHARED_INSTANCES = "no shared instances"


@dataclass(frozen=True)
class CardComparison:
    risk: str
    card: str
    a_score: float | None  # None: the card is not in that run, or has no numeric score
    a_margin: float | None
    b_score: float | None
    b_margin: float | None
    shared: int  # instances both runs have
    difference: float | None  # mean of B - A over the shared instances
    low: float | None
    high: float | None
    verdict: str


@dataclass(frozen=True)
class Comparison:
    cards: list[CardComparison]
    shared: int  # instances both runs have, over every card
    only_in_a: int  # instances of A that B lacks (cards of A only included)
    only_in_b: int


def card_score(metrics: Mapping | None) -> tuple[float | None, float | None]:
    """A card's main score and margin, from a "score +/-  margin" text or from a number and its interval."""
    if not isinstance(metrics, Mapping):
        return None, None
    score = metrics.get("score")
    if isinstance(score, str):
        try:
            value = extract_numeric_value(score)
        except ValueError:
            return None, None
        return (value, margin_of(score)) if math.isfinite(value) else (None, None)
    value = finite_number(score)
    low, high = finite_number(metrics.get("score_ci_low")), finite_number(metrics.get("score_ci_high"))
    margin = abs(high - low) / 2 if value is not None and low is not None and high is not None else None
    return value, margin


def _main_scores(record: RunRecord, risk: str, card: str) -> dict[int, tuple[str, float]]:
    """index -> (prompt, main score) of a card's instances that have a numeric main score."""
    score_name = record.results.get(risk, {}).get(card, {}).get("score_name")
    scores = {}
    for index, instance in record.instances.get((risk, card), {}).items():
        value = finite_number(main_score(instance, score_name))
        if value is not None:
            scores[index] = (instance["prompt"], value)
    return scores


def _verdict(low: float, high: float) -> str:
    if low > 0:
        return B_HIGHER
    if high < 0:
        return A_HIGHER
    return NO_CLEAR_DIFFERENCE


def compare_card(a: RunRecord, b: RunRecord, risk: str, card: str) -> CardComparison:
    a_score, a_margin = card_score(a.results.get(risk, {}).get(card))
    b_score, b_margin = card_score(b.results.get(risk, {}).get(card))
    in_a, in_b = card in a.results.get(risk, {}), card in b.results.get(risk, {})
    if not (in_a and in_b):
        return CardComparison(risk, card, a_score, a_margin, b_score, b_margin, 0, None, None, None,
                              ONLY_IN_A if in_a else ONLY_IN_B)
    scores_a, scores_b = _main_scores(a, risk, card), _main_scores(b, risk, card)
    shared = [index for index in sorted(scores_a) if index in scores_b and scores_a[index][0] == scores_b[index][0]]
    if not shared:
        return CardComparison(risk, card, a_score, a_margin, b_score, b_margin, 0, None, None, None,
                              NO_SHARED_INSTANCES)
    differences = np.array([scores_b[index][1] - scores_a[index][1] for index in shared])
    low, high = confidence_interval(differences)
    return CardComparison(risk, card, a_score, a_margin, b_score, b_margin, len(shared), float(differences.mean()),
                          low, high, _verdict(low, high))


def compare_records(a: RunRecord, b: RunRecord) -> Comparison:
    """One comparison per card of either run: A's cards in A's order, then those only B has."""
    in_a = set(a.cards())
    keys = a.cards() + [key for key in b.cards() if key not in in_a]
    cards = [compare_card(a, b, risk, card) for risk, card in keys]
    shared = sum(card.shared for card in cards)
    instances_a = sum(len(instances) for instances in a.instances.values())
    instances_b = sum(len(instances) for instances in b.instances.values())
    return Comparison(cards, shared, instances_a - shared, instances_b - shared)
