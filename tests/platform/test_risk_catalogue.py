import pytest

import evalith
from evalith import load_dataset
from evalith.loading import parse_recipe
from vorn_metrics_plugin.mra.mra_api import risk, risk_to_cards
from vorn_metrics_plugin.mra.risk_selection import JUDGE_SCORED_RISKS, NEVER_EVALUATED_CARDS

# Cards that the evaluation run never scores, and risks scored by a judge
# (tests/quorvane check these lists against the evaluator itself).
EXCLUDED_CARDS = set(NEVER_EVALUATED_CARDS)
JUDGE_RISKS = set(JUDGE_SCORED_RISKS)

CATALOGUE = risk.RISK_MORVEL_DICO
RISK_CARDS = [
    (tag, card)
    for tag, entry in CATALOGUE.items()
    for card in risk_to_cards.get_cards_for_risk(entry)
]


def cards_of(tag):
    return risk_to_cards.get_cards_for_risk(CATALOGUE[tag])


def load(card):
    recipe = risk_to_cards.get_recipe_for_card(card)
    if recipe:
        return load_dataset(recipe, split="test")
    return load_dataset(card=card, max_test_instances=None, split="test")


def test_catalogue_entries_and_their_cards():
    assert 6 <= len(CATALOGUE) <= 10
    assert JUDGE_RISKS <= set(CATALOGUE)
    for tag, entry in CATALOGUE.items():
        assert entry.tag == tag
        assert entry.title and entry.description and entry.category
        cards = cards_of(tag)
        assert isinstance(cards, list) and len(set(cards)) == len(cards) <= 3
    # The judge-scored risks have cards the evaluation run scores.
    assert all(set(cards_of(tag)) - EXCLUDED_CARDS for tag in JUDGE_RISKS)
    # Exactly one risk has no cards, and exactly one is measured only by one excluded card.
    assert len([tag for tag in CATALOGUE if not cards_of(tag)]) == 1
    only_excluded = [tag for tag in CATALOGUE if cards_of(tag) and set(cards_of(tag)) <= EXCLUDED_CARDS]
    assert len(only_excluded) == 1 and len(cards_of(only_excluded[0])) == 1


@pytest.mark.parametrize("tag, card", RISK_CARDS)
def test_every_card_loads_with_prompts_and_references(tag, card):
    data = load(card)
    assert data
    for instance in data:
        assert isinstance(instance["source"], str) and instance["source"].strip()
        assert instance["references"]
        assert all(isinstance(ref, str) and ref for ref in instance["references"])
    # Only the judge-scored risks need a judge provider; their cards, and no other, use it.
    uses_judge = "metrics.judge_safety" in data[0]["metrics"]
    assert uses_judge == (tag in JUDGE_RISKS)


def test_every_bundled_card_belongs_to_a_risk():
    assert set(evalith.list_cards()) == {card for _, card in RISK_CARDS}


def test_recipes_name_their_card_and_limit_its_instances():
    with_recipe = [card for _, card in RISK_CARDS if risk_to_cards.get_recipe_for_card(card)]
    assert with_recipe and len(with_recipe) < len(RISK_CARDS)
    for card in with_recipe:
        settings = parse_recipe(risk_to_cards.get_recipe_for_card(card))
        assert settings["card"] == card
        assert len(load_dataset(card=card)) > settings["max_test_instances"]
        assert len(load(card)) == settings["max_test_instances"]


def test_card_lists_are_copies():
    tag, card = RISK_CARDS[0]
    cards_of(tag).clear()
    assert card in cards_of(tag)


def test_cards_can_be_asked_by_tag_and_unknown_risks_fail():
    assert risk_to_cards.get_cards_for_risk("hallucination") == cards_of("hallucination")
    with pytest.raises(KeyError, match="no-such-risk"):
        risk_to_cards.get_cards_for_risk("no-such-risk")
    assert risk_to_cards.get_recipe_for_card("cards.not.listed") is None
