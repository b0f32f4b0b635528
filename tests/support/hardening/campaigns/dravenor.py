"""Campaign of module dravenor: construction, validation, the three kinds of responses.

The inference client package is faked in sys.modules for every call (its
classes answer from a drawn script), and the back-off sleeps sleep not.
"""

import sys
import types

from hypothesis import strategies as st

from tests.support.hardening import fakes, values
from tests.support.hardening.campaigns import Campaign
from tests.support.hardening.entries import Entry

from vorn_metrics_plugin.metrics.llm.common.model_providers import dravenor

D = dravenor.Dravenor
SDK = ("vorn_orvia_ai", "vorn_orvia_ai.foundation_models", "vorn_orvia_ai.metanames")


class GenParams:
    DECODING_METHOD = "decoding_method"
    MAX_NEW_TOKENS = "max_new_tokens"
    MIN_NEW_TOKENS = "min_new_tokens"


class InferencePackage:
    """The inference client package in sys.modules while entered: `client` as
    ModelInference, or no package at all when `missing`. Reusable."""

    def __init__(self, client, gen_params, missing):
        package, models, metanames = (types.ModuleType(name) for name in SDK)
        models.ModelInference = client
        metanames.GenTextParamsMetaNames = gen_params
        package.foundation_models, package.metanames = models, metanames
        self.modules = dict(zip(SDK, [None] * 3 if missing else (package, models, metanames)))
        self.saved = {}

    def __enter__(self):
        self.saved = {name: sys.modules.get(name) for name in SDK}
        sys.modules.update(self.modules)

    def __exit__(self, *exc_info):
        for name, module in self.saved.items():
            if module is None:
                sys.modules.pop(name, None)
            else:
                sys.modules[name] = module
        self.saved = {}


gen_params = st.one_of(st.just(GenParams), values.anything)
packages = st.builds(InferencePackage, fakes.fake_inference,
                     st.one_of(st.just(GenParams), st.just(GenParams), gen_params),
                     st.integers(0, 9).map(lambda n: n == 0))

prompts = st.one_of(values.texts, st.lists(values.texts, max_size=3), values.anything)
credentials = st.one_of(values.dictionaries_with(["url", "apikey"], st.one_of(values.texts, values.anything)),
                        values.anything)
params = st.one_of(st.dictionaries(st.sampled_from(["max_new_tokens", "min_new_tokens", "temperature"]),
                                   values.anything, max_size=3), values.anything)
GLOBALS = {"time": st.just(types.SimpleNamespace(sleep=lambda seconds: None))}
OPTIONAL = {"get": values.callbacks(), "ParaphrasingModel": values.anything}


def new_provider():
    with InferencePackage(fakes.InferenceClient(None, ["ok"]), GenParams, False):
        return D("project", {"url": "https://orvia.example", "apikey": "key"}, model_name="m")


def method(name, **parameters):
    attributes = {"rate_limit": values.integers, "project_id": values.texts, "generate_params": params,
                  "credentials": credentials, "model_name": values.texts, "model": fakes.fake_inference,
                  "paraphrase_model": fakes.fake_inference, "logger": values.anything}
    return Entry(f"dravenor.Dravenor.{name}", dravenor, vars(D)[name], parameters, instance=new_provider,
                 attributes=attributes, fakes=GLOBALS, optional_fakes=OPTIONAL, context=packages)


def provider():
    construction = dict(project_id=st.one_of(values.texts, values.anything), credentials=credentials,
                        rate_limit=values.integers, generate_params=params,
                        model_name=st.one_of(values.texts, values.anything))
    entries = [
        Entry("dravenor.Dravenor", dravenor, D, construction, fakes=GLOBALS, optional_fakes=OPTIONAL,
              context=packages),
        method("__init__", **construction),
        method("_Dravenor__validate"),
        method("_Dravenor__get_model_object", model_name=st.one_of(values.texts, st.none()),
               generate_params=params),
        method("_Dravenor__get_paraphrasing_model"),
        method("get_paraphrasing_responses", prompt=prompts),
        method("get_model_responses", prompts=prompts),
        method("get_judge_model_responses", prompts=prompts,
               judge_model_name=st.one_of(values.texts, st.none()), judge_model_params=params),
    ]
    return Campaign([dravenor], [D], entries, health)


def health():
    with InferencePackage(fakes.InferenceClient(None, ["answer"]), GenParams, False):
        provider = D("project", {"url": "https://orvia.example", "apikey": "key"}, model_name="m")
        return (provider.generate_params, provider.rate_limit, provider.get_model_responses(["q"]),
                provider.get_judge_model_responses(["q"], "judge"))
