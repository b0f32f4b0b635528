from decimal import Decimal

import numpy as np
import pytest
import requests

from grc_support import MODEL, Session, bare_evaluator, spy_on_network

NAME = "fairness, cards.f, score"


def publish(session, value, name=NAME):
    return session.evaluator.publish_metrics_to_ledgora(
        metric_name=name, metric_value=value, header=session.header, model_id=session.model_id, lg_url=session.url)


@pytest.mark.parametrize("value, stored", [
    ([0.1, 0.2, 0.4], 0.2333),
    (0.123456, 0.1235),
    ([1, 2], 1.5),
    (7, 7),
    (True, 1),
    # numpy numbers are stored as the Python numbers they hold (no JSON number
    # otherwise), converted before rounding.
    (np.float32(0.1), 0.1),
    ([np.float32(0.25), np.float32(0.5)], 0.375),
    (np.int64(7), 7),
])
def test_published_value_is_the_rounded_mean(session, logger, value, stored):
    assert publish(session, value) is True

    (metric,) = session.ledgora.records("Metric")
    (metric_value,) = session.ledgora.records("MetricValue")
    assert (metric.parent_id, metric.name, metric_value.parent_id) == (session.model_id, NAME, metric.id)
    assert metric_value.field_value("ZKR-MetricVal:Value") == stored
    assert logger.messages("debug") == [
        NAME + ":Creating metric object",
        f"{NAME}: Metric Object ID: {metric.id}, Metric Value Object ID: {metric_value.id}\n",
    ]


def test_publish_takes_positional_arguments(session):
    assert session.evaluator.publish_metrics_to_ledgora(NAME, 0.5, session.header, session.model_id, session.url)
    assert len(session.ledgora.records("MetricValue")) == 1


@pytest.mark.parametrize("value, name, error", [
    *[(value, NAME, TypeError) for value in [(0.1, 0.2), [], "0.5", None, {"a": 1}, Decimal("0.5")]],
    *[(value, NAME, ValueError) for value in [float("nan"), float("inf"), [0.5, float("-inf")], np.float32("nan")]],
    (0.5, ("fairness", "c", "score"), TypeError),
])
def test_a_value_or_name_that_cannot_be_stored_fails_before_anything_is_sent(session, logger, value, name, error):
    with pytest.raises(error):
        publish(session, value, name)
    assert session.ledgora.calls == []
    # A name that is not text fails before the first log line.
    assert logger.records == ([("debug", NAME + ":Creating metric object")] if name == NAME else [])


CREATE_FAILED = ("Unable to create metrics object, all metrics will be deleted ",
                 "Unable to create metrics object, please try again")
ADD_FAILED = ("Unable to add metric value to metric object, all metrics will be deleted ",
              "Unable to add metric value to metric object, please try again")


@pytest.mark.parametrize("kind", ["status", "not_json", "null", "drop"])
@pytest.mark.parametrize("step, messages", [(0, CREATE_FAILED), (1, ADD_FAILED)], ids=["object", "value"])
def test_failed_step_rolls_back_every_object_of_the_risks(session, logger, kind, step, messages):
    # Stored earlier for one of the evaluator's risks: removed by the rollback too.
    session.store_metric("fairness, cards.old, score", 0.5)
    kept = session.store_metric("drift, cards.d, score", 0.5)
    session.ledgora.inject("contents", kind, skip=step)

    with pytest.raises(Exception) as raised:
        publish(session, [0.5, 1.0])

    assert type(raised.value) is Exception and str(raised.value) == messages[1]
    assert session.metric_ids() == [kept]
    assert len(session.ledgora.records("MetricValue")) == 1
    assert [call.endpoint for call in session.ledgora.calls if call.endpoint != "query"] == \
        ["contents"] * (step + 1) + ["delete"] * (step + 1)
    log = logger.messages("debug")
    assert messages[0] in log and log[-1] == "all metrics object got deleted"
    assert messages[1] not in log


