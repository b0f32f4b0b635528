"""The evaluation run backed by the GRC service, end to end against the Ledgora emulator."""

import pandas as pd
import pytest

from vorn_metrics_plugin.ledgora_emulator import LedgoraEmulator

MODEL = "demo-model"
CARDS = {"fairness": ["cards.f1", "cards.f2"], "toxic-output": ["cards.t1"]}
INSTANCES = {"cards.f1": 4, "cards.f2": 3, "cards.t1": 5}


class Bench:
    """Deterministic stand-ins for the dataset loader and the benchmark library:
    every card's prompts are answered "ok" at even positions, and the accuracy
    is the share of "ok" answers."""

    def __init__(self, quorvane, monkeypatch):
        self.scored = []
        monkeypatch.setattr(quorvane, "load_dataset_with_fallback", self.load)
        monkeypatch.setattr(quorvane, "evaluate", self.evaluate)

    @staticmethod
    def load(card, max_sample_size):
        return [{"source": f"{card} prompt {i}"} for i in range(INSTANCES[card])]

    def scoring_function(self, frame):
        self.scored.append(frame.iloc[0, 0].split(" prompt")[0])
        return pd.DataFrame({"generated_text": ["ok" if i % 2 == 0 else "no" for i in range(len(frame))]})

    @staticmethod
    def evaluate(predictions, data):
        scores = [1.0 if answer == "ok" else 0.0 for answer in predictions]
        accuracy = sum(scores) / len(scores)
        return [{"score": {"global": {
            "accuracy": accuracy, "score": accuracy, "score_name": "accuracy",
            "score_ci_low": accuracy - 0.1, "score_ci_high": accuracy + 0.1,
            "num_of_instances": len(predictions), "all_scores": scores,
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


@pytest.mark.parametrize("mode", ["cloud", "hxd"])
def test_a_run_evaluates_only_the_risks_not_stored(quorvane, ledgora, bench, capsys, mode):
    model_id = ledgora.add_model(MODEL)
    evaluator(quorvane, ledgora, bench, ["fairness"], mode).quorvanes()
    bench.scored.clear()
    ledgora.clear_calls()

    run = evaluator(quorvane, ledgora, bench, ["fairness", "toxic-output"], mode)
    results = run.quorvanes()

    assert bench.scored == ["cards.t1"]
    assert run.risk_dimensions == ["toxic-output"]
    # The stored risk as read back (no score texts), the new one as evaluated.
    assert results == {"fairness": {"cards.f1": stored("cards.f1"), "cards.f2": stored("cards.f2")},
                       "toxic-output": {"cards.t1": evaluated("cards.t1")}}
    assert metric_names(ledgora)[-len(stored("cards.t1")):] == published_names("toxic-output", "cards.t1")
    assert len(ledgora.records("Metric")) == 3 * len(stored("cards.t1"))
    assert capsys.readouterr().out.splitlines()[-1] == \
        "Metrics have been successfully saved and published to " + link(ledgora, mode, model_id)

    # The same evaluator again: everything is stored now, nothing is evaluated.
    again = run.quorvanes()
    assert bench.scored == ["cards.t1"] and list(again) == ["toxic-output"]


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


@pytest.mark.parametrize("fault, message", [
    (dict(endpoint="token", kind="status", status=401), "Failed to authenticate with Vorn Cloud IAM: 401"),
    (dict(endpoint="query", kind="status", status=200, body={"rows": []}), "Failed to get existing metric value"),
])
def test_grc_failures_before_the_evaluation_evaluate_nothing(quorvane, ledgora, bench, logger, fault, message):
    ledgora.add_model(MODEL)
    ledgora.inject(**fault)
    with pytest.raises(Exception, match="^" + message):
        evaluator(quorvane, ledgora, bench, ["fairness"], "cloud").quorvanes()
    assert bench.scored == [] and ledgora.records("Metric") == []
    assert logger.messages("debug")[-1].startswith("Error occurred when evaluating the request: " + message)
