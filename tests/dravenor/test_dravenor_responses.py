import pytest

PARAPHRASING_MODEL_ID = "meta-llama/llama-3-3-70b-instruct"
RETRY_WARNING = "Gateway timeout occurred while generating paraphrases. Retrying in 2 seconds."
FAILED_MESSAGE = "Failed to generate paraphrases after 3 retries"
INSTALL_MESSAGE = "Please install vorn_orvia_ai package using pip install"
GATEWAY_TIMEOUT = "503 Service Unavailable: the inference gateway timed out"


class ServiceError(Exception):
    pass


# --------------------------------------------------------------------------- model responses


@pytest.mark.parametrize("prompts", ["one prompt", ["first", "second"]])
def test_model_responses_pass_prompts_by_keyword_and_return_the_result(provider, fake_sdk, prompts):
    result = object()
    fake_sdk.outcomes.append(result)

    assert provider.get_model_responses(prompts) is result
    assert fake_sdk.calls == [("target-model", (), {"prompt": prompts})]


# --------------------------------------------------------------------------- judge responses


def test_judge_without_params_uses_the_default_token_limits(provider, fake_sdk):
    gen = fake_sdk.GenParams
    result = provider.get_judge_model_responses(["a", "b"], "judge-model")

    judge = fake_sdk.clients[-1]
    assert list(judge.kwargs.items()) == [
        ("model_id", "judge-model"),
        ("params", {gen.MAX_NEW_TOKENS: 60, gen.MIN_NEW_TOKENS: 1}),
        ("credentials", provider.credentials),
        ("project_id", "proj-1"),
    ]
    assert fake_sdk.calls == [("judge-model", (), {"prompt": ["a", "b"]})]
    assert result == "judge-model: ['a', 'b']"


@pytest.mark.parametrize(
    "judge_params, expected",
    [
        ({}, "defaults"),
        (None, "defaults"),
        ({"temperature": 0.5}, {"temperature": 0.5}),
    ],
)
def test_judge_params_and_a_new_client_per_call(provider, fake_sdk, judge_params, expected):
    gen = fake_sdk.GenParams
    built = len(fake_sdk.clients)
    provider.get_judge_model_responses("q", "judge", judge_params)
    provider.get_judge_model_responses("q", "judge", judge_params)

    first, second = fake_sdk.clients[built:]
    assert first is not second
    if expected == "defaults":
        assert first.kwargs["params"] == {gen.MAX_NEW_TOKENS: 60, gen.MIN_NEW_TOKENS: 1}
        assert first.kwargs["params"] is not second.kwargs["params"]
    else:
        assert first.kwargs["params"] is judge_params


def test_judge_without_a_name_uses_the_instance_model(provider, fake_sdk):
    provider.get_judge_model_responses("q", None)
    assert fake_sdk.clients[-1].kwargs["model_id"] == "target-model"


def test_judge_goes_through_the_private_client_factory(dravenor, fake_sdk):
    seen = []

    class Recording(dravenor.Dravenor):
        def _Dravenor__get_model_object(self, model_name=None, generate_params={}):
            seen.append((model_name, generate_params))
            return super()._Dravenor__get_model_object(model_name, generate_params)

    provider = Recording("p", {"url": "u", "apikey": "k"}, model_name="m")
    provider.get_judge_model_responses("q", "judge", {"x": 1})
    # the constructor's call with both defaults, then the judge's call
    assert seen == [(None, {}), ("judge", {"x": 1})]


def test_judge_without_client_package_raises_the_install_message(provider, fake_sdk, without_sdk):
    without_sdk()
    with pytest.raises(Exception) as raised:
        provider.get_judge_model_responses("q", "judge")
    assert type(raised.value) is Exception
    assert str(raised.value) == INSTALL_MESSAGE
    assert isinstance(raised.value.__context__, ImportError)
    assert fake_sdk.calls == []


@pytest.mark.parametrize(
    "call",
    [
        lambda provider: provider.get_model_responses("q"),
        lambda provider: provider.get_judge_model_responses("q", "judge"),
    ],
)
def test_model_and_judge_errors_propagate_without_retry(provider, fake_sdk, fake_time, module_logger, call):
    error = ServiceError(GATEWAY_TIMEOUT)
    fake_sdk.outcomes.append(error)
    with pytest.raises(ServiceError) as raised:
        call(provider)
    assert raised.value is error
    assert len(fake_sdk.calls) == 1
    assert fake_time.sleeps == []


# --------------------------------------------------------------------------- paraphrase retries


