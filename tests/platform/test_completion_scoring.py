import pickle
import signal
import threading
import time

import pandas as pd
import pytest

from tests.support.completion_server import (
    ScriptedResponse,
    answer_body,
    completion_body,
    prompt_of,
    running_completion_server,
    unused_port,
)
from vorn_metrics_plugin.mra.answer_cache import AnswerCache
from vorn_metrics_plugin.mra.completion_scoring import CompletionScoringFunction
from vorn_orvia_ai.qrm_client_error import ApiRequestFailure, InvalidCredentialsError, ServiceConnectionError


class InFlightGate:
    """Holds each request until `expected` (or all that are left) are in flight, or a while has passed;
    records the most requests seen at once, and answers later prompts first (out of order)."""

    def __init__(self, expected, total, patience=2.0):
        self.expected, self.total, self.patience = expected, total, patience
        self.in_flight = self.peak = self.answered = 0
        self.answer_order = []
        self.condition = threading.Condition()

    def __call__(self, request):
        prompt = prompt_of(request)
        number = int(prompt.split()[-1])
        with self.condition:
            self.in_flight += 1
            self.peak = max(self.peak, self.in_flight)
            self.condition.notify_all()
            self.condition.wait_for(
                lambda: self.in_flight >= min(self.expected, self.total - self.answered), timeout=self.patience
            )
        time.sleep(0.005 * (self.total - number))  # higher-numbered prompts are answered first
        with self.condition:
            self.in_flight -= 1
            self.answered += 1
            self.answer_order.append(number)
            self.condition.notify_all()
        return ScriptedResponse(200, answer_body(request, f"answer to {prompt}"))


def frame(count):
    return pd.DataFrame({"source": [f"prompt {i}" for i in range(count)], "other": range(count)})


@pytest.mark.parametrize("bound, prompts, api", [(None, 20, "completions"), (3, 10, "chat"), (1, 3, "chat")])
def test_requests_run_concurrently_up_to_the_bound_and_keep_the_order(bound, prompts, api):
    expected = 8 if bound is None else bound
    gate = InFlightGate(expected, prompts)
    with running_completion_server(gate) as server:
        options = {} if bound is None else {"max_concurrency": bound}
        score = CompletionScoringFunction(server.url, "vorn/tiny", "key", api=api, **options)
        result = score(frame(prompts))
    assert list(result.columns) == ["generated_text"]
    assert result["generated_text"].tolist() == [f"answer to prompt {i}" for i in range(prompts)]
    assert gate.peak == expected
    # The server answered out of order whenever requests overlapped.
    assert (gate.answer_order != sorted(gate.answer_order)) == (expected > 1)


def test_requests_carry_the_model_key_and_parameters(completion_server):
    score = CompletionScoringFunction(completion_server.url + "/v1", "vorn/tiny", "secret",
                                      params={"max_new_tokens": 5}, project_id="p-1")
    assert score(frame(2))["generated_text"].tolist() == ["completion of: prompt 0", "completion of: prompt 1"]
    sent = sorted(completion_server.requests, key=lambda r: r.json["prompt"])
    assert [r.json["prompt"] for r in sent] == ["prompt 0", "prompt 1"]
    assert all(r.path == "/v1/completions" and r.json["model"] == "vorn/tiny" and r.json["max_tokens"] == 5
               and r.header("Authorization") == "Bearer secret" and r.header("X-Vorn-Project-Id") == "p-1"
               for r in sent)


@pytest.mark.parametrize("count", [0, 1])
def test_an_endpoint_without_key_is_asked_once_per_prompt(completion_server, count):
    result = CompletionScoringFunction(completion_server.url, "m")(frame(count))
    assert list(result.columns) == ["generated_text"]
    assert result["generated_text"].tolist() == [f"completion of: prompt {i}" for i in range(count)]
    assert len(completion_server.requests) == count


def test_the_first_failing_prompt_is_reported_and_no_answers_are_returned():
    def responder(request):
        prompt = request.json["prompt"]
        if prompt in ("prompt 5", "prompt 7"):
            return ScriptedResponse(500, {"error": {"message": f"cannot answer {prompt}"}})
        return ScriptedResponse(200, completion_body("fine"))

    with running_completion_server(responder) as server:
        score = CompletionScoringFunction(server.url, "m", "k", max_concurrency=4)
        with pytest.raises(ApiRequestFailure) as raised:
            score(frame(40))
        sent = {r.json["prompt"] for r in server.requests}
    assert "cannot answer prompt 5" in str(raised.value)
    assert raised.value.__notes__ == ["while answering prompt 6 of 40"]
    # Every earlier prompt was sent; the rest were dropped once the failure was seen.
    assert {f"prompt {i}" for i in range(6)} <= sent
    assert len(sent) < 40


