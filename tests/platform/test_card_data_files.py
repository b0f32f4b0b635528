"""Cards over data files: each format, references as a text or a list, bounded reads for a sample."""

import csv
import io
import json

import pytest

from evalith import CardFileError, load_dataset
from tests.support.catalog_folders import card_over, write_folder
from vorn_metrics_plugin.mra.mra_api import add_catalog

QUESTIONS = ["Capital of France?", "Two plus two?", "Capital of Italy?"]
ANSWERS = ["Paris", ["4", "four"], "Rome"]


def jsonl(rows):
    return "".join(json.dumps(row) + "\n" for row in rows)


def csv_text(rows):
    out = io.StringIO()
    csv.writer(out).writerows(rows)
    return out.getvalue()


DATA = {
    "mixed.jsonl": jsonl({"question": q, "answer": a} for q, a in zip(QUESTIONS, ANSWERS)),
    # A CSV cell holds a list as JSON text.
    "mixed.csv": csv_text([("question", "answer"), *((q, a if isinstance(a, str) else json.dumps(a))
                                                     for q, a in zip(QUESTIONS, ANSWERS))]),
    "lists.parquet": {"question": QUESTIONS, "answer": [a if isinstance(a, list) else [a] for a in ANSWERS]},
    "texts.parquet": {"question": QUESTIONS, "answer": ["Paris", "4", "Rome"]},
}
# Spreadsheet programs and editors save UTF-8 text with a byte order mark; so are these cards and data files.
DATA.update({f"bom_{name}": "\ufeff" + DATA[name] for name in ("mixed.jsonl", "mixed.csv")})


@pytest.fixture
def data_cards(tmp_path, added_folders):
    cards = {f"cards.formats.{name.replace('.', '_')}": card_over(name, columns={"references": "answer"},
                                                                 task_data={"source_kind": "file"})
             for name in DATA}
    cards = {name: "\ufeff" + json.dumps(card) if "bom_" in name else card for name, card in cards.items()}
    add_catalog(write_folder(tmp_path / "catalog", {"by-format": list(cards)}, cards,
                             {f"data/{name}": content for name, content in DATA.items()}))


@pytest.mark.parametrize("name", DATA)
def test_each_format_gives_prompts_references_and_task_data(data_cards, name):
    card = f"cards.formats.{name.replace('.', '_')}"
    instances = load_dataset(card=card, split="test")
    expected = ANSWERS if name != "texts.parquet" else ["Paris", "4", "Rome"]
    assert [i["source"] for i in instances] == [f"Q: {q}" for q in QUESTIONS]
    assert [i["references"] for i in instances] == [a if isinstance(a, list) else [a] for a in expected]
    assert [i["target"] for i in instances] == ["Paris", "4", "Rome"]
    assert instances[1]["task_data"] == {"source_kind": "file", "question": QUESTIONS[1], "card": card}
    assert {tuple(i["metrics"]) for i in instances} == {("metrics.exact_match",)}


# After two good rows comes one the card cannot use: a sample of two never reads it.
BROKEN_THIRD_ROW = {
    "qa.jsonl": (jsonl([{"question": "a", "answer": "1"}, {"question": "b", "answer": "2"}]) + "{not json\n",
                 "line 3 column 2"),
    "qa.csv": ("question,answer\na,1\nb,2\n,3\n", "line 4: no value for template field 'question'"),
    "qa.parquet": ({"question": ["a", "b", None], "answer": ["1", "2", "3"]},
                   "row 3: no value for template field 'question'"),
}


@pytest.mark.parametrize("name", BROKEN_THIRD_ROW)
def test_a_sample_reads_only_its_rows(tmp_path, added_folders, name):
    content, problem = BROKEN_THIRD_ROW[name]
    card = card_over(name, columns={"references": "answer"})
    add_catalog(write_folder(tmp_path, {"sampled": ["cards.s.qa"]}, {"cards.s.qa": card}, {f"data/{name}": content}))
    sample = load_dataset(card="cards.s.qa", max_test_instances=2)
    assert [(i["source"], i["references"]) for i in sample] == [("Q: a", ["1"]), ("Q: b", ["2"])]
    assert load_dataset("card=cards.s.qa,max_test_instances=1") == sample[:1]
    with pytest.raises(CardFileError, match=problem) as caught:
        load_dataset(card="cards.s.qa")
    assert caught.value.path == str(tmp_path / "data" / name)