@pytest.mark.parametrize(
    "failures, sleeps",
    [
        ([], []),
        ([GATEWAY_TIMEOUT], [1]),
        ([GATEWAY_TIMEOUT, GATEWAY_TIMEOUT], [1, 2]),
        # any "503" in the text counts, wherever it appears
        (["upstream failed (request id a9f503c1)"], [1]),
    ],
)
def test_paraphrase_retries_gateway_timeouts_then_returns(
    provider, fake_sdk, fake_time, module_logger, failures, sleeps
):
    fake_sdk.outcomes.extend(ServiceError(text) for text in failures)
    fake_sdk.outcomes.append("paraphrased")

    assert provider.get_paraphrasing_responses("the prompt") == "paraphrased"
    assert fake_time.sleeps == sleeps
    assert module_logger.warnings == [RETRY_WARNING] * len(failures)
    assert fake_sdk.calls == [(PARAPHRASING_MODEL_ID, (), {"prompt": "the prompt"})] * (len(failures) + 1)


def test_three_gateway_timeouts_end_in_a_plain_exception(provider, fake_sdk, fake_time, module_logger):
    fake_sdk.outcomes.extend(ServiceError(GATEWAY_TIMEOUT) for _ in range(3))
    fake_sdk.outcomes.append("never reached")

    with pytest.raises(Exception) as raised:
        provider.get_paraphrasing_responses(prompt="q")
    assert type(raised.value) is Exception
    assert str(raised.value) == FAILED_MESSAGE
    # the last back-off comes before the final failure; no fourth call
    assert fake_time.sleeps == [1, 2, 4]
    assert len(module_logger.warnings) == 3
    assert len(fake_sdk.calls) == 3


@pytest.mark.parametrize("timeouts_first", [0, 2])
def test_other_errors_are_raised_at_once(provider, fake_sdk, fake_time, module_logger, timeouts_first):
    error = ServiceError("429 Too Many Requests")
    fake_sdk.outcomes.extend(ServiceError(GATEWAY_TIMEOUT) for _ in range(timeouts_first))
    fake_sdk.outcomes.append(error)

    with pytest.raises(ServiceError) as raised:
        provider.get_paraphrasing_responses("q")
    assert raised.value is error
    assert fake_time.sleeps == [1, 2][:timeouts_first]
    assert len(module_logger.warnings) == timeouts_first
    assert len(fake_sdk.calls) == timeouts_first + 1


def test_interrupts_are_never_retried(provider, fake_sdk, fake_time, module_logger):
    fake_sdk.outcomes.append(KeyboardInterrupt("503"))
    with pytest.raises(KeyboardInterrupt):
        provider.get_paraphrasing_responses("q")
    assert fake_time.sleeps == []
    assert module_logger.warnings == []


# --------------------------------------------------------------------------- which logger warns


def test_default_fallback_is_the_package_logger(dravenor, provider, fake_sdk, fake_time, caplog):
    fake_sdk.outcomes.extend([ServiceError(GATEWAY_TIMEOUT), "ok"])
    with caplog.at_level("WARNING", logger=dravenor.__name__):
        assert provider.get_paraphrasing_responses("q") == "ok"
    assert [(r.name, r.levelname, r.getMessage()) for r in caplog.records] == [
        (dravenor.__name__, "WARNING", RETRY_WARNING)
    ]


def test_a_logger_on_the_instance_is_used_instead(provider, fake_sdk, fake_time, module_logger):
    own = type(module_logger)()
    provider.logger = own
    fake_sdk.outcomes.extend([ServiceError(GATEWAY_TIMEOUT), "ok"])
    provider.get_paraphrasing_responses("q")
    assert own.warnings == [RETRY_WARNING]
    assert module_logger.warnings == []


def test_a_subclass_logger_is_used_instead(dravenor, fake_sdk, fake_time, module_logger):
    class_logger = type(module_logger)()

    class WithLogger(dravenor.Dravenor):
        logger = class_logger

    provider = WithLogger("p", {"url": "u", "apikey": "k"}, model_name="m")
    fake_sdk.outcomes.extend([ServiceError(GATEWAY_TIMEOUT), "ok"])
    provider.get_paraphrasing_responses("q")
    assert class_logger.warnings == [RETRY_WARNING]
    assert module_logger.warnings == []


def test_a_failing_logger_lookup_is_not_mistaken_for_a_missing_logger(
    dravenor, fake_sdk, fake_time, module_logger
):
    class BrokenLogger(dravenor.Dravenor):
        @property
        def logger(self):
            raise RuntimeError("logger unavailable")

    provider = BrokenLogger("p", {"url": "u", "apikey": "k"}, model_name="m")
    fake_sdk.outcomes.extend([ServiceError(GATEWAY_TIMEOUT), "ok"])
    with pytest.raises(RuntimeError, match="logger unavailable"):
        provider.get_paraphrasing_responses("q")
    assert module_logger.warnings == []
