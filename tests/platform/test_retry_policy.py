"""Retries of refused requests, through the scoring function against a local service."""

import email.utils
import time

import pandas as pd
import pytest

from tests.support.completion_server import DROP, ScriptedResponse, running_completion_server
from vorn_metrics_plugin.mra.completion_scoring import CompletionScoringFunction
from vorn_orvia_ai.qrm_client_error import ApiRequestFailure, RetryLimitReached
from vorn_orvia_ai.retry_policy import RetryPolicy, retry_after_seconds


def in_seconds(seconds):
    """A Retry-After header holding the HTTP date ``seconds`` from when the test runs."""
    return lambda: {"Retry-After": email.utils.formatdate(time.time() + seconds, usegmt=True)}


@pytest.mark.parametrize(
    "headers, retry, low, high",
    [
        ({"Retry-After": "0"}, 1, 0, 0),
        ({"retry-after": "2.5"}, 4, 2.5, 2.5),
        (in_seconds(20), 1, 18, 20),
        (in_seconds(-60), 1, 0, 0),  # a date gone by: at once
        # no usable header: exponential back-off with jitter, capped at 30 s
        ({"Retry-After": "soon"}, 1, 0.5, 1),
        ({"Retry-After": "inf"}, 1, 0.5, 1),
        ({"Retry-After": "1e12"}, 1, 0.5, 1),  # more than a thread can wait
        ({}, 3, 2, 4),
        ({}, 12, 15, 30),
    ],
)
def test_wait_before_a_retry(headers, retry, low, high):
    error = ApiRequestFailure("refused", status_code=429, headers=headers() if callable(headers) else headers)
    waits = [RetryPolicy().wait_before(error, retry) for _ in range(20)]
    assert all(low <= wait <= high for wait in waits)


def rate_limited(retry_after="0"):
    return ScriptedResponse(429, {"error": {"message": "slow down"}}, {"Retry-After": retry_after})


def failing(status):
    return ScriptedResponse(status, {"error": {"message": f"status {status}"}})


@pytest.mark.parametrize(
    "script, max_retries, sent, retries, error",
    [
        ([rate_limited()], 5, 2, 1, None),
        ([failing(502), failing(503), failing(504)], 5, 4, 3, None),
        ([DROP], 1, 2, 1, None),
        ([rate_limited()] * 3, 2, 3, 2, "gave up after 3 tries, the last ending in HTTP 429: .*slow down"),
        ([failing(503)], 0, 1, 0, "gave up after 1 try, the last ending in HTTP 503: 503 Service Unavailable"),
        ([failing(500)], 5, 1, 0, "^Inference request failed with HTTP 500"),  # not retried
    ],
)
def test_refused_requests_are_retried_until_answered_or_out_of_retries(script, max_retries, sent, retries, error):
    with running_completion_server() as server:
        for response in script:
            server.enqueue(response.status, response.body, response.headers)
        score = CompletionScoringFunction(server.url, "m", api="chat",
                                          retry_policy=RetryPolicy(max_retries, first_backoff=0.01))
        if error is None:
            assert score.answer(["q"]) == ["completion of: q"]
        else:
            with pytest.raises(ApiRequestFailure, match=error) as raised:
                score.answer(["q"])
            assert isinstance(raised.value, RetryLimitReached) == (retries == max_retries)
        assert len(server.requests) == score.usage.requests == sent
    assert score.usage.retries == retries


def test_a_failed_prompt_abandons_the_prompts_waiting_to_retry():
    def responder(request):
        if request.json["prompt"] == "slow down":
            return rate_limited("30")
        time.sleep(0.3)  # the other prompt is waiting for its retry by now
        return failing(500)

    with running_completion_server(responder) as server:
        score = CompletionScoringFunction(server.url, "m", max_concurrency=2)
        started = time.monotonic()
        with pytest.raises(ApiRequestFailure, match="HTTP 500") as raised:
            score(pd.DataFrame(["slow down", "fail"]))
        assert time.monotonic() - started < 10  # not the 30 s the service asked for
        assert len(server.requests) == 2
    assert raised.value.__notes__ == ["while answering prompt 2 of 2"]
