import json

import numpy as np
import pytest

from vorn_metrics_plugin.common.utils.constants import ExplainabilityMetricType, InputDataType, ProblemType
from vorn_metrics_plugin.metrics.explainability.entity.constants import (
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

Metric = ExplainabilityMetricType


# --- enumerations -----------------------------------------------------------------


@pytest.mark.parametrize(
    "enum_cls, values",
    [
        (LimeFeatureSelection, ["auto", "forward_selection", "highest_weights", "lasso_path", "none"]),
        (ImageSegmentAlgo, ["quickshift", "slic", "felzenszwalb"]),
        (ImageHeuristic, ["default", "top_5_positive_top_5_negative", "top_5_positive_top_5_negative_threshold"]),
        (InputDataType, ["structured", "text", "image"]),
        (ProblemType, ["binary", "multiclass", "regression"]),
        (Metric, ["lime", "shap", "protodash", "contrastive"]),
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
    for bad in (values[0].upper(), values[0] + " ", "", None):
        with pytest.raises(ValueError):
            enum_cls(bad)


# --- response schema --------------------------------------------------------------


def _feature(image, total, used):
    return {"full_image": image, "total_features": total, "used_features": used}


def test_dump_of_full_explanation_is_json_ready_with_ordered_keys():
    entity = LimeImageExplanation(
        input_features=[_feature(b"aW5wdXQ=", np.int64(12), 12)],
        predictions=[
            {"probability": np.float64(0.9), "value": "cat", "explanation": [_feature("cG9z", 7, np.int32(7))]},
            {"probability": 1 - 0.9, "value": "Others", "explanation": [_feature("bmVn", 5, 5)]},
        ],
    )
    dumped = LimeImageExplanationSchema().dump(entity)

    assert dumped == {
        "input_features": [_feature("aW5wdXQ=", 12, 12)],
        "predictions": [
            {"probability": 0.9, "value": "cat", "explanation": [_feature("cG9z", 7, 7)]},
            {"probability": pytest.approx(0.1), "value": "Others", "explanation": [_feature("bmVn", 5, 5)]},
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
    [(0, "0", 0.0, "0"), (1, 3, 1.0, "3"), (np.float32(0.5), np.str_("dog"), 0.5, "dog")],
)
def test_prediction_values_are_normalised(probability, value, expected_probability, expected_value):
    entity = LimeImageExplanation(
        input_features=[], predictions=[{"probability": probability, "value": value, "explanation": []}]
    )
    prediction = LimeImageExplanationSchema().dump(entity)["predictions"][0]
    assert prediction["probability"] == expected_probability and type(prediction["probability"]) is float
    assert prediction["value"] == expected_value and type(prediction["value"]) is str


def test_error_record_shape_and_round_trip():
    message = "Unable to generate an explanation as the feature weights are all zeros"
    error = Error(
        code="TVKES1001E",
        message="There was an error while computing the explanation. {0}".format(message),
        target=ErrorTarget("field", Metric.LIME.value),
        vals=[message],
    )
    schema = LimeImageExplanationSchema()
    dumped = schema.dump(LimeImageExplanation(error=error))
    assert dumped == {
        "error": {
            "code": "TVKES1001E",
            "message": "There was an error while computing the explanation. " + message,
            "target": {"type": "field", "name": "lime"},
            "vals": [message],
        }
    }
    assert list(dumped["error"]) == ["code", "message", "target", "vals"]
    loaded = schema.load(dumped)
    assert loaded == LimeImageExplanation(error=error)
    assert isinstance(loaded.error.target, ErrorTarget)
    success = LimeImageExplanation(
        input_features=[_feature("a", 2, 2)],
        predictions=[{"probability": 0.75, "value": "1", "explanation": [_feature("b", 1, 1)]}],
    )
    assert schema.load(schema.dump(success)) == success


@pytest.mark.parametrize(
    "entity, expected",
    [
        (LimeImageExplanation(input_features=[], predictions=None), {"input_features": []}),
        (LimeImageExplanation(), {}),
        (LimeImageExplanation(error=Error(code="C", message="m")), {"error": {"code": "C", "message": "m"}}),
    ],
)
def test_absent_entries_are_left_out(entity, expected):
    assert LimeImageExplanationSchema().dump(entity) == expected


# --- configuration ----------------------------------------------------------------


def test_explain_config_defaults_are_fresh_per_configuration():
    config = ExplainConfig()
    assert config.input_data_type is InputDataType.STRUCTURED
    assert (config.problem_type, config.prediction_column, config.probability_column) == (None, None, None)
    assert (config.features, config.meta_fields, config.parameters) == ([], [], {})
    assert config.metric_types == [Metric.LIME]
    other = ExplainConfig()
    assert config.features is not other.features and config.parameters is not other.parameters


@pytest.mark.parametrize(
    "name, given, expected",
    [
        # Enumerations are stored as the members: the explainer tests them by identity.
        ("input_data_type", "image", InputDataType.IMAGE),
        ("input_data_type", "IMAGE", InputDataType.IMAGE),
        ("input_data_type", InputDataType.IMAGE, InputDataType.IMAGE),
        ("input_data_type", "text", InputDataType.TEXT),
        ("problem_type", "binary", ProblemType.BINARY),
        ("problem_type", "MULTICLASS", ProblemType.MULTICLASS),
        ("problem_type", ProblemType.REGRESSION, ProblemType.REGRESSION),
        ("metric_types", "lime", [Metric.LIME]),
        ("metric_types", Metric.SHAP, [Metric.SHAP]),
        ("metric_types", ["shap", Metric.LIME], [Metric.SHAP, Metric.LIME]),
        ("metric_types", (), []),
        # The single-column check belongs to the explainer, which reports its own error.
        ("features", "image", ["image"]),
        ("features", ("a", "b"), ["a", "b"]),
    ],
)
def test_explain_config_normalises_its_values(name, given, expected):
    stored = getattr(ExplainConfig(**{name: given}), name)
    if isinstance(expected, list):
        assert stored == expected and all(type(a) is type(b) for a, b in zip(stored, expected))
    else:
        assert stored is expected


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


def test_explain_config_keeps_copies_of_the_callers_lists():
    features, meta, lime = ["image"], ["age"], {"features_count": 5}
    config = ExplainConfig(features=features, meta_fields=meta, parameters={"lime": lime},
                           prediction_column="pred", probability_column="prob")
    features.append("other")
    meta.clear()
    assert config.features == ["image"] and config.meta_fields == ["age"]
    assert config.parameters == {"lime": lime}
    assert (config.prediction_column, config.probability_column) == ("pred", "prob")


def test_base_explainer_keeps_the_config_and_leaves_the_work_to_subclasses():
    config = ExplainConfig(input_data_type="image")
    base = BaseExplainer(explain_config=config)
    assert base.config is config
    for call in (base.is_supported, base.initialize, lambda: base.explain_data(None, None)):
        with pytest.raises(NotImplementedError):
            call()
