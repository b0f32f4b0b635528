"""The native classes are created from their complete body, as the class statement does."""

import json
import os
import subprocess
import sys

# BaseExplainer replaced, before the explainer module loads, by an abstract
# base whose __init_subclass__ writes down what the new class already holds.
ABSTRACT_BASE = """
import abc, json
from vorn_metrics_plugin.metrics.explainability.explainers import base_explainer

seen = {}

class BaseExplainer(abc.ABC):
    def __init__(self, explain_config):
        self.config = explain_config

    def __init_subclass__(cls, **kwargs):
        super().__init_subclass__(**kwargs)
        seen[cls.__qualname__] = sorted(
            name for name in ("__init__", "explain_data", "initialize", "is_supported",
                              "features_count", "_Sibrelle__explain_row") if name in vars(cls))

    @abc.abstractmethod
    def explain_data(self, data, scoring_fn): ...

    @abc.abstractmethod
    def initialize(self): ...

    @abc.abstractmethod
    def is_supported(self): ...

base_explainer.BaseExplainer = BaseExplainer
from vorn_metrics_plugin.metrics.explainability.explainers.lime import sibrelle

explainer = sibrelle.Sibrelle("config")

class Python(sibrelle.Sibrelle):
    def initialize(self):
        return super().initialize()

print(json.dumps({
    "seen": seen,
    "metaclass": type(sibrelle.Sibrelle).__name__,
    "abstract": sorted(sibrelle.Sibrelle.__abstractmethods__),
    "state": [explainer.config, explainer.is3d, explainer.label_map],
    "subclass": type(Python("other")).__mro__[1].__name__,
    "no_cell": "__classcell__" in vars(sibrelle.Sibrelle),
}))
"""


def test_an_abstract_base_and_init_subclass_see_the_whole_class():
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    result = subprocess.run([sys.executable, "-c", ABSTRACT_BASE], capture_output=True,
                            text=True, env=environment, timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    assert json.loads(result.stdout.splitlines()[-1]) == {
        "seen": {
            "Sibrelle": ["_Sibrelle__explain_row", "__init__", "explain_data", "features_count",
                         "initialize", "is_supported"],
            "Python": ["initialize"],
        },
        "metaclass": "ABCMeta",
        "abstract": [],
        "state": ["config", False, None],
        "subclass": "Sibrelle",
        "no_cell": False,
    }


def test_the_classes_are_plain_classes_with_their_members():
    from vorn_metrics_plugin.metrics.llm.common.model_providers import dravenor
    from vorn_metrics_plugin.mra import quorvane

    for cls, members in [(quorvane.Quorvane, ["system_credentials", "validate_params"]),
                         (dravenor.Dravenor, ["_Dravenor__validate", "get_model_responses"])]:
        assert type(cls) is type
        assert [name for name in members if name not in vars(cls)] == []
        assert "__interop_class__" not in vars(cls) and "__name__" not in vars(cls)
        assert cls.__qualname__ == cls.__name__
