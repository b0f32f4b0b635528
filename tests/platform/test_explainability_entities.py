import json

import numpy as np
import pytest

from vorn_metrics_plugin.common.utils.constants import (
    ExplainabilityMetricType,
    InputDataType,
    ProblemType,
)
from vorn_metrics_plugin.common.utils.python_utils import get
from vorn_metrics_plugin.metrics.explainability.entity.constants import (
    FEATURES_COUNT,
    ImageHeuristic,
    ImageSegmentAlgo,
    LimeFeatureSelection,
)
from vorn_metrics_plugin.metrics.explainability.entity.explain_config import ExplainConfig
from vorn_metrics_plugin.metrics.explainability.entity.explain_response import (
    Error,
    ErrorTarget,
    LimeImageExplanation,
    LimeImageExplanationSchema,
)
from vorn_metrics_plugin.metrics.explainability.explainers.base_explainer import BaseExplainer


# --- enumerations -----------------------------------------------------------------


@pytest.mark.parametrize(
    "enum_cls, values",
    [
        (
            LimeFeatureSelection,
            ["auto", "forward_selection", "highest_weights", "lasso_path", "none"],
        ),
        (ImageSegmentAlgo, ["quickshift", "slic", "felzenszwalb"]),
        (
            ImageHeuristic,
            [
                "default",
                "top_5_positive_top_5_negative",
                "top_5_positive_top_5_negative_threshold",
            ],
        ),
        (InputDataType, ["structured", "text", "image"]),
        (ProblemType, ["binary", "multiclass", "regression"]),
        (ExplainabilityMetricType, ["lime", "shap", "protodash", "contrastive"]),
    ],
)
def test_enum_values_in_definition_order_and_lookup_by_value(enum_cls, values):
    # Validation messages print the values in this order.
    assert [m.value for m in enum_cls] == values
    for member, value in zip(enum_cls, values):
        assert enum_cls(value) is member
        # Plain texts from a JSON configuration must match the members.
        assert member == value and value in list(enum_cls)
        assert "{0}".format(member) == value and str(member) == value
        assert type(member.value) is str


@pytest.mark.parametrize(
    "enum_cls, bad",
    [
        (LimeFeatureSelection, "AUTO"),
        (LimeFeatureSelection, ""),
        (ImageSegmentAlgo, "watershed"),
        (ImageSegmentAlgo, None),
        (ProblemType, "binary "),
    ],
)
def test_enum_lookup_rejects_unknown_values(enum_cls, bad):
    with pytest.raises(ValueError):
        enum_cls(bad)


def test_features_count_default():
    assert FEATURES_COUNT == 10 and type(FEATURES_COUNT) is int


# --- response schema --------------------------------------------------------------


def _feature(image, total, used):
    return {"full_image": image, "total_features": total, "used_features": used}


def test_dump_of_full_explanation_is_json_ready_with_ordered_keys():
    entity = LimeImageExplanation(
        input_features=[_feature(b"aW5wdXQ=", np.int64(12), 12)],
        predictions=[
            {
                "probability": np.float64(0.9),
                "value": "cat",
                "explanation": [_feature("cG9z", 7, np.int32(7))],
            },
            {
                "probability": 1 - 0.9,
                "value": "Others",
                "explanation": [_feature("bmVn", 5, 5)],
            },
        ],
    )
    dumped = LimeImageExplanationSchema().dump(entity)

    assert dumped == {
        "input_features": [_feature("aW5wdXQ=", 12, 12)],
        "predictions": [
            {"probability": 0.9, "value": "cat", "explanation": [_feature("cG9z", 7, 7)]},
            {
                "probability": pytest.approx(0.1),
                "value": "Others",
                "explanation": [_feature("bmVn", 5, 5)],
            },
        ],
    }
    assert list(dumped) == ["input_features", "predictions"]
    assert list(dumped["input_features"][0]) == ["full_image", "total_features", "used_features"]
    first = dumped["predictions"][0]
    assert list(first) == ["probability", "value", "explanation"]
    # numpy scalars and bytes are turned into plain JSON types.
    assert type(first["probability"]) is float
    assert type(first["explanation"][0]["used_features"]) is int
    assert type(dumped["input_features"][0]["total_features"]) is int
    assert type(dumped["input_features"][0]["full_image"]) is str
    assert json.loads(json.dumps(dumped)) == dumped


