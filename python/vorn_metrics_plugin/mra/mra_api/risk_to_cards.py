"""Benchmark cards of each risk of the catalogue, and the recipes of some cards.

A recipe is the library's own load string for a card; it fixes settings such
as the number of test instances for that card regardless of the caller's
sample size.
"""

from __future__ import annotations

from .risk import RiskEntry

_CARDS_BY_RISK: dict[str, tuple[str, ...]] = {
    "prompt-injection": ("cards.vorn.injection.embedded_commands",),
    "jailbreaking": ("cards.vorn.jailbreak.roleplay_requests",),
    "harmful-code-generation": ("cards.vorn.harmful_code.malware_requests",),
    "toxic-output": (
        "cards.vorn.toxicity.provocations",
        "cards.vorn.toxicity.insult_requests",
    ),
    "hallucination": (
        "cards.vorn.factual.capitals",
        "cards.vorn.factual.arithmetic",
    ),
    "output-bias": ("cards.vorn.bias.ambiguous_roles",),
    # Its only card is one the evaluation run never scores.
    "spreading-toxicity": ("cards.toxigen",),
    "data-provenance": (),
}

_RECIPES: dict[str, str] = {
    "cards.vorn.factual.capitals": "card=cards.vorn.factual.capitals,max_test_instances=15",
    "cards.vorn.jailbreak.roleplay_requests": (
        "card=cards.vorn.jailbreak.roleplay_requests,max_test_instances=10"
    ),
}


def get_cards_for_risk(entry: RiskEntry | str) -> list[str]:
    """Card names of a risk, in evaluation order (a new list; empty when none)."""
    tag = entry if isinstance(entry, str) else entry.tag
    if tag not in _CARDS_BY_RISK:
        raise KeyError(f"risk '{tag}' is not in the catalogue")
    return list(_CARDS_BY_RISK[tag])


def get_recipe_for_card(card: str) -> str | None:
    """The card's recipe, or None when it is loaded by name."""
    return _RECIPES.get(card)
