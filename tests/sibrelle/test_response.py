"""Conversion of the raw explanation: the record, the feature split and the pictures."""

import math
import types

import numpy as np
import pytest

from sibrelle_support import (
    brightness_scorer,
    colour_image,
    decode_png,
    error_record,
    frame,
    reference_outcome,
    recording_numpy,
    reference_uint8,
    with_nan,
)
from vorn_metrics_plugin.metrics.explainability.entity.constants import ImageHeuristic

NAN = float("nan")
ALL_ZEROS = "Unable to generate an explanation as the feature weights are all zeros"


def raw_explanation(weights, **overrides):
    image = colour_image()
    segments = (np.arange(image.shape[0])[:, None] // 6) * 4 + np.arange(image.shape[1]) // 6
    raw = {
        "input_image": image.tolist(),
        "feature_matrix": segments.tolist(),
        "feature_weights": {"1": [(str(segment), weight) for segment, weight in weights]},
        "prediction_probability": 0.9,
        "prediction": "1",
        "others_label": "0",
    }
    raw.update(overrides)
    return raw


# A zero weight counts as positive, a NaN weight on neither side.
WEIGHTS = [(3, 0.4), (0, -0.2), (7, 0.0), (9, NAN), (12, -0.05), (5, 0.3)]


def test_record(make_explainer):
    explainer = make_explainer()
    input_features, predictions = explainer.convert_raw_explanation(raw_explanation(WEIGHTS))
    assert explainer.label == "1"
    assert repr(explainer.feature_weights) == repr(WEIGHTS)
    assert explainer.input_image_array.dtype == np.int64
    assert [list(entry) for entry in input_features] == [
        ["full_image", "total_features", "used_features"]]
    assert (input_features[0]["total_features"], input_features[0]["used_features"]) == (6, 5)
    np.testing.assert_array_equal(decode_png(input_features[0]["full_image"]), colour_image())
    first, second = predictions
    assert list(first) == ["probability", "value", "explanation"]
    assert (first["probability"], first["value"]) == (0.9, "1")
    assert second["probability"] == pytest.approx(0.1) and second["value"] == "0"
    assert [(e["total_features"], e["used_features"]) for e in first["explanation"]] == [(3, 3)]
    assert [(e["total_features"], e["used_features"]) for e in second["explanation"]] == [(2, 2)]
    image, segments = explainer.input_image_array, explainer.feature_matrix
    for entry, group in [(first, [3, 7, 5]), (second, [0, 12])]:
        expected = reference_uint8(reference_outcome(image, segments, [(g, 1) for g in group]))
        np.testing.assert_array_equal(decode_png(entry["explanation"][0]["full_image"]),
                                      expected)


@pytest.mark.parametrize("missing", ["input_image", "feature_matrix", "feature_weights"])
def test_without_a_required_key_nothing_is_converted(make_explainer, missing):
    raw = raw_explanation(WEIGHTS)
    del raw[missing]
    explainer = make_explainer()
    assert explainer.convert_raw_explanation(raw) == ([], None)
    assert not {"input_image_array", "feature_matrix", "label"} & set(explainer.__dict__)


@pytest.mark.parametrize("overrides, probabilities, value", [
    ({"prediction_probability": 0}, (0, 1), "1"),
    ({"prediction_probability": None}, (0, 1), "1"),
    ({"prediction": None}, (0.9, pytest.approx(0.1)), "0"),
])
def test_probability_and_value_fallbacks(make_explainer, overrides, probabilities, value):
    raw = raw_explanation(WEIGHTS, **overrides)
    _, (first, second) = make_explainer().convert_raw_explanation(raw)
    assert (first["probability"], second["probability"]) == probabilities
    assert first["value"] == value


@pytest.mark.parametrize("feature_weights, error, message", [
    ({"1": [("1", 0.0), ("2", 0.0)]}, Exception, ALL_ZEROS),
    ({"1": []}, Exception, ALL_ZEROS),
    ({}, IndexError, None),  # no weights for any label
])
def test_unusable_weights_are_refused(make_explainer, feature_weights, error, message):
    raw = raw_explanation([], feature_weights=feature_weights)
    with pytest.raises(error) as raised:
        make_explainer().convert_raw_explanation(raw)
    assert type(raised.value) is error
    assert message is None or str(raised.value) == message


@pytest.mark.parametrize("converted, message", [
    (ValueError("bad pixels"), "bad pixels"),
    (([],), "not enough values to unpack (expected 2, got 1)"),
    (([], None, None), "too many values to unpack (expected 2)"),
])
def test_the_flow_uses_an_overridden_conversion(make_explainer, sibrelle, logger, converted,
                                                message):
    class Converting(sibrelle.Sibrelle):
        def convert_raw_explanation(self, raw_explanation):
            if isinstance(converted, Exception):
                raise converted
            return converted

    explainer = make_explainer(cls=Converting)
    records = explainer.explain_data(frame([colour_image()]), brightness_scorer)
    assert records == {"local_explanations": [error_record(message)]}
    assert logger.messages("error") == [message]


def weights(count):
    """Alternating signs and growing sizes; the second weight NaN when there are three."""
    listed = [(i, (i + 1) * 0.1 * (-1) ** i) for i in range(count)]
    if count >= 3:
        listed[1] = (1, NAN)
    return listed


@pytest.mark.parametrize("count", [0, 3, 11, 41])
@pytest.mark.parametrize("heuristic", [
    *ImageHeuristic, "unknown", ImageHeuristic.TOP_5_POSITIVE_TOP_5_NEGATIVE.value])
def test_split_features(make_explainer, count, heuristic):
    explainer = make_explainer()
    explainer.feature_weights = listed = weights(count)
    positive, negative = explainer._split_features(heuristic=heuristic, min_weight=99.0)
    all_positive = [f for f in listed if f[1] >= 0]
    all_negative = [f for f in listed if f[1] < 0]
    if heuristic is ImageHeuristic.TOP_5_POSITIVE_TOP_5_NEGATIVE:
        keep = 5
    elif heuristic is ImageHeuristic.TOP_5_POSITIVE_TOP_5_NEGATIVE_THRESHOLD:
        keep = min(math.ceil(0.2 * (len(all_positive) + len(all_negative))), 5)
    else:
        keep = count
    assert (positive, negative) == (all_positive[:keep], all_negative[:keep])


def segment_map(height, width, ids):
    return np.random.default_rng(height * width).integers(0, ids, size=(height, width))


PICTURE_CASES = {
    "uint8 colour": colour_image(),
    "int64 from lists": np.array(colour_image().tolist()),
    "float in [0, 1]": np.random.default_rng(7).random((24, 24, 3)),
    "float above 1": colour_image() * 1.7,
    "float32 in [0, 1]": (colour_image() / 255.0).astype(np.float32),
    "float with NaN": with_nan(colour_image() / 255.0),
    "ints below 0 and above 255": colour_image().astype(np.int32) * 2 - 100,
    "int8": (colour_image().astype(np.int16) - 100).astype(np.int8),
    "uint64 above 255": colour_image().astype(np.uint64) * 3,
    "zeros and ones": (colour_image() > 128).astype(np.int32),
    "booleans": colour_image() > 128,
    "booleans of any byte": (colour_image() // 64).view(bool),
    "grey 2-D": colour_image()[:, :, 0].astype(float),
    "strided view": np.array(colour_image().tolist())[::-1, ::2],
    "big-endian": colour_image().astype(">f8"),
}

GROUPS = {
    "some": [(2, 0.1), (5, 0.1), (7, 0.1)],
    "none": [],
    "all": [(segment, 0.1) for segment in range(12)],
    "absent": [(99, 0.1)],
    "tuple of pairs": ((2, 0.1), (5, -0.3)),
    "pairs as lists": [[2, 0.1], [5, -0.3]],
    "numpy ids": [(np.int64(2), 0.1), (np.int64(5), 1)],
    "float id": [(2.0, 0.1)],
    "the image itself": None,  # _convert_to_base64 of the whole image
}


@pytest.mark.filterwarnings("ignore:invalid value:RuntimeWarning")
@pytest.mark.parametrize("case", list(PICTURE_CASES))
@pytest.mark.parametrize("group", list(GROUPS))
def test_pictures_match_numpy(make_explainer, case, group):
    image, group = PICTURE_CASES[case], GROUPS[group]
    segments = segment_map(image.shape[0], image.shape[1], 12)
    explainer = make_explainer()
    explainer.input_image_array, explainer.feature_matrix = image, segments
    if group is None:
        text, expected = explainer._convert_to_base64(image), reference_uint8(image)
    else:
        text = explainer._get_outcome_image(features=group)
        expected = reference_uint8(reference_outcome(image, segments, group))
    assert isinstance(text, str)
    np.testing.assert_array_equal(decode_png(text), expected)


@pytest.mark.parametrize("image", [colour_image(), (colour_image() // 64).view(bool)])
def test_an_overridden_conversion_gets_the_float_picture(make_explainer, sibrelle, image):
    received = []

    class Keeping(sibrelle.Sibrelle):
        def _convert_to_base64(self, image_array):
            received.append(image_array)
            return "converted"

    explainer = make_explainer(cls=Keeping)
    segments = segment_map(*image.shape[:2], 5)
    explainer.input_image_array, explainer.feature_matrix = image, segments
    assert explainer._get_outcome_image(features=[(1, 0.5)]) == "converted"
    (array,) = received
    assert array.dtype == np.float64
    np.testing.assert_array_equal(array, reference_outcome(image, segments, [(1, 0.5)]))


def test_mismatched_or_empty_pictures_fail_as_in_numpy(make_explainer):
    explainer = make_explainer()
    explainer.input_image_array = colour_image()
    explainer.feature_matrix = np.zeros((5, 5), dtype=int)
    with pytest.raises(IndexError):
        explainer._get_outcome_image(features=[(0, 1.0)])
    with pytest.raises(ValueError):
        explainer._convert_to_base64(np.zeros((0, 4, 3)))


def test_substituted_imageio_and_base64_encode_the_picture(make_explainer, sibrelle,
                                                           monkeypatch):
    calls = []

    def imwrite(uri, image, format):
        calls.append((uri, image.dtype, image.shape, format))
        return b"png bytes"

    def b64encode(data):
        calls.append(data)
        return bytearray(b"QUJD")  # not bytes: shown as its text

    monkeypatch.setattr(sibrelle, "imageio",
                        types.SimpleNamespace(RETURN_BYTES="<bytes>", imwrite=imwrite))
    monkeypatch.setattr(sibrelle, "base64", types.SimpleNamespace(b64encode=b64encode))
    assert make_explainer()._convert_to_base64(np.full((4, 5, 3), 0.5)) == "tearray(b'QUJD'"
    assert calls == [("<bytes>", np.uint8, (4, 5, 3), "png"), b"png bytes"]


@pytest.mark.parametrize("image, clipped", [
    (colour_image() * 1.5, True),
    (np.arange(12, dtype=np.int32).reshape(2, 2, 3), True),
    (np.full((2, 2, 3), 0.5), False),
])
def test_conversion_uses_the_module_numpy(make_explainer, sibrelle, monkeypatch, image,
                                          clipped):
    calls = []
    monkeypatch.setattr(sibrelle, "np", recording_numpy(calls, "clip"))
    text = make_explainer()._convert_to_base64(image)
    assert calls == ([("clip", {})] if clipped else [])
    np.testing.assert_array_equal(decode_png(text), reference_uint8(image))
