import http.client
import json

import pytest
import requests

from grc_support import MODEL_ID_QUERY, bare_evaluator, spy_on_network
from tests.support.completion_server import unused_port

GRANT_TYPE = "urn:vorn:params:oauth:grant-type:apikey"


def login(quorvane, credentials):
    return bare_evaluator(quorvane, credentials).connect_to_ledgora()


def token_is_accepted(ledgora, header):
    answer = requests.post(
        ledgora.url + "/lggrc/api/v2/query",
        json={"statement": MODEL_ID_QUERY["cloud"].format("m"), "skipCount": 0},
        headers=header,
    )
    return answer.status_code == 200


@pytest.mark.parametrize(
    "mode, log",
    [
        ("cloud", ["Attempting to connect to Ledgora using cloud credentials", "Using IAM URL: {iam}",
                   "Successfully obtained access token from Vorn Cloud IAM"]),
        ("hxd", ["Connecting to Ledgora using HXD credentials", "Successfully connected to Ledgora"]),
    ],
)
def test_login_gives_the_three_headers_with_an_issued_token(quorvane, ledgora, logger, mode, log):
    header = login(quorvane, ledgora.credentials(mode=mode))
    (call,) = ledgora.calls  # one login call, to the mode's own service
    assert call.endpoint == {"cloud": "token", "hxd": "authorize"}[mode]
    if mode == "cloud":  # the token request is a form post
        assert list(call.form.items()) == [("apikey", "emulator-apikey"), ("grant_type", GRANT_TYPE)]
        assert call.header("Content-Type") == "application/x-www-form-urlencoded"
        assert call.header("Cache-Control") == "no-cache"

    assert list(header) == ["Content-Type", "Accept", "Authorization"]
    assert header["Content-Type"] == header["Accept"] == "application/json"
    assert header["Authorization"].startswith("Bearer ")
    assert token_is_accepted(ledgora, header)
    assert logger.messages("debug") == [line.format(iam=ledgora.iam_url) for line in log]


@pytest.mark.parametrize("url", [
    f"http://127.0.0.1:{unused_port()}/hxd",  # nothing listens on the GRC host: login goes to the login host
    "{ledgora}/HXD", "{ledgora}/grc/Hxd/x",  # the data platform marker is found in any case
])
def test_hxd_login_goes_to_the_login_host(quorvane, ledgora, url):
    credentials = {**ledgora.credentials(mode="hxd"), "lg_url": url.format(ledgora=ledgora.url)}
    header = login(quorvane, credentials)

    assert token_is_accepted(ledgora, header)
    assert [call.endpoint for call in ledgora.calls] == ["authorize", "query"]
    call = ledgora.calls[0]
    assert (call.method, call.target) == ("POST", "/tarvex-api/v1/authorize")
    assert call.body == b'{"username": "emulator-user", "api_key": "emulator-hxd-apikey"}'
    assert call.headers["Content-Type"] == "application/json"
    assert call.headers["Cache-Control"] == "no-cache"


@pytest.mark.parametrize("url", [None, b"https://grc.example/hxd"], ids=["missing", "bytes"])
def test_a_url_that_is_no_text_is_taken_for_neither_mode(quorvane, ledgora, logger, url):
    credentials = {"lg_apikey": "emulator-apikey"} if url is None else {"lg_url": url}
    with pytest.raises(TypeError, match='^"lg_url" of system_credentials must be a string'):
        login(quorvane, credentials)
    assert ledgora.calls == [] and logger.records == []


CONNECTING = "Connecting to Ledgora using HXD credentials"
CONNECTED = "Successfully connected to Ledgora"
REFUSED = "Unable to connect to Ledgora; error code:{}"

# (fault or credential change, expected exception type, its message or None,
# the debug lines logged)
HXD_FAILURES = [
    ({"lg_hxd_apikey": "wrong"}, Exception, REFUSED.format(401), [CONNECTING, REFUSED.format(401)]),
    ({"lg_username": None}, Exception, REFUSED.format(401), [CONNECTING, REFUSED.format(401)]),
    (dict(kind="status", status=201, body={"token": "t"}), Exception, REFUSED.format(201),
     [CONNECTING, REFUSED.format(201)]),
    (dict(kind="status", status=200, body={"access": "t"}), KeyError, None, [CONNECTING, CONNECTED]),
    (dict(kind="not_json"), json.JSONDecodeError, None, [CONNECTING, CONNECTED]),
    (dict(kind="null"), TypeError, None, [CONNECTING, CONNECTED]),
    (dict(kind="drop"), http.client.RemoteDisconnected, None, [CONNECTING]),
    # A closed login port raises the socket error itself.
    ({"lg_hxd_host": f"127.0.0.1:{unused_port()}"}, ConnectionRefusedError, None, [CONNECTING]),
]


