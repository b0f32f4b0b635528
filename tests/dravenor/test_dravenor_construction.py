import os
import subprocess
import sys

import pytest

CREDENTIALS = {"url": "https://orvia.example", "apikey": "key-1"}

PARAPHRASING_MODEL_ID = "meta-llama/llama-3-3-70b-instruct"

PROJECT_MESSAGE = "Project id should be specified for Vorn Orvia AI models"
URL_MESSAGE = "url is missing from the specified Orvia AI credentials"
APIKEY_MESSAGE = "apikey is missing from the specified Orvia AI credentials"
MODEL_NAME_MESSAGE = "The provided model_name is None. Please provide a valid model name."
INSTALL_MESSAGE = "Please install vorn_orvia_ai package using pip install"


class EqualsNone:
    """A project id that is not None but compares equal to it."""

    def __eq__(self, other):
        return other is None

    __hash__ = object.__hash__


# --------------------------------------------------------------------------- module load


def test_module_loads_without_the_inference_client():
    # A fresh interpreter in which the client cannot be imported at all.
    code = (
        "import sys\n"
        "sys.modules['vorn_orvia_ai'] = None\n"
        "from vorn_metrics_plugin.metrics.llm.common.model_providers import dravenor\n"
        "assert 'Dravenor' in vars(dravenor)\n"
        "loaded = sorted(m for m in sys.modules if m.startswith('vorn_orvia_ai') and sys.modules[m])\n"
        "print(loaded)\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[]"


def test_module_globals_are_the_imported_names(dravenor):
    import time

    from vorn_metrics_plugin.common.utils.metrics_logger import MetricLogger
    from vorn_metrics_plugin.common.utils.python_utils import get
    from vorn_metrics_plugin.metrics.llm.utils.constants import ParaphrasingModel

    assert dravenor.time is time
    assert dravenor.get is get
    assert dravenor.ParaphrasingModel is ParaphrasingModel
    assert isinstance(dravenor.logger, MetricLogger)
    assert dravenor.logger.name == dravenor.__name__


# --------------------------------------------------------------------------- construction


def test_constructor_sets_attributes_and_builds_both_clients(dravenor, fake_sdk):
    params = {"temperature": 0.2}
    credentials = dict(CREDENTIALS)
    provider = dravenor.Dravenor("proj-1", credentials, 3, params, "target-model")

    assert list(vars(provider)) == [
        "rate_limit", "project_id", "generate_params", "credentials", "model_name", "model",
        "paraphrase_model",
    ]
    assert provider.rate_limit == 3
    assert provider.generate_params is params
    assert provider.credentials is credentials
    model, paraphrase = fake_sdk.clients
    assert provider.model is model
    assert provider.paraphrase_model is paraphrase
    assert model.args == ()
    assert list(model.kwargs.items()) == [
        ("model_id", "target-model"), ("params", params), ("credentials", credentials),
        ("project_id", "proj-1"),
    ]
    assert model.kwargs["params"] is params
    assert model.kwargs["credentials"] is credentials


def test_paraphrasing_client_has_fixed_settings_whatever_the_caller_asks(dravenor, fake_sdk):
    gen = fake_sdk.GenParams
    credentials = dict(CREDENTIALS)
    dravenor.Dravenor(
        project_id="proj-9", credentials=credentials, model_name="target-model",
        generate_params={gen.DECODING_METHOD: "sample", gen.MAX_NEW_TOKENS: 5},
    )

    paraphrase = fake_sdk.clients[1]
    assert list(paraphrase.kwargs) == ["model_id", "params", "credentials", "project_id"]
    assert paraphrase.kwargs["model_id"] == PARAPHRASING_MODEL_ID
    assert paraphrase.kwargs["params"] == {gen.DECODING_METHOD: "greedy", gen.MAX_NEW_TOKENS: 4096}
    assert paraphrase.kwargs["credentials"] is credentials
    assert paraphrase.kwargs["project_id"] == "proj-9"


def test_paraphrasing_model_id_is_read_from_the_module_global(dravenor, fake_sdk, monkeypatch):
    class OtherModels:
        META_LLAMA_3_3_70B_INSTRUCT = "other/paraphraser"

    monkeypatch.setattr(dravenor, "ParaphrasingModel", OtherModels)
    dravenor.Dravenor("p", dict(CREDENTIALS), model_name="m")
    assert fake_sdk.clients[1].kwargs["model_id"] == "other/paraphraser"


def test_default_generate_params_is_one_shared_dict_never_mutated(dravenor, fake_sdk):
    first = dravenor.Dravenor("p", dict(CREDENTIALS), model_name="m")
    first.get_judge_model_responses("q", "judge")
    first.get_paraphrasing_responses("q")
    second = dravenor.Dravenor("p", dict(CREDENTIALS), model_name="m")

    assert first.generate_params == {}
    assert first.generate_params is second.generate_params
    # The empty default falls back to the instance's own (equally empty) dict.
    assert fake_sdk.clients[0].kwargs["params"] is first.generate_params


@pytest.mark.parametrize(
    "model_name, generate_params, expected_model, expected_params",
    [
        (None, {}, "target-model", "own"),
        (None, None, "target-model", "own"),
        ("judge", {"k": 1}, "judge", {"k": 1}),
        # only None falls back for the model id, any false value for the params
        ("", {"k": 1}, "", {"k": 1}),
        ("judge", 0, "judge", "own"),
    ],
)
def test_model_object_fallbacks(provider, fake_sdk, model_name, generate_params, expected_model,
                                expected_params):
    provider.generate_params = {"own": True}
    client = provider._Dravenor__get_model_object(model_name=model_name, generate_params=generate_params)

    assert client is fake_sdk.clients[-1]
    assert client.kwargs["model_id"] == expected_model
    if expected_params == "own":
        assert client.kwargs["params"] is provider.generate_params
    else:
        assert client.kwargs["params"] == expected_params


# --------------------------------------------------------------------------- validation


@pytest.mark.parametrize(
    "project_id, credentials, model_name, message",
    [
        # the project id is checked first, even with everything else missing
        (None, {}, None, PROJECT_MESSAGE),
        (EqualsNone(), dict(CREDENTIALS), "m", PROJECT_MESSAGE),
        # then url, even when apikey is missing too
        ("p", {}, None, URL_MESSAGE),
        ("p", {"apikey": "k"}, "m", URL_MESSAGE),
        ("p", {"url": None, "apikey": "k"}, "m", URL_MESSAGE),
        ("p", {"url": "u"}, None, APIKEY_MESSAGE),
        ("p", dict(CREDENTIALS), None, MODEL_NAME_MESSAGE),
    ],
)
def test_validation_order_and_messages(dravenor, fake_sdk, project_id, credentials, model_name, message):
    with pytest.raises(ValueError) as raised:
        dravenor.Dravenor(project_id, credentials, model_name=model_name)
    assert type(raised.value) is ValueError
    assert str(raised.value) == message
    assert fake_sdk.clients == []  # no client is built before validation passes


def test_empty_values_pass_validation(dravenor, fake_sdk):
    provider = dravenor.Dravenor("", {"url": "", "apikey": ""}, model_name="")
    assert provider.model.kwargs["model_id"] == ""
    assert provider.model.kwargs["project_id"] == ""


def test_credentials_are_read_through_the_module_global_get(dravenor, fake_sdk, monkeypatch):
    seen = []

    def recording_get(obj, key):
        seen.append((obj, key))
        return "present"

    monkeypatch.setattr(dravenor, "get", recording_get)
    credentials = object()  # only the substituted get can read it
    dravenor.Dravenor("p", credentials, model_name="m")
    assert seen == [(credentials, "url"), (credentials, "apikey")]


# --------------------------------------------------------------------------- client failures


def test_client_construction_error_propagates_unchanged(dravenor, fake_sdk):
    error = RuntimeError("cannot set project")
    fake_sdk.construction_error = error
    with pytest.raises(RuntimeError) as raised:
        dravenor.Dravenor("p", dict(CREDENTIALS), model_name="m")
    assert raised.value is error


def test_constructor_without_client_raises_the_import_error(dravenor, without_sdk):
    without_sdk()
    with pytest.raises(ImportError) as raised:
        dravenor.Dravenor("p", dict(CREDENTIALS), model_name="m")
    assert INSTALL_MESSAGE not in str(raised.value)


def test_missing_metanames_gives_the_install_message_for_the_paraphrasing_client(
    dravenor, fake_sdk, without_sdk
):
    without_sdk("vorn_orvia_ai.metanames")
    with pytest.raises(Exception) as raised:
        dravenor.Dravenor("p", dict(CREDENTIALS), model_name="m")
    assert type(raised.value) is Exception
    assert str(raised.value) == INSTALL_MESSAGE
    assert isinstance(raised.value.__context__, ImportError)
    assert len(fake_sdk.clients) == 1  # the model client was built first
    # the private factory on its own reports the same
    provider = object.__new__(dravenor.Dravenor)
    provider.credentials, provider.project_id = dict(CREDENTIALS), "p"
    with pytest.raises(Exception, match="^" + INSTALL_MESSAGE + "$"):
        provider._Dravenor__get_paraphrasing_model()


def test_paraphrasing_client_construction_error_is_not_turned_into_the_install_message(
    provider, fake_sdk
):
    error = ValueError("bad params")
    fake_sdk.construction_error = error
    with pytest.raises(ValueError) as raised:
        provider._Dravenor__get_paraphrasing_model()
    assert raised.value is error
