"""The Ledgora emulator itself, spoken to with plain HTTP requests."""

import os
import re
import socket
import ssl
import subprocess
import sys
import threading
import urllib.request

import pytest
import requests

from vorn_metrics_plugin.ledgora_emulator import Fault, LedgoraEmulator
from vorn_metrics_plugin.ledgora_emulator.app import Call, CallLog
from vorn_metrics_plugin.ledgora_emulator.queries import like_matches

MODEL_QUERY = "SELECT [Resource ID] FROM [Model] WHERE [Name] IN ('{0}')"


def bearer(ledgora):
    token = requests.post(ledgora.iam_url, data={"apikey": "emulator-apikey",
                                                 "grant_type": "urn:vorn:params:oauth:grant-type:apikey"})
    return {"Authorization": "Bearer " + token.json()["access_token"]}


@pytest.fixture
def headers(ledgora):
    return bearer(ledgora)


def create(ledgora, payload, headers, prefix=""):
    return requests.post(ledgora.url + prefix + "/api/contents", json=payload, headers=headers)


def cloud_query(ledgora, statement, headers, skip=0):
    return requests.post(ledgora.url + "/lggrc/api/v2/query", json={"statement": statement, "skipCount": skip},
                         headers=headers)


def metric(parent, name="fairness, c, score"):
    return {"typeDefinitionId": "Metric", "primaryParentId": parent, "name": name,
            "description": f"MRA score for '{name}'", "fields": {"field": []}}


def value(parent, number=0.5):
    return {"typeDefinitionId": "MetricValue", "primaryParentId": parent, "description": "d",
            "fields": {"field": [{"name": "ZKR-MetricVal:Value", "dataType": "FLOAT_TYPE", "value": number}]}}


@pytest.mark.parametrize("method, path", [
    ("POST", "/lggrc/api/v2/query"), ("GET", "/hxd/api/query?q=x"), ("POST", "/grc/api/contents"),
    ("POST", "/api/contents"), ("DELETE", "/lggrc/api/v2/contents/10001"), ("DELETE", "/api/contents/10001"),
])
@pytest.mark.parametrize("authorization", [None, "Bearer made-up", "made-up"])
def test_grc_endpoints_want_an_issued_token(ledgora, method, path, authorization):
    ledgora.add_model("m")
    headers = {} if authorization is None else {"Authorization": authorization}
    answer = requests.request(method, ledgora.url + path, headers=headers, json={})
    assert answer.status_code == 401 and "error" in answer.json()
    assert len(ledgora.records()) == 1


@pytest.mark.parametrize("statement", [
    "SELECT * FROM [Model]",
    "SELECT [Resource ID] FROM [Model] WHERE [Name] IN ('O'Brien')",  # quote not doubled
    "SELECT [Owner] FROM [Model] WHERE [Name] IN ('m')",
    "DELETE FROM [Model]",
    "",
])
def test_statements_it_cannot_read_are_a_400(ledgora, headers, statement):
    answer = cloud_query(ledgora, statement, headers)
    assert answer.status_code == 400 and answer.json()["error"]
    hxd = requests.get(ledgora.hxd_url + "/api/query", params={"q": statement}, headers=headers)
    assert hxd.status_code == 400 and hxd.json()["error"]


def test_query_layouts_quotes_like_and_skip_count(ledgora, headers):
    model = ledgora.add_model("O'Brien")
    first = create(ledgora, metric(model, "Fairness, a, score"), headers, "/grc")
    second = create(ledgora, metric(model, "unfair-ess, b, score"), headers)
    ids = [first.json()["id"], second.json()["id"]]
    assert all(re.fullmatch(r"\d+", i) for i in ids)

    found = cloud_query(ledgora, MODEL_QUERY.format("O''Brien"), headers).json()
    assert found["rows"] == [{"fields": [{"name": "Resource ID", "value": model}]}]
    like = (f"SELECT [Metric].[Resource ID] FROM [Model] JOIN [Metric] ON PARENT([Model]) "
            f"WHERE [Model].[Resource ID]='{model}' AND [Metric].[Description] LIKE '%fair_ess%'")
    hxd = requests.get(ledgora.hxd_url + "/api/query", params={"q": like}, headers=headers).json()
    # LIKE ignores case; "_" stands for one character.
    assert hxd["rows"] == [{"fields": {"field": [{"name": "Resource ID", "value": i}]}} for i in ids]
    assert cloud_query(ledgora, like, headers, skip=1).json()["rows"] == [{"fields": [{"name": "Resource ID", "value": ids[1]}]}]


