import types

import pytest

from tests.support.recording_logger import RecordingLogger

PARAPHRASING_MODEL_ID = "meta-llama/llama-3-3-70b-instruct"
RETRY_WARNING = "Gateway timeout occurred while generating paraphrases. Retrying in 2 seconds."
FAILED_MESSAGE = "Failed to generate paraphrases after 3 retries"
TIMEOUT = "503 Service Unavailable: the inference gateway timed out"
CREDENTIALS = {"url": "u", "apikey": "k"}


class ServiceError(Exception):
    pass


# --------------------------------------------------------------------------- model and judge


@pytest.mark.parametrize("prompts", ["one prompt", ["first", "second"]])
def test_model_responses_pass_prompts_by_keyword_and_return_the_result(provider, fake_sdk, prompts):
    result = object()
    fake_sdk.outcomes.append(result)

    assert provider.get_model_responses(prompts) is result
    assert fake_sdk.calls == [("target-model", (), {"prompt": prompts})]


@pytest.mark.parametrize(
    "args, model, params",
    [
        (("judge-model",), "judge-model", "defaults"),
        (("judge-model", {}), "judge-model", "defaults"),
        (("judge-model", None), "judge-model", "defaults"),
        ((None, {"temperature": 0.5}), "target-model", {"temperature": 0.5}),  # no name: the instance's model
    ],
)
def test_judge_builds_a_new_client_per_call(provider, fake_sdk, args, model, params):
    gen = fake_sdk.GenParams
    built = len(fake_sdk.clients)
    results = [provider.get_judge_model_responses(["a", "b"], *args) for _ in range(2)]

    first, second = fake_sdk.clients[built:]
    expected = {gen.MAX_NEW_TOKENS: 60, gen.MIN_NEW_TOKENS: 1} if params == "defaults" else params
    assert list(first.kwargs.items()) == [
        ("model_id", model), ("params", expected), ("credentials", provider.credentials), ("project_id", "proj-1"),
    ]
    if params == "defaults":
        assert first.kwargs["params"] is not second.kwargs["params"]
    else:
        assert first.kwargs["params"] is args[1]
    assert fake_sdk.calls == [(model, (), {"prompt": ["a", "b"]})] * 2
    assert results == [f"{model}: ['a', 'b']"] * 2


def test_clients_come_from_the_overridable_private_factory(dravenor, fake_sdk):
    seen = []

    class Recording(dravenor.Dravenor):
        def _Dravenor__get_model_object(self, model_name=None, generate_params={}):
            seen.append((model_name, generate_params))
            return super()._Dravenor__get_model_object(model_name, generate_params)

    Recording("p", CREDENTIALS, model_name="m").get_judge_model_responses("q", "judge", {"x": 1})
    # the constructor's call with both defaults, then the judge's call
    assert seen == [(None, {}), ("judge", {"x": 1})]


@pytest.mark.parametrize(
    "call",
    [
        lambda provider: provider.get_model_responses("q"),
        lambda provider: provider.get_judge_model_responses("q", "judge"),
    ],
)
def test_model_and_judge_errors_propagate_without_retry(provider, fake_sdk, sleeps, module_logger, call):
    error = ServiceError(TIMEOUT)
    fake_sdk.outcomes.append(error)
    with pytest.raises(ServiceError) as raised:
        call(provider)
    assert raised.value is error
    assert len(fake_sdk.calls) == 1
    assert sleeps == []


# --------------------------------------------------------------------------- paraphrase retries


