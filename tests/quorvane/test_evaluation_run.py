"""The evaluation run without a GRC service: card bookkeeping, failures, and a real run."""

import re

import pandas as pd
import pytest

from vorn_orvia_ai.qrm_client_error import CannotSetProjectOrSpace


class Bench:
    """Substitutes the dataset loader and the benchmark library's evaluate."""

    def __init__(self, quorvane, monkeypatch, instances=2):
        self.loaded = []
        self.frames = []
        self.instances = instances
        monkeypatch.setattr(quorvane, "load_dataset_with_fallback", self.load)
        monkeypatch.setattr(quorvane, "evaluate", self.evaluate)

    def load(self, card, max_sample_size):
        self.loaded.append((card, max_sample_size))
        return [{"source": f"{card} prompt {i}"} for i in range(self.instances)]

    @staticmethod
    def evaluate(predictions, data):
        score = sum(p.startswith("ok") for p in predictions) / len(predictions)
        return [{"score": {"global": {"accuracy": score, "score_ci_low": 0.25, "score_ci_high": 0.75,
                                      "num_of_instances": len(data), "score": score,
                                      "score_name": "accuracy"}}}]

    def scorer(self, fail=None):
        def score(frame):
            self.frames.append(frame)
            card = frame.iloc[0, 0].split(" prompt")[0]
            if fail and card in fail:
                raise fail[card]
            return pd.DataFrame({"generated_text": ["ok"] * len(frame)})

        return score


@pytest.fixture
def bench(quorvane, catalogue, clean_provider_env, monkeypatch):
    """Install a catalogue of the given cards and a Bench for them."""
    def install(cards):
        catalogue(cards)
        return Bench(quorvane, monkeypatch)

    return install


def evaluator(quorvane, risks, scoring_function, max_sample_size=None):
    return quorvane.Quorvane({}, risk_dimensions=risks, scoring_function=scoring_function,
                             max_sample_size=max_sample_size)


def test_run_bookkeeping(quorvane, bench, logger, capsys):
    bench = bench({"a": ["c1", "cards.toxigen", "c2"], "b": [], "c": ["c3", "c4", "c5"],
                   "d": ["cards.toxigen"], "e": ["c6"]})
    failing = ValueError("boom")
    run = evaluator(quorvane, ["a"], bench.scorer({"c4": failing}), 7)
    run.risk_dimensions = ["a", "b", "c", "d", "e"]  # "b" has no cards, so construction refuses it

    results = run.quorvanes()

    # Excluded cards are never loaded; the failing card ends its risk, the run goes on.
    assert bench.loaded == [("c1", 7), ("c2", 7), ("c3", 7), ("c4", 7), ("c6", 7)]
    assert list(results) == ["a", "e"] and list(results["a"]) == ["c1", "c2"]
    assert results["a"]["c1"] == {"score_name": "accuracy", "score": "1.000 +/-  0.250",
                                  "num_of_instances": 2, "accuracy": 1.0}
    assert capsys.readouterr().out.splitlines() == [f"Processing {r}" for r in "abcde"]
    assert logger.messages("warning") == [
        "No Cards found for risk b",
        "Error processing card c4 in risk dimension c: Error:boom;  cause:None",
        "Risk c failed due to card errors.",
        "Evaluation failed for the following risks: [{'c': ['c4']}]. Please try to run these risks again.",
    ]
    assert logger.messages("debug")[:3] == ["Evaluation for a is processing", "c1 is processing",
                                            "c2 is processing"]
    # One frame per card, one column (label 0), one row per test instance.
    assert all(list(frame.columns) == [0] and len(frame) == 2 for frame in bench.frames)


def caused(error, cause):
    error.__cause__ = cause
    return error


@pytest.mark.parametrize("error, warning", [
    (caused(RuntimeError("judge down"), OSError("no route")),
     "Error processing card c1 in risk dimension a: Error: judge down; cause:no route"
     " This benchmark relies on LLMJ, and an error occurred "),
    (KeyError("k"), "Error processing card c1 in risk dimension a: Error:'k';  cause:None"),
])
def test_failing_card_warning_texts(quorvane, bench, logger, error, warning):
    bench = bench({"a": ["c1", "c2"]})
    run = evaluator(quorvane, ["a"], bench.scorer({"c1": error}))
    assert run.process_models_and_risks(run.scoring_function, "a") == (None, ["c1"])
    assert logger.messages("warning") == [warning, "Risk a failed due to card errors."]