def test_failed_rollback_raises_its_own_error(session):
    session.ledgora.inject("contents", "status", skip=1)
    session.ledgora.inject("delete", "drop")
    with pytest.raises(requests.ConnectionError):
        publish(session, 0.5)
    # The object survives: the delete never happened.
    assert len(session.ledgora.records("Metric")) == 1


@pytest.mark.parametrize("mode", ["cloud", "hxd"])
def test_every_grc_call_has_a_time_out_and_checks_cloud_certificates(quorvane, ledgora, logger, monkeypatch, mode):
    network = spy_on_network(quorvane, monkeypatch)
    session = Session(quorvane, ledgora, mode)
    model_id = quorvane.get_lg_model_id(session.header, MODEL, session.url)
    publish(session, 0.5)
    definitions = quorvane.get_lg_model_metrics_definitions(session.header, model_id, ["fairness"], session.url)
    quorvane.return_existing_metric_value(definitions, session.header, session.url)
    session.ledgora.inject("contents", "status")
    with pytest.raises(Exception, match="please try again"):
        publish(session, 0.5)

    called = {name for name, _, _ in network}
    assert called == {"cloud": {"post", "delete"}, "hxd": {"HTTPSConnection", "get", "post", "delete"}}[mode]
    assert all(kwargs.get("timeout") == 300 for _, _, kwargs in network)
    # The cloud token request keeps the library's default check; the GRC calls
    # check certificates in the cloud only.
    grc_calls = [kwargs for name, args, kwargs in network if name != "HTTPSConnection" and args[0] != ledgora.iam_url]
    assert {kwargs["verify"] for kwargs in grc_calls} == {mode == "cloud"}
    assert all("verify" not in kwargs for name, args, kwargs in network if args and args[0] == ledgora.iam_url)


@pytest.mark.parametrize("marker", ["/HXD", "/Hxd", "/Hxd/grc"])
def test_one_run_never_mixes_the_two_modes(quorvane, ledgora, logger, marker):
    ledgora.add_model(MODEL)
    url = ledgora.url + marker
    evaluator = bare_evaluator(quorvane, {**ledgora.credentials(MODEL, "hxd"), "lg_url": url})
    header = evaluator.connect_to_ledgora()
    model_id = quorvane.get_lg_model_id(header, MODEL, url)
    evaluator.publish_metrics_to_ledgora(NAME, 0.5, header, model_id, url)
    definitions = quorvane.get_lg_model_metrics_definitions(header, model_id, ["fairness"], url)
    assert definitions == {"fairness": [{"metric_id": ledgora.records("Metric")[0].id}]}
    assert quorvane.return_existing_metric_value(definitions, header, url) == {"fairness": {NAME + "'": 0.5}}
    ledgora.inject("contents", "status")
    with pytest.raises(Exception):
        evaluator.publish_metrics_to_ledgora(NAME, 0.5, header, model_id, url)

    assert ledgora.records("Metric") == []
    seen = {(call.method, call.path.rsplit("/", 1)[0] if call.endpoint == "delete" else call.path)
            for call in ledgora.calls}
    assert seen == {("POST", "/tarvex-api/v1/authorize"), ("GET", marker + "/api/query"),
                    ("POST", marker + "/api/contents"), ("DELETE", marker + "/api/contents")}


@pytest.mark.parametrize("url, link", [
    ("https://grc.example", "https://grc.example/app/jspview/react/grc/task-view/10001"),
    ("https://grc.example/", "https://grc.example/app/jspview/react/grc/task-view/10001"),
    ("https://grc.example//", "https://grc.example//app/jspview/react/grc/task-view/10001"),
])
def test_task_view_link(quorvane, url, link):
    assert bare_evaluator(quorvane, {"lg_url": url}).get_ledgora_metric_link("10001") == link


def test_task_view_link_needs_a_url_and_a_text_id(quorvane):
    with pytest.raises(ValueError, match="^Ledgora URL is required to generate the link$"):
        bare_evaluator(quorvane, {"lg_url": None}).get_ledgora_metric_link("10001")
    with pytest.raises(TypeError):
        bare_evaluator(quorvane, {"lg_url": "https://grc.example"}).get_ledgora_metric_link(model_id=10001)
