"""Explanations and risk evaluations on a real local cluster equal the sequential calls."""

import os
from pathlib import Path

import pytest
from dask.distributed import Client, LocalCluster, get_client
from distributed.core import Status

from distributed_support import DiesOnce, explain_config, failing_on, mixed_frame, sequential_explanations
from tests.sibrelle.sibrelle_support import brightness_scorer
from tests.support.completion_server import CompletionServer, ScriptedResponse, completion_body
from tests.support.raising import raising
from tests.support.recording_logger import record_module_logger
from vorn_metrics_plugin.distributed import cluster, evaluate_risks, explain_frame
from vorn_metrics_plugin.mra import quorvane
from vorn_metrics_plugin.mra.mra_api import add_catalog, remove_catalogs
from vorn_metrics_plugin.mra.demo_model import DemoModel, demo_scoring_function
from vorn_metrics_plugin.mra.quorvane import Quorvane
from vorn_orvia_ai.qrm_client_error import CannotSetProjectOrSpace

RISKS = ["toxic-output", "hallucination", "output-bias", "spreading-toxicity"]


@pytest.fixture(scope="module")
def sequential():
    return sequential_explanations(explain_config(), mixed_frame(), brightness_scorer)


@pytest.mark.parametrize("rows_per_task", [1, 3])
def test_explanations_equal_the_sequential_ones_in_row_order(dask_client, sequential,
                                                              rows_per_task, capsys):
    # A lambda cannot be found by name on a worker: it travels by value.
    result = explain_frame(explain_config(), mixed_frame(), lambda batch: brightness_scorer(batch),
                           client=dask_client, rows_per_task=rows_per_task)

    assert result == sequential
    records = sequential["local_explanations"]
    assert ["error" in record for record in records] == [False, True, False, False, True, True, False]
    tasks = -(-len(records) // rows_per_task)
    assert f"{tasks}/{tasks}" in capsys.readouterr().err  # the progress bar ran to the end


@pytest.fixture(scope="module")
def one_worker_client():
    """A cluster of one worker process: whatever the cluster holds, that worker holds it."""
    from dask.distributed import Client

    with LocalCluster(n_workers=1, threads_per_worker=1, processes=True, dashboard_address=":0") as own, \
            Client(own, set_as_default=False) as client:
        yield client


@pytest.mark.parametrize("call, expected", [
    (lambda client, scoring: explain_frame(explain_config(), mixed_frame(), scoring(brightness_scorer),
                                           client=client, rows_per_task=3),
     lambda: sequential_explanations(explain_config(), mixed_frame(), brightness_scorer)),
    (lambda client, scoring: evaluate_risks({}, RISKS[:2], client=client,
                                            scoring_function=scoring(demo_scoring_function), max_sample_size=3),
     lambda: Quorvane({}, risk_dimensions=RISKS[:2], scoring_function=demo_scoring_function,
                      max_sample_size=3).quorvanes()),
], ids=["explain_frame", "evaluate_risks"])
def test_a_worker_that_dies_once_still_gives_the_one_process_answer(one_worker_client, tmp_path, call, expected):
    token = tmp_path / "killed"
    # The worker dies while it holds the shared scoring function and every other task's input;
    # its nanny starts a new one, where Dask runs the lost tasks again.
    result = call(one_worker_client, lambda function: DiesOnce(token, function))

    assert token.exists() and result == expected()


def test_a_current_client_is_used_without_a_cluster_of_its_own(dask_client, sequential,
                                                                 monkeypatch):
    monkeypatch.setattr(cluster, "local_client",
                        raising(AssertionError("a local cluster was started although a client is current")))
    frame = mixed_frame().iloc[:3]
    with dask_client.as_current():
        result = explain_frame(explain_config(), frame, brightness_scorer, rows_per_task=2)

    assert result["local_explanations"] == sequential["local_explanations"][:3]


def sequential_run(risks, scoring_function, logger):
    results = Quorvane({}, risk_dimensions=risks, scoring_function=scoring_function,
                       max_sample_size=3).quorvanes()
    warnings = logger.messages("warning")
    logger.records.clear()
    return results, warnings


@pytest.mark.parametrize("scoring_function, failed_risks", [
    ("demo", []),
    (failing_on("capital", ValueError("no capitals today")), ["hallucination"]),
], ids=["demo model", "a failing card"])
def test_risk_evaluation_equals_the_sequential_run(dask_client, monkeypatch, scoring_function,
                                                   failed_risks):
    if scoring_function == "demo":
        scoring_function = demo_scoring_function
    logger = record_module_logger(quorvane, monkeypatch)
    expected, sequential_warnings = sequential_run(RISKS, scoring_function, logger)

    result = evaluate_risks({}, RISKS, client=dask_client, scoring_function=scoring_function,
                            max_sample_size=3)

    assert result == expected
    assert list(result) == list(expected)  # the same risk order
    assert set(RISKS) - set(result) == {"spreading-toxicity", *failed_risks}
    # The run's summary of failed risks is logged here as the sequential run logs it
    # (the per-card warnings are the workers').
    summaries = [w for w in sequential_warnings if w.startswith("Evaluation failed")]
    assert logger.messages("warning") == summaries
    assert len(summaries) == len(failed_risks)


def test_workers_answer_through_the_inference_service_by_default(dask_client):
    model = DemoModel()
    with CompletionServer(lambda request: ScriptedResponse(
            200, completion_body(model.generate_text(request.json["prompt"])))) as service:
        credentials = {"orvia_ai_model_id": "vorn/demo", "orvia_ai_endpoint_url": service.url,
                       "orvia_ai_cloud_apikey": "secret", "orvia_ai_project_id": "p"}
        expected = Quorvane(credentials, risk_dimensions=RISKS[:2], max_sample_size=3).quorvanes()
        asked_here = len(service.requests)

        result = evaluate_risks(credentials, RISKS[:2], client=dask_client, max_sample_size=3)

        assert result == expected and asked_here > 0
        assert len(service.requests) == 2 * asked_here


def test_an_error_that_ends_the_run_reaches_the_caller(dask_client, monkeypatch):
    logger = record_module_logger(quorvane, monkeypatch)
    with pytest.raises(CannotSetProjectOrSpace, match="^no project set$"):
        evaluate_risks({}, RISKS, client=dask_client,
                       scoring_function=failing_on("capital", CannotSetProjectOrSpace("no project set")))

    assert logger.messages("debug")[-1] == "Error occurred when evaluating the request: no project set"


def test_without_a_client_a_local_cluster_runs_the_call_and_is_closed(monkeypatch):
    started = []

    class RecordedCluster(LocalCluster):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            started.append(self)
            with Client(self, set_as_default=False) as client:
                # Each worker segments on one thread of its own.
                assert set(client.run(os.environ.get, "VORN_SIBRELLE_THREADS").values()) == {"1"}

    monkeypatch.setattr(cluster, "LocalCluster", RecordedCluster)
    with pytest.raises(ValueError):
        get_client()  # no client is current before the call
    monkeypatch.setenv("OMP_NUM_THREADS", "3")
    monkeypatch.delenv("OPENBLAS_NUM_THREADS", raising=False)
    environment = dict(os.environ)

    result = evaluate_risks({}, RISKS[:2], scoring_function=demo_scoring_function)

    assert result == Quorvane({}, risk_dimensions=RISKS[:2],
                              scoring_function=demo_scoring_function).quorvanes()
    assert len(started) == 1 and started[0].status == Status.closed
    # The variables the workers were spawned with are not left behind here.
    assert dict(os.environ) == environment
    with pytest.raises(ValueError):
        get_client()


def test_the_callers_catalogue_folders_are_the_workers_too(dask_client, added_folders):
    add_catalog(str(Path(__file__).resolve().parents[2] / "examples" / "catalog"))
    risks = ["arithmetic-errors", "hallucination"]
    expected = Quorvane({}, risk_dimensions=risks, scoring_function=demo_scoring_function,
                        max_sample_size=3).quorvanes()
    result = evaluate_risks({}, risks, client=dask_client, scoring_function=demo_scoring_function,
                            max_sample_size=3)
    # A new risk, and a built-in one with the folder's card after its own.
    assert result == expected and list(expected["hallucination"])[-1] == "cards.example.more_capitals"
    remove_catalogs()
    assert evaluate_risks({}, ["hallucination"], client=dask_client, scoring_function=demo_scoring_function,
                          max_sample_size=3) == {"hallucination": {card: expected["hallucination"][card]
                                                                   for card in list(expected["hallucination"])[:2]}}