@pytest.mark.parametrize(
    "probability, value, expected_probability, expected_value",
    [
        (0, "0", 0.0, "0"),
        (1, 3, 1.0, "3"),
        (np.float32(0.5), np.str_("dog"), 0.5, "dog"),
    ],
)
def test_prediction_values_are_normalised(probability, value, expected_probability, expected_value):
    entity = LimeImageExplanation(
        input_features=[],
        predictions=[{"probability": probability, "value": value, "explanation": []}],
    )
    prediction = LimeImageExplanationSchema().dump(entity)["predictions"][0]
    assert prediction["probability"] == expected_probability
    assert type(prediction["probability"]) is float
    assert prediction["value"] == expected_value and type(prediction["value"]) is str


def test_error_record_shape():
    message = "Unable to generate an explanation as the feature weights are all zeros"
    entity = LimeImageExplanation(
        error=Error(
            code="TVKES1001E",
            message="There was an error while computing the explanation. {0}".format(message),
            target=ErrorTarget("field", ExplainabilityMetricType.LIME.value),
            vals=[message],
        )
    )
    dumped = LimeImageExplanationSchema().dump(entity)
    assert dumped == {
        "error": {
            "code": "TVKES1001E",
            "message": "There was an error while computing the explanation. " + message,
            "target": {"type": "field", "name": "lime"},
            "vals": [message],
        }
    }
    assert list(dumped["error"]) == ["code", "message", "target", "vals"]


@pytest.mark.parametrize(
    "entity, expected",
    [
        (LimeImageExplanation(input_features=[], predictions=None), {"input_features": []}),
        (LimeImageExplanation(), {}),
        (
            LimeImageExplanation(error=Error(code="C", message="m")),
            {"error": {"code": "C", "message": "m"}},
        ),
    ],
)
def test_absent_entries_are_left_out(entity, expected):
    assert LimeImageExplanationSchema().dump(entity) == expected


def test_entities_accept_the_explainer_call_forms_and_load_back():
    target = ErrorTarget("field", "lime")
    assert (target.type, target.name) == ("field", "lime")
    error = Error(code="C", message="m", target=target, vals=["m"])
    schema = LimeImageExplanationSchema()

    loaded = schema.load(schema.dump(LimeImageExplanation(error=error)))
    assert loaded == LimeImageExplanation(error=error)
    assert isinstance(loaded.error.target, ErrorTarget)

    success = LimeImageExplanation(
        input_features=[_feature("a", 2, 2)],
        predictions=[{"probability": 0.75, "value": "1", "explanation": [_feature("b", 1, 1)]}],
    )
    assert schema.load(schema.dump(success)) == success


# --- configuration ----------------------------------------------------------------


def test_explain_config_defaults():
    config = ExplainConfig()
    assert config.input_data_type is InputDataType.STRUCTURED
    assert config.problem_type is None
    assert config.features == [] and config.meta_fields == []
    assert config.prediction_column is None and config.probability_column is None
    assert config.metric_types == [ExplainabilityMetricType.LIME]
    assert config.parameters == {}
    # Defaults are fresh objects per configuration.
    other = ExplainConfig()
    assert config.features is not other.features and config.parameters is not other.parameters


@pytest.mark.parametrize(
    "given, expected",
    [
        ("image", InputDataType.IMAGE),
        ("IMAGE", InputDataType.IMAGE),
        (InputDataType.IMAGE, InputDataType.IMAGE),
        ("text", InputDataType.TEXT),
    ],
)
def test_input_data_type_is_stored_as_the_member(given, expected):
    # The explainer tests the data type by identity.
    assert ExplainConfig(input_data_type=given).input_data_type is expected


