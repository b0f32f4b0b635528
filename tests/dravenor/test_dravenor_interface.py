import inspect

import pytest


@pytest.mark.parametrize(
    "attribute, signature",
    [
        (None, "(project_id, credentials, rate_limit=8, generate_params={}, model_name=None)"),
        ("__init__", "(self, project_id, credentials, rate_limit=8, generate_params={}, model_name=None)"),
        ("_Dravenor__validate", "(self)"),
        ("_Dravenor__get_model_object", "(self, model_name=None, generate_params={})"),
        ("_Dravenor__get_paraphrasing_model", "(self)"),
        ("get_paraphrasing_responses", "(self, prompt)"),
        ("get_model_responses", "(self, prompts)"),
        ("get_judge_model_responses", "(self, prompts, judge_model_name, judge_model_params={})"),
    ],
)
def test_signatures(dravenor, attribute, signature):
    target = dravenor.Dravenor if attribute is None else getattr(dravenor.Dravenor, attribute)
    assert str(inspect.signature(target)) == signature
    # the signature header is read off the docstring, not left in it
    assert target.__doc__ and "\n--\n" not in target.__doc__


def test_private_methods_are_stored_only_under_their_mangled_names(dravenor):
    namespace = vars(dravenor.Dravenor)
    for name in ("__validate", "__get_model_object", "__get_paraphrasing_model"):
        assert "_Dravenor" + name in namespace
        assert name not in namespace
        assert namespace["_Dravenor" + name].__name__ == name


def test_class_is_a_plain_python_class(dravenor):
    cls = dravenor.Dravenor
    assert cls.__bases__ == (object,)
    assert cls.__module__ == dravenor.__name__
    assert cls.__qualname__ == "Dravenor"
    assert "logger" not in vars(cls)
    assert cls.__doc__ and not cls.__doc__.startswith("Dravenor(")


def test_keyword_calls(dravenor, fake_sdk):
    provider = dravenor.Dravenor(
        model_name="m", generate_params={"a": 1}, rate_limit=2, credentials={"url": "u", "apikey": "k"},
        project_id="p",
    )
    assert (provider.rate_limit, provider.project_id, provider.model_name) == (2, "p", "m")
    assert provider.get_model_responses(prompts="x") == "m: x"
    client = provider._Dravenor__get_model_object(generate_params={"b": 2}, model_name="other")
    assert (client.kwargs["model_id"], client.kwargs["params"]) == ("other", {"b": 2})


@pytest.mark.parametrize(
    "call",
    [
        lambda cls: cls("p"),
        lambda cls: cls("p", {"url": "u", "apikey": "k"}, 8, {}, "m", "extra"),
        lambda cls: cls("p", {"url": "u", "apikey": "k"}, model="m"),
    ],
)
def test_wrong_arguments_are_type_errors(dravenor, fake_sdk, call):
    with pytest.raises(TypeError):
        call(dravenor.Dravenor)
    assert fake_sdk.clients == []
