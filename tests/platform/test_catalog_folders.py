"""Catalogue folders: new and extended risks through the evaluator, the environment, clashes of names."""

import os

import pandas as pd
import pytest

from evalith import card_index
from tests.support.catalog_folders import card_over, write_folder
from vorn_metrics_plugin.mra import quorvane
from vorn_metrics_plugin.mra.mra_api import CatalogError, add_catalog, remove_catalogs, risk, risk_to_cards
from vorn_metrics_plugin.mra.catalog_path import CATALOG_PATH_ENV
from vorn_metrics_plugin.mra.mra_api.catalog_folders import add_environment_catalogs, added_catalogs

BUILT_IN = list(risk.RISK_MORVEL_DICO)
FACTS = {"template": "Say {word}.", "metrics": ["metrics.exact_match"],
         "splits": {"test": [{"fields": {"word": "yes"}, "references": "yes"},
                             {"fields": {"word": "no"}, "references": ["no", "nope"]}]}}


def acme(root):
    return write_folder(root, {"my-risk": ["cards.acme.qa"], "hallucination": ["cards.acme.facts"]},
                        {"cards.acme.qa": card_over("qa.jsonl", columns={"references": "answer"}),
                         "cards.acme.facts": FACTS},
                        {"data/qa.jsonl": "".join(f'{{"question": "say {i}", "answer": "{i}"}}\n' for i in range(5))})


def echo(frame):
    """Answers every prompt with its last word: right on both cards, except the fifth question."""
    answers = [str(p).rstrip(".").split()[-1] for p in frame.iloc[:, 0]]
    return pd.DataFrame({"generated_text": [a if a != "4" else "four" for a in answers]})


def test_new_and_extended_risks_are_evaluated(tmp_path, added_folders, monkeypatch):
    folder = acme(tmp_path / "acme")
    available = quorvane.get_available_risks()
    monkeypatch.chdir(tmp_path)  # a relative folder, then loads from the evaluator's own directory
    add_catalog("acme")
    assert list(risk.RISK_MORVEL_DICO) == [*BUILT_IN, "my-risk"]
    assert quorvane.get_available_risks() == [*available, "my-risk"]
    hallucination = risk_to_cards.get_cards_for_risk("hallucination")
    assert hallucination == [*risk_to_cards.built_in_cards()["hallucination"], "cards.acme.facts"]

    for sample, qa_score in [(None, 0.8), (3, 1.0)]:
        results = quorvane.Quorvane({}, risk_dimensions=["my-risk", "hallucination"], scoring_function=echo,
                                    max_sample_size=sample).risks_evaluation()
        assert list(results) == ["my-risk", "hallucination"]
        assert list(results["hallucination"]) == hallucination
        qa = results["my-risk"]["cards.acme.qa"]
        assert (qa["score"], qa["num_of_instances"]) == (qa_score, sample or 5)
        assert results["hallucination"]["cards.acme.facts"]["score"] == 1.0
    assert added_catalogs() == [str(folder)]


def test_environment_folders_are_added_in_order(tmp_path, added_folders, monkeypatch):
    first = acme(tmp_path / "first")
    second = write_folder(tmp_path / "second", {"my-risk": ["cards.beta.facts"], "other-risk": ["cards.acme.qa"]},
                          {"cards.beta.facts": FACTS})
    monkeypatch.setenv(CATALOG_PATH_ENV, f"{first}{os.pathsep}{os.pathsep}{second}")
    add_environment_catalogs()
    assert added_catalogs() == [str(first), str(second)]
    assert list(risk.RISK_MORVEL_DICO)[-2:] == ["my-risk", "other-risk"]
    assert risk_to_cards.get_cards_for_risk("my-risk") == ["cards.acme.qa", "cards.beta.facts"]
    remove_catalogs()
    assert list(risk.RISK_MORVEL_DICO) == BUILT_IN and card_index.added_cards() == {}
    monkeypatch.setenv(CATALOG_PATH_ENV, str(tmp_path / "missing"))
    with pytest.raises(CatalogError, match=f"^{CATALOG_PATH_ENV}: .*missing: no such catalogue folder"):
        add_environment_catalogs()


@pytest.mark.parametrize("taken_by", ["package", "folder"])
def test_a_taken_card_name_names_both_files_and_adds_nothing(tmp_path, added_folders, taken_by):
    name = "cards.vorn.factual.capitals" if taken_by == "package" else "cards.acme.facts"
    if taken_by == "folder":
        add_catalog(acme(tmp_path / "acme"))
    original = card_index.card_path(name)
    before = {tag: risk_to_cards.get_cards_for_risk(tag) for tag in risk.RISK_MORVEL_DICO}
    clashing = write_folder(tmp_path / "other", {"new-risk": [name]}, {name: FACTS})
    duplicate = clashing.joinpath(*name.split(".")).with_suffix(".json")
    with pytest.raises(CatalogError) as caught:
        add_catalog(clashing)
    assert str(caught.value) == f"{duplicate}: card name '{name}' is already taken by {original}"
    assert {tag: risk_to_cards.get_cards_for_risk(tag) for tag in risk.RISK_MORVEL_DICO} == before
    assert card_index.card_path(name) == original
    # Adding the folder that holds a name again is no clash: it changes nothing.
    if taken_by == "folder":
        add_catalog(tmp_path / "acme")
        assert len(added_catalogs()) == 1