def test_unusable_project_ends_the_whole_run(quorvane, bench, logger):
    bench = bench({"a": ["c1", "c2"], "b": ["c3"]})
    error = CannotSetProjectOrSpace("no project")
    run = evaluator(quorvane, ["a", "b"], bench.scorer({"c1": error}))
    with pytest.raises(CannotSetProjectOrSpace) as raised:
        run.quorvanes()
    assert raised.value is error
    assert [card for card, _ in bench.loaded] == ["c1"]
    assert logger.messages("warning") == [
        "Error processing card c1 in risk dimension a: Error:no project; cause:None"]
    assert logger.messages("debug")[-1] == "Error occurred when evaluating the request: no project"


def test_interrupt_passes_every_handler_unlogged(quorvane, bench, logger):
    bench = bench({"a": ["c1"]})
    run = evaluator(quorvane, ["a"], bench.scorer({"c1": KeyboardInterrupt()}))
    with pytest.raises(KeyboardInterrupt):
        run.quorvanes()
    assert logger.messages("warning") == []
    assert not any(m.startswith("Error occurred") for m in logger.messages("debug"))


@pytest.mark.parametrize("dataset, answers, message", [
    ({}, ["ok"], "No valid input prompts found for card c1"),
    ([{"source": "q"}], [], "Failed to get predictions for card c1"),
])
def test_card_without_prompts_or_answers_fails(quorvane, bench, monkeypatch, logger, dataset, answers, message):
    bench({"a": ["c1"]})
    monkeypatch.setattr(quorvane, "load_dataset_with_fallback", lambda card, max_sample_size: dataset)
    run = evaluator(quorvane, ["a"], lambda frame: pd.DataFrame({"generated_text": answers}))
    assert run.risks_evaluation() == {}
    assert logger.messages("warning")[0].endswith(f"Error:{message};  cause:None")


def test_unknown_risk_leaves_the_run_logged(quorvane, bench, logger):
    run = evaluator(quorvane, ["a"], bench({"a": ["c1"]}).scorer())
    run.risk_dimensions = ["a", "gone"]
    with pytest.raises(KeyError):
        run.quorvanes()
    assert logger.messages("debug")[-1] == "Error occurred when evaluating the request: 'gone'"


SCORE_TEXT = re.compile(r"^\d\.\d{3} \+/-  \d\.\d{3}$")


def test_demo_model_on_the_real_catalogue(quorvane, clean_provider_env):
    from evalith import load_dataset
    from vorn_metrics_plugin.mra.demo_model import demo_scoring_function

    risks = ["toxic-output", "hallucination", "output-bias", "spreading-toxicity"]
    results = quorvane.Quorvane({}, risk_dimensions=risks,
                                scoring_function=demo_scoring_function).quorvanes()

    assert list(results) == ["toxic-output", "hallucination", "output-bias"]
    for cards in results.values():
        for card, metrics in cards.items():
            assert list(metrics)[:3] == ["score_name", "score", "num_of_instances"]
            assert SCORE_TEXT.match(metrics["score"]), metrics
            assert not any(key.endswith(("_ci_low", "_ci_high")) for key in metrics)
    # The capitals card has a recipe that fixes its size; the others load whole.
    assert results["hallucination"]["cards.vorn.factual.capitals"]["num_of_instances"] == 15
    size = len(load_dataset(card="cards.vorn.toxicity.provocations", split="test"))
    assert results["toxic-output"]["cards.vorn.toxicity.provocations"]["num_of_instances"] == size
    scores = {m["score"] for cards in results.values() for m in cards.values()}
    assert len(scores) > 1  # the demo model is not equally good at everything


def test_default_scoring_answers_every_prompt_of_a_card(quorvane, clean_provider_env, completion_server):
    credentials = {"orvia_ai_model_id": "m", "orvia_ai_endpoint_url": completion_server.url,
                   "orvia_ai_cloud_apikey": "key", "orvia_ai_project_id": "p"}
    results = quorvane.Quorvane(credentials, risk_dimensions=["output-bias"],
                                max_sample_size=3).quorvanes()
    assert results["output-bias"]["cards.vorn.bias.ambiguous_roles"]["num_of_instances"] == 3
    assert len(completion_server.requests) == 3


def test_default_scoring_without_a_project_ends_the_run(quorvane, clean_provider_env, logger):
    credentials = {"orvia_ai_model_id": "m", "orvia_ai_endpoint_url": "http://127.0.0.1:9",
                   "orvia_ai_cloud_apikey": "key"}
    run = quorvane.Quorvane(credentials, risk_dimensions=["output-bias", "hallucination"])
    with pytest.raises(CannotSetProjectOrSpace):
        run.quorvanes()
    debug = logger.messages("debug")
    assert debug[-2].startswith("Error encountered while getting predictions from orvia.ai: ")
    assert debug[-1].startswith("Error occurred when evaluating the request: ")
    assert [m for m in debug if m.endswith(" is processing") and m.startswith("cards.")] == [
        "cards.vorn.bias.ambiguous_roles is processing"]
