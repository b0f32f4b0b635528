"""The evaluation run backed by the GRC service, end to end against the Ledgora emulator."""

import re

import pandas as pd
import pytest

from grc_support import recording, store_metric
from vorn_metrics_plugin.ledgora_emulator import LedgoraEmulator

MODEL = "demo-model"
CARDS = {"fairness": ["cards.f1", "cards.f2"], "toxic-output": ["cards.t1"]}
INSTANCES = {"cards.f1": 4, "cards.f2": 3, "cards.t1": 5}


class Bench:
    """Deterministic stand-ins for the dataset loader and the benchmark library:
    every card's prompts are answered "ok" at even positions, and the accuracy
    is the share of "ok" answers. `extra` adds metrics to a card's scores."""

    def __init__(self, quorvane, monkeypatch):
        self.scored = []
        self.extra = {}
        monkeypatch.setattr(quorvane, "load_dataset_with_fallback", self.load)
        monkeypatch.setattr(quorvane, "evaluate", self.evaluate)

    @staticmethod
    def load(card, max_sample_size):
        return [{"source": f"{card} prompt {i}"} for i in range(INSTANCES[card])]

    def scoring_function(self, frame):
        self.scored.append(frame.iloc[0, 0].split(" prompt")[0])
        return pd.DataFrame({"generated_text": ["ok" if i % 2 == 0 else "no" for i in range(len(frame))]})

    def evaluate(self, predictions, data):
        scores = [1.0 if answer == "ok" else 0.0 for answer in predictions]
        accuracy = sum(scores) / len(scores)
        card = data[0]["source"].split(" prompt")[0]
        return [{"score": {"global": {
            "accuracy": accuracy, "score": accuracy, "score_name": "accuracy",
            "score_ci_low": accuracy - 0.1, "score_ci_high": accuracy + 0.1,
            "num_of_instances": len(predictions), "all_scores": scores, **self.extra.get(card, {}),
        }}}]


