"""Catalogue checks: one line per problem, ``path: problem``, with the line or row where it is."""

import json
from pathlib import Path

import pytest

from evalith import card_index
from tests.support.catalog_folders import card_over, write_folder
from vorn_metrics_plugin.mra.mra_api.checks import check_catalog

REPO = Path(__file__).resolve().parents[2]
BUNDLED = len(card_index.bundled_cards())
GOOD_ROWS = '{"question": "a", "answer": "1"}\n{"question": "b", "answer": ["2", "two"]}\n'
QA = card_over("qa.jsonl", columns={"references": "answer"})
INLINE = {"template": "Q: {question}", "metrics": ["metrics.exact_match"],
          "splits": {"test": [{"fields": {"question": "a"}, "references": "1"}, {"fields": {}, "references": "2"}]}}
CAPITALS = card_index.bundled_card_path("cards.vorn.factual.capitals")


def without(card, key):
    return {k: v for k, v in card.items() if k != key}


# Each case changes one thing of a sound folder (risk "my-risk" with card cards.acme.qa over data/qa.jsonl).
CASES = {
    "sound": ({}, {}, None, []),
    "card syntax": ({"cards.acme.qa": '{\n "template": "Q: {question}",\n "metrics" ["metrics.exact_match"]\n}'},
                    {}, None, ["cards/acme/qa.json: line 3 column 12: Expecting ':' delimiter"]),
    "missing keys": ({"cards.acme.qa": without(without(QA, "template"), "data_files")}, {}, None,
                     ["cards/acme/qa.json: missing key 'template'",
                      "cards/acme/qa.json: missing key 'splits' or 'data_files': the card has no instances"]),
    "unknown metric": ({"cards.acme.qa": {**QA, "metrics": ["metrics.exact_match", "metrics.bleu"]}}, {}, None,
                       ["cards/acme/qa.json: unknown metric 'metrics.bleu' (known: ['contains_reference', "
                        "'exact_match', 'judge_safety', 'non_toxicity', 'refusal_rate'])"]),
    "field of an instance": ({"cards.acme.qa": INLINE}, {}, None,
                             ["cards/acme/qa.json: 'test' instance 1: no value for template field 'question'"]),
    "field of a column": ({"cards.acme.qa": card_over("qa.csv", columns={"references": "answer"})},
                          {"data/qa.csv": "prompt,answer\na,1\n"}, None,
                          ["data/qa.csv: no column 'question' (the file has ['prompt', 'answer'])"]),
    "missing data file": ({"cards.acme.qa": card_over("none.parquet")}, {}, None,
                          ["data/none.parquet: no such data file"]),
    "unreadable data file": ({}, {"data/qa.jsonl": GOOD_ROWS + "\n{'question': 'c'}\n"}, None,
                             ["data/qa.jsonl: line 4 column 2: Expecting property name enclosed in double quotes"]),
    "rows without references": ({}, {"data/qa.jsonl": GOOD_ROWS + '{"question": "c"}\n{"question": "d", "answer": []}\n'},
                                None, ["data/qa.jsonl: line 3: no references, which metrics.exact_match needs",
                                       "data/qa.jsonl: line 4: no references, which metrics.exact_match needs"]),
    "references not needed": ({"cards.acme.qa": {**QA, "metrics": ["metrics.refusal_rate"]}},
                              {"data/qa.jsonl": GOOD_ROWS + '{"question": "c"}\n'}, None, []),
    "many bad rows": ({}, {"data/qa.jsonl": GOOD_ROWS + '{"answer": "x"}\n' * 8}, None,
                      [f"data/qa.jsonl: line {n}: no value for template field 'question'" for n in range(3, 8)]
                      + ["cards/acme/qa.json: 3 more row(s) of split 'test' with problems"]),
    "no test split": ({"cards.acme.qa": {**QA, "data_files": {"train": "../../data/qa.jsonl"}}}, {}, None,
                      ["cards/acme/qa.json: no 'test' split, which an evaluation loads"]),
    "empty split": ({}, {"data/qa.jsonl": "\n"}, None, ["cards/acme/qa.json: split 'test' has no instances"]),
    "unknown card": ({}, {}, {"my-risk": ["cards.acme.qa", "cards.acme.missing"]},
                     ["risks.json: risk 'my-risk' names unknown card 'cards.acme.missing'"]),
    "risks syntax": ({}, {}, '{"risks": {"my-risk": ["cards.acme.qa"],}}',
                     ["risks.json: line 1 column 41: Expecting property name enclosed in double quotes"]),
    "risks shape": ({}, {}, '["cards.acme.qa"]', ["risks.json: a risks.json (a catalogue folder lists its risks there) "
                                                  "must be a JSON object, not list"]),
    "taken name": ({"cards.vorn.factual.capitals": {**QA, "data_files": {"test": "../../../data/qa.jsonl"}}}, {}, None,
                   [f"cards/vorn/factual/capitals.json: card name 'cards.vorn.factual.capitals' is already taken by "
                    f"{CAPITALS}"]),
}


@pytest.mark.parametrize("cards, data, risks, expected", CASES.values(), ids=CASES)
def test_each_problem_is_one_line(tmp_path, cards, data, risks, expected):
    folder = write_folder(tmp_path, risks or {"my-risk": ["cards.acme.qa"]}, {"cards.acme.qa": QA, **cards},
                          {"data/qa.jsonl": GOOD_ROWS, **data})
    check = check_catalog([str(folder)])
    assert check.problems == [f"{folder}/{line}" for line in expected]
    assert check.cards_checked == BUNDLED + 1 + len(cards.keys() - {"cards.acme.qa"})


def test_later_folders_may_name_earlier_cards_and_the_example_catalogue_is_sound(tmp_path):
    first = write_folder(tmp_path / "a", {"my-risk": ["cards.acme.qa"]}, {"cards.acme.qa": QA},
                         {"data/qa.jsonl": GOOD_ROWS})
    second = write_folder(tmp_path / "b", {"my-risk": ["cards.acme.qa"], "hallucination": ["cards.acme.qa"]}, {})
    assert check_catalog([first, second]).problems == [
        f"{second}/risks.json: risk 'my-risk' has card 'cards.acme.qa' already"]
    assert check_catalog([second, first]).problems == [
        f"{second}/risks.json: risk 'my-risk' names unknown card 'cards.acme.qa'",
        f"{second}/risks.json: risk 'hallucination' names unknown card 'cards.acme.qa'"]
    example = check_catalog([REPO / "examples" / "catalog"])
    assert (example.problems, example.cards_checked) == ([], BUNDLED + 3)
    rows = (REPO / "examples" / "catalog" / "data" / "arithmetic.jsonl").read_text().splitlines()
    assert len(rows) >= 500 and all(json.loads(row)["answer"] for row in rows)
