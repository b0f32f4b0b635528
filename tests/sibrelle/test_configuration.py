"""The module, the class, its constructor, the support test, initialize and the properties."""

import inspect
import os
import subprocess
import sys

import pytest

from vorn_metrics_plugin.common.utils.constants import ExplainabilityMetricType, InputDataType
from vorn_metrics_plugin.metrics.explainability.entity.constants import (
    ImageSegmentAlgo,
    LimeFeatureSelection,
)
from vorn_metrics_plugin.metrics.explainability.explainers.base_explainer import BaseExplainer

MODULE_GLOBALS = [
    "base64", "json", "math", "os", "uuid", "Counter", "deepcopy", "mkdtemp", "np", "pd",
    "lime_image", "SegmentationAlgorithm", "gray2rgb", "h5py", "imageio",
    "ExplainabilityMetricType", "InputDataType", "ProblemType", "MetricLogger", "FEATURES_COUNT",
    "ImageHeuristic", "ImageSegmentAlgo", "LimeFeatureSelection", "ExplainConfig", "Error",
    "ErrorTarget", "LimeImageExplanation", "LimeImageExplanationSchema", "BaseExplainer",
]


def test_module_globals_logger_and_class(sibrelle):
    import numpy
    from lime.wrappers.scikit_image import SegmentationAlgorithm

    assert [name for name in MODULE_GLOBALS if name not in vars(sibrelle)] == []
    assert sibrelle.np is numpy and sibrelle.SegmentationAlgorithm is SegmentationAlgorithm
    assert isinstance(sibrelle.logger, sibrelle.MetricLogger)
    assert sibrelle.logger.name == sibrelle.__name__
    cls = sibrelle.Sibrelle
    assert type(cls) is type and cls.__mro__[1] is BaseExplainer
    assert (cls.__module__, cls.__qualname__) == (sibrelle.__name__, "Sibrelle")
    assert cls.__doc__ == "Class to compute lime explanation for structured data."


def test_module_loads_without_h5py():
    # A None entry in sys.modules makes `import h5py` fail.
    code = ("import sys; sys.modules['h5py'] = None; "
            "from vorn_metrics_plugin.metrics.explainability.explainers.lime import sibrelle; "
            "print('h5py' in vars(sibrelle), sibrelle.Sibrelle.__name__)")
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            env=environment, check=True)
    assert result.stdout.split() == ["False", "Sibrelle"]


CONFIG_TYPE = "vorn_metrics_plugin.metrics.explainability.entity.explain_config.ExplainConfig"


@pytest.mark.parametrize("name, parameters", [
    (None, f"(explain_config: {CONFIG_TYPE})"),
    ("__init__", f"(self, explain_config: {CONFIG_TYPE})"),
    ("explain_data", "(self, data, scoring_fn)"),
    ("is_valid_scoring_input", "(self, test_data_point)"),
    ("convert_raw_explanation", "(self, raw_explanation)"),
    ("_split_features", "(self, heuristic=<ImageHeuristic.DEFAULT: 'default'>, min_weight=0.0)"),
    ("_get_outcome_image", "(self, features=[])"),
    ("_convert_to_base64", "(self, image_array)"),
    ("_Sibrelle__scoring_fn", "(self, data)"),
    ("_Sibrelle__set_label_map", "(self, predictions, probabilities)"),
    ("_Sibrelle__get_raw_explanation", "(self, data_row, explanation)"),
])
def test_signatures(sibrelle, name, parameters):
    target = sibrelle.Sibrelle if name is None else getattr(sibrelle.Sibrelle, name)
    assert str(inspect.signature(target)) == parameters


def test_constructor_keeps_the_configuration_and_starts_with_empty_state(sibrelle,
                                                                         make_explainer):
    config = make_explainer(initialize=False).config
    explainer = sibrelle.Sibrelle(explain_config=config)
    assert explainer.__dict__ == {"config": config, "is3d": False,
                                  "possible_predictions": None, "label_map": None}


class Exploding:
    """A metric list that must not be looked at."""

    def __contains__(self, item):
        raise AssertionError("metric_types was read")

    __iter__ = __contains__


@pytest.mark.parametrize("input_data_type, metric_types, expected", [
    (InputDataType.IMAGE, [ExplainabilityMetricType.LIME], True),
    (InputDataType.IMAGE, ["shap", "lime"], True),
    (InputDataType.IMAGE, ["shap"], False),
    (InputDataType.STRUCTURED, Exploding(), False),
    (InputDataType.TEXT, Exploding(), False),
    ("image", Exploding(), False),  # equal to the member, not it
])
def test_is_supported(make_explainer, input_data_type, metric_types, expected):
    explainer = make_explainer(initialize=False)
    explainer.config.input_data_type, explainer.config.metric_types = (input_data_type,
                                                                       metric_types)
    assert explainer.is_supported() is expected


