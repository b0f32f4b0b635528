"""explain_data: column selection, the per-row flow, error records and image decoding."""

import sys
import tempfile

import numpy as np
import pandas as pd
import pytest

from sibrelle_support import (
    SIZE,
    RecordingScorer,
    brightness_scorer,
    colour_image,
    grey_image,
    hdf5_bytes,
)

PREFIX = "There was an error while computing the explanation. "
CONSTANT = "The input image is not valid. Please enter a valid input image"
SHAPE = ("Input image data is not in heightxwidthx1 or heightxwidthx3 format. "
         "Please enter a valid input")


def frame(images, probability=(0.3, 0.7), prediction=1, **extra):
    rows = {
        "image": list(images),
        "prediction": [prediction] * len(images),
        "probability": [list(probability)] * len(images),
    }
    for name, value in extra.items():
        rows[name] = [value] * len(images)
    return pd.DataFrame(rows)


def error_record(message):
    return {"error": {"code": "TVKES1001E", "message": PREFIX + message,
                      "target": {"type": "field", "name": "lime"}, "vals": [message]}}


def is_success(record):
    return set(record) == {"input_features", "predictions"}


class TestExplainData:
    def test_an_empty_frame_gives_no_explanations(self, make_explainer):
        scorer = RecordingScorer()
        result = make_explainer().explain_data(frame([]), scorer)
        assert result == {"local_explanations": []}
        assert scorer.shapes == []

    def test_colour_and_grey_rows_are_explained_in_order(self, make_explainer, logger):
        scorer = RecordingScorer()
        explainer = make_explainer()
        result = explainer.explain_data(frame([colour_image(), grey_image()]), scorer)
        records = result["local_explanations"]
        assert len(records) == 2 and all(map(is_success, records))
        # Colour batches reach the scoring function with three channels, grey
        # batches as one channel; each row scores 30 perturbations in batches of 10.
        assert [shape[1:] for shape in scorer.shapes] == (
            [(SIZE, SIZE, 3)] * 3 + [(SIZE, SIZE, 1)] * 3)
        assert explainer.is3d is False
        assert logger.messages("error") == []

    def test_a_failing_row_does_not_stop_the_others(self, make_explainer, logger):
        images = [
            np.zeros((SIZE, SIZE, 3), dtype=np.uint8),   # constant
            colour_image()[:, :, 0],                      # no channel axis
            np.dstack([colour_image(), colour_image()[:, :, :1]]),  # four channels
            colour_image(),
            "not an image",
        ]
        records = make_explainer().explain_data(frame(images), brightness_scorer)[
            "local_explanations"]
        assert records[:3] == [error_record(CONSTANT), error_record(SHAPE), error_record(SHAPE)]
        assert is_success(records[3])
        assert records[4]["error"]["message"].startswith(PREFIX)
        assert logger.messages("error")[:3] == [CONSTANT, SHAPE, SHAPE]
        assert len(logger.messages("error")) == 4

    def test_the_scoring_function_failing_is_an_error_record(self, make_explainer, logger):
        def failing(batch):
            raise RuntimeError("model offline")

        records = make_explainer().explain_data(frame([colour_image()]), failing)[
            "local_explanations"]
        assert records == [error_record("model offline")]
        assert logger.messages("error") == ["model offline"]

    def test_the_row_error_is_being_handled_while_it_is_logged(self, make_explainer, sibrelle,
                                                                monkeypatch):
        seen = []

        class Logger:
            def log_error(self, message):
                seen.append(sys.exc_info()[1])
                raise OSError("log down")

        monkeypatch.setattr(sibrelle, "logger", Logger())

        def failing(batch):
            raise RuntimeError("model offline")

        with pytest.raises(OSError) as raised:
            make_explainer().explain_data(frame([colour_image()]), failing)
        (handled,) = seen
        assert type(handled) is RuntimeError and str(handled) == "model offline"
        assert raised.value.__context__ is handled
        assert sys.exc_info() == (None, None, None)

    def test_interrupts_are_not_turned_into_records(self, make_explainer):
        def interrupted(batch):
            raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            make_explainer().explain_data(frame([colour_image()]), interrupted)

    def test_raw_mode_returns_the_raw_explanation_of_good_rows(self, make_explainer):
        explainer = make_explainer(lime={"return_raw_explanation": 1})
        records = explainer.explain_data(
            frame([colour_image(), np.ones((SIZE, SIZE, 3))]), brightness_scorer)[
                "local_explanations"]
        assert list(records[0]) == ["input_image", "feature_matrix", "feature_weights",
                                    "prediction_probability", "prediction", "others_label"]
        assert records[0]["input_image"] == colour_image().tolist()
        assert records[1] == error_record(CONSTANT)

    def test_meta_values_go_with_every_batch(self, make_explainer):
        scorer = RecordingScorer()
        explainer = make_explainer(meta_fields=["site", "camera"])
        explainer.explain_data(frame([colour_image()], site="north", camera=3), scorer)
        assert len(scorer.meta) == 3
        for (meta,) in scorer.meta:
            assert meta.to_dict(orient="records") == [{"site": "north", "camera": 3}]

    def test_a_missing_configured_column_is_raised(self, make_explainer):
        data = frame([colour_image()]).drop(columns=["probability"])
        with pytest.raises(KeyError):
            make_explainer().explain_data(data, brightness_scorer)

    def test_only_the_configured_columns_are_selected(self, make_explainer):
        explainer = make_explainer(meta_fields=["site"])
        features = explainer.config.features
        data = frame([colour_image()], site="x", unused=1)
        selected = explainer._Sibrelle__prepare_data(data=data)
        assert list(selected.columns) == ["image", "prediction", "probability", "site"]
        assert explainer.config.features is features and features == ["image"]

    @pytest.mark.parametrize("prediction_column, probability_column, expected", [
        (None, "probability", ["image", "probability"]),
        ("prediction", None, ["image", "prediction"]),
        (None, None, ["image"]),
    ])
    def test_unset_columns_are_left_out(self, make_explainer, prediction_column,
                                        probability_column, expected):
        explainer = make_explainer(prediction_column=prediction_column,
                                   probability_column=probability_column)
        assert list(explainer._Sibrelle__prepare_data(data=frame([1])).columns) == expected