# What the run produces per card (after the module's cleaning and ordering).
def evaluated(card):
    n = INSTANCES[card]
    accuracy = round(((n + 1) // 2) / n, 3)
    return {"score_name": "accuracy", "score": accuracy, "num_of_instances": n, "accuracy": accuracy,
            "score_ci_low": round(accuracy - 0.1, 3), "score_ci_high": round(accuracy + 0.1, 3),
            "all_scores": [1.0 if i % 2 == 0 else 0.0 for i in range(n)]}


# What the service stores per card: every entry but the score's name, the
# per-instance list as its mean, rounded to 4 decimals.
def stored(card):
    published = {key: value for key, value in evaluated(card).items() if key != "score_name"}
    published["all_scores"] = round(sum(published["all_scores"]) / len(published["all_scores"]), 4)
    return published


@pytest.fixture
def bench(quorvane, catalogue, clean_provider_env, monkeypatch, logger):
    catalogue(CARDS)
    return Bench(quorvane, monkeypatch)


def evaluator(quorvane, ledgora, bench, risks, mode):
    credentials = ledgora.credentials(MODEL, mode)
    return quorvane.Quorvane(credentials, risk_dimensions=list(risks), scoring_function=bench.scoring_function)


def link(ledgora, mode, model_id):
    return ledgora.credentials(mode=mode)["lg_url"] + "/app/jspview/react/grc/task-view/" + model_id


def metric_names(ledgora):
    return [record.name for record in ledgora.records("Metric")]


def published_names(risk, card):
    return [f"{risk}, {card}, {key}" for key in stored(card)]


@pytest.mark.parametrize("mode", ["cloud", "hxd"])
def test_first_run_publishes_everything_and_a_later_run_reads_it_back(quorvane, bench, capsys, tmp_path,
                                                                      monkeypatch, mode):
    database = str(tmp_path / "ledgora.sqlite")
    with LedgoraEmulator(database) as ledgora:
        monkeypatch.setenv("VORN_IAM_URL", ledgora.iam_url)
        model_id = ledgora.add_model(MODEL)
        run = evaluator(quorvane, ledgora, bench, ["fairness", "toxic-output"], mode)
        first = run.quorvanes()

        # Returned as evaluated: no margin formatting on this path.
        assert first == {"fairness": {"cards.f1": evaluated("cards.f1"), "cards.f2": evaluated("cards.f2")},
                         "toxic-output": {"cards.t1": evaluated("cards.t1")}}
        assert run.risk_dimensions == ["fairness", "toxic-output"]
        # Per card the score first, then the other entries in order; never the score's name.
        assert metric_names(ledgora) == [
            *published_names("fairness", "cards.f1"), *published_names("fairness", "cards.f2"),
            *published_names("toxic-output", "cards.t1")]
        values = {record.description: record.field_value("ZKR-MetricVal:Value")
                  for record in ledgora.records("MetricValue")}
        assert values["MRA score for 'fairness, cards.f2, score'"] == 0.667
        assert values["MRA score for 'fairness, cards.f2, all_scores'"] == 0.6667
        assert capsys.readouterr().out.splitlines()[-1] == \
            "Metrics have been successfully saved and published to " + link(ledgora, mode, model_id)

    # Another emulator process on other ports, the same records.
    with LedgoraEmulator(database) as ledgora:
        monkeypatch.setenv("VORN_IAM_URL", ledgora.iam_url)
        model_id = ledgora.add_model(MODEL)
        second = evaluator(quorvane, ledgora, bench, ["toxic-output", "fairness"], mode).quorvanes()

        assert [call.endpoint for call in ledgora.calls if call.endpoint not in ("token", "authorize", "query")] == []
        expected_link = link(ledgora, mode, model_id)
    assert bench.scored == ["cards.f1", "cards.f2", "cards.t1"]  # the first run's only
    assert capsys.readouterr().out.splitlines() == [
        "Metrics have already been saved before, and are being retrieved from " + expected_link]
    # The stored values come back with their intervals as score texts.
    assert second == quorvane.calculate_score_with_margin(
        {risk: {card: stored(card) for card in cards} for risk, cards in first.items()})
    assert second["fairness"]["cards.f2"] == {"score": "0.667 +/-  0.100", "num_of_instances": 3,
                                              "accuracy": 0.667, "all_scores": 0.6667}
    assert list(second) == ["toxic-output", "fairness"]  # in the order of this run's risks


def metric_lines(capsys):
    return [line for line in capsys.readouterr().out.splitlines() if line.startswith("Metrics")]


@pytest.mark.parametrize("stored_before", [["fairness"], ["toxic-output", "fairness"]], ids=["partial", "full"])
@pytest.mark.parametrize("mode", ["cloud", "hxd"])
def test_every_run_on_one_evaluator_returns_the_whole_selection(quorvane, ledgora, bench, capsys, mode,
                                                                stored_before):
    model_id = ledgora.add_model(MODEL)
    evaluator(quorvane, ledgora, bench, stored_before, mode).quorvanes()
    bench.scored.clear()
    capsys.readouterr()
    missing = [risk for risk in ["fairness", "toxic-output"] if risk not in stored_before]

    run = evaluator(quorvane, ledgora, bench, ["fairness", "toxic-output"], mode)
    first = run.quorvanes()
    narrowed = run.risk_dimensions
    later = [run.quorvanes(), run.quorvanes()]

    # Only the risk not stored before is evaluated, once.
    assert bench.scored == ["cards.t1"] * len(missing)
    assert (narrowed, run.risk_dimensions, run.selected_risk_dimensions) == (
        missing, [], ["fairness", "toxic-output"])
    everything = {risk: {card: stored(card) for card in CARDS[risk]} for risk in ["fairness", "toxic-output"]}
    # A stored risk as read back (no score texts), a new one as evaluated; later
    # runs read everything back.
    assert first == ({**everything, "toxic-output": {"cards.t1": evaluated("cards.t1")}} if missing
                     else quorvane.calculate_score_with_margin(everything))
    assert later == [quorvane.calculate_score_with_margin(everything)] * 2
    assert len(ledgora.records("Metric")) == 3 * len(stored("cards.t1"))
    task_view = link(ledgora, mode, model_id)
    assert metric_lines(capsys) == (
        ["Metrics have been successfully saved and published to " + task_view] * len(missing)
        + ["Metrics have already been saved before, and are being retrieved from " + task_view] * (3 - len(missing)))


def test_failed_publication_leaves_the_run_and_rolls_back_its_risks(quorvane, ledgora, bench, logger):
    ledgora.add_model(MODEL)
    evaluator(quorvane, ledgora, bench, ["fairness"], "cloud").quorvanes()
    before = metric_names(ledgora)
    # The second metric of the new risk cannot be created.
    ledgora.inject("contents", "status", status=503, skip=2)

    run = evaluator(quorvane, ledgora, bench, ["fairness", "toxic-output"], "cloud")
    with pytest.raises(Exception, match="^Unable to create metrics object, please try again$"):
        run.quorvanes()

    # The rollback covers the run's risks, now only the one not stored before.
    assert metric_names(ledgora) == before
    assert logger.messages("debug")[-1] == \
        "Error occurred when evaluating the request: Unable to create metrics object, please try again"


@pytest.mark.parametrize("mode", ["cloud", "hxd"])
def test_a_risk_named_within_another_is_evaluated_and_rolled_back_on_its_own(quorvane, ledgora, bench, catalogue,
                                                                           mode):
    catalogue({**CARDS, "output": ["cards.t1"]})
    ledgora.add_model(MODEL)
    evaluator(quorvane, ledgora, bench, ["toxic-output"], mode).quorvanes()
    before = ledgora.records("Metric")
    bench.scored.clear()

    # Not read back from toxic-output's metrics: evaluated, and its failed publication
    # deletes nothing of toxic-output.
    ledgora.inject("contents", "status", status=503, skip=2)
    with pytest.raises(Exception, match="^Unable to create metrics object, please try again$"):
        evaluator(quorvane, ledgora, bench, ["output"], mode).quorvanes()
    assert bench.scored == ["cards.t1"] and ledgora.records("Metric") == before

    assert evaluator(quorvane, ledgora, bench, ["output"], mode).quorvanes() == {
        "output": {"cards.t1": evaluated("cards.t1")}}
    assert metric_names(ledgora) == [*published_names("toxic-output", "cards.t1"),
                                     *published_names("output", "cards.t1")]


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("stand_in", ["publish", "add_value"], ids=["between-publishes", "inside-a-publish"])
def test_an_interrupted_publication_is_rolled_back_and_the_interrupt_goes_on(quorvane, ledgora, bench, capsys,
                                                                          monkeypatch, interrupt, stand_in):
    ledgora.add_model(MODEL)
    evaluator(quorvane, ledgora, bench, ["fairness"], "cloud").quorvanes()
    before = ledgora.records("Metric")
    raised, calls = interrupt(), []

    def interrupting_third_call(function):
        def call(*args, **kwargs):
            calls.append(args)
            if len(calls) == 3:
                raise raised
            return function(*args, **kwargs)
        return call

    if stand_in == "publish":
        monkeypatch.setattr(quorvane.Quorvane, "publish_metrics_to_ledgora",
                            interrupting_third_call(quorvane.Quorvane.publish_metrics_to_ledgora))
    else:
        monkeypatch.setattr(quorvane, "add_metric_value_to_metric_object",
                            interrupting_third_call(quorvane.add_metric_value_to_metric_object))
    rollbacks = []
    monkeypatch.setattr(quorvane, "delete_metrics_object", recording(quorvane.delete_metrics_object, rollbacks))
    run = evaluator(quorvane, ledgora, bench, ["fairness", "toxic-output"], "cloud")
    capsys.readouterr()
    with pytest.raises(interrupt) as caught:
        run.quorvanes()

    assert caught.value is raised
    assert len(rollbacks) == 1  # once, however many publications the interrupt left
    # What the new risk had stored is gone; the earlier run's records remain.
    assert ledgora.records("Metric") == before and metric_lines(capsys) == []
    # So the next run evaluates the risk again instead of reading back a partial set.
    bench.scored.clear()
    assert run.quorvanes()["toxic-output"] == {"cards.t1": evaluated("cards.t1")}
    assert bench.scored == ["cards.t1"]


@pytest.mark.parametrize("extra, error, message", [
    ({"all_scores": [1.0, float("nan")]}, ValueError,
     "Metric 'fairness, cards.f2, all_scores' cannot be stored in Ledgora: its value nan is not a finite number"),
    ({"f1": float("-inf")}, ValueError,
     "Metric 'fairness, cards.f2, f1' cannot be stored in Ledgora: its value -inf is not a finite number"),
    ({7: 0.5}, TypeError, 'can only concatenate str (not "int") to str'),
    ({None: 0.5}, TypeError, 'can only concatenate str (not "NoneType") to str'),
], ids=["nan", "infinity", "int-key", "none-key"])
def test_a_metric_that_cannot_be_stored_stops_the_run_before_anything_is_sent(quorvane, ledgora, bench, capsys,
                                                                              extra, error, message):
    store_metric(ledgora, ledgora.add_model(MODEL), "toxic-output, cards.t1, score", 0.5)
    before = ledgora.records()
    ledgora.clear_calls()
    bench.extra["cards.f2"] = extra

    with pytest.raises(error, match="^" + re.escape(message) + "$"):
        evaluator(quorvane, ledgora, bench, ["fairness", "toxic-output"], "cloud").quorvanes()

    # Nothing of the first card either: no record created, none deleted.
    assert ledgora.records() == before
    assert {call.endpoint for call in ledgora.calls} == {"token", "query"}
    assert metric_lines(capsys) == []


@pytest.mark.parametrize("fault, message", [
    (dict(endpoint="token", kind="status", status=401), "Failed to authenticate with Vorn Cloud IAM: 401"),
    (dict(endpoint="query", kind="status", status=200, body={"rows": []}), "Failed to get existing metric value"),
    # The stored values' query, after the model's and the two risks' definitions.
    (dict(endpoint="query", kind="status", status=503, skip=3),
     'Ledgora API returned status code 503: {"error": "injected fault"}'),
], ids=["login", "model", "stored-values"])
def test_grc_failures_before_the_evaluation_evaluate_nothing(quorvane, ledgora, bench, logger, capsys, fault,
                                                             message):
    store_metric(ledgora, ledgora.add_model(MODEL), "fairness, cards.f1, score", 0.5)
    before = ledgora.records()
    ledgora.inject(**fault)
    with pytest.raises(Exception, match="^" + re.escape(message)):
        evaluator(quorvane, ledgora, bench, ["fairness", "toxic-output"], "cloud").quorvanes()
    assert bench.scored == [] and ledgora.records() == before and metric_lines(capsys) == []
    assert logger.messages("debug")[-1].startswith("Error occurred when evaluating the request: " + message)
