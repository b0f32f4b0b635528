"""What the distributed calls refuse before anything is sent to a cluster."""

import threading

import pytest

from distributed_support import explain_config, failing_on, mixed_frame, sequential_explanations
from tests.sibrelle.sibrelle_support import brightness_scorer
from vorn_metrics_plugin.distributed import evaluate_risks, explain_frame
from vorn_metrics_plugin.mra.quorvane import Quorvane


def raised(call):
    with pytest.raises(BaseException) as caught:
        call()
    return type(caught.value), str(caught.value)


@pytest.mark.parametrize("config_overrides, frame", [
    ({"features": ["image", "prediction"]}, mixed_frame()),      # one feature column only
    ({"meta_fields": ["site"]}, mixed_frame()),                  # a configured column is missing
    ({}, mixed_frame().drop(columns="probability")),
], ids=["two features", "missing meta column", "missing probability column"])
def test_explanation_refusals_are_the_explainers_own(config_overrides, frame, unusable_client):
    config = explain_config(**config_overrides)
    expected = raised(lambda: sequential_explanations(config, frame, brightness_scorer))

    assert raised(lambda: explain_frame(config, frame, brightness_scorer,
                                        client=unusable_client)) == expected


@pytest.mark.parametrize("rows_per_task", [0, -2, 2.5, True, "4", None])
def test_rows_per_task_must_be_a_positive_integer(rows_per_task, unusable_client):
    with pytest.raises(ValueError, match="rows_per_task must be a positive integer"):
        explain_frame(explain_config(), mixed_frame(), brightness_scorer,
                      client=unusable_client, rows_per_task=rows_per_task)


def test_an_empty_frame_needs_no_cluster(unusable_client):
    empty = mixed_frame().iloc[:0]
    assert explain_frame(explain_config(), empty, brightness_scorer, client=unusable_client) == \
        sequential_explanations(explain_config(), empty, brightness_scorer) == {"local_explanations": []}


def scorer_holding_a_lock():
    lock = threading.Lock()

    def locked_scorer(batch):
        with lock:
            return brightness_scorer(batch)

    return locked_scorer


@pytest.mark.parametrize("call", ["explain", "evaluate"])
def test_a_scoring_function_that_cannot_be_sent_is_named(call, unusable_client):
    scorer = scorer_holding_a_lock()
    with pytest.raises(TypeError) as caught:
        if call == "explain":
            explain_frame(explain_config(), mixed_frame(), scorer, client=unusable_client)
        else:
            evaluate_risks({}, ["hallucination"], client=unusable_client, scoring_function=scorer)

    message = str(caught.value)
    assert "scorer_holding_a_lock.<locals>.locked_scorer" in message
    assert "cannot be sent to the Dask workers" in message and "_thread.lock" in message


@pytest.mark.parametrize("credentials, risks, options", [
    (None, ["hallucination"], {}),
    ({}, ("hallucination",), {}),
    ({}, [], {}),
    ({}, ["hallucination", "no-such-risk"], {}),
    ({}, ["hallucination"], {"max_sample_size": 0}),
    ({}, ["hallucination"], {"scoring_function": "not callable"}),
    ({}, ["jailbreaking"], {}),                                   # judge provider not set
], ids=["credentials", "tuple", "empty", "unknown risk", "sample size", "scoring function",
        "judge provider"])
def test_evaluation_refusals_are_the_evaluators_own(credentials, risks, options, unusable_client,
                                                     monkeypatch):
    monkeypatch.delenv("EVALITH_DEFAULT_PROVIDER", raising=False)
    expected = raised(lambda: Quorvane(credentials, risk_dimensions=risks, **options))

    assert raised(lambda: evaluate_risks(credentials, risks, client=unusable_client,
                                         **options)) == expected


def test_publishing_to_a_grc_service_is_refused(unusable_client):
    with pytest.raises(ValueError, match='^Publishing to the GRC service runs on one process: '
                                         'with "lg_url" in the credentials'):
        evaluate_risks({"lg_url": "https://grc.example"}, ["hallucination"],
                       client=unusable_client,
                       scoring_function=failing_on("never", ValueError("unused")))