@pytest.mark.parametrize("pattern, text, matches", [
    ("abc", "ABC", True), ("a_c", "abc", True), ("a_c", "ac", False), ("%", "", True),
    ("a%a", "a", False), ("a%a", "aa", True), ("%aa%aa%", "aaa", False), ("%aa%aa%", "aaaa", True),
    ("%b%", "ab\nc", True), ("%a" * 8 + "%x", "a" * 60, False), ("%a" * 8 + "%x", "a" * 60 + "x", True),
])
def test_like_patterns(pattern, text, matches):
    assert like_matches(pattern, text) is matches


@pytest.mark.parametrize("payload, status", [
    (lambda model, metric_id: metric("99999"), 404),
    (lambda model, metric_id: metric(metric_id), 404),  # a metric under a metric
    (lambda model, metric_id: value(model), 404),  # a value under a model
    (lambda model, metric_id: {**metric(model), "name": ""}, 400),
    (lambda model, metric_id: {**metric(model), "fields": [{"name": "x"}]}, 400),
    (lambda model, metric_id: value(metric_id, "0.5"), 400),
    (lambda model, metric_id: {**value(metric_id), "typeDefinitionId": "Model"}, 400),
    (lambda model, metric_id: [1], 400),
])
def test_creation_refuses_records_it_cannot_place(ledgora, headers, payload, status):
    model = ledgora.add_model("m")
    metric_id = create(ledgora, metric(model), headers).json()["id"]
    answer = create(ledgora, payload(model, metric_id), headers)
    assert answer.status_code == status and "id" not in answer.json()
    assert len(ledgora.records()) == 2


FULL_WIDTH_FIRST_ID = "\uff11\uff10\uff10\uff10\uff11"  # the first record's id, 10001, in full-width digits
TOO_LARGE_ID = str(2**63)  # beyond SQLite's integer range
DEEP_JSON = b"[" * 200_000 + b"]" * 200_000


@pytest.mark.parametrize("method, path, body, status", [
    ("DELETE", "/api/contents/" + FULL_WIDTH_FIRST_ID, None, 404),
    ("DELETE", "/lggrc/api/v2/contents/" + TOO_LARGE_ID, None, 404),
    ("POST", "/api/contents", metric(FULL_WIDTH_FIRST_ID), 404),
    ("POST", "/api/contents", metric(TOO_LARGE_ID), 404),
    ("POST", "/api/contents", metric(2**64), 404),
    ("POST", "/api/contents", DEEP_JSON, 400),
    ("POST", "/api/contents", {**value("10001"), "name": ["not", "text"]}, 400),
    ("POST", "/lggrc/api/v2/query", DEEP_JSON, 400),
    ("POST", "/lggrc/api/v2/query", {"statement": "SELECT [MetricValue].[*]  FROM [Metric] JOIN [MetricValue] "
                                     f"ON PARENT([Metric]) WHERE [Metric].[Resource ID]='{TOO_LARGE_ID}'"}, 200),
    ("POST", "/_emulator/models", DEEP_JSON, 400),
])
def test_bad_ids_and_bodies_get_a_json_answer_and_change_nothing(ledgora, headers, method, path, body, status):
    assert ledgora.add_model("m") == "10001"
    sent = {"data": body} if isinstance(body, bytes) else {"json": body}
    answer = requests.request(method, ledgora.url + path, headers=headers, **sent)
    assert answer.status_code == status
    assert answer.json() == {"rows": [], "rowCount": 0, "skipCount": 0} if status == 200 else answer.json()["error"]
    assert [record.id for record in ledgora.records()] == ["10001"]


