"""The class, its constructor, the support test, initialize and the five properties."""

import inspect
import os
import subprocess
import sys

import pandas as pd
import pytest

from vorn_metrics_plugin.common.utils.constants import (
    ExplainabilityMetricType,
    InputDataType,
)
from vorn_metrics_plugin.metrics.explainability.entity.constants import (
    ImageHeuristic,
    ImageSegmentAlgo,
    LimeFeatureSelection,
)
from vorn_metrics_plugin.metrics.explainability.explainers.base_explainer import BaseExplainer

PRIVATE_METHODS = [
    "prepare_data", "explain_row", "get_meta_values", "get_input_image", "decode_image_array",
    "scoring_fn", "set_label_map", "get_labels", "get_label", "get_others_label",
    "get_segmentation_fn", "get_raw_explanation",
]


MODULE_GLOBALS = [
    "base64", "json", "math", "os", "uuid", "Counter", "deepcopy", "mkdtemp", "np", "pd",
    "lime_image", "SegmentationAlgorithm", "gray2rgb", "h5py", "imageio",
    "ExplainabilityMetricType", "InputDataType", "ProblemType", "MetricLogger", "FEATURES_COUNT",
    "ImageHeuristic", "ImageSegmentAlgo", "LimeFeatureSelection", "ExplainConfig", "Error",
    "ErrorTarget", "LimeImageExplanation", "LimeImageExplanationSchema", "BaseExplainer",
]


class TestModule:
    def test_outside_names_are_module_globals(self, sibrelle):
        import numpy
        from lime.wrappers.scikit_image import SegmentationAlgorithm

        missing = [name for name in MODULE_GLOBALS if name not in vars(sibrelle)]
        assert missing == []
        assert sibrelle.np is numpy and sibrelle.SegmentationAlgorithm is SegmentationAlgorithm

    def test_one_module_logger(self, sibrelle):
        assert isinstance(sibrelle.logger, sibrelle.MetricLogger)
        assert sibrelle.logger.name == sibrelle.__name__

    def test_loads_without_h5py(self):
        # A None entry in sys.modules makes `import h5py` fail.
        code = ("import sys; sys.modules['h5py'] = None; "
                "from vorn_metrics_plugin.metrics.explainability.explainers.lime import sibrelle; "
                "print('h5py' in vars(sibrelle), sibrelle.Sibrelle.__name__)")
        environment = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                env=environment, check=True)
        assert result.stdout.split() == ["False", "Sibrelle"]


class TestClass:
    def test_is_a_plain_python_subclass_of_base_explainer(self, sibrelle):
        cls = sibrelle.Sibrelle
        assert type(cls) is type
        assert cls.__mro__[1] is BaseExplainer
        assert cls.__module__ == sibrelle.__name__
        assert cls.__qualname__ == "Sibrelle"
        assert cls.__doc__ == "Class to compute lime explanation for structured data."

    @pytest.mark.parametrize("name", PRIVATE_METHODS)
    def test_private_methods_are_stored_under_mangled_names(self, sibrelle, name):
        cls = sibrelle.Sibrelle
        assert callable(cls.__dict__["_Sibrelle__" + name])
        assert "__" + name not in cls.__dict__

    @pytest.mark.parametrize(
        "name, parameters",
        [
            ("__init__", "(self, explain_config)"),
            ("explain_data", "(self, data, scoring_fn)"),
            ("is_valid_scoring_input", "(self, test_data_point)"),
            ("convert_raw_explanation", "(self, raw_explanation)"),
            ("_split_features", "(self, heuristic=<ImageHeuristic.DEFAULT: 'default'>, min_weight=0.0)"),
            ("_get_outcome_image", "(self, features=[])"),
            ("_convert_to_base64", "(self, image_array)"),
            ("_Sibrelle__scoring_fn", "(self, data)"),
            ("_Sibrelle__set_label_map", "(self, predictions, probabilities)"),
            ("_Sibrelle__get_raw_explanation", "(self, data_row, explanation)"),
        ],
    )
    def test_signatures(self, sibrelle, name, parameters):
        assert str(inspect.signature(getattr(sibrelle.Sibrelle, name))) == parameters

    def test_split_features_default_is_the_enumeration_member(self, sibrelle):
        default = inspect.signature(sibrelle.Sibrelle._split_features).parameters["heuristic"].default
        assert default is ImageHeuristic.DEFAULT

    def test_the_class_signature_is_the_constructor_argument(self, sibrelle):
        assert str(inspect.signature(sibrelle.Sibrelle)) == "(explain_config)"

    def test_subclass_overrides_are_used_by_the_flow(self, sibrelle, make_config):
        calls = []

        class Traced(sibrelle.Sibrelle):
            def _Sibrelle__prepare_data(self, data):
                calls.append("prepare")
                return data.iloc[0:0]

        explainer = Traced(make_config())
        explainer.initialize()
        assert explainer.explain_data(pd.DataFrame({"image": []}), None) == {"local_explanations": []}
        assert calls == ["prepare"]


