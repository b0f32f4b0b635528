import pytest
import requests

from grc_support import (
    METRIC_OBJECTS_QUERY, METRIC_VALUES_QUERY, MODEL, MODEL_ID_QUERY, Session, statements,
)
from vorn_metrics_plugin.ledgora_emulator.faults import NOT_JSON_BODY

QUERY_TARGET = {"cloud": ("POST", "/lggrc/api/v2/query"), "hxd": ("GET", "/hxd/api/query")}


def test_model_id_by_name(quorvane, session, logger):
    model_id = quorvane.get_lg_model_id(session.header, MODEL, session.url)

    assert model_id == session.model_id
    assert statements(session.ledgora) == [MODEL_ID_QUERY[session.mode].format(MODEL)]
    (call,) = session.ledgora.calls
    assert (call.method, call.path) == QUERY_TARGET[session.mode]
    if session.mode == "cloud":
        assert list(call.json.items()) == [("statement", MODEL_ID_QUERY["cloud"].format(MODEL)), ("skipCount", 0)]
    assert logger.messages("debug") == [
        f"Getting  model id, model_name from Ledgora: {MODEL}",
        f"Successfully fetched model id:{model_id}",
    ]


@pytest.mark.parametrize("suffix", ["/", "///"])
def test_query_target_ignores_trailing_slashes(quorvane, session, suffix):
    quorvane.get_lg_model_id(session.header, MODEL, session.url + suffix)
    quorvane.get_lg_model_metrics_definitions(session.header, session.model_id, ["x"], session.url + suffix)
    quorvane.return_existing_metric_value({"x": [{"metric_id": "1"}]}, session.header, session.url + suffix)
    assert {call.target.split("?")[0] for call in session.ledgora.calls} == {QUERY_TARGET[session.mode][1]}


@pytest.mark.parametrize(
    "mode, answer, message",
    [
        ("hxd", None, "Model ID not found, check model name"),
        ("cloud", None, "Failed to get existing metric value"),
        ("hxd", {"rows": [{"fields": {"field": []}}]}, "Failed to get existing metric value"),
        ("hxd", {"rows": [{"fields": {"other": 1}}]}, "Failed to get existing metric value"),
        ("hxd", {"rows": [{}]}, "Failed to get existing metric value"),
        ("cloud", {"rows": [{}]}, "Failed to get existing metric value"),
        ("hxd", "null", "Failed to get existing metric value"),
        ("cloud", "null", "Model ID not found, check model name"),
        # An error answer has no rows.
        ("hxd", {"error": "boom"}, "Model ID not found, check model name"),
        ("cloud", {"error": "boom"}, "Failed to get existing metric value"),
    ],
    ids=["hxd-unknown", "cloud-unknown", "hxd-empty-field", "hxd-no-field", "hxd-no-fields",
         "cloud-no-fields", "hxd-null", "cloud-null", "hxd-error", "cloud-error"],
)
def test_model_id_not_found(quorvane, ledgora, logger, mode, answer, message):
    session = Session(quorvane, ledgora, mode)
    if answer == "null":
        ledgora.inject("query", "null")
    elif answer is not None:
        ledgora.inject("query", "status", status=500 if "error" in answer else 200, body=answer)

    with pytest.raises(Exception) as raised:
        quorvane.get_lg_model_id(session.header, "unknown model", session.url)
    assert type(raised.value) is Exception and str(raised.value) == message
    assert logger.messages("debug")[-1] == message


def test_first_matching_model_wins_and_any_id_type_passes(quorvane, session):
    session.ledgora.inject("query", "status", status=200, body=(
        {"rows": [{"fields": {"field": [{"name": "Resource ID", "value": 7}]}}, {"fields": {"field": [{"value": 8}]}}]}
        if session.mode == "hxd" else {"rows": [{"fields": [{"value": 7}]}, {"fields": [{"value": 8}]}]}))
    assert quorvane.get_lg_model_id(session.header, MODEL, session.url) == 7


@pytest.mark.parametrize("name", ["O'Brien's model", "x') OR ('1'='1", "''"])
def test_quotes_in_names_cannot_break_the_statement(quorvane, session, name):
    model_id = session.ledgora.add_model(name)
    assert quorvane.get_lg_model_id(session.header, name, session.url) == model_id
    assert statements(session.ledgora) == [MODEL_ID_QUERY[session.mode].format(name.replace("'", "''"))]


