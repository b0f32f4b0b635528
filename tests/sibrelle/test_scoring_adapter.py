"""The classifier function handed to LIME, the label map and the label choice."""

import numpy as np
import pandas as pd
import pytest
from lime.lime_image import ImageExplanation

from sibrelle_support import NumpyRecorder, reference_label_map
from vorn_metrics_plugin.metrics.explainability.entity.constants import ImageSegmentAlgo


def scorer_returning(result, calls=None):
    def score(*args):
        if calls is not None:
            calls.append(args)
        return result

    return score


class TestScoringFunction:
    def test_grey_rows_get_the_middle_channel_with_a_channel_axis(self, make_explainer):
        explainer = make_explainer()
        batch = np.stack([np.full((4, 5, 3), (10 * i, 10 * i + 1, 10 * i + 2)) for i in range(3)])
        calls = []
        explainer.scoring_fn = scorer_returning(([[0.2, 0.8]] * 3, None), calls)
        explainer.meta_values = None
        explainer._Sibrelle__scoring_fn(batch)
        (received,), = calls
        assert received.shape == (3, 4, 5, 1)
        np.testing.assert_array_equal(received[..., 0], batch[..., 1])

    def test_colour_rows_get_the_batch_unchanged(self, make_explainer):
        explainer = make_explainer()
        explainer.is3d = True
        explainer.meta_values = None
        batch = np.random.default_rng(0).random((2, 4, 5, 3))
        calls = []
        explainer.scoring_fn = scorer_returning(([[0.2, 0.8]] * 2, None), calls)
        explainer._Sibrelle__scoring_fn(batch)
        np.testing.assert_array_equal(calls[0][0], batch)

    def test_meta_values_are_the_second_argument_of_every_batch(self, make_explainer):
        explainer = make_explainer()
        explainer.is3d = True
        explainer.meta_values = pd.DataFrame([["north"]], columns=["site"])
        calls = []
        explainer.scoring_fn = scorer_returning(([[0.2, 0.8]] * 2, None), calls)
        for _ in range(2):
            explainer._Sibrelle__scoring_fn(np.zeros((2, 3, 3, 3)))
        assert [len(args) for args in calls] == [2, 2]
        assert all(args[1] is explainer.meta_values for args in calls)

    def test_missing_predictions_are_the_first_argmax_of_each_row(self, make_explainer):
        explainer = make_explainer()
        explainer.is3d = True
        explainer.meta_values = None
        probabilities = [[0.1, 0.7, 0.2], [0.5, 0.5, 0.0], [0.6, 0.3, 0.1], [0.1, 0.2, 0.7]]
        explainer.scoring_fn = scorer_returning((probabilities, None))
        result = explainer._Sibrelle__scoring_fn(np.zeros((4, 3, 3, 3)))
        assert isinstance(result, np.ndarray)
        np.testing.assert_array_equal(result, probabilities)
        assert explainer.possible_predictions == [0, 1, 2]
        # Row 2 ([0.5, 0.5, 0]) ties: only the others enter the map.
        assert explainer.label_map == {1: 1, 0: 0, 2: 2}

    def test_given_predictions_are_used_as_labels(self, make_explainer):
        explainer = make_explainer()
        explainer.is3d = True
        explainer.meta_values = None
        explainer.scoring_fn = scorer_returning(([[0.9, 0.1], [0.3, 0.7]], ["cat", "dog"]))
        explainer._Sibrelle__scoring_fn(np.zeros((2, 3, 3, 3)))
        assert explainer.possible_predictions == ["cat", "dog"]
        assert explainer.label_map == {"cat": 0, "dog": 1}

    @pytest.mark.parametrize("result, message", [
        (([[0.5, 0.5]], None, "extra"), "too many values to unpack (expected 2)"),
        (([[0.5, 0.5]],), "not enough values to unpack (expected 2, got 1)"),
    ])
    def test_the_scoring_result_must_be_a_pair(self, make_explainer, result, message):
        explainer = make_explainer()
        explainer.is3d = True
        explainer.meta_values = None
        explainer.scoring_fn = scorer_returning(result)
        with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
            explainer._Sibrelle__scoring_fn(np.zeros((1, 3, 3, 3)))

    def test_a_single_grey_image_loses_its_batch_axis(self, make_explainer):
        explainer = make_explainer()
        explainer.meta_values = None
        explainer.scoring_fn = scorer_returning(([[0.5, 0.5]], None))
        with pytest.raises(IndexError):
            explainer._Sibrelle__scoring_fn(np.zeros((1, 3, 3, 3)))


def with_nan(rows, places):
    rows = np.array(rows, dtype=float)
    for place in places:
        rows[place] = np.nan
    return rows


TIES = np.round(np.random.default_rng(3).random((40, 5)), 1)

