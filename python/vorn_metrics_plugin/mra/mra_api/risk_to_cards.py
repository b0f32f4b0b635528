"""Benchmark cards of each risk of the catalogue, and the recipes of some cards.

A risk's cards are its built-in ones followed by those that catalogue folders
add to it (``add_cards``), in the order the folders were added.

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


# Cards that catalogue folders add, by risk tag.
_ADDED_CARDS: dict[str, list[str]] = {}


def get_cards_for_risk(entry: RiskEntry | str) -> list[str]:
    """Card names of a risk, in evaluation order (a new list; empty when none)."""
    tag = entry if isinstance(entry, str) else entry.tag
    if tag not in _CARDS_BY_RISK and tag not in _ADDED_CARDS:
        raise KeyError(f"risk '{tag}' is not in the catalogue")
    return [*_CARDS_BY_RISK.get(tag, ()), *_ADDED_CARDS.get(tag, ())]


def built_in_cards() -> dict[str, list[str]]:
    """The package's own cards of each risk, without those of catalogue folders."""
    return {tag: list(cards) for tag, cards in _CARDS_BY_RISK.items()}


def add_cards(tag: str, cards: list[str]) -> None:
    """List ``cards`` for the risk ``tag``, after the cards it has."""
    _ADDED_CARDS.setdefault(tag, []).extend(cards)


def remove_added_cards() -> None:
    """Back to the built-in cards of every risk."""
    _ADDED_CARDS.clear()


def get_recipe_for_card(card: str) -> str | None:
    """The card's recipe, or None when it is loaded by name."""
    return _RECIPES.get(card)