@pytest.mark.parametrize("change, error, message, log", HXD_FAILURES)
def test_hxd_login_failures(quorvane, ledgora, logger, change, error, message, log):
    credentials = ledgora.credentials(mode="hxd")
    if "kind" in change:
        ledgora.inject("authorize", **change)
    else:
        credentials.update(change)

    with pytest.raises(error) as raised:
        login(quorvane, credentials)

    assert type(raised.value) is error
    if message is not None:
        assert str(raised.value) == message
    assert logger.messages("debug") == log


AUTH_FAILED = "Failed to authenticate with Vorn Cloud IAM: "

CLOUD_FAILURES = [
    ({"lg_apikey": "wrong"}, AUTH_FAILED + "401 Client Error: UNAUTHORIZED for url: {iam}",
     requests.HTTPError),
    (dict(kind="status", status=500), AUTH_FAILED + "500 Server Error: INTERNAL SERVER ERROR for url: {iam}",
     requests.HTTPError),
    (dict(kind="status", status=200, body={"access_token": ""}),
     "Failed to retrieve access token from Vorn Cloud IAM", None),
    (dict(kind="status", status=200, body={"token_type": "Bearer"}),
     "Failed to retrieve access token from Vorn Cloud IAM", None),
    (dict(kind="not_json"), AUTH_FAILED + "Expecting value: line 1 column 1 (char 0)",
     requests.exceptions.JSONDecodeError),
    (dict(kind="drop"), AUTH_FAILED + "('Connection aborted.', RemoteDisconnected('Remote end closed "
     "connection without response'))", requests.ConnectionError),
]


@pytest.mark.parametrize("change, message, cause", CLOUD_FAILURES)
def test_cloud_login_failures(quorvane, ledgora, logger, change, message, cause):
    credentials = ledgora.credentials()
    if "kind" in change:
        ledgora.inject("token", **change)
    else:
        credentials.update(change)

    with pytest.raises(Exception) as raised:
        login(quorvane, credentials)

    message = message.format(iam=ledgora.iam_url)
    assert type(raised.value) is Exception
    assert str(raised.value) == message
    assert logger.messages("debug")[-1] == message
    # The request error stays attached as the context it was raised in.
    if cause is None:
        assert raised.value.__context__ is None
    else:
        assert isinstance(raised.value.__context__, cause)


def test_cloud_login_without_an_identity_service(quorvane, ledgora, logger, monkeypatch):
    monkeypatch.delenv("VORN_IAM_URL")
    message = "Unable to determine IAM URL for the provided Ledgora URL"
    with pytest.raises(Exception, match=f"^{message}$") as raised:
        login(quorvane, ledgora.credentials())
    assert type(raised.value) is Exception
    assert logger.messages("debug") == ["Attempting to connect to Ledgora using cloud credentials", message]
    assert ledgora.calls == []


def test_cloud_token_answer_null_is_not_a_token(quorvane, ledgora):
    ledgora.inject("token", "null")
    with pytest.raises(AttributeError):
        login(quorvane, ledgora.credentials())


@pytest.mark.parametrize("mode", ["cloud", "hxd"])
def test_each_login_is_a_new_token_and_cannot_wait_forever(quorvane, ledgora, monkeypatch, mode):
    network = spy_on_network(quorvane, monkeypatch)
    evaluator = bare_evaluator(quorvane, ledgora.credentials(mode=mode))
    first, second = evaluator.connect_to_ledgora(), evaluator.connect_to_ledgora()
    assert first["Authorization"] != second["Authorization"]
    assert "Authorization" not in vars(evaluator) and len(ledgora.calls) == 2
    assert [call[2]["timeout"] for call in network] == [300, 300]
