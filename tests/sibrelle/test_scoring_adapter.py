"""The classifier function handed to LIME, the label map and the label choice."""

from collections import Counter

import numpy as np
import pandas as pd
import pytest
from lime.lime_image import ImageExplanation

from sibrelle_support import recording_numpy, reference_label_map
from vorn_metrics_plugin.common.utils.constants import ProblemType


def adapter(make_explainer, result, is3d=True, meta_values=None):
    """An explainer whose scoring function returns `result` and records its arguments."""
    explainer = make_explainer()
    explainer.is3d, explainer.meta_values, explainer.calls = is3d, meta_values, []
    explainer.scoring_fn = lambda *args: explainer.calls.append(args) or result
    return explainer


@pytest.mark.parametrize("is3d", [False, True])
@pytest.mark.parametrize("meta_values", [None, pd.DataFrame([["north"]], columns=["site"])])
def test_the_scoring_function_gets_the_batch_and_meta_values(make_explainer, is3d,
                                                             meta_values):
    explainer = adapter(make_explainer, ([[0.2, 0.8]] * 3, None), is3d, meta_values)
    batch = np.stack([np.full((4, 5, 3), (10 * i, 10 * i + 1, 10 * i + 2)) for i in range(3)])
    for _ in range(2):
        explainer._Sibrelle__scoring_fn(batch)
    for call in explainer.calls:
        # Grey rows get the middle channel, with a channel axis.
        expected = batch if is3d else batch[..., 1:2]
        np.testing.assert_array_equal(call[0], expected)
        assert call[0].shape == expected.shape
        assert call[1:] == (() if meta_values is None else (meta_values,))
        assert meta_values is None or call[1] is meta_values


@pytest.mark.parametrize("probabilities, predictions, possible, label_map", [
    # Missing predictions are the first argmax of each row; rows 2 and 3 tie,
    # so only the others enter the map.
    ([[0.1, 0.7, 0.2], [0.4, 0.2, 0.4], [0.3, 0.3, 0.1], [0.1, 0.2, 0.7]], None, [0, 1, 2],
     {1: 1, 2: 2}),
    ([[0.9, 0.1], [0.3, 0.7]], ["cat", "dog"], ["cat", "dog"], {"cat": 0, "dog": 1}),
])
@pytest.mark.parametrize("substituted", [False, True])
def test_predictions_and_label_map_of_a_batch(make_explainer, sibrelle, monkeypatch,
                                              probabilities, predictions, possible, label_map,
                                              substituted):
    calls = []
    if substituted:
        monkeypatch.setattr(sibrelle, "np", recording_numpy(calls, "argmax"))
    explainer = adapter(make_explainer, (probabilities, predictions))
    result = explainer._Sibrelle__scoring_fn(np.zeros((len(probabilities), 3, 3, 3)))
    assert isinstance(result, np.ndarray)
    np.testing.assert_array_equal(result, probabilities)
    assert explainer.possible_predictions == possible
    assert explainer.label_map == label_map
    # A substituted numpy is called row by row, without keywords.
    argmax_calls = len(probabilities) if substituted and predictions is None else 0
    assert calls == [("argmax", {})] * argmax_calls


@pytest.mark.parametrize("result, is3d, error, message", [
    (([[0.5, 0.5]], None, "extra"), True, ValueError, "too many values to unpack (expected 2)"),
    (([[0.5, 0.5]],), True, ValueError, "not enough values to unpack (expected 2, got 1)"),
    # A single grey image loses its batch axis to the squeeze.
    (([[0.5, 0.5]], None), False, IndexError, None),
])
def test_scoring_failures(make_explainer, result, is3d, error, message):
    explainer = adapter(make_explainer, result, is3d)
    with pytest.raises(error) as raised:
        explainer._Sibrelle__scoring_fn(np.zeros((1, 3, 3, 3)))
    assert message is None or str(raised.value) == message


TIES = np.round(np.random.default_rng(3).random((40, 5)), 1)


def with_nan(rows, places):
    rows = np.array(rows, dtype=float)
    for place in places:
        rows[place] = np.nan
    return rows


LABEL_MAP_CASES = {
    "random 100x1000": np.random.default_rng(0).random((100, 1000)),
    "rounded, with ties": TIES,
    "nan first and later": with_nan(TIES[:6], [(0, 0), (1, 3), (2, slice(None)), (4, 4)]),
    "signed zeros": np.array([[-0.0, 0.0, -1.0], [0.0, -0.0, -2.0], [-1.0, -0.0, -3.0]]),
    "integers": np.random.default_rng(1).integers(0, 3, (30, 4)),
    "booleans": np.random.default_rng(2).integers(0, 2, (30, 3)).astype(bool),
    # Booleans viewed from bytes other than 0 and 1: all of them are True.
    "booleans of any byte": np.random.default_rng(5).integers(0, 4, (30, 3),
                                                              dtype=np.uint8).view(bool),
    "float32": TIES.astype(np.float32),
    "strided view": TIES[:, ::-2],
    "fortran order": np.asfortranarray(TIES),
    "big-endian": TIES.astype(">f8"),
    "nested lists": TIES.tolist(),
    "object array": TIES.astype(object),
    "one column": TIES[:, :1],
    "empty rows": np.zeros((2, 0)),
    # (predictions, probabilities)
    "no predictions": (None, np.eye(3)),
    "fewer predictions": ([1, 2], np.eye(3)),
    "more predictions": ([1, 2, 3, 4], np.eye(3)),
    "unhashable predictions": (np.eye(2), np.eye(2)),
}