def test_cached_answers_are_taken_and_each_new_answer_is_stored(tmp_path):
    broken = {"prompt 3"}

    def responder(request):
        prompt = prompt_of(request)
        if prompt in broken:
            return ScriptedResponse(500, {"error": {"message": "model crashed"}})
        return ScriptedResponse(200, answer_body(request, f"answer to {prompt}"))

    def sent_since(start):
        return sorted(prompt_of(request) for request in server.requests[start:])

    with running_completion_server(responder) as server, AnswerCache(tmp_path / "answers.sqlite") as cache:
        first = CompletionScoringFunction(server.url, "m", "key-1", api="chat", cache=cache, max_concurrency=1)
        with pytest.raises(ApiRequestFailure, match="model crashed"):
            first(frame(6))
        assert sent_since(0) == ["prompt 0", "prompt 1", "prompt 2", "prompt 3"]
        broken.clear()
        # Another API key finds the same answers: the key is no part of what decides an answer.
        second = CompletionScoringFunction(server.url, "m", "key-2", api="chat", cache=cache)
        for expected_sent in (["prompt 3", "prompt 4", "prompt 5"], []):
            start = len(server.requests)
            assert second(frame(6))["generated_text"].tolist() == [f"answer to prompt {i}" for i in range(6)]
            assert sent_since(start) == expected_sent
    assert (second.usage.requests, second.usage.cached) == (3, 3 + 6)


def test_a_copy_in_another_process_answers_from_the_same_cache(completion_server, tmp_path):
    with AnswerCache(tmp_path / "answers.sqlite") as cache:
        score = CompletionScoringFunction(completion_server.url, "m", cache=cache)
        score(frame(2))
        copy = pickle.loads(pickle.dumps(score))  # as a task of a Dask cluster gets it
        assert copy(frame(3))["generated_text"].tolist() == [f"completion of: prompt {i}" for i in range(3)]
    assert (len(completion_server.requests), copy.usage.requests, copy.usage.cached) == (3, 2 + 1, 2)


@pytest.mark.skipif(threading.current_thread() is not threading.main_thread(), reason="signals go to the main thread")
def test_an_interrupt_gives_up_the_requests_in_flight_and_cuts_their_connections():
    released, signalled = threading.Event(), []

    def never_answering(request):
        released.wait(60)
        return ScriptedResponse(200, answer_body(request, "too late"))

    def interrupt_once_four_are_in_flight():
        deadline = time.monotonic() + 30
        while len(server.requests) < 4 and time.monotonic() < deadline:
            time.sleep(0.01)
        signalled.append(time.monotonic())
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    def scoring_threads():
        return [thread for thread in threading.enumerate() if thread.name.startswith("scoring-")]

    with running_completion_server(never_answering) as server:
        score = CompletionScoringFunction(server.url, "m", max_concurrency=4)
        threading.Thread(target=interrupt_once_four_are_in_flight, daemon=True).start()
        with pytest.raises(KeyboardInterrupt):
            score(frame(10))
        interrupted = time.monotonic()
        assert interrupted - signalled[0] < 5  # not waiting for the answers
        # The server never answers: the requests end only because their connections were cut.
        while scoring_threads() and time.monotonic() - interrupted < 5:
            time.sleep(0.01)
        assert scoring_threads() == []
        assert len(server.requests) == 4  # the prompts not yet sent stay unsent
        released.set()


def test_unreachable_endpoint_fails_with_the_clients_error():
    score = CompletionScoringFunction(f"http://127.0.0.1:{unused_port()}", "m", "k")
    with pytest.raises(ServiceConnectionError, match="Could not reach the inference service"):
        score(frame(3))


def test_a_key_in_the_query_goes_to_the_service_and_into_no_message_repr_or_cache_file(completion_server,
                                                                                         tmp_path):
    with AnswerCache(tmp_path / "answers.sqlite") as cache:
        score = CompletionScoringFunction(completion_server.url + "/?tenant=a&api-key=SECRET", "m", cache=cache)
        score(frame(2))
    assert {request.path for request in completion_server.requests} == {"/v1/completions?tenant=a&api-key=SECRET"}
    unreachable = CompletionScoringFunction(f"http://127.0.0.1:{unused_port()}/v1?api-key=SECRET", "m")
    with pytest.raises(ServiceConnectionError, match="/v1/completions\\?api-key=\u2026: ") as raised:
        unreachable(frame(1))
    shown = str(raised.value) + repr(score.client) + repr(unreachable.client)
    assert "tenant=\u2026&api-key=\u2026" in repr(score.client) and "SECRET" not in shown
    assert b"SECRET" not in b"".join(path.read_bytes() for path in tmp_path.iterdir())


@pytest.mark.parametrize(
    "args, kwargs, error",
    [
        (("not a url", "m"), {}, InvalidCredentialsError),
        (("http://127.0.0.1:1", ""), {}, ValueError),
        (("http://127.0.0.1:1", "m"), {"max_concurrency": 0}, ValueError),
        (("http://127.0.0.1:1", "m"), {"max_concurrency": True}, ValueError),
        (("http://127.0.0.1:1", "m"), {"params": {"max_new_tokens": -1}}, ValueError),
    ],
)
def test_bad_settings_fail_before_any_request(args, kwargs, error):
    with pytest.raises(error):
        CompletionScoringFunction(*args, **kwargs)


@pytest.mark.parametrize(
    "data, error",
    [(pd.DataFrame(), ValueError), (["prompt"], TypeError), (pd.DataFrame({"q": ["ok", None]}), TypeError)],
)
def test_unusable_frames_are_refused(completion_server, data, error):
    with pytest.raises(error):
        CompletionScoringFunction(completion_server.url, "m", max_concurrency=1)(data)
