import inspect
import os
import subprocess
import sys
from types import ModuleType, SimpleNamespace

import pytest

CREDENTIALS = {"url": "https://orvia.example", "apikey": "key-1"}
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


def test_module_loads_without_the_inference_client():
    # A fresh interpreter in which the client cannot be imported at all.
    code = (
        "import sys\n"
        "sys.modules['vorn_orvia_ai'] = None\n"
        "from vorn_metrics_plugin.metrics.llm.common.model_providers import dravenor\n"
        "assert 'Dravenor' in vars(dravenor)\n"
        "print(sorted(m for m in sys.modules if m.startswith('vorn_orvia_ai') and sys.modules[m]))\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[]"


# --------------------------------------------------------------------------- interface


@pytest.mark.parametrize(
    "name, signature",
    [
        ("Dravenor", "(project_id, credentials, rate_limit=8, generate_params={}, model_name=None)"),
        ("__init__", "(self, project_id, credentials, rate_limit=8, generate_params={}, model_name=None)"),
        ("_Dravenor__validate", "(self)"),
        ("_Dravenor__get_model_object", "(self, model_name=None, generate_params={})"),
        ("_Dravenor__get_paraphrasing_model", "(self)"),
        ("get_paraphrasing_responses", "(self, prompt)"),
        ("get_model_responses", "(self, prompts)"),
        ("get_judge_model_responses", "(self, prompts, judge_model_name, judge_model_params={})"),
    ],
)
def test_signatures_and_names(dravenor, name, signature):
    cls = dravenor.Dravenor
    target = cls if name == "Dravenor" else getattr(cls, name)
    assert str(inspect.signature(target)) == signature
    # the signature header is read off the docstring, not left in it
    assert target.__doc__ and "\n--\n" not in target.__doc__
    # private methods are stored only under their mangled names
    plain = name.replace("_Dravenor__", "__")
    assert target.__name__ == plain
    assert plain == name or plain not in vars(cls)


def test_keyword_calls_and_wrong_arguments(dravenor, fake_sdk):
    for call in (lambda: dravenor.Dravenor("p"), lambda: dravenor.Dravenor("p", CREDENTIALS, 8, {}, "m", "x"),
                 lambda: dravenor.Dravenor("p", CREDENTIALS, model="m")):
        with pytest.raises(TypeError):
            call()
    assert fake_sdk.clients == []

    provider = dravenor.Dravenor(
        model_name="m", generate_params={"a": 1}, rate_limit=2, credentials=CREDENTIALS, project_id="p"
    )
    assert (provider.rate_limit, provider.project_id, provider.model_name) == (2, "p", "m")
    assert provider.get_model_responses(prompts="x") == "m: x"
    assert provider.get_judge_model_responses(judge_model_params={"b": 2}, judge_model_name="j", prompts="y") == "j: y"
    assert fake_sdk.clients[-1].kwargs["params"] == {"b": 2}
    client = provider._Dravenor__get_model_object(generate_params={"c": 3}, model_name="other")
    assert (client.kwargs["model_id"], client.kwargs["params"]) == ("other", {"c": 3})


# --------------------------------------------------------------------------- construction


def test_constructor_builds_the_model_client_then_the_paraphrasing_client(dravenor, fake_sdk, monkeypatch):
    # The paraphraser's id is read from the module global at call time.
    monkeypatch.setattr(dravenor, "ParaphrasingModel", SimpleNamespace(META_LLAMA_3_3_70B_INSTRUCT="other/para"))
    gen = fake_sdk.GenParams
    params = {gen.DECODING_METHOD: "sample", gen.MAX_NEW_TOKENS: 5}
    provider = dravenor.Dravenor("proj-1", CREDENTIALS, 3, params, "target-model")

    assert (provider.rate_limit, provider.project_id, provider.model_name) == (3, "proj-1", "target-model")
    model, paraphrase = fake_sdk.clients
    assert provider.model is model and provider.paraphrase_model is paraphrase
    assert model.args == paraphrase.args == ()
    assert list(model.kwargs.items()) == [
        ("model_id", "target-model"), ("params", params), ("credentials", CREDENTIALS), ("project_id", "proj-1"),
    ]
    assert model.kwargs["params"] is params and model.kwargs["credentials"] is CREDENTIALS
    # fixed settings for the paraphraser, whatever the caller asks
    assert list(paraphrase.kwargs.items()) == [
        ("model_id", "other/para"), ("params", {gen.DECODING_METHOD: "greedy", gen.MAX_NEW_TOKENS: 4096}),
        ("credentials", CREDENTIALS), ("project_id", "proj-1"),
    ]
    assert paraphrase.kwargs["credentials"] is CREDENTIALS


def test_default_generate_params_is_one_shared_dict_never_mutated(dravenor, fake_sdk):
    first = dravenor.Dravenor("p", CREDENTIALS, model_name="m")
    first.get_judge_model_responses("q", "judge")
    first.get_paraphrasing_responses("q")
    second = dravenor.Dravenor("p", CREDENTIALS, model_name="m")

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


@pytest.mark.parametrize(
    "project_id, credentials, model_name, message",
    [
        # the project id is checked first, even with everything else missing
        (None, {}, None, PROJECT_MESSAGE),
        (EqualsNone(), CREDENTIALS, "m", PROJECT_MESSAGE),
        # then url, even when apikey is missing too
        ("p", {}, None, URL_MESSAGE),
        ("p", {"apikey": "k"}, "m", URL_MESSAGE),
        ("p", {"url": None, "apikey": "k"}, "m", URL_MESSAGE),
        ("p", SimpleNamespace(apikey="k"), "m", URL_MESSAGE),  # credentials may be attributes
        ("p", {"url": "u"}, None, APIKEY_MESSAGE),
        ("p", CREDENTIALS, None, MODEL_NAME_MESSAGE),
        # only None counts as missing
        ("", {"url": "", "apikey": ""}, "", None),
        ("p", SimpleNamespace(url="u", apikey="k"), "m", None),
    ],
)
def test_validation_order_and_messages(dravenor, fake_sdk, project_id, credentials, model_name, message):
    if message is None:
        provider = dravenor.Dravenor(project_id, credentials, model_name=model_name)
        assert (provider.model.kwargs["model_id"], provider.model.kwargs["project_id"]) == (model_name, project_id)
        return
    with pytest.raises(ValueError) as raised:
        dravenor.Dravenor(project_id, credentials, model_name=model_name)
    assert type(raised.value) is ValueError
    assert str(raised.value) == message
    assert fake_sdk.clients == []  # no client is built before validation passes


# --------------------------------------------------------------------------- client failures


@pytest.mark.parametrize("client", ["model", "paraphrasing"])
def test_client_construction_errors_propagate_unchanged(dravenor, fake_sdk, client):
    fake_sdk.construction_error = error = ValueError("cannot set project")
    with pytest.raises(ValueError) as raised:
        if client == "model":
            dravenor.Dravenor("p", CREDENTIALS, model_name="m")
        else:  # not turned into the install message
            provider = object.__new__(dravenor.Dravenor)
            provider.credentials, provider.project_id = CREDENTIALS, "p"
            provider._Dravenor__get_paraphrasing_model()
    assert raised.value is error


def test_constructor_without_client_raises_the_import_error(dravenor, without_sdk):
    without_sdk()
    with pytest.raises(ImportError) as raised:
        dravenor.Dravenor("p", CREDENTIALS, model_name="m")
    assert INSTALL_MESSAGE not in str(raised.value)


def python_import_error(module, name):
    """The ImportError of `from module import name` in Python code."""
    with pytest.raises(ImportError) as raised:
        exec(f"from {module} import {name}", {})
    return raised.value


@pytest.mark.parametrize("origin", [None, "/opt/sdk/foundation_models.py"])
def test_a_client_module_without_the_client_raises_the_interpreters_import_error(
        dravenor, fake_sdk, monkeypatch, origin):
    module = fake_sdk.modules["vorn_orvia_ai.foundation_models"]
    monkeypatch.delattr(module, "ModelInference")
    if origin is not None:
        monkeypatch.setattr(module, "__file__", origin, raising=False)
    expected = python_import_error("vorn_orvia_ai.foundation_models", "ModelInference")
    with pytest.raises(ImportError) as raised:
        dravenor.Dravenor("p", CREDENTIALS, model_name="m")
    assert type(raised.value) is type(expected)
    assert (str(raised.value), raised.value.name, raised.value.path) == (
        str(expected), expected.name, expected.path)
    assert (expected.path is None) == (origin is None)


def test_a_submodule_missing_as_attribute_is_found_in_sys_modules(dravenor, fake_sdk, monkeypatch):
    # `from package import sub` falls back to sys.modules["package.sub"].
    models = fake_sdk.modules["vorn_orvia_ai.foundation_models"]
    client = ModuleType("vorn_orvia_ai.foundation_models.ModelInference")
    monkeypatch.delattr(models, "ModelInference")
    monkeypatch.setattr(models, "__path__", [], raising=False)
    monkeypatch.setitem(sys.modules, client.__name__, client)
    # Found, then called: the module itself is no client.
    with pytest.raises(TypeError, match="'module' object is not callable"):
        dravenor.Dravenor("p", CREDENTIALS, model_name="m")


def test_missing_metanames_give_the_install_message(dravenor, provider, fake_sdk, without_sdk):
    without_sdk("vorn_orvia_ai.metanames")
    for call in (
        lambda: dravenor.Dravenor("p", CREDENTIALS, model_name="m"),  # for the paraphrasing client
        lambda: provider.get_judge_model_responses("q", "judge"),
    ):
        with pytest.raises(Exception) as raised:
            call()
        assert type(raised.value) is Exception
        assert str(raised.value) == INSTALL_MESSAGE
        assert isinstance(raised.value.__context__, ImportError)
    # the provider's two clients and the model client of the failed construction, built first
    assert len(fake_sdk.clients) == 3
    assert fake_sdk.calls == []
