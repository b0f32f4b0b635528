"""explain_data: column selection, the per-row flow, error records and image decoding."""

import sys
import tempfile

import numpy as np
import pytest

from sibrelle_support import (
    PREFIX,
    SIZE,
    brightness_scorer,
    colour_image,
    error_record,
    frame,
    hdf5_bytes,
    with_nan,
)

CONSTANT = "The input image is not valid. Please enter a valid input image"
SHAPE = ("Input image data is not in heightxwidthx1 or heightxwidthx3 format. "
         "Please enter a valid input")


def grey_image():
    return colour_image(1)[:, :, :1].copy()


def is_success(record):
    return set(record) == {"input_features", "predictions"}


def test_rows_are_explained_in_order_with_their_channels_and_meta(make_explainer, logger):
    calls = []

    def scorer(batch, *meta):
        calls.append((np.shape(batch), *meta))
        return brightness_scorer(batch)

    explainer = make_explainer(meta_fields=["camera", "site"])
    records = explainer.explain_data(
        frame([colour_image(), grey_image()], site="north", camera=3), scorer)[
            "local_explanations"]
    assert len(records) == 2 and all(map(is_success, records))
    # Colour batches reach the scoring function with three channels, grey
    # batches as one channel; each row scores 30 perturbations in batches of 10.
    assert [shape[1:] for shape, _ in calls] == [(SIZE, SIZE, 3)] * 3 + [(SIZE, SIZE, 1)] * 3
    assert explainer.is3d is False
    for _, meta in calls:
        assert list(meta.columns) == ["camera", "site"]
        assert meta.values.tolist() == [[3, "north"]]
    assert logger.messages("error") == []


def failing_on_grey(batch, *meta):
    if np.shape(batch)[-1] == 1:
        raise RuntimeError("model offline")
    return brightness_scorer(batch)


def test_a_failing_row_does_not_stop_the_others(make_explainer, logger):
    images = [
        np.zeros((SIZE, SIZE), dtype=np.uint8),       # constant, and no channel axis
        with_nan(np.full((SIZE, SIZE, 3), 7)),        # constant but for a NaN
        colour_image()[:, :, 0],                      # no channel axis
        np.dstack([colour_image(), grey_image()]),    # four channels
        grey_image(),                                 # the scoring function fails
        colour_image(),
        "not an image",
    ]
    records = make_explainer().explain_data(frame(images), failing_on_grey)[
        "local_explanations"]
    expected = [CONSTANT, CONSTANT, SHAPE, SHAPE, "model offline"]
    assert records[:5] == [error_record(message) for message in expected]
    assert is_success(records[5])
    assert records[6]["error"]["message"].startswith(PREFIX)
    assert logger.messages("error")[:5] == expected
    assert len(logger.messages("error")) == 6


def test_interrupts_pass_through(make_explainer, logger):
    def interrupted(batch):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        make_explainer().explain_data(frame([colour_image()]), interrupted)
    assert logger.records == []


def test_the_row_error_is_being_handled_while_it_is_logged(make_explainer, sibrelle,
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


def test_raw_mode_returns_the_raw_explanation_of_good_rows(make_explainer):
    explainer = make_explainer(lime={"return_raw_explanation": 1})
    records = explainer.explain_data(
        frame([colour_image(), np.ones((SIZE, SIZE, 3))]), brightness_scorer)[
            "local_explanations"]
    assert list(records[0]) == ["input_image", "feature_matrix", "feature_weights",
                                "prediction_probability", "prediction", "others_label"]
    assert records[0]["input_image"] == colour_image().tolist()
    assert records[1] == error_record(CONSTANT)


@pytest.mark.parametrize("prediction_column, probability_column, meta_fields, expected", [
    ("prediction", "probability", ["site"], ["image", "prediction", "probability", "site"]),
    (None, "probability", None, ["image", "probability"]),
    ("prediction", None, None, ["image", "prediction"]),
    (None, None, [], ["image"]),
])
def test_only_the_configured_columns_are_selected(make_explainer, prediction_column,
                                                  probability_column, meta_fields, expected):
    explainer = make_explainer(prediction_column=prediction_column,
                               probability_column=probability_column, meta_fields=meta_fields)
    features = explainer.config.features
    data = frame([colour_image()], site="x", unused=1)
    assert list(explainer._Sibrelle__prepare_data(data=data).columns) == expected
    assert explainer.config.features is features and features == ["image"]


def test_a_missing_configured_column_is_raised(make_explainer):
    data = frame([colour_image()]).drop(columns=["probability"])
    with pytest.raises(KeyError):
        make_explainer().explain_data(data, brightness_scorer)


@pytest.mark.parametrize("given, expected, is3d", [
    (grey_image().tolist(), np.repeat(grey_image(), 3, axis=2), False),
    (with_nan(colour_image()), with_nan(colour_image()), True),
])
def test_input_image_is_height_by_width_by_three(make_explainer, given, expected, is3d):
    explainer = make_explainer()
    explainer.is3d = "unchanged"
    image = explainer._Sibrelle__get_input_image(test_instance=given)
    np.testing.assert_array_equal(image, expected)
    assert explainer.is3d is is3d


@pytest.mark.parametrize("shape, valid, is3d", [
    ((4, 4, 1), True, False), ((4, 4, 3), True, True), ((4, 4, 2), False, False),
    ((4, 4, 4), False, False), ((4, 4), False, "unchanged"), ((1, 4, 4, 3), False, "unchanged")])
def test_valid_scoring_input(make_explainer, shape, valid, is3d):
    explainer = make_explainer()
    explainer.is3d = "unchanged"
    assert explainer.is_valid_scoring_input(np.zeros(shape)) is valid
    assert explainer.is3d == is3d


@pytest.fixture
def temp_root(tmp_path, monkeypatch, sibrelle):
    """HDF5 decoding must leave no file behind and make no temporary directory."""
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    made = []
    monkeypatch.setattr(sibrelle, "mkdtemp", lambda *args: made.append(args) or str(tmp_path))
    yield tmp_path
    assert made == []
    assert list(tmp_path.iterdir()) == []


def test_hdf5_payloads_decode_to_the_stored_array(make_explainer, temp_root):
    stored = colour_image().astype(np.int16)
    decoded = make_explainer()._Sibrelle__decode_image_array(hdf5_bytes(stored))
    assert decoded.dtype == np.int16
    np.testing.assert_array_equal(decoded, stored)


@pytest.mark.parametrize("without_h5py", [False, True])
def test_hdf5_payloads_explain_like_the_array_or_fail_alone(make_explainer, sibrelle,
                                                            monkeypatch, temp_root, without_h5py):
    if without_h5py:
        monkeypatch.delattr(sibrelle, "h5py")
    payloads = [hdf5_bytes(colour_image()), colour_image(),
                hdf5_bytes(colour_image(), name="pixels"), b"not an hdf5 file", b""]
    records = make_explainer().explain_data(frame(payloads), brightness_scorer)[
        "local_explanations"]
    assert is_success(records[1])
    if without_h5py:
        missing = error_record("name 'h5py' is not defined")
        assert records[:1] + records[2:] == [missing] * 4
        return
    assert records[0] == records[1]
    for record in records[2:]:
        assert record["error"]["message"] == PREFIX + record["error"]["vals"][0]