LABEL_MAP_CASES = {
    "random 100x1000": np.random.default_rng(0).random((100, 1000)),
    "rounded, with ties": TIES,
    "nan first and later": with_nan(TIES[:6], [(0, 0), (1, 3), (2, slice(None)), (4, 4)]),
    "signed zeros": np.array([[-0.0, 0.0, -1.0], [0.0, -0.0, -2.0], [-1.0, -0.0, -3.0]]),
    "integers": np.random.default_rng(1).integers(0, 3, (30, 4)),
    "booleans": np.random.default_rng(2).integers(0, 2, (30, 3)).astype(bool),
    # Booleans viewed from bytes other than 0 and 1: all of them are True.
    "booleans of any byte": np.random.default_rng(5).integers(0, 4, (30, 3), dtype=np.uint8).view(bool),
    "float32": TIES.astype(np.float32),
    "strided view": TIES[:, ::-2],
    "fortran order": np.asfortranarray(TIES),
    "big-endian": TIES.astype(">f8"),
    "nested lists": TIES.tolist(),
    "object array": TIES.astype(object),
    "one column": TIES[:, :1],
}


def outcome(step):
    """The items of the dict a step returns, or the error it raises."""
    try:
        return "result", list(step().items())
    except Exception as error:  # noqa: BLE001 - the error is the outcome compared
        return "error", type(error), str(error)


class TestLabelMap:
    @pytest.mark.parametrize("case", list(LABEL_MAP_CASES))
    def test_matches_the_python_semantics(self, make_explainer, case):
        probabilities = LABEL_MAP_CASES[case]
        predictions = np.random.default_rng(4).integers(0, 8, len(probabilities))
        explainer = make_explainer()

        def module():
            explainer._Sibrelle__set_label_map(predictions, probabilities)
            return explainer.label_map

        got, expected = outcome(module), outcome(
            lambda: reference_label_map(predictions, probabilities))
        assert got == expected
        if got[0] == "result":
            assert all(type(value) is int for value in explainer.label_map.values())

    def test_keys_are_the_prediction_items(self, make_explainer):
        explainer = make_explainer()
        predictions = np.array(["b", "a", "b"])
        explainer._Sibrelle__set_label_map(predictions, np.array([[0.1, 0.9], [0.8, 0.2], [0.7, 0.3]]))
        assert explainer.label_map == {"b": 0, "a": 0}
        assert list(explainer.label_map) == ["b", "a"]
        assert all(type(key) is np.str_ for key in explainer.label_map)

    @pytest.mark.parametrize("predictions", [None, [1, 2], [1, 2, 3, 4]])
    def test_no_entries_without_matching_predictions(self, make_explainer, predictions):
        explainer = make_explainer()
        explainer.label_map = {"stale": 1}
        explainer._Sibrelle__set_label_map(predictions, np.eye(3))
        assert explainer.label_map == {}

    def test_is_a_new_dict_each_time(self, make_explainer):
        explainer = make_explainer()
        explainer._Sibrelle__set_label_map([0], np.array([[0.2, 0.8]]))
        first = explainer.label_map
        explainer._Sibrelle__set_label_map([0], np.array([[0.9, 0.1]]))
        assert first == {0: 1} and explainer.label_map == {0: 0}

    def test_empty_rows_fail_like_max(self, make_explainer):
        explainer = make_explainer()
        with pytest.raises(ValueError, match="empty"):
            explainer._Sibrelle__set_label_map([0, 1], np.zeros((2, 0)))

    def test_unhashable_predictions_fail_after_the_earlier_entries(self, make_explainer):
        explainer = make_explainer()
        predictions = np.array([[0, 1], [2, 3]])
        with pytest.raises(TypeError):
            explainer._Sibrelle__set_label_map(predictions, np.array([[0.1, 0.9], [0.8, 0.2]]))
        assert explainer.label_map == {}


def explanation(top_labels=None, local_exp=None):
    image = np.zeros((4, 4, 3))
    result = ImageExplanation(image, np.zeros((4, 4), dtype=int))
    result.top_labels = top_labels
    result.local_exp = local_exp or {}
    return result