def test_definitions_per_risk(quorvane, session, logger):
    fairness = [session.store_metric(f"fairness, cards.f, {key}", 0.5) for key in ("score", "num_of_instances")]
    session.store_metric("toxic-output, cards.t, score", 0.1)
    other_model = session.ledgora.add_model("other model")
    session.store_metric("drift, cards.d, score", 0.2, model_id=other_model)

    definitions = quorvane.get_lg_model_metrics_definitions(
        session.header, session.model_id, ["drift", "fairness", "toxic-output"], session.url)

    # "drift" only has metrics under another model.
    assert definitions == {
        "fairness": [{"metric_id": fairness[0]}, {"metric_id": fairness[1]}],
        "toxic-output": [{"metric_id": session.metric_ids()[2]}],
    }
    assert list(definitions) == ["fairness", "toxic-output"]
    assert statements(session.ledgora) == [METRIC_OBJECTS_QUERY[session.mode].format(session.model_id, risk)
                                           for risk in ["drift", "fairness", "toxic-output"]]
    if session.mode == "hxd":
        # "%fa" is a valid percent escape: sent unencoded it would arrive as a byte.
        assert "%25fairness%25" in session.ledgora.calls[1].target
    assert logger.messages("debug") == [
        f"Getting Ledgora model metrics definitions, model_id: {session.model_id}",
        *["Completed fetching model metrics definitions"] * 3,
    ]


def test_definitions_without_rows_are_empty(quorvane, session):
    assert quorvane.get_lg_model_metrics_definitions(session.header, session.model_id, ["a", "b"], session.url) == {}


def test_rows_give_their_metric_id_by_position_or_by_field_name(quorvane, session):
    named = {"name": "Name", "value": "r, cards.c, score"}
    if session.mode == "cloud":
        rows = [{"fields": [{"name": "Id", "value": "first column"}, named]}, {"other": 1}]
        expected = [{"metric_id": "first column"}]
    else:
        rows = [
            {"fields": {"field": [{"name": "Resource ID", "value": "1"}, {"name": "Resource ID", "value": "2"}, named]}},
            {"fields": {"field": [named]}},
            {"fields": {"nothing": []}},
            {},
        ]
        expected = [{"metric_id": "2"}, {"metric_id": None}]
    session.ledgora.inject("query", "status", status=200, body={"rows": rows})
    assert quorvane.get_lg_model_metrics_definitions(session.header, "1", ["r"], session.url) == {"r": expected}


# Stored under one model: risks whose names hold one another, in both directions.
OVERLAPPING = ["output-bias, cards.b, score", "bias, cards.b, score", "bias, cards.b, num_of_instances",
               "bias, x, cards.b, score"]


@pytest.mark.parametrize("risk, own", [
    ("bias", ["bias, cards.b, score", "bias, cards.b, num_of_instances"]),
    ("output-bias", ["output-bias, cards.b, score"]),
    ("output_bias", []),  # "_" stands for any character in the service's pattern
    ("Bias", []),  # the pattern ignores case, risk names do not
    ("bias, x", ["bias, x, cards.b, score"]),
], ids=["part-of-another", "containing-another", "underscore", "case", "comma"])
def test_a_risk_finds_and_deletes_only_its_own_metric_objects(quorvane, session, risk, own):
    ids = {name: session.store_metric(name, 0.5) for name in OVERLAPPING}

    definitions = quorvane.get_lg_model_metrics_definitions(session.header, session.model_id, [risk], session.url)
    # The service still gets the pattern as written, and a risk with nothing of its own is no key.
    assert statements(session.ledgora) == [METRIC_OBJECTS_QUERY[session.mode].format(session.model_id, risk)]
    assert definitions == ({risk: [{"metric_id": ids[name]} for name in own]} if own else {})

    quorvane.delete_metrics_object(session.url, session.model_id, [risk], session.header)
    assert session.metric_ids() == [ids[name] for name in OVERLAPPING if name not in own]


@pytest.mark.parametrize(
    "fault, message",
    [
        (dict(kind="status", status=500, body={"error": "boom"}),
         'Ledgora API returned status code 500: {"error": "boom"}'),
        (dict(kind="status", status=201, body={"rows": []}), 'Ledgora API returned status code 201: {"rows": []}'),
        (dict(kind="not_json"), "Failed to parse Ledgora response as JSON: " + NOT_JSON_BODY[:200]),
        (dict(kind="null"), "Failed to fetch model metrics definitions from Ledgora 'NoneType' object has no attribute 'get'"),
        (dict(kind="status", status=200, body={"rows": ["text"]}),
         "Failed to fetch model metrics definitions from Ledgora 'str' object has no attribute 'get'"),
        (dict(kind="status", status=200, body={"rows": 3}),
         "Failed to fetch model metrics definitions from Ledgora object of type 'int' has no len()"),
    ],
    ids=["500", "201", "html", "null", "row-not-object", "rows-not-list"],
)
def test_definitions_failures_stop_at_the_failing_risk(quorvane, session, logger, fault, message):
    session.ledgora.inject("query", skip=1, **fault)
    with pytest.raises(Exception) as raised:
        quorvane.get_lg_model_metrics_definitions(session.header, session.model_id, ["a", "b", "c"], session.url)
    assert type(raised.value) is Exception and str(raised.value) == message
    assert logger.messages("debug")[-1] == message
    assert len(session.ledgora.calls) == 2


