"""Conversion of the raw explanation: the record, the feature split and the pictures."""

import base64
import warnings

import numpy as np
import pandas as pd
import pytest

from sibrelle_support import (
    NumpyRecorder,
    brightness_scorer,
    colour_image,
    decode_png,
    reference_outcome,
    reference_uint8,
)
from vorn_metrics_plugin.metrics.explainability.entity.constants import ImageHeuristic


def raw_explanation(weights, image=None, **overrides):
    image = colour_image() if image is None else image
    height, width = image.shape[:2]
    segments = (np.arange(height)[:, None] // 6) * 4 + np.arange(width)[None, :] // 6
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


WEIGHTS = [(3, 0.4), (0, -0.2), (7, 0.0), (12, -0.05), (5, 0.3)]


class TestConversion:
    @pytest.mark.parametrize("missing", ["input_image", "feature_matrix", "feature_weights"])
    def test_without_a_required_key_nothing_is_converted(self, make_explainer, missing):
        raw = raw_explanation(WEIGHTS)
        del raw[missing]
        explainer = make_explainer()
        assert explainer.convert_raw_explanation(raw) == ([], None)
        assert not {"input_image_array", "feature_matrix", "label"} & set(explainer.__dict__)

    def test_record(self, make_explainer):
        explainer = make_explainer()
        input_features, predictions = explainer.convert_raw_explanation(raw_explanation(WEIGHTS))
        assert explainer.label == "1"
        assert explainer.feature_weights == [(3, 0.4), (0, -0.2), (7, 0.0), (12, -0.05), (5, 0.3)]
        assert explainer.input_image_array.dtype == np.int64
        assert [list(entry) for entry in input_features] == [
            ["full_image", "total_features", "used_features"]]
        assert (input_features[0]["total_features"], input_features[0]["used_features"]) == (5, 5)
        np.testing.assert_array_equal(decode_png(input_features[0]["full_image"]), colour_image())
        first, second = predictions
        assert list(first) == ["probability", "value", "explanation"]
        assert (first["probability"], first["value"]) == (0.9, "1")
        assert second["probability"] == pytest.approx(0.1) and second["value"] == "0"
        # Zero counts as positive: segments 3, 7 and 5 on one side, 0 and 12 on the other.
        assert [(e["total_features"], e["used_features"]) for e in first["explanation"]] == [(3, 3)]
        assert [(e["total_features"], e["used_features"]) for e in second["explanation"]] == [(2, 2)]
        image, segments = explainer.input_image_array, explainer.feature_matrix
        for entry, group in [(first, [3, 7, 5]), (second, [0, 12])]:
            expected = reference_uint8(reference_outcome(image, segments, [(g, 1) for g in group]))
            np.testing.assert_array_equal(decode_png(entry["explanation"][0]["full_image"]),
                                          expected)

    @pytest.mark.parametrize("overrides, probabilities, value", [
        ({"prediction_probability": 0}, (0, 1), "1"),
        ({"prediction_probability": None}, (0, 1), "1"),
        ({"prediction": None}, (0.9, pytest.approx(0.1)), "0"),
    ])
    def test_probability_and_value_fallbacks(self, make_explainer, overrides, probabilities, value):
        raw = raw_explanation(WEIGHTS, **overrides)
        _, (first, second) = make_explainer().convert_raw_explanation(raw)
        assert (first["probability"], second["probability"]) == probabilities
        assert first["value"] == value

    @pytest.mark.parametrize("weights", [[(1, 0.0), (2, 0.0)], []])
    def test_all_zero_weights_are_refused(self, make_explainer, weights):
        with pytest.raises(Exception) as error:
            make_explainer().convert_raw_explanation(raw_explanation(weights))
        assert type(error.value) is Exception
        assert str(error.value) == "Unable to generate an explanation as the feature weights are all zeros"

    def test_a_zero_weight_beside_others_is_positive(self, make_explainer):
        explainer = make_explainer()
        _, (first, second) = explainer.convert_raw_explanation(raw_explanation([(1, 0.0), (2, 0.3)]))
        assert first["explanation"][0]["used_features"] == 2
        assert second["explanation"][0]["used_features"] == 0
        assert not decode_png(second["explanation"][0]["full_image"]).any()

    def test_no_weights_for_the_label(self, make_explainer):
        raw = raw_explanation(WEIGHTS)
        raw["feature_weights"] = {}
        with pytest.raises(IndexError):
            make_explainer().convert_raw_explanation(raw)

    def test_a_failing_conversion_becomes_the_error_record(self, make_explainer, sibrelle,
                                                           logger):
        class Broken(sibrelle.Sibrelle):
            def convert_raw_explanation(self, raw_explanation):
                raise ValueError("bad pixels")

        explainer = Broken(make_explainer().config)
        explainer.initialize()
        data = pd.DataFrame({"image": [colour_image()], "prediction": [1],
                             "probability": [[0.5, 0.5]]})
        (result,) = explainer.explain_data(data, brightness_scorer)["local_explanations"]
        assert result == {"error": {
            "code": "TVKES1001E",
            "message": "There was an error while computing the explanation. bad pixels",
            "target": {"type": "field", "name": "lime"}, "vals": ["bad pixels"]}}
        assert logger.messages("error") == ["bad pixels"]

    @pytest.mark.parametrize("converted", [([],), ([], None, None)])
    def test_the_conversion_must_give_two_items(self, make_explainer, sibrelle, logger, converted):
        class Odd(sibrelle.Sibrelle):
            def convert_raw_explanation(self, raw_explanation):
                return converted

        explainer = Odd(make_explainer().config)
        explainer.initialize()
        data = pd.DataFrame({"image": [colour_image()], "prediction": [1],
                             "probability": [[0.5, 0.5]]})
        (result,) = explainer.explain_data(data, brightness_scorer)["local_explanations"]
        assert "unpack" in result["error"]["message"]


def features(count, seed=0):
    weights = np.random.default_rng(seed).normal(size=count)
    return [(index, float(weight)) for index, weight in enumerate(weights)]


class TestSplit:
    @pytest.mark.parametrize("count", [0, 3, 12, 40])
    @pytest.mark.parametrize("heuristic", list(ImageHeuristic) + ["unknown"])
    def test_heuristics(self, make_explainer, count, heuristic):
        explainer = make_explainer()
        explainer.feature_weights = features(count)
        positive, negative = explainer._split_features(heuristic=heuristic, min_weight=99.0)
        all_positive = [f for f in explainer.feature_weights if f[1] >= 0]
        all_negative = [f for f in explainer.feature_weights if f[1] < 0]
        if heuristic is ImageHeuristic.TOP_5_POSITIVE_TOP_5_NEGATIVE:
            keep = 5
        elif heuristic is ImageHeuristic.TOP_5_POSITIVE_TOP_5_NEGATIVE_THRESHOLD:
            keep = min(-(-2 * count // 10), 5)  # ceil(0.2 * count), at most 5
        else:
            keep = count
        assert positive == all_positive[:keep] and negative == all_negative[:keep]

    @pytest.mark.parametrize("count, most", [(12, 3), (40, 5), (4, 1)])
    def test_threshold_sizes(self, make_explainer, count, most):
        explainer = make_explainer()
        explainer.feature_weights = [(i, 1.0 if i % 2 else -1.0) for i in range(count)]
        positive, negative = explainer._split_features(
            ImageHeuristic.TOP_5_POSITIVE_TOP_5_NEGATIVE_THRESHOLD)
        assert (len(positive), len(negative)) == (most, most)

    @pytest.mark.parametrize("heuristic", list(ImageHeuristic))
    def test_a_nan_weight_is_neither_positive_nor_negative(self, make_explainer, heuristic):
        explainer = make_explainer()
        explainer.feature_weights = [(0, 0.5), (1, float("nan")), (2, -0.3)]
        assert explainer._split_features(heuristic) == ([(0, 0.5)], [(2, -0.3)])

    def test_nan_weights_are_counted_on_neither_side(self, make_explainer):
        weights = [(3, 0.4), (0, float("nan")), (12, -0.05)]
        input_features, (first, second) = make_explainer().convert_raw_explanation(
            raw_explanation(weights))
        assert input_features[0]["total_features"] == 3
        assert input_features[0]["used_features"] == 2
        assert (first["explanation"][0]["total_features"],
                second["explanation"][0]["total_features"]) == (1, 1)

    def test_the_default_split_keeps_the_list(self, make_explainer):
        explainer = make_explainer()
        explainer.feature_weights = weights = features(6)
        positive, negative = explainer._split_features()
        assert explainer.feature_weights is weights and sorted(positive + negative) == sorted(weights)


def segment_map(height, width, ids):
    rng = np.random.default_rng(height * width)
    return rng.integers(0, ids, size=(height, width))


PICTURE_CASES = {
    "uint8 colour": colour_image(),
    "int64 from lists": np.array(colour_image().tolist()),
    "float in [0, 1]": colour_image() / 255.0,
    "float above 1": colour_image() * 1.7,
    "float32 in [0, 1]": (colour_image() / 255.0).astype(np.float32),
    "negative ints": colour_image().astype(np.int16) - 100,
    "int8": (colour_image().astype(np.int16) - 100).astype(np.int8),
    "uint64 above 255": colour_image().astype(np.uint64) * 3,
    "zeros and ones": (colour_image() > 128).astype(np.int32),
    "booleans": colour_image() > 128,
    "booleans of any byte": (colour_image() // 64).view(bool),
    "grey 2-D": colour_image()[:, :, 0].astype(float),
    "strided view": np.array(colour_image().tolist())[::-1, ::2],
    "big-endian": colour_image().astype(">f8"),
}


class TestOutcomePictures:
    @pytest.mark.parametrize("case", list(PICTURE_CASES))
    @pytest.mark.parametrize("shown", [[2, 5, 7], [], list(range(12)), [99]])
    def test_pixels_match_numpy(self, make_explainer, case, shown):
        image = PICTURE_CASES[case]
        segments = segment_map(image.shape[0], image.shape[1], 12)
        explainer = make_explainer()
        explainer.input_image_array = image
        explainer.feature_matrix = segments
        group = [(segment, 0.1) for segment in shown]
        picture = decode_png(explainer._get_outcome_image(features=group))
        expected = reference_uint8(reference_outcome(image, segments, group))
        np.testing.assert_array_equal(picture, expected)

    @pytest.mark.parametrize("group", [
        ((2, 0.1), (5, -0.3)),                  # a tuple of pairs
        [[2, 0.1], [5, -0.3]],                  # pairs as lists
        [(np.int64(2), 0.1), (np.int64(5), 1)],  # numpy ids
        [(2.0, 0.1)],                           # a float id
    ])
    def test_any_pair_sequence_works(self, make_explainer, group):
        image = colour_image()
        segments = segment_map(*image.shape[:2], 8)
        explainer = make_explainer()
        explainer.input_image_array, explainer.feature_matrix = image, segments
        picture = decode_png(explainer._get_outcome_image(features=group))
        np.testing.assert_array_equal(
            picture, reference_uint8(reference_outcome(image, segments, group)))

    def test_an_image_with_nan_follows_numpy(self, make_explainer):
        image = colour_image() / 255.0
        image[0, 0, 0] = np.nan
        segments = segment_map(*image.shape[:2], 6)
        explainer = make_explainer()
        explainer.input_image_array, explainer.feature_matrix = image, segments
        group = [(int(segments[0, 0]), 1.0)]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            picture = decode_png(explainer._get_outcome_image(features=group))
            expected = reference_uint8(reference_outcome(image, segments, group))
        np.testing.assert_array_equal(picture, expected)

    def test_no_features_gives_a_black_picture_of_the_input_size(self, make_explainer):
        explainer = make_explainer()
        explainer.input_image_array = colour_image()[:10, :7]
        explainer.feature_matrix = np.zeros((10, 7), dtype=int)
        picture = decode_png(explainer._get_outcome_image())
        assert picture.shape == (10, 7, 3) and not picture.any()

    @pytest.mark.parametrize("image", [colour_image(), (colour_image() // 64).view(bool)])
    def test_an_overridden_conversion_gets_the_float_picture(self, make_explainer, sibrelle,
                                                              image):
        received = []

        class Keeping(sibrelle.Sibrelle):
            def _convert_to_base64(self, image_array):
                received.append(image_array)
                return "converted"

        explainer = Keeping(make_explainer().config)
        segments = segment_map(*image.shape[:2], 5)
        explainer.input_image_array, explainer.feature_matrix = image, segments
        assert explainer._get_outcome_image(features=[(1, 0.5)]) == "converted"
        (array,) = received
        assert array.dtype == np.float64
        np.testing.assert_array_equal(array, reference_outcome(image, segments, [(1, 0.5)]))

    def test_a_segment_map_of_another_size_fails_as_in_numpy(self, make_explainer):
        explainer = make_explainer()
        explainer.input_image_array = colour_image()
        explainer.feature_matrix = np.zeros((5, 5), dtype=int)
        with pytest.raises(IndexError):
            explainer._get_outcome_image(features=[(0, 1.0)])


class TestBase64Png:
    @pytest.mark.parametrize("case", list(PICTURE_CASES))
    def test_pixels_are_the_converted_array(self, make_explainer, case):
        image = PICTURE_CASES[case]
        text = make_explainer()._convert_to_base64(image)
        assert isinstance(text, str)
        np.testing.assert_array_equal(decode_png(text), reference_uint8(image))

    @pytest.mark.parametrize("shape", [(1, 1, 3), (1, 1), (3, 517, 3), (300, 301, 3), (2, 70000)])
    @pytest.mark.parametrize("content", ["noise", "flat", "stripes"])
    def test_encodes_any_size_and_content(self, make_explainer, shape, content):
        rng = np.random.default_rng(sum(shape))
        if content == "noise":
            image = rng.integers(0, 256, size=shape, dtype=np.uint8)
        elif content == "flat":
            image = np.full(shape, 77, dtype=np.uint8)
        else:
            image = (np.arange(np.prod(shape)).reshape(shape) // 7 % 2 * 255).astype(np.uint8)
        np.testing.assert_array_equal(decode_png(make_explainer()._convert_to_base64(image)),
                                      image)

    def test_a_substituted_imageio_writes_the_png(self, make_explainer, sibrelle, monkeypatch):
        calls = []

        class Writer:
            RETURN_BYTES = "<bytes>"

            @staticmethod
            def imwrite(uri, image, format):
                calls.append((uri, image.dtype, image.shape, format))
                return b"png bytes"

        monkeypatch.setattr(sibrelle, "imageio", Writer)
        text = make_explainer()._convert_to_base64(np.full((4, 5, 3), 0.5))
        assert text == base64.b64encode(b"png bytes").decode()
        assert calls == [("<bytes>", np.uint8, (4, 5, 3), "png")]

    def test_an_encoding_that_is_not_bytes_is_shown_as_its_text(self, make_explainer, sibrelle,
                                                               monkeypatch):
        class Encoder:
            @staticmethod
            def b64encode(data):
                return bytearray(b"QUJD")

        monkeypatch.setattr(sibrelle, "base64", Encoder)
        assert make_explainer()._convert_to_base64(colour_image()) == "tearray(b'QUJD'"

    def test_an_empty_picture_fails_as_in_numpy(self, make_explainer):
        with pytest.raises(ValueError):
            make_explainer()._convert_to_base64(np.zeros((0, 4, 3)))


@pytest.mark.parametrize("image, used", [
    (colour_image() * 1.5, "clip"),
    (np.arange(12, dtype=np.int32).reshape(2, 2, 3), "clip"),
    (np.full((2, 2, 3), 0.5), "none"),
])
def test_conversion_uses_the_module_numpy(make_explainer, sibrelle, monkeypatch, image, used):
    recorder = NumpyRecorder({"clip"})
    monkeypatch.setattr(sibrelle, "np", recorder)
    text = make_explainer()._convert_to_base64(image)
    assert [name for name, _ in recorder.calls] == ([] if used == "none" else [used])
    np.testing.assert_array_equal(decode_png(text), reference_uint8(image))
