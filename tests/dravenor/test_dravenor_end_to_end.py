"""The provider with the real inference client against a local completion service."""

import pytest

from vorn_orvia_ai.metanames import GenTextParamsMetaNames as GenParams


@pytest.fixture
def real_provider(dravenor, completion_server):
    return dravenor.Dravenor(
        "proj-e2e",
        completion_server.credentials(apikey="e2e-key"),
        generate_params={GenParams.MAX_NEW_TOKENS: 20},
        model_name="target/model",
    )


def test_paraphrase_survives_two_gateway_timeouts(real_provider, completion_server, sleeps, module_logger):
    for _ in range(2):
        completion_server.enqueue(503, {"error": {"message": "upstream model timed out"}})
    completion_server.enqueue_completion("a fresh wording")

    assert real_provider.get_paraphrasing_responses("Say it differently") == "a fresh wording"

    assert sleeps == [1, 2]
    assert len(module_logger.messages("warning")) == 2
    requests = completion_server.requests
    assert len(requests) == 3
    for request in requests:
        assert request.path == "/v1/completions"
        assert request.header("Authorization") == "Bearer e2e-key"
        assert request.header("X-Vorn-Project-Id") == "proj-e2e"
        assert request.json["model"] == "meta-llama/llama-3-3-70b-instruct"
        assert request.json["prompt"] == "Say it differently"
        # greedy decoding with the paraphraser's own token limit, not the caller's
        assert request.json["temperature"] == 0
        assert request.json["max_tokens"] == 4096


def test_model_and_judge_responses(real_provider, completion_server):
    completion_server.enqueue_completion("model answer")
    completion_server.enqueue_completion("judge answer")

    assert real_provider.get_model_responses("Q1") == "model answer"
    assert real_provider.get_judge_model_responses(["Q2"], "judge/model") == ["judge answer"]

    model_request, judge_request = completion_server.requests
    assert model_request.json["model"] == "target/model"
    assert model_request.json["max_tokens"] == 20
    assert judge_request.json["model"] == "judge/model"
    assert judge_request.json["prompt"] == "Q2"
    assert (judge_request.json["max_tokens"], judge_request.json["min_tokens"]) == (60, 1)