def outcome(step):
    """The items of the dict a step returns, or the error it raises."""
    try:
        return "result", list(step().items())
    except Exception as error:  # noqa: BLE001 - the error is the outcome compared
        return "error", type(error), str(error)


@pytest.mark.parametrize("case", list(LABEL_MAP_CASES))
def test_label_map_matches_the_python_semantics(make_explainer, case):
    probabilities = LABEL_MAP_CASES[case]
    predictions = np.random.default_rng(4).integers(0, 8, len(probabilities))
    if isinstance(probabilities, tuple):
        predictions, probabilities = probabilities
    explainer = make_explainer()
    explainer.label_map = {"stale": 1}

    def module():
        explainer._Sibrelle__set_label_map(predictions, probabilities)
        return explainer.label_map

    got = outcome(module)
    assert got == outcome(lambda: reference_label_map(predictions, probabilities))
    if got[0] == "result":
        assert all(type(value) is int for value in explainer.label_map.values())
    else:  # the new map is set before the rows are read
        assert explainer.label_map == {}


def test_label_map_keys_are_the_prediction_items(make_explainer):
    explainer = make_explainer()
    explainer._Sibrelle__set_label_map(np.array(["b", "a", "b"]),
                                       np.array([[0.1, 0.9], [0.8, 0.2], [0.7, 0.3]]))
    assert list(explainer.label_map.items()) == [("b", 0), ("a", 0)]
    assert all(type(key) is np.str_ for key in explainer.label_map)


def test_the_label_map_counts_with_the_module_counter_and_max(make_explainer, sibrelle,
                                                              monkeypatch):
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


@pytest.mark.parametrize("probabilities, expected", [
    ([0.3, 0.3, 0.4], [2]), ([0.5, 0.5], [0, 1]), (np.array([0.1, 0.9]), [1]),
    ([0.2, 0.2, 0.2], [0, 1, 2]),
    ([[1], "a"], ValueError),  # the array fails before max is taken
    (None, TypeError),
])
def test_labels_are_all_positions_of_the_maximum(make_explainer, probabilities, expected):
    get_labels = make_explainer()._Sibrelle__get_labels
    if isinstance(expected, type):
        with pytest.raises(expected):
            get_labels({"probability": probabilities})
    else:
        assert get_labels({"probability": probabilities}) == expected


def explanation(top_labels=None, local_exp=None):
    result = ImageExplanation(np.zeros((4, 4, 3)), np.zeros((4, 4), dtype=int))
    result.top_labels, result.local_exp = top_labels, local_exp or {}
    return result


class Listed:
    """An explanation kind that lists its labels."""

    top_labels = [8]

    def available_labels(self):
        return [6, 8]


@pytest.mark.parametrize("probabilities, label_map, given, expected", [
    ([0.1, 0.6, 0.3], {7: 0}, explanation(), 1),                     # a unique maximum
    ([0.4, 0.4, 0.2], {7: 2}, explanation([1], {1: []}), 2),         # a tie: the map
    ([0.5, 0.5], {}, explanation([np.int64(3), np.int64(1)], {1: [], 3: []}), 3),
    ([0.5, 0.5], {}, explanation(None, {5: [(0, 0.1)], 2: []}), 5),
    ([0.5, 0.5], {}, explanation([], {4: []}), 4),
    ([0.5, 0.5], {}, Listed(), 6),
])
def test_label_choice(make_explainer, probabilities, label_map, given, expected):
    explainer = make_explainer()
    explainer.label_map = label_map
    row = {"probability": probabilities, "prediction": 7}
    assert explainer._Sibrelle__get_label(row, given) == expected
    if len(label_map) == 0:  # a tie needs the prediction column
        with pytest.raises(KeyError):
            explainer._Sibrelle__get_label({"probability": probabilities}, given)


@pytest.mark.parametrize("problem_type, possible, prediction, expected", [
    (ProblemType.BINARY, [0, 1], 1, 0),
    (ProblemType.BINARY, [0, 1], 0, 1),
    (ProblemType.BINARY, [1], 1, "Others"),
    (ProblemType.BINARY, [0, 1], 2, "Others"),
    (ProblemType.BINARY, ["no", "yes"], "yes", "no"),
    (ProblemType.MULTICLASS, [0, 1], 1, "Others"),
    (None, [0, 1], 1, "Others"),
    ("binary", [0, 1], 1, "Others"),  # equal to the member, not it
])
def test_others_label(make_explainer, problem_type, possible, prediction, expected):
    explainer = make_explainer()
    explainer.config.problem_type, explainer.possible_predictions = problem_type, possible
    assert explainer._Sibrelle__get_others_label(prediction) == expected
