import pytest

import evalith
from evalith import load_dataset
from evalith.loading import parse_recipe
from vorn_metrics_plugin.mra.mra_api import risk, risk_to_cards

# Cards that the evaluation run never scores, whatever the catalogue lists.
EXCLUDED_CARDS = {
    "cards.safety.quellin",
    "cards.data_leakage.empty_data_leakage_card",
    "cards.safety.simple_safety_tests",
    "cards.toxigen",
    "cards.pop_qa",
    "cards.ethos_binary",
    "cards.prompt_leakage.glue_qnli_with_system_prompt",
}
JUDGE_RISKS = {"prompt-injection", "jailbreaking", "harmful-code-generation"}

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


def test_catalogue_size_and_required_risks():
    assert 6 <= len(CATALOGUE) <= 10
    assert JUDGE_RISKS <= set(CATALOGUE)
    for tag, entry in CATALOGUE.items():
        assert entry.tag == tag
        assert entry.title and entry.description and entry.category


@pytest.mark.parametrize("tag", list(CATALOGUE))
def test_each_risk_has_at_most_three_distinct_cards(tag):
    cards = cards_of(tag)
    assert isinstance(cards, list)
    assert len(cards) <= 3
    assert len(set(cards)) == len(cards)


def test_exactly_one_risk_has_no_cards():
    empty = [tag for tag in CATALOGUE if not cards_of(tag)]
    assert len(empty) == 1
    assert cards_of(empty[0]) == []


def test_one_risk_is_measured_only_by_an_excluded_card():
    only_excluded = [
        tag for tag in CATALOGUE
        if cards_of(tag) and all(card in EXCLUDED_CARDS for card in cards_of(tag))
    ]
    assert len(only_excluded) == 1
    assert len(cards_of(only_excluded[0])) == 1


@pytest.mark.parametrize("tag", sorted(JUDGE_RISKS))
def test_judge_risks_have_evaluable_cards(tag):
    assert [card for card in cards_of(tag) if card not in EXCLUDED_CARDS]


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


def test_some_cards_have_recipes_naming_themselves():
    with_recipe = [card for _, card in RISK_CARDS if risk_to_cards.get_recipe_for_card(card)]
    assert with_recipe
    for card in with_recipe:
        assert parse_recipe(risk_to_cards.get_recipe_for_card(card))["card"] == card
    assert any(not risk_to_cards.get_recipe_for_card(card) for _, card in RISK_CARDS)


def test_recipe_limits_the_instances_of_its_card():
    card = "cards.vorn.factual.capitals"
    recipe = risk_to_cards.get_recipe_for_card(card)
    limit = parse_recipe(recipe)["max_test_instances"]
    assert len(load_dataset(card=card)) > limit
    assert len(load_dataset(recipe, split="test")) == limit


def test_card_lists_are_copies():
    tag, card = RISK_CARDS[0]
    cards_of(tag).clear()
    assert card in cards_of(tag)


def test_cards_can_be_asked_by_tag_and_unknown_risks_fail():
    assert risk_to_cards.get_cards_for_risk("hallucination") == cards_of("hallucination")
    with pytest.raises(KeyError, match="no-such-risk"):
        risk_to_cards.get_cards_for_risk("no-such-risk")
    assert risk_to_cards.get_recipe_for_card("cards.not.listed") is None
