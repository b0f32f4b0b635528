import json

import pytest
import requests

from tests.support.completion_server import unused_port

NAME = "fairness, cards.f, score"
DESCRIPTION = "MRA score for 'fairness, cards.f, score'"


def test_payloads_have_the_layout_the_service_accepts(quorvane):
    metric_object = quorvane.get_metric_object_payload("10001", NAME)
    metric_value = quorvane.get_metric_value_payload(primary_parent_id="10002", metric_name=NAME, metric_value=0.25)

    # Compared as JSON text, so member order counts too.
    assert json.dumps(metric_object) == json.dumps({
        "name": NAME,
        "description": DESCRIPTION,
        "typeDefinitionId": "Metric",
        "primaryParentId": "10001",
        "fields": {"field": [
            {"name": "ZKR-Metric:Data Source", "dataType": "STRING_TYPE", "value": "orvia.governance"},
            {"name": "ZKR-Metric:Frequency", "dataType": "ENUM_TYPE", "enumValue": {"name": "Multiple times a day"}},
        ]},
    })
    assert json.dumps(metric_value) == json.dumps({
        "typeDefinitionId": "MetricValue",
        "primaryParentId": "10002",
        "description": DESCRIPTION,
        "fields": {"field": [
            {"name": "ZKR-Metric-Shared:Breach Status", "dataType": "ENUM_TYPE", "enumValue": {"name": "Green"}},
            {"name": "ZKR-Metric-Shared:Red Threshold", "dataType": "FLOAT_TYPE", "value": 0.5},
            {"name": "ZKR-MetricVal:Value", "dataType": "FLOAT_TYPE", "value": 0.25},
        ]},
    })


@pytest.mark.parametrize("build", [
    lambda q: q.get_metric_object_payload("1", 5),
    lambda q: q.get_metric_value_payload("1", None, 0.5),
])
def test_payload_names_must_be_text(quorvane, build):
    with pytest.raises(TypeError):
        build(quorvane)


@pytest.mark.parametrize("answer", ["id", "fields"])
@pytest.mark.parametrize("suffix", ["", "/"])
def test_created_records_their_ids_and_the_targets_of_create_add_and_delete(quorvane, session, answer, suffix):
    url, session.ledgora.create_answer = session.url + suffix, answer
    metric_id = quorvane.create_metrics_object(quorvane.get_metric_object_payload(session.model_id, NAME), url,
                                               session.header)
    value_id = quorvane.add_metric_value_to_metric_object(
        quorvane.get_metric_value_payload(metric_id, NAME, 0.25), url, session.header)

    metric, value = session.ledgora.records("Metric") + session.ledgora.records("MetricValue")
    assert (metric.id, metric.parent_id, metric.name, metric.description) == (metric_id, session.model_id, NAME, DESCRIPTION)
    assert (value.id, value.parent_id, value.field_value("ZKR-MetricVal:Value")) == (value_id, metric_id, 0.25)
    assert [call.json for call in session.ledgora.calls] == [
        quorvane.get_metric_object_payload(session.model_id, NAME),
        quorvane.get_metric_value_payload(metric_id, NAME, 0.25),
    ]

    quorvane.delete_metrics_object(url, session.model_id, ["fairness"], session.header)
    targets = [(call.method, call.target) for call in session.ledgora.calls if call.endpoint != "query"]
    expected = {
        ("cloud", ""): ["/grc/api/contents", "/grc/api/contents", f"/lggrc/api/v2/contents/{metric_id}"],
        ("cloud", "/"): ["//grc/api/contents", "/grc/api/contents", f"/lggrc/api/v2/contents/{metric_id}"],
        ("hxd", ""): ["/hxd/api/contents", "/hxd/api/contents", f"/hxd/api/contents/{metric_id}"],
        ("hxd", "/"): ["/hxd//api/contents", "/hxd//api/contents", f"/hxd//api/contents/{metric_id}"],
    }[session.mode, suffix]
    assert targets == list(zip(["POST", "POST", "DELETE"], expected))
    assert session.ledgora.records("Metric") == [] and session.ledgora.records("MetricValue") == []


CREATE_FAILED = "[ERROR] Failed to create metric object: "
ADD_FAILED = "[ERROR] Failed to create metric value: "
DROPPED = "('Connection aborted.', RemoteDisconnected('Remote end closed connection without response'))"