class TestConstructor:
    def test_keeps_the_configuration_and_starts_with_empty_state(self, sibrelle, make_config):
        config = make_config()
        explainer = sibrelle.Sibrelle(explain_config=config)
        assert explainer.config is config
        assert explainer.__dict__ == {"config": config, "is3d": False,
                                      "possible_predictions": None, "label_map": None}

    @pytest.mark.parametrize("arguments", [(), (1, 2)])
    def test_takes_exactly_one_argument(self, sibrelle, arguments):
        with pytest.raises(TypeError):
            sibrelle.Sibrelle(*arguments)


class Exploding:
    """A metric list that must not be looked at."""

    def __contains__(self, item):
        raise AssertionError("metric_types was read")

    __iter__ = __contains__


class TestIsSupported:
    @pytest.mark.parametrize(
        "input_data_type, metric_types, expected",
        [
            ("image", ["lime"], True),
            ("image", ["shap", "lime"], True),
            ("image", ["shap"], False),
            ("structured", ["lime"], False),
            ("text", ["lime"], False),
        ],
    )
    def test_image_configurations_with_lime(self, make_explainer, input_data_type, metric_types,
                                            expected):
        explainer = make_explainer(initialize=False, input_data_type=input_data_type,
                                   metric_types=metric_types)
        assert explainer.is_supported() is expected

    def test_metric_types_are_not_read_for_other_data(self, make_explainer):
        explainer = make_explainer(initialize=False, input_data_type="structured")
        explainer.config.metric_types = Exploding()
        assert explainer.is_supported() is False

    def test_the_data_type_must_be_the_member_itself(self, make_explainer):
        explainer = make_explainer(initialize=False)
        explainer.config.input_data_type = "image"  # equal to the member, not it
        assert explainer.is_supported() is False
        explainer.config.input_data_type = InputDataType.IMAGE
        explainer.config.metric_types = [ExplainabilityMetricType.LIME]
        assert explainer.is_supported() is True


class TestInitialize:
    @pytest.mark.parametrize("features", [[], ["image", "other"]])
    def test_needs_exactly_one_feature(self, make_explainer, features):
        explainer = make_explainer(initialize=False, features=features)
        with pytest.raises(ValueError) as error:
            explainer.initialize()
        assert str(error.value) == (
            "There are more than one feature column. Please provide only one feature column.")
        assert "feature" not in explainer.__dict__

    @pytest.mark.parametrize("parameters", [{}, {"lime": None}, {"lime": {}}, {"shap": {"x": 1}}])
    def test_defaults_without_lime_parameters(self, make_explainer, parameters):
        explainer = make_explainer(parameters=parameters)
        assert explainer.feature == "image"
        assert explainer.features_count == 10
        assert explainer.perturbations_count == 1000
        assert explainer.scoring_batch_size == 100
        assert explainer.feature_selection is LimeFeatureSelection.AUTO
        assert explainer.image_segment_algo is None
        assert explainer.return_raw_explanation is None

    def test_reads_each_parameter_through_its_setter(self, make_explainer):
        explainer = make_explainer(parameters={"lime": {
            "features_count": "-12", "perturbations_count": 40.9, "scoring_batch_size": 0,
            "feature_selection": "lasso_path", "image_segment_algo": "slic",
            "return_raw_explanation": "yes"}})
        assert explainer.features_count == 12
        assert explainer.perturbations_count == 40
        assert explainer.scoring_batch_size == 100
        assert explainer.feature_selection is LimeFeatureSelection.LASSO_PATH
        assert explainer.image_segment_algo is ImageSegmentAlgo.SLIC
        assert explainer.return_raw_explanation == "yes"

    def test_a_failing_setter_leaves_earlier_assignments(self, make_explainer):
        explainer = make_explainer(initialize=False, parameters={"lime": {
            "features_count": 3, "perturbations_count": 7, "feature_selection": "best"}})
        with pytest.raises(ValueError):
            explainer.initialize()
        assert (explainer.feature, explainer.features_count, explainer.perturbations_count) == (
            "image", 3, 7)
        assert "_image_segment_algo" not in explainer.__dict__


