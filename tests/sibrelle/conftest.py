"""Fixtures of the LIME image explainer tests (helpers: sibrelle_support.py)."""

import pytest

from tests.support.recording_logger import record_module_logger


@pytest.fixture
def sibrelle():
    from vorn_metrics_plugin.metrics.explainability.explainers.lime import sibrelle as module

    return module


@pytest.fixture
def logger(sibrelle, monkeypatch):
    return record_module_logger(sibrelle, monkeypatch)


@pytest.fixture
def make_explainer(sibrelle):
    """An explainer of a binary image problem; `cls` may be a subclass of Sibrelle."""
    from vorn_metrics_plugin.metrics.explainability.entity.explain_config import ExplainConfig

    def make(initialize=True, lime=None, cls=None, **overrides):
        settings = dict(
            input_data_type="image", problem_type="binary", features=["image"],
            prediction_column="prediction", probability_column="probability",
            parameters={"lime": {"features_count": 5, "perturbations_count": 30,
                                 "scoring_batch_size": 10, **(lime or {})}},
        )
        settings.update(overrides)
        explainer = (cls or sibrelle.Sibrelle)(ExplainConfig(**settings))
        if initialize:
            explainer.initialize()
        return explainer

    return make