@pytest.mark.parametrize(
    "fault, printed",
    [
        (dict(kind="status", status=500), ""),
        (dict(kind="status", status=400, body={"fields": {"field": []}}), ""),
        (dict(kind="status", status=201, body={"id": None, "fields": {"field": [{"name": "Resource ID", "value": "9"}]}}), ""),
        (dict(kind="status", status=201, body={"fields": [{"name": "Name", "value": "9"}]}), ""),
        (dict(kind="null"), ""),
        (dict(kind="not_json"), "{prefix}Expecting value: line 1 column 1 (char 0)\n"),
        (dict(kind="drop"), "{prefix}" + DROPPED + "\n"),
    ],
    ids=["500", "400-no-id", "fields-not-a-list", "no-resource-id", "null", "html", "drop"],
)
@pytest.mark.parametrize("what", ["object", "value"])
def test_failed_creation_gives_none(quorvane, session, logger, capsys, fault, printed, what):
    metric_id = session.store_metric("other, c, score", 1)
    session.ledgora.inject("contents", **fault)
    if what == "object":
        created = quorvane.create_metrics_object(
            quorvane.get_metric_object_payload(session.model_id, NAME), session.url, session.header)
    else:
        created = quorvane.add_metric_value_to_metric_object(
            quorvane.get_metric_value_payload(metric_id, NAME, 1), session.url, session.header)

    assert created is None
    prefix = CREATE_FAILED if what == "object" else ADD_FAILED
    assert capsys.readouterr().out == printed.format(prefix=prefix)
    assert logger.records == []
    assert len(session.ledgora.records("MetricValue")) == 1


@pytest.mark.parametrize("body, expected", [
    ({"id": "7", "fields": [{"name": "Resource ID", "value": "8"}]}, "7"),
    ({"fields": [{"name": "Name", "value": "n"}, {"name": "Resource ID", "value": "8"},
                 {"name": "Resource ID", "value": "9"}]}, "8"),
    (["10002"], AttributeError),  # an answer that is not an object is an error
])
def test_id_of_a_creation_answer(quorvane, session, body, expected):
    session.ledgora.inject("contents", "status", status=201, body=body)
    if expected is AttributeError:
        with pytest.raises(AttributeError):
            quorvane.create_metrics_object({}, session.url, session.header)
    else:
        assert quorvane.create_metrics_object({}, session.url, session.header) == expected


def test_creation_on_an_unreachable_service(quorvane, capsys):
    url = f"http://127.0.0.1:{unused_port()}"
    assert quorvane.create_metrics_object({}, url, {}) is None
    assert capsys.readouterr().out.startswith(CREATE_FAILED + "HTTPConnectionPool(host='127.0.0.1'")


def test_delete_removes_every_matching_object_of_the_model(quorvane, session, logger):
    doomed = [session.store_metric(f"fairness, cards.{card}, score", 0.5) for card in "ab"]
    doomed.append(session.store_metric("toxic-output, cards.t, score", 0.5))
    kept = session.store_metric("drift, cards.d, score", 0.5)

    quorvane.delete_metrics_object(session.url, session.model_id, ["fairness", "toxic-output"], session.header)

    deletes = [call for call in session.ledgora.calls if call.endpoint == "delete"]
    assert [call.path.rsplit("/", 1)[1] for call in deletes] == doomed
    assert all(call.status == 204 for call in deletes)
    assert session.metric_ids() == [kept]
    assert len(session.ledgora.records("MetricValue")) == 1
    assert logger.messages("debug")[-1] == "all metrics object got deleted"
    assert logger.messages("debug").count("all metrics object got deleted") == 1

    # Nothing left to delete: only the query is sent, and no deletion is logged.
    session.ledgora.clear_calls()
    logger.records.clear()
    quorvane.delete_metrics_object(session.url, session.model_id, ["fairness"], session.header)
    assert [call.endpoint for call in session.ledgora.calls] == ["query"]
    assert "all metrics object got deleted" not in logger.messages("debug")


@pytest.mark.parametrize(
    "fault, error, message",
    [
        (dict(endpoint="delete", kind="drop"), requests.ConnectionError, "Connection aborted"),
        (dict(endpoint="query", kind="status", status=500), Exception, "^Ledgora API returned status code 500: "),
    ],
)
def test_delete_stops_at_the_first_error(quorvane, session, fault, error, message):
    ids = [session.store_metric(f"fairness, cards.{card}, score", 0.5) for card in "ab"]
    session.ledgora.inject(**fault)
    with pytest.raises(error, match=message) as raised:
        quorvane.delete_metrics_object(session.url, session.model_id, ["fairness"], session.header)
    assert type(raised.value) is error
    assert session.metric_ids() == ids
    assert len([call for call in session.ledgora.calls if call.endpoint == "delete"]) == (fault["endpoint"] == "delete")


def test_delete_of_an_unusable_metric_id(quorvane, session):
    fields = [{"name": "Resource ID", "value": None}, {"name": "Name", "value": "fairness, cards.f, score"}]
    session.ledgora.inject("query", "status", status=200, body={
        "rows": [{"fields": fields if session.mode == "cloud" else {"field": fields}}]})
    with pytest.raises(TypeError):
        quorvane.delete_metrics_object(session.url, session.model_id, ["fairness"], session.header)