@pytest.mark.parametrize("create_path, delete_path", [
    ("/grc/api/contents", "/lggrc/api/v2/contents/"), ("/hxd/api/contents", "/hxd/api/contents/"),
])
def test_values_written_while_their_metric_is_deleted_never_outlive_it(ledgora, headers, create_path, delete_path):
    model = ledgora.add_model("m")
    statuses = []
    for _ in range(8):  # the race is lost at random: run it many times
        metric_ids = [create(ledgora, metric(model), headers).json()["id"] for _ in range(5)]
        start = threading.Barrier(5)

        def send(method, paths):
            with requests.Session() as session:
                start.wait()
                for path, payload in paths:
                    answer = session.request(method, ledgora.url + path, json=payload, headers=headers)
                    statuses.append(answer.status_code)

        writers = [threading.Thread(target=send, args=("POST", [(create_path, value(i)) for i in metric_ids]))
                   for _ in range(4)]
        deleter = threading.Thread(target=send, args=("DELETE", [(delete_path + i, None) for i in metric_ids]))
        for thread in (*writers, deleter):
            thread.start()
        for thread in (*writers, deleter):
            thread.join()
    records = ledgora.records()
    assert {record.parent_id for record in records} <= {None, *(record.id for record in records)}
    assert set(statuses) <= {201, 204, 404} and ledgora.records("Metric") == []


def _call(body):
    return Call("query", "POST", "/", "/", {}, {}, body)


@pytest.mark.parametrize("max_calls, max_bytes, bodies, kept", [
    (3, 100, [b"a", b"b", b"c", b"d", b"e"], [b"c", b"d", b"e"]),
    (10, 5, [b"aa", b"bbb", b"cc"], [b"bbb", b"cc"]),
    (10, 5, [b"aa", b"bbbbbbbb"], [b"bbbbbbbb"]),  # the latest call is kept whatever its size
])
def test_call_log_keeps_the_latest_calls(max_calls, max_bytes, bodies, kept):
    log = CallLog(max_calls, max_bytes)
    for body in bodies:
        log.add(_call(body))
    assert [call.body for call in log.all()] == kept
    log.clear()
    log.add(_call(b"x" * max_bytes))
    assert len(log.all()) == 1  # clearing also forgets the bytes counted


def test_deleting_a_metric_deletes_its_values(ledgora, headers):
    model = ledgora.add_model("m")
    metric_id = create(ledgora, metric(model), headers).json()["id"]
    create(ledgora, value(metric_id), headers)
    assert requests.delete(f"{ledgora.url}/x/lggrc/api/v2/contents/{metric_id}", headers=headers).status_code == 204
    assert [record.type for record in ledgora.records()] == ["Model"]
    assert requests.delete(f"{ledgora.url}/api/contents/{metric_id}", headers=headers).status_code == 404


def test_records_outlive_the_emulator_in_a_file(tmp_path):
    database = str(tmp_path / "records.sqlite")
    with LedgoraEmulator(database) as ledgora:
        model = ledgora.add_model("m")
        create(ledgora, metric(model), bearer(ledgora))
    with LedgoraEmulator(database) as ledgora:
        assert ledgora.add_model("m") == model  # registered once
        assert [record.name for record in ledgora.records("Metric")] == ["fairness, c, score"]
        assert int(ledgora.add_model("n")) > int(ledgora.records("Metric")[0].id)


def test_faults_skip_and_repeat(ledgora, headers):
    ledgora.inject("query", "status", status=502, skip=1, times=2)
    statuses = [cloud_query(ledgora, MODEL_QUERY.format("m"), headers).status_code for _ in range(4)]
    assert statuses == [200, 502, 502, 200]
    assert [call.status for call in ledgora.calls_to("query")] == statuses


@pytest.mark.parametrize("fault", [
    dict(endpoint="queries", kind="status"), dict(endpoint="query", kind="slow"),
    dict(endpoint="query", kind="status", status=99), dict(endpoint="query", kind="null", times=0),
])
def test_faults_are_checked(fault):
    with pytest.raises(ValueError):
        Fault(**fault)