class TestLabelChoice:
    @pytest.mark.parametrize("probabilities, expected", [
        ([0.3, 0.3, 0.4], [2]), ([0.5, 0.5], [0, 1]), (np.array([0.1, 0.9]), [1]),
        ([0.2, 0.2, 0.2], [0, 1, 2])])
    def test_labels_are_all_positions_of_the_maximum(self, make_explainer, probabilities,
                                                     expected):
        explainer = make_explainer()
        assert explainer._Sibrelle__get_labels({"probability": probabilities}) == expected

    @pytest.mark.parametrize("probabilities, error", [
        ([[1], "a"], ValueError),  # the array fails before max is taken
        (None, TypeError),
    ])
    def test_labels_fail_as_the_expression_does(self, make_explainer, probabilities, error):
        with pytest.raises(error):
            make_explainer()._Sibrelle__get_labels({"probability": probabilities})

    def test_a_unique_maximum_is_the_label(self, make_explainer):
        explainer = make_explainer()
        explainer.label_map = {7: 0}
        row = {"probability": [0.1, 0.6, 0.3], "prediction": 7}
        assert explainer._Sibrelle__get_label(row, explanation()) == 1

    def test_a_tie_is_settled_by_the_label_map(self, make_explainer):
        explainer = make_explainer()
        explainer.label_map = {7: 2}
        row = {"probability": [0.4, 0.4, 0.2], "prediction": 7}
        assert explainer._Sibrelle__get_label(row, explanation(top_labels=[1])) == 2

    @pytest.mark.parametrize("top_labels, local_exp, expected", [
        ([np.int64(3), np.int64(1)], {1: [], 3: []}, 3),
        (None, {5: [(0, 0.1)], 2: []}, 5),
        ([], {4: []}, 4),
    ])
    def test_without_a_map_entry_the_explanation_labels_decide(self, make_explainer, top_labels,
                                                               local_exp, expected):
        explainer = make_explainer()
        explainer.label_map = {}
        row = {"probability": [0.5, 0.5], "prediction": 9}
        label = explainer._Sibrelle__get_label(row, explanation(top_labels, local_exp))
        assert label == expected

    def test_an_explanation_that_lists_its_labels_is_asked(self, make_explainer):
        class Listed:
            top_labels = [8]

            def available_labels(self):
                return [6, 8]

        explainer = make_explainer()
        explainer.label_map = {}
        row = {"probability": [0.5, 0.5], "prediction": 9}
        assert explainer._Sibrelle__get_label(row, Listed()) == 6

    def test_a_tie_needs_the_prediction_column(self, make_explainer):
        explainer = make_explainer()
        explainer.label_map = {}
        with pytest.raises(KeyError):
            explainer._Sibrelle__get_label({"probability": [0.5, 0.5]}, explanation([0]))


class TestOthersLabel:
    @pytest.mark.parametrize("problem_type, possible, prediction, expected", [
        ("binary", [0, 1], 1, 0),
        ("binary", [0, 1], 0, 1),
        ("binary", [1], 1, "Others"),
        ("binary", [0, 1], 2, "Others"),
        ("binary", ["no", "yes"], "yes", "no"),
        ("multiclass", [0, 1], 1, "Others"),
        (None, [0, 1], 1, "Others"),
    ])
    def test_other_outcome(self, make_explainer, problem_type, possible, prediction, expected):
        explainer = make_explainer(problem_type=problem_type)
        explainer.possible_predictions = possible
        assert explainer._Sibrelle__get_others_label(prediction) == expected

    def test_the_problem_type_must_be_the_member_itself(self, make_explainer):
        explainer = make_explainer()
        explainer.config.problem_type = "binary"
        explainer.possible_predictions = [0, 1]
        assert explainer._Sibrelle__get_others_label(1) == "Others"


def test_segment_algorithm_members_are_the_wrapper_names():
    # The explainer hands these values to LIME's segmentation wrapper.
    assert (ImageSegmentAlgo.QUICKSHIFT.value, ImageSegmentAlgo.SLIC.value) == ("quickshift", "slic")


class TestSubstitutedGlobals:
    """Module globals substituted by a caller are the ones the steps use."""

    def test_the_label_map_counts_with_the_module_counter_and_max(self, make_explainer,
                                                                  sibrelle, monkeypatch):
        from collections import Counter

        calls = []

        class Counting(Counter):
            def __init__(self, items):
                calls.append("Counter")
                super().__init__(items)

        def recording_max(items):
            calls.append("max")
            return max(items)

        monkeypatch.setattr(sibrelle, "Counter", Counting)
        monkeypatch.setattr(sibrelle, "max", recording_max, raising=False)
        explainer = make_explainer()
        explainer._Sibrelle__set_label_map(np.array([3, 4]), np.array([[0.1, 0.9], [0.5, 0.5]]))
        assert explainer.label_map == {3: 1}
        assert calls == ["max", "Counter"] * 2

    def test_missing_predictions_use_the_module_numpy(self, make_explainer, sibrelle,
                                                      monkeypatch):
        recorder = NumpyRecorder({"argmax"})
        monkeypatch.setattr(sibrelle, "np", recorder)
        explainer = make_explainer()
        explainer.is3d = True
        explainer.meta_values = None
        explainer.scoring_fn = scorer_returning(([[0.1, 0.9], [0.8, 0.2], [0.3, 0.7]], None))
        explainer._Sibrelle__scoring_fn(np.zeros((3, 2, 2, 3)))
        assert recorder.calls == [("argmax", {})] * 3
        assert explainer.possible_predictions == [0, 1]
