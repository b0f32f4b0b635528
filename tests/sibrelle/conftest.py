"""Fixtures of the LIME image explainer tests (helpers: sibrelle_support.py)."""

import pytest

from tests.support.recording_logger import RecordingLogger


@pytest.fixture
def sibrelle():
    from vorn_metrics_plugin.metrics.explainability.explainers.lime import sibrelle as module

    return module


@pytest.fixture
def logger(sibrelle, monkeypatch):
    recorder = RecordingLogger()
    monkeypatch.setattr(sibrelle, "logger", recorder)
    return recorder


@pytest.fixture
def make_config():
    from vorn_metrics_plugin.metrics.explainability.entity.explain_config import ExplainConfig

    def make(lime=None, **overrides):
        settings = dict(
            input_data_type="image",
            problem_type="binary",
            features=["image"],
            prediction_column="prediction",
            probability_column="probability",
            parameters={"lime": {"features_count": 5, "perturbations_count": 30,
                                 "scoring_batch_size": 10, **(lime or {})}},
        )
        settings.update(overrides)
        return ExplainConfig(**settings)

    return make


@pytest.fixture
def make_explainer(sibrelle, make_config):
    def make(initialize=True, lime=None, **overrides):
        explainer = sibrelle.Sibrelle(make_config(lime=lime, **overrides))
        if initialize:
            explainer.initialize()
        return explainer

    return make