@pytest.mark.parametrize("features", [[], ["image", "other"]])
def test_initialize_needs_exactly_one_feature(make_explainer, features):
    explainer = make_explainer(initialize=False, features=features)
    with pytest.raises(ValueError) as error:
        explainer.initialize()
    assert str(error.value) == (
        "There are more than one feature column. Please provide only one feature column.")
    assert "feature" not in explainer.__dict__


@pytest.mark.parametrize("lime, expected", [
    (None, ("image", 10, 1000, 100, LimeFeatureSelection.AUTO, None, None)),
    ({}, ("image", 10, 1000, 100, LimeFeatureSelection.AUTO, None, None)),
    ({"features_count": "-12", "perturbations_count": 40.9, "scoring_batch_size": 0,
      "feature_selection": "lasso_path", "image_segment_algo": "slic",
      "return_raw_explanation": "yes"},
     ("image", 12, 40, 100, LimeFeatureSelection.LASSO_PATH, ImageSegmentAlgo.SLIC, "yes")),
])
@pytest.mark.parametrize("other", [{}, {"shap": {"x": 1}}])
def test_initialize_reads_the_lime_parameters(make_explainer, lime, expected, other):
    explainer = make_explainer(parameters={"lime": lime, **other})
    assert (explainer.feature, explainer.features_count, explainer.perturbations_count,
            explainer.scoring_batch_size, explainer.feature_selection,
            explainer.image_segment_algo, explainer.return_raw_explanation) == expected


def test_a_failing_setter_leaves_earlier_assignments(make_explainer):
    explainer = make_explainer(initialize=False, parameters={"lime": {
        "features_count": 3, "perturbations_count": 7, "feature_selection": "best"}})
    with pytest.raises(ValueError):
        explainer.initialize()
    assert (explainer.feature, explainer.features_count, explainer.perturbations_count) == (
        "image", 3, 7)
    assert "_image_segment_algo" not in explainer.__dict__


@pytest.mark.parametrize("name, default", [
    ("features_count", 10), ("perturbations_count", 1000), ("scoring_batch_size", 100)])
@pytest.mark.parametrize("value, expected", [
    (-7, 7), ("12", 12), (0.5, 0), (3.99, 3), (True, 1), (0, None), (None, None),
    (False, None), ("", None), ("abc", ValueError), ([3], TypeError)])
def test_counts_store_the_absolute_integer_or_the_default(make_explainer, name, default, value,
                                                          expected):
    explainer = make_explainer()
    if isinstance(expected, type):
        before = getattr(explainer, name)
        with pytest.raises(expected):
            setattr(explainer, name, value)
        assert getattr(explainer, name) == before
        return
    setattr(explainer, name, value)
    stored = getattr(explainer, name)
    assert stored == (default if expected is None else expected) and type(stored) is int
    assert explainer.__dict__["_" + name] == stored


@pytest.mark.parametrize("name, value, expected", [
    *[("feature_selection", member.value, member) for member in LimeFeatureSelection],
    ("feature_selection", None, LimeFeatureSelection.AUTO),
    ("image_segment_algo", None, None),
    ("image_segment_algo", "quickshift", ImageSegmentAlgo.QUICKSHIFT),
    ("image_segment_algo", ImageSegmentAlgo.SLIC, ImageSegmentAlgo.SLIC),
])
def test_enumeration_properties_store_the_member(make_explainer, name, value, expected):
    explainer = make_explainer(lime={"feature_selection": "none", "image_segment_algo": "slic"})
    setattr(explainer, name, value)
    assert getattr(explainer, name) is expected


REJECTED = {
    "feature_selection": "The feature selection value '{0}' is invalid. Valid values are "
                         "['auto', 'forward_selection', 'highest_weights', 'lasso_path', 'none']",
    "image_segment_algo": "The image segment algorithm value '{0}' is invalid. Valid values are "
                          "['quickshift', 'slic', 'felzenszwalb']",
}


@pytest.mark.parametrize("name, value", [
    *[("feature_selection", value) for value in ["best", "", 0, "AUTO", "b\udcffst"]],
    *[("image_segment_algo", value) for value in ["", "watershed", False, "\ud800"]],
])
def test_enumeration_properties_reject_other_values(make_explainer, name, value):
    explainer = make_explainer(lime={"feature_selection": "highest_weights",
                                     "image_segment_algo": "slic"})
    before = getattr(explainer, name)
    with pytest.raises(ValueError) as error:
        setattr(explainer, name, value)
    assert str(error.value) == REJECTED[name].format(value)
    assert getattr(explainer, name) is before