@pytest.mark.parametrize(
    "failures, expected_sleeps, outcome",
    [
        ([], [], "returns"),
        ([TIMEOUT], [1], "returns"),
        ([TIMEOUT, TIMEOUT], [1, 2], "returns"),
        # any "503" in the text counts, wherever it appears
        (["upstream failed (request id a9f503c1)"], [1], "returns"),
        # the test is on the text itself: a lone surrogate is no "503"
        (["gateway \ud503 character"], [], "raises"),
        # the last back-off comes before the final failure; no fourth call
        ([TIMEOUT] * 3, [1, 2, 4], "gives up"),
        # other errors are raised at once, also after time-outs
        (["429 Too Many Requests"], [], "raises"),
        ([TIMEOUT, TIMEOUT, "429 Too Many Requests"], [1, 2], "raises"),
    ],
)
def test_paraphrase_retries_gateway_timeouts_only(
    provider, fake_sdk, sleeps, module_logger, failures, expected_sleeps, outcome
):
    errors = [ServiceError(text) for text in failures]
    fake_sdk.outcomes.extend(errors)
    fake_sdk.outcomes.append("paraphrased")

    if outcome == "returns":
        assert provider.get_paraphrasing_responses(prompt="the prompt") == "paraphrased"
    else:
        with pytest.raises(Exception) as raised:
            provider.get_paraphrasing_responses(prompt="the prompt")
        if outcome == "gives up":
            assert type(raised.value) is Exception
            assert str(raised.value) == FAILED_MESSAGE
        else:
            assert raised.value is errors[-1]
    timeouts = len(expected_sleeps)
    assert sleeps == expected_sleeps
    assert module_logger.messages("warning") == [RETRY_WARNING] * timeouts
    calls = timeouts + (outcome != "gives up")
    assert fake_sdk.calls == [(PARAPHRASING_MODEL_ID, (), {"prompt": "the prompt"})] * calls


def test_an_error_of_str_e_is_chained_to_the_caught_error(provider, fake_sdk, sleeps, module_logger):
    class Unprintable(Exception):
        def __str__(self):
            raise LookupError("no text")

    caught = Unprintable()
    fake_sdk.outcomes.append(caught)
    with pytest.raises(LookupError) as raised:
        provider.get_paraphrasing_responses("q")
    assert raised.value.__context__ is caught
    assert (sleeps, module_logger.records) == ([], [])


def test_interrupts_are_never_retried(provider, fake_sdk, sleeps, module_logger):
    fake_sdk.outcomes.append(KeyboardInterrupt("503"))
    with pytest.raises(KeyboardInterrupt):
        provider.get_paraphrasing_responses("q")
    assert sleeps == []
    assert module_logger.records == []


def test_an_interrupted_back_off_is_chained_to_the_time_out(provider, fake_sdk, dravenor, monkeypatch):
    timeout = ServiceError(TIMEOUT)
    fake_sdk.outcomes.append(timeout)

    def interrupted_sleep(seconds):
        raise KeyboardInterrupt

    monkeypatch.setattr(dravenor, "time", types.SimpleNamespace(sleep=interrupted_sleep))
    with pytest.raises(KeyboardInterrupt) as caught:
        provider.get_paraphrasing_responses("q")
    assert caught.value.__context__ is timeout


# --------------------------------------------------------------------------- which logger warns


@pytest.mark.parametrize("where", ["module", "instance", "subclass"])
def test_retry_warning_goes_to_the_provider_logger_else_to_the_module_logger(
    dravenor, fake_sdk, sleeps, caplog, where
):
    own = RecordingLogger()
    cls = type("WithLogger", (dravenor.Dravenor,), {"logger": own}) if where == "subclass" else dravenor.Dravenor
    provider = cls("p", CREDENTIALS, model_name="m")
    if where == "instance":
        provider.logger = own
    fake_sdk.outcomes.extend([ServiceError(TIMEOUT), "ok"])
    with caplog.at_level("WARNING", logger=dravenor.__name__):
        assert provider.get_paraphrasing_responses("q") == "ok"

    module_records = [(r.name, r.levelname, r.getMessage()) for r in caplog.records]
    if where == "module":
        assert module_records == [(dravenor.__name__, "WARNING", RETRY_WARNING)]
    else:
        assert (own.messages("warning"), module_records) == ([RETRY_WARNING], [])


def test_a_failing_logger_lookup_is_not_mistaken_for_a_missing_logger(dravenor, fake_sdk, sleeps, module_logger):
    class BrokenLogger(dravenor.Dravenor):
        @property
        def logger(self):
            raise RuntimeError("logger unavailable")

    provider = BrokenLogger("p", CREDENTIALS, model_name="m")
    fake_sdk.outcomes.extend([ServiceError(TIMEOUT), "ok"])
    with pytest.raises(RuntimeError, match="logger unavailable"):
        provider.get_paraphrasing_responses("q")
    assert module_logger.records == []
