"""Remote services and outside libraries faked for the fuzz and leak runs.

Every fake answers from a script drawn by hypothesis (or given by a leak
run): responses with any status, bodies that are no JSON or JSON of the wrong
shape, connections that fail, clients whose calls raise. Nothing here opens a
socket or writes a file.
"""

import json
from itertools import cycle

import requests
from hypothesis import strategies as st

from tests.support.hardening import values


class Failure:
    """An error a fake raises: a new exception object each time, as a real
    failure is (raising one object again would grow its traceback)."""

    def __init__(self, cls, message):
        self.cls, self.message = cls, message

    def __call__(self, *args, **kwargs):
        raise self.cls(self.message)

    def __repr__(self):
        return f"Failure({self.cls.__name__}, {self.message!r})"


class Response:
    """What requests.get/post/... return: status, JSON body (or none), text."""

    def __init__(self, status_code=200, body=None, text="", json_fails=False):
        self.status_code = status_code
        self.body = body
        self.text = text
        self.json_fails = json_fails
        self.content = text.encode("utf-8", "replace") if isinstance(text, str) else b""
        self.ok = isinstance(status_code, int) and status_code < 400

    def json(self, **kwargs):
        if self.json_fails:
            raise requests.exceptions.JSONDecodeError("Expecting value", "<html>", 0)
        return self.body

    def raise_for_status(self):
        if not self.ok:
            raise requests.exceptions.HTTPError(f"{self.status_code} Error", response=self)


class Requests:
    """A stand-in for the requests module whose calls follow a script: each
    step is a Response to return, an exception to raise or a callable."""

    exceptions = requests.exceptions

    def __init__(self, script):
        self.steps = cycle(script or [Response()])

    def _answer(self, *args, **kwargs):
        step = next(self.steps)
        if callable(step) and not isinstance(step, Response):
            return step(*args, **kwargs)
        return step

    get = post = put = delete = patch = request = _answer


class HttpsConnection:
    """http.client.HTTPSConnection of the data-platform login."""

    def __init__(self, status, data, fail):
        self.status, self.data, self.fail = status, data, fail

    def __call__(self, host, **kwargs):
        return self

    def request(self, *args, **kwargs):
        if self.fail is not None:
            self.fail()

    def getresponse(self):
        return self

    def read(self):
        return self.data


class Http:
    def __init__(self, connection):
        self.client = type("client", (), {"HTTPSConnection": connection})()


class InferenceClient:
    """The inference client class: construction and generate_text follow a script."""

    def __init__(self, construction_error, answers):
        self.construction_error = construction_error
        self.answers = cycle(answers or [None])

    def __call__(self, *args, **kwargs):
        if self.construction_error is not None:
            self.construction_error()
        return self

    def generate_text(self, *args, **kwargs):
        answer = next(self.answers)
        if answer is interrupting or isinstance(answer, Failure):
            answer()
        return answer


def interrupting(*args, **kwargs):
    """A remote call interrupted by the user (Ctrl-C while waiting)."""
    raise values.tripwire.interrupt("a remote service")


# ---------------------------------------------------------------------------
# Strategies

json_like = st.recursive(
    st.one_of(st.none(), st.booleans(), values.integers, values.floats, values.texts),
    lambda inner: st.one_of(st.lists(inner, max_size=4),
                            st.dictionaries(st.sampled_from(["rows", "fields", "field", "name", "value",
                                                             "token", "access_token", "id", "objects",
                                                             "Resource ID", "errors", "message"]),
                                            inner, max_size=5)),
    max_leaves=12,
)

errors = st.sampled_from([
    Failure(requests.exceptions.ConnectionError, "refused"), Failure(requests.exceptions.Timeout, "slow"),
    Failure(requests.exceptions.HTTPError, "503 Service Unavailable"), Failure(ValueError, "odd"),
    Failure(OSError, "down"), Failure(RuntimeError, "503 gateway time-out"),
])

responses = st.builds(
    Response,
    status_code=st.one_of(st.sampled_from([200, 201, 204, 400, 401, 404, 500, 503]), values.anything),
    body=st.one_of(json_like, values.anything),
    text=st.one_of(values.texts, values.anything),
    json_fails=st.booleans(),
)

request_steps = st.one_of(responses, responses, responses, errors, st.just(interrupting))

fake_requests = st.builds(Requests, st.lists(request_steps, min_size=1, max_size=4))

fake_http = st.builds(
    lambda status, data, fail: Http(HttpsConnection(status, data, fail)),
    st.one_of(st.sampled_from([200, 401, 500]), values.anything),
    st.one_of(st.builds(lambda body: json.dumps(body).encode(), json_like), values.bad_hdf5, values.anything),
    st.one_of(st.none(), st.none(), errors),
)

fake_inference = st.builds(
    InferenceClient,
    st.one_of(st.none(), st.none(), st.none(), errors),
    st.lists(st.one_of(values.texts, values.anything, errors, st.just(interrupting)), max_size=3),
)