class TestMetaValues:
    def test_none_without_meta_fields(self, make_explainer):
        assert make_explainer()._Sibrelle__get_meta_values(data_row={"image": 1}) is None

    def test_one_row_frame_of_the_meta_fields(self, make_explainer):
        explainer = make_explainer(meta_fields=["b", "a"])
        meta = explainer._Sibrelle__get_meta_values(data_row={"a": 1, "b": 2, "c": 3})
        assert list(meta.columns) == ["b", "a"]
        assert meta.values.tolist() == [[2, 1]]


class TestInputImage:
    def test_grey_images_become_three_equal_channels(self, make_explainer):
        explainer = make_explainer()
        explainer.is3d = True
        image = explainer._Sibrelle__get_input_image(test_instance=grey_image().tolist())
        assert image.shape == (SIZE, SIZE, 3)
        for channel in range(3):
            np.testing.assert_array_equal(image[:, :, channel], grey_image()[:, :, 0])
        assert explainer.is3d is False

    def test_colour_images_are_kept(self, make_explainer):
        explainer = make_explainer()
        image = explainer._Sibrelle__get_input_image(test_instance=colour_image())
        np.testing.assert_array_equal(image, colour_image())
        assert explainer.is3d is True

    @pytest.mark.parametrize("shape, valid, is3d", [
        ((4, 4, 1), True, False), ((4, 4, 3), True, True), ((4, 4, 2), False, False),
        ((4, 4, 4), False, False), ((4, 4), False, "unchanged"), ((1, 4, 4, 3), False, "unchanged")])
    def test_valid_scoring_input(self, make_explainer, shape, valid, is3d):
        explainer = make_explainer()
        explainer.is3d = "unchanged"
        assert explainer.is_valid_scoring_input(np.zeros(shape)) is valid
        assert explainer.is3d == is3d

    def test_nan_pixels_are_ignored_by_the_constant_test(self, make_explainer):
        image = colour_image().astype(float)
        image[0, 0, 0] = np.nan
        result = make_explainer()._Sibrelle__get_input_image(test_instance=image)
        assert np.isnan(result[0, 0, 0]) and result.shape == (SIZE, SIZE, 3)


class TestHdf5Payloads:
    @pytest.fixture
    def temp_root(self, tmp_path, monkeypatch, sibrelle):
        root = tmp_path / "temp"
        root.mkdir()
        monkeypatch.setattr(tempfile, "tempdir", str(root))
        made = []
        monkeypatch.setattr(sibrelle, "mkdtemp", lambda *args: made.append(args) or str(root))
        yield root
        assert made == []
        assert list(root.iterdir()) == []

    def test_decodes_the_stored_array_exactly(self, make_explainer, temp_root):
        stored = colour_image().astype(np.int16)
        decoded = make_explainer()._Sibrelle__decode_image_array(hdf5_bytes(stored))
        assert decoded.dtype == np.int16
        np.testing.assert_array_equal(decoded, stored)

    def test_a_payload_explains_like_the_array(self, make_explainer, temp_root):
        records = make_explainer().explain_data(
            frame([hdf5_bytes(colour_image()), colour_image()]), brightness_scorer)[
                "local_explanations"]
        assert is_success(records[0])
        assert records[0] == records[1]

    @pytest.mark.parametrize("payload", [
        hdf5_bytes(colour_image(), name="pixels"), b"not an hdf5 file", b""])
    def test_unreadable_payloads_are_error_records(self, make_explainer, temp_root, payload):
        (record,) = make_explainer().explain_data(frame([payload]), brightness_scorer)[
            "local_explanations"]
        assert record["error"]["message"].startswith(PREFIX)
        assert record["error"]["vals"][0] in record["error"]["message"]

    def test_without_h5py_payload_rows_fail_on_their_own(self, make_explainer, sibrelle,
                                                         monkeypatch):
        monkeypatch.delattr(sibrelle, "h5py")
        records = make_explainer().explain_data(
            frame([hdf5_bytes(colour_image()), colour_image()]), brightness_scorer)[
                "local_explanations"]
        assert records[0] == error_record("name 'h5py' is not defined")
        assert is_success(records[1])
