import sys
import types
from collections import deque

import pytest

from tests.support.recording_logger import record_module_logger

SDK_MODULES = ("vorn_orvia_ai", "vorn_orvia_ai.foundation_models", "vorn_orvia_ai.metanames")


@pytest.fixture
def dravenor():
    from vorn_metrics_plugin.metrics.llm.common.model_providers import dravenor as module

    return module


class FakeSdk:
    """Stand-in for the inference client package, put into sys.modules.

    Every client built is recorded (``clients``), every ``generate_text`` call
    too (``calls``: model id, args, kwargs).  ``outcomes`` scripts the next
    calls: an exception instance is raised, anything else is returned; once it
    is empty a call returns "<model id>: <prompt>".
    """

    def __init__(self):
        self.clients, self.calls, self.outcomes = [], [], deque()
        self.construction_error = None
        sdk = self

        class ModelInference:
            def __init__(self, *args, **kwargs):
                if sdk.construction_error is not None:
                    raise sdk.construction_error
                self.args, self.kwargs = args, kwargs
                sdk.clients.append(self)

            def generate_text(self, *args, **kwargs):
                sdk.calls.append((self.kwargs["model_id"], args, kwargs))
                if sdk.outcomes:
                    outcome = sdk.outcomes.popleft()
                    if isinstance(outcome, BaseException):
                        raise outcome
                    return outcome
                return f"{self.kwargs['model_id']}: {kwargs.get('prompt')}"

        # Values differ from the real names, so a caller that spells the keys
        # out instead of reading them from the class is caught.
        class GenParams:
            DECODING_METHOD = "fake_decoding_method"
            MAX_NEW_TOKENS = "fake_max_new_tokens"
            MIN_NEW_TOKENS = "fake_min_new_tokens"

        self.GenParams = GenParams
        package, models, metanames = (types.ModuleType(name) for name in SDK_MODULES)
        models.ModelInference = ModelInference
        metanames.GenTextParamsMetaNames = GenParams
        package.foundation_models, package.metanames = models, metanames
        self.modules = dict(zip(SDK_MODULES, (package, models, metanames)))


@pytest.fixture
def fake_sdk(monkeypatch):
    sdk = FakeSdk()
    for name, module in sdk.modules.items():
        monkeypatch.setitem(sys.modules, name, module)
    return sdk


@pytest.fixture
def without_sdk(monkeypatch):
    """Make imports of the inference client (or of the named modules) fail."""

    def remove(*names):
        for name in names or SDK_MODULES:
            monkeypatch.setitem(sys.modules, name, None)

    return remove


@pytest.fixture
def module_logger(dravenor, monkeypatch):
    """Substitute the module's fallback logger with a recorder."""
    return record_module_logger(dravenor, monkeypatch)


@pytest.fixture
def sleeps(dravenor, monkeypatch):
    """Back-off sleeps of the module, recorded instead of slept."""
    recorded = []
    monkeypatch.setattr(dravenor, "time", types.SimpleNamespace(sleep=recorded.append))
    return recorded


@pytest.fixture
def provider(dravenor, fake_sdk):
    return dravenor.Dravenor(
        "proj-1", {"url": "https://orvia.example", "apikey": "key-1"}, model_name="target-model"
    )