def test_stored_values_by_metric_name(quorvane, session, logger):
    score = session.store_metric("fairness, cards.f, score", 0.75)
    count = session.store_metric("fairness, cards.f, num_of_instances", 100)
    drift = session.store_metric("drift, cards.d, score", 0.25)
    definitions = {"fairness": [{"metric_id": score}, {"metric_id": count}], "drift": [{"metric_id": drift}],
                   "empty": []}

    values = quorvane.return_existing_metric_value(definitions, session.header, lg_url=session.url)

    # The name keeps the closing quote of the description.
    assert values == {
        "fairness": {"fairness, cards.f, score'": 0.75, "fairness, cards.f, num_of_instances'": 100},
        "drift": {"drift, cards.d, score'": 0.25},
        "empty": {},
    }
    assert statements(session.ledgora) == [METRIC_VALUES_QUERY.format(i) for i in (score, count, drift)]
    assert logger.messages("debug") == ["Metrics object is found; Fetching values."]


def test_stored_values_of_rows_without_a_description_or_value(quorvane, session):
    rows = [{"fields": [{"name": "Description", "value": "no quote"}]}, {"other": 1},
            {"fields": [{"name": "ZKR-MetricVal:Value", "value": 3}]}]
    if session.mode == "hxd":
        rows = [{"fields": {"field": row["fields"]}} if "fields" in row else row for row in rows]
    session.ledgora.inject("query", "status", status=200, body={"rows": rows})
    values = quorvane.return_existing_metric_value({"r": [{"metric_id": "1"}]}, session.header, session.url)
    # Name and value carry over from row to row.
    assert values == {"r": {"no quote": 3}}


@pytest.mark.parametrize(
    "definitions, fault, message",
    [
        ({}, None, "Unable to get model metrics definitions from ledgora"),
        ({"r": [{"metric_id": "1"}]}, dict(kind="null"), "Unable to get model metrics from Ledgora"),
        # An error answer has no rows, but is no "nothing stored".
        ({"r": [{"metric_id": "1"}]}, dict(kind="status", status=503, body={"error": "busy"}),
         'Ledgora API returned status code 503: {"error": "busy"}'),
        ({"r": [{"metric_id": "1"}]},
         dict(kind="status", status=200, body={"rows": [{"fields": [{"name": "Description", "value": 5}]}]}),
         "Unexpected error occurred when evaluating the request: 'int' object has no attribute 'split'"),
        ({"r": [{"metric_id": "1"}]}, dict(kind="status", status=200, body={"rows": ["text"]}),
         "Unexpected error occurred when evaluating the request: 'str' object has no attribute 'get'"),
    ],
    ids=["no-definitions", "null", "503", "description-not-text", "row-not-object"],
)
def test_stored_values_failures(quorvane, session, logger, definitions, fault, message):
    if fault is not None:
        session.ledgora.inject("query", **fault)
    with pytest.raises(Exception) as raised:
        quorvane.return_existing_metric_value(definitions, session.header, session.url)
    assert type(raised.value) is Exception and str(raised.value) == message
    assert logger.messages("debug")[-1] == message


@pytest.mark.parametrize("call, fault, error", [
    (lambda q, s: q.get_lg_model_id(s.header, MODEL, s.url), "not_json", requests.exceptions.JSONDecodeError),
    (lambda q, s: q.get_lg_model_metrics_definitions(s.header, s.model_id, ["a"], s.url), "drop",
     requests.ConnectionError),
    (lambda q, s: q.return_existing_metric_value({"r": [{"metric_id": "1"}]}, s.header, s.url), "not_json",
     requests.exceptions.JSONDecodeError),
], ids=["model-id", "definitions", "stored-values"])
def test_request_errors_pass_through(quorvane, session, logger, call, fault, error):
    session.ledgora.inject("query", fault)
    with pytest.raises(error):
        call(quorvane, session)
    assert len(logger.messages("debug")) == 1  # the opening line only
