import sys
import types
from collections import deque
from pathlib import Path

import pytest

# Make "tests.support" importable however pytest was started.
_REPO_ROOT = str(Path(__file__).resolve().parents[2])
if _REPO_ROOT not in sys.path:
    sys.path.insert(0, _REPO_ROOT)

from tests.support.completion_server import running_completion_server  # noqa: E402

SDK_MODULES = ("vorn_orvia_ai", "vorn_orvia_ai.foundation_models", "vorn_orvia_ai.metanames")

@pytest.fixture
def dravenor():
    from vorn_metrics_plugin.metrics.llm.common.model_providers import dravenor as module

    return module


class FakeSdk:
    """Stand-in for the inference client package, put into sys.modules.

    Every client built is recorded with its keyword arguments in call order.
    ``outcomes`` scripts what the next ``generate_text`` calls do: an exception
    instance is raised, anything else is returned; once it is empty a call
    returns "<model id>: <prompt>".
    """

    def __init__(self):
        self.clients = []
        self.calls = []  # (model id, args, kwargs) of every generate_text call
        self.outcomes = deque()
        self.construction_error = None
        sdk = self

        class ModelInference:
            def __init__(self, *args, **kwargs):
                if sdk.construction_error is not None:
                    raise sdk.construction_error
                self.args = args
                self.kwargs = kwargs
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
        class GenTextParamsMetaNames:
            DECODING_METHOD = "fake_decoding_method"
            MAX_NEW_TOKENS = "fake_max_new_tokens"
            MIN_NEW_TOKENS = "fake_min_new_tokens"

        self.ModelInference = ModelInference
        self.GenParams = GenTextParamsMetaNames
        package = types.ModuleType("vorn_orvia_ai")
        foundation_models = types.ModuleType("vorn_orvia_ai.foundation_models")
        foundation_models.ModelInference = ModelInference
        metanames = types.ModuleType("vorn_orvia_ai.metanames")
        metanames.GenTextParamsMetaNames = GenTextParamsMetaNames
        package.foundation_models = foundation_models
        package.metanames = metanames
        self.modules = dict(zip(SDK_MODULES, (package, foundation_models, metanames)))

    def client_kwargs(self, index=-1):
        return self.clients[index].kwargs


@pytest.fixture
def fake_sdk(monkeypatch):
    sdk = FakeSdk()
    for name, module in sdk.modules.items():
        monkeypatch.setitem(sys.modules, name, module)
    return sdk


@pytest.fixture
def without_sdk(monkeypatch):
    """Make every import of the inference client fail, as when it is not installed."""

    def remove(*names):
        for name in names or SDK_MODULES:
            monkeypatch.setitem(sys.modules, name, None)

    return remove


class RecordingLogger:
    def __init__(self):
        self.warnings = []

    def log_warning(self, message):
        self.warnings.append(message)


@pytest.fixture
def module_logger(dravenor, monkeypatch):
    """Substitute the module's fallback logger with a recorder."""
    recorder = RecordingLogger()
    monkeypatch.setattr(dravenor, "logger", recorder)
    return recorder


class FakeTime:
    def __init__(self):
        self.sleeps = []

    def sleep(self, seconds):
        self.sleeps.append(seconds)


@pytest.fixture
def fake_time(dravenor, monkeypatch):
    """Substitute the module global ``time``, so back-off sleeps are recorded, not slept."""
    fake = FakeTime()
    monkeypatch.setattr(dravenor, "time", fake)
    return fake


@pytest.fixture
def provider(dravenor, fake_sdk):
    return dravenor.Dravenor(
        "proj-1", {"url": "https://orvia.example", "apikey": "key-1"}, model_name="target-model"
    )


@pytest.fixture
def gateway_server():
    """A local completion service, stopped after the test."""
    with running_completion_server() as server:
        yield server