class TestProperties:
    @pytest.mark.parametrize("name, default", [
        ("features_count", 10), ("perturbations_count", 1000), ("scoring_batch_size", 100)])
    @pytest.mark.parametrize("value, expected", [
        (-7, 7), ("12", 12), (0.5, 0), (3.99, 3), (True, 1), (0, None), (None, None),
        (False, None), ("", None)])
    def test_counts_store_the_absolute_integer_or_the_default(self, make_explainer, name, default,
                                                              value, expected):
        explainer = make_explainer()
        setattr(explainer, name, value)
        stored = getattr(explainer, name)
        assert stored == (default if expected is None else expected)
        assert type(stored) is int
        assert explainer.__dict__["_" + name] == stored

    @pytest.mark.parametrize("value, error", [("abc", ValueError), ([3], TypeError)])
    def test_counts_raise_what_int_raises(self, make_explainer, value, error):
        explainer = make_explainer()
        with pytest.raises(error):
            explainer.features_count = value
        assert explainer.features_count == 5

    @pytest.mark.parametrize("member", list(LimeFeatureSelection))
    def test_feature_selection_accepts_every_member_value(self, make_explainer, member):
        explainer = make_explainer()
        explainer.feature_selection = member.value
        assert explainer.feature_selection is member

    def test_feature_selection_none_means_auto(self, make_explainer):
        explainer = make_explainer(lime={"feature_selection": "none"})
        assert explainer.feature_selection is LimeFeatureSelection.NONE
        explainer.feature_selection = None
        assert explainer.feature_selection is LimeFeatureSelection.AUTO

    @pytest.mark.parametrize("value", ["best", "", 0, "AUTO"])
    def test_feature_selection_rejects_other_values(self, make_explainer, value):
        explainer = make_explainer(lime={"feature_selection": "highest_weights"})
        with pytest.raises(ValueError) as error:
            explainer.feature_selection = value
        assert str(error.value) == (
            "The feature selection value '{0}' is invalid. Valid values are "
            "['auto', 'forward_selection', 'highest_weights', 'lasso_path', 'none']".format(value))
        assert explainer.feature_selection is LimeFeatureSelection.HIGHEST_WEIGHTS

    @pytest.mark.parametrize("value, expected", [
        (None, None), ("quickshift", ImageSegmentAlgo.QUICKSHIFT), ("slic", ImageSegmentAlgo.SLIC),
        (ImageSegmentAlgo.SLIC, ImageSegmentAlgo.SLIC)])
    def test_image_segment_algo_accepts_none_and_member_values(self, make_explainer, value,
                                                              expected):
        explainer = make_explainer()
        explainer.image_segment_algo = value
        assert explainer.image_segment_algo is expected

    @pytest.mark.parametrize("value", ["", "watershed", False])
    def test_image_segment_algo_rejects_other_values(self, make_explainer, value):
        explainer = make_explainer(lime={"image_segment_algo": "slic"})
        with pytest.raises(ValueError) as error:
            explainer.image_segment_algo = value
        assert str(error.value) == (
            "The image segment algorithm value '{0}' is invalid. Valid values are "
            "['quickshift', 'slic', 'felzenszwalb']".format(value))
        assert explainer.image_segment_algo is ImageSegmentAlgo.SLIC