@pytest.mark.parametrize(
    "given, expected",
    [
        ("binary", ProblemType.BINARY),
        ("MULTICLASS", ProblemType.MULTICLASS),
        (ProblemType.REGRESSION, ProblemType.REGRESSION),
    ],
)
def test_problem_type_is_stored_as_the_member(given, expected):
    assert ExplainConfig(problem_type=given).problem_type is expected


@pytest.mark.parametrize(
    "given, expected",
    [
        ("lime", [ExplainabilityMetricType.LIME]),
        (ExplainabilityMetricType.SHAP, [ExplainabilityMetricType.SHAP]),
        (["shap", ExplainabilityMetricType.LIME], [ExplainabilityMetricType.SHAP, ExplainabilityMetricType.LIME]),
        ((), []),
    ],
)
def test_metric_types_become_a_list_of_members(given, expected):
    metric_types = ExplainConfig(metric_types=given).metric_types
    assert metric_types == expected
    assert all(type(m) is ExplainabilityMetricType for m in metric_types)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"input_data_type": "video"}, "The input data type value 'video' is invalid. Valid values are ['structured', 'text', 'image']"),
        ({"input_data_type": None}, "input data type"),
        ({"problem_type": "ranking"}, "Valid values are ['binary', 'multiclass', 'regression']"),
        ({"metric_types": ["lime", "saliency"]}, "The metric type value 'saliency' is invalid"),
        ({"metric_types": 3}, "metric_types"),
        ({"features": 3}, "features"),
        ({"features": ["image", 2]}, "features"),
        ({"features": {"image": 1}}, "features"),
        ({"meta_fields": [None]}, "meta_fields"),
        ({"prediction_column": ["pred"]}, "prediction_column"),
        ({"probability_column": 1}, "probability_column"),
        ({"parameters": [("lime", {})]}, "parameters"),
    ],
)
def test_explain_config_rejects_bad_values(kwargs, message):
    with pytest.raises(ValueError) as info:
        ExplainConfig(**kwargs)
    assert message in str(info.value)


def test_explain_config_for_an_image_lime_run():
    features = ["image"]
    meta = ["age"]
    lime = {"features_count": 5, "image_segment_algo": "slic"}
    config = ExplainConfig(
        input_data_type="image",
        problem_type="binary",
        features=features,
        prediction_column="pred",
        probability_column="prob",
        meta_fields=meta,
        metric_types=["lime"],
        parameters={"lime": lime},
    )
    assert config.input_data_type is InputDataType.IMAGE
    assert config.problem_type is ProblemType.BINARY
    assert ExplainabilityMetricType.LIME in config.metric_types
    assert get(config.parameters, "lime") is lime
    assert (config.prediction_column, config.probability_column) == ("pred", "prob")
    # The configuration keeps copies of the caller's lists.
    features.append("other")
    meta.clear()
    assert config.features == ["image"] and config.meta_fields == ["age"]


@pytest.mark.parametrize(
    "features, expected",
    [([], []), ("image", ["image"]), (("a", "b"), ["a", "b"])],
)
def test_feature_lists_are_kept_whatever_their_length(features, expected):
    # The single-column check belongs to the explainer, which reports its own error.
    assert ExplainConfig(features=features).features == expected


# --- base explainer ---------------------------------------------------------------


def test_base_explainer_keeps_the_config_and_leaves_the_work_to_subclasses():
    config = ExplainConfig(input_data_type="image")
    base = BaseExplainer(config)
    assert base.config is config
    assert BaseExplainer(explain_config=config).config is config
    for call in (base.is_supported, base.initialize, lambda: base.explain_data(None, None)):
        with pytest.raises(NotImplementedError):
            call()


def test_subclass_built_with_type_overrides_the_base():
    def __init__(self, explain_config):
        super(cls, self).__init__(explain_config)
        self.ready = False

    def is_supported(self):
        return self.config.input_data_type is InputDataType.IMAGE

    cls = type("ImageOnly", (BaseExplainer,), {"__init__": __init__, "is_supported": is_supported})
    explainer = cls(ExplainConfig(input_data_type="image"))
    assert explainer.is_supported() is True and explainer.ready is False
    assert cls(ExplainConfig()).is_supported() is False
    with pytest.raises(NotImplementedError):
        explainer.initialize()