def test_admin_endpoints(ledgora):
    model = requests.post(ledgora.url + "/_emulator/models", json={"name": "m"})
    assert model.status_code == 201
    fault = requests.post(ledgora.url + "/_emulator/faults", json={"endpoint": "query", "kind": "null"})
    assert fault.status_code == 201 and fault.json() == {"pending": 1}
    assert requests.post(ledgora.url + "/_emulator/faults", json={"endpoint": "x", "kind": "null"}).status_code == 400
    assert cloud_query(ledgora, MODEL_QUERY.format("m"), bearer(ledgora)).json() is None
    records = requests.get(ledgora.url + "/_emulator/records").json()["records"]
    assert [(record["type"], record["name"], record["id"]) for record in records] == [("Model", "m", model.json()["id"])]
    requests.post(ledgora.url + "/_emulator/faults", json={"endpoint": "query", "kind": "drop"})
    assert requests.delete(ledgora.url + "/_emulator/faults").status_code == 204
    assert ledgora.faults.pending == []


def test_login_endpoint_speaks_tls_with_its_own_certificate(ledgora):
    url = f"https://{ledgora.hxd_host}/tarvex-api/v1/authorize"
    body = b'{"username": "emulator-user", "api_key": "emulator-hxd-apikey"}'
    with pytest.raises(urllib.request.URLError) as raised:
        urllib.request.urlopen(url, data=body)
    assert isinstance(raised.value.reason, ssl.SSLCertVerificationError)

    trusting = ssl.create_default_context(cadata=ledgora.certificate_pem.decode())
    with urllib.request.urlopen(url, data=body, context=trusting) as answer:
        assert answer.status == 200 and b'"token"' in answer.read()


def test_command_line_serves_until_stopped(tmp_path):
    database = tmp_path / "records.sqlite"
    process = subprocess.Popen(
        [sys.executable, "-m", "vorn_metrics_plugin.ledgora_emulator", "--port", "0", "--tls-port", "0",
         "--db", str(database), "--model", "my model", "--quiet"],
        stdout=subprocess.PIPE, text=True,
    )
    try:
        lines = []
        while not lines or not lines[-1].startswith("Stop with"):
            line = process.stdout.readline()
            assert line, "the emulator ended early: " + "".join(lines)
            lines.append(line.rstrip("\n"))
        url = re.search(r"lg_url, cloud login: +(\S+)", "\n".join(lines))[1]
        records = requests.get(url + "/_emulator/records").json()["records"]
        assert [record["name"] for record in records] == ["my model"]
        assert f"  VORN_IAM_URL:                 {url}/identity/token" in lines
    finally:
        process.terminate()
        remaining, _ = process.communicate(timeout=30)
    assert process.returncode == 0 and remaining == "Ledgora emulator stopped.\n"
    assert database.exists()


@pytest.mark.parametrize("arguments, reason", [
    (lambda busy, root: ["--port", str(busy)], r"cannot listen on 127\.0\.0\.1:\d+: Address already in use"),
    (lambda busy, root: ["--tls-port", str(busy)], r"cannot listen on 127\.0\.0\.1:\d+: Address already in use"),
    (lambda busy, root: ["--db", str(root / "missing" / "r.sqlite")], "cannot use the records file .*: unable to open"),
    (lambda busy, root: ["--db", str(root / "not-a-database")], "cannot use the records file .*: file is not a"),
])
def test_command_line_reports_what_keeps_it_from_starting_in_one_line(tmp_path, arguments, reason):
    (tmp_path / "not-a-database").write_text("not a database " * 100)
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        result = subprocess.run(
            [sys.executable, "-m", "vorn_metrics_plugin.ledgora_emulator", "--port", "0", "--tls-port", "0",
             *arguments(taken.getsockname()[1], tmp_path)],
            capture_output=True, text=True, timeout=60,
            env={**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)},
        )
    assert (result.returncode, result.stdout) == (1, "")
    assert re.fullmatch("error: " + reason + r".*\n", result.stderr)
