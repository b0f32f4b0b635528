"""Which risks a run can take on and which of their cards it will evaluate.

The evaluator itself decides both (it refuses the catalogue's own judge-scored
risks without a judge provider and skips a fixed set of cards); these mirrors
let a caller plan a run before it starts, for a sensible default selection and
a progress bar over the cards. Tests check them against the evaluator's
behaviour.
"""

from __future__ import annotations

import os
from collections.abc import Iterable

from evalith.loading import load_card
from evalith.metrics import needs_judge
from vorn_metrics_plugin.mra.mra_api import risk, risk_to_cards

__all__ = ["JUDGE_SCORED_RISKS", "NEVER_EVALUATED_CARDS", "JUDGE_PROVIDER_ENV", "evaluable_cards", "default_risks",
           "default_selection", "judge_provider_set", "judge_scored_risks"]

# The catalogue's own risks scored by a judge model: the evaluator refuses them without a judge provider.
JUDGE_SCORED_RISKS = ("prompt-injection", "jailbreaking", "harmful-code-generation")
JUDGE_PROVIDER_ENV = "EVALITH_DEFAULT_PROVIDER"

# Cards the evaluation run skips whatever the catalogue lists.
NEVER_EVALUATED_CARDS = (
    "cards.safety.quellin",
    "cards.data_leakage.empty_data_leakage_card",
    "cards.safety.simple_safety_tests",
    "cards.toxigen",
    "cards.pop_qa",
    "cards.ethos_binary",
    "cards.prompt_leakage.glue_qnli_with_system_prompt",
)


def evaluable_cards(risk_name: str) -> list[str]:
    """The cards of a risk that an evaluation run answers, in order (empty for an unknown risk)."""
    entry = risk.RISK_MORVEL_DICO.get(risk_name)
    if entry is None:
        return []
    return [card for card in risk_to_cards.get_cards_for_risk(entry) if card not in NEVER_EVALUATED_CARDS]


def judge_provider_set() -> bool:
    """True when the environment names a judge provider."""
    return bool(os.getenv(JUDGE_PROVIDER_ENV))


def _judged_card(card: str) -> bool:
    return any(needs_judge(metric) for metric in load_card(card)[1]["metrics"])


def judge_scored_risks(names: Iterable[str]) -> list[str]:
    """The risks of ``names`` that need a judge model, in order: a card of theirs that the run
    evaluates names a metric that a judge scores (a catalogue folder's risk as well as the
    catalogue's own)."""
    return [name for name in names if any(_judged_card(card) for card in evaluable_cards(name))]


def default_selection(judged: bool | None = None) -> tuple[list[str], list[str]]:
    """Every risk that the catalogue can evaluate, less the judge-scored ones unless ``judged``
    (by default: when the environment names a judge provider); and the risks left out."""
    from vorn_metrics_plugin.mra.quorvane import get_available_risks

    risks = get_available_risks()
    if judge_provider_set() if judged is None else judged:
        return risks, []
    left_out = judge_scored_risks(risks)
    return [name for name in risks if name not in left_out], left_out


def default_risks(judged: bool | None = None) -> list[str]:
    """The risks of :func:`default_selection`."""
    return default_selection(judged)[0]
