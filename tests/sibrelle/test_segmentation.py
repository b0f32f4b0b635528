"""Segmentation search, the LIME run of a row and the raw explanation."""

import gc
import json

import numpy as np
import pandas as pd
import pytest
import skimage.segmentation

from sibrelle_support import brightness_scorer, colour_image, frame
from vorn_metrics_plugin.metrics.explainability.entity.constants import FEATURES_COUNT


class FakeAlgorithm:
    """Stands in for SegmentationAlgorithm: quickshift maps get as many
    distinct ids as `counts[kernel_size]`; every object and call is recorded."""

    def __init__(self, algo_type, **params):
        self.algo_type, self.params, self.calls = algo_type, params, 0
        FakeAlgorithm.made.append(self)

    def __call__(self, image):
        self.calls += 1
        ids = self.counts[self.params["kernel_size"]]
        return np.arange(image.shape[0] * image.shape[1]).reshape(image.shape[:2]) % ids


@pytest.fixture
def fake_algorithm(sibrelle, monkeypatch):
    monkeypatch.setattr(FakeAlgorithm, "made", [], raising=False)
    monkeypatch.setattr(FakeAlgorithm, "counts", {}, raising=False)
    monkeypatch.setattr(sibrelle, "SegmentationAlgorithm", FakeAlgorithm)
    return FakeAlgorithm


@pytest.mark.parametrize("algo, counts, features_count, shape, chosen, tried", [
    # Automatic: the first quickshift with more segments than wanted.
    (None, {4: 3, 3: 4, 2: 12, 1: 30}, 5, (20, 20, 3), ("quickshift", 2), [4, 3, 2]),
    (None, {4: 6, 3: 1, 2: 1, 1: 1}, 5, (20, 20, 3), ("quickshift", 4), [4]),
    # Automatic, none enough: SLIC with the wanted count...
    (None, {4: 1, 3: 1, 2: 2, 1: 4}, 5, (20, 20, 3), ("slic", 5), [4, 3, 2, 1]),
    # ...but exactly the wanted count from kernel 1 keeps quickshift.
    (None, {4: 1, 3: 1, 2: 2, 1: 5}, 5, (20, 20, 3), ("quickshift", 1), [4, 3, 2, 1]),
    ("quickshift", {4: 1, 3: 1, 2: 2, 1: 3}, 5, (20, 20, 3), ("quickshift", 1), [4, 3, 2, 1]),
    ("slic", {}, 7, (20, 20, 3), ("slic", 7), []),
    # The wanted count is capped at 200.
    (None, {4: 150, 3: 201, 2: 300, 1: 400}, 500, (20, 20, 3), ("quickshift", 3), [4, 3]),
    # With the default feature count SLIC is sized by the image: 0.7 * min(longest side, 100).
    ("slic", {}, FEATURES_COUNT, (28, 28, 3), ("slic", 19), []),
    ("slic", {}, FEATURES_COUNT, (224, 224, 3), ("slic", 70), []),
    ("slic", {}, FEATURES_COUNT, (300, 120, 3), ("slic", 70), []),
    ("slic", {}, FEATURES_COUNT, (20, 10, 3), ("slic", 14), []),
])
def test_segmentation_choice(make_explainer, fake_algorithm, algo, counts, features_count,
                             shape, chosen, tried):
    fake_algorithm.counts.update(counts)
    explainer = make_explainer(lime={"image_segment_algo": algo,
                                     "features_count": features_count})
    function = explainer._Sibrelle__get_segmentation_fn(np.zeros(shape))
    assert function is fake_algorithm.made[-1]
    key = "kernel_size" if function.algo_type == "quickshift" else "n_segments"
    assert (function.algo_type, function.params[key]) == chosen
    quickshift = [made for made in fake_algorithm.made if made.algo_type == "quickshift"]
    assert [made.params["kernel_size"] for made in quickshift] == tried
    assert all(made.calls == 1 for made in quickshift)
    assert all(made.params == {"kernel_size": made.params["kernel_size"], "max_dist": 200,
                               "ratio": 0.2, "random_seed": 7} for made in quickshift)


def test_another_algorithm_leaves_the_function_unbound(make_explainer, fake_algorithm):
    explainer = make_explainer(lime={"image_segment_algo": "felzenszwalb"})
    with pytest.raises(UnboundLocalError, match="segmentation_fn"):
        explainer._Sibrelle__get_segmentation_fn(np.zeros((8, 8, 3)))
    assert fake_algorithm.made == []


@pytest.mark.parametrize("algo", [None, "quickshift", "slic"])
def test_every_segmentation_runs_once_per_row(make_explainer, sibrelle, monkeypatch, algo):
    made = []

    class Counted(sibrelle.SegmentationAlgorithm):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.results = []
            made.append(self)

        def __call__(self, image):
            self.results.append(super().__call__(image))
            return self.results[-1]

    monkeypatch.setattr(sibrelle, "SegmentationAlgorithm", Counted)
    explainer = make_explainer(lime={"image_segment_algo": algo, "return_raw_explanation": True})
    raw = explainer.explain_data(frame([colour_image(), colour_image(5)]), brightness_scorer)[
        "local_explanations"]
    assert made and all(len(function.results) == 1 for function in made)
    # LIME explained each row over the map of the function that was chosen.
    chosen = [function for function in made if function.results][-1]
    assert raw[1]["feature_matrix"] == chosen.results[0].tolist()
    # A substituted SegmentationAlgorithm keeps scikit-image's function.
    assert all(function.target_fn.__module__.startswith("skimage.") for function in made)


# Both rows search down to kernel 1, whose map LIME then explains over.
@pytest.mark.parametrize("algo, features, raw", [(None, 5, False), ("quickshift", 30, True)])
def test_rows_are_identical_with_and_without_the_native_quickshift(
        make_explainer, sibrelle, monkeypatch, algo, features, raw):
    data = frame([colour_image(), colour_image(3).astype(float) / 255])
    native, kernel_sizes = sibrelle.quickshift, []

    def counted(image, **settings):
        kernel_sizes.append(settings["kernel_size"])
        return native(image, **settings)

    settings = {"image_segment_algo": algo, "return_raw_explanation": raw,
                "features_count": features}
    monkeypatch.setattr(sibrelle, "quickshift", counted)
    with_native = make_explainer(lime=settings).explain_data(data, brightness_scorer)
    assert kernel_sizes == [4, 3, 2, 1] * 2
    monkeypatch.setattr(sibrelle, "quickshift", skimage.segmentation.quickshift)
    assert make_explainer(lime=settings).explain_data(data, brightness_scorer) == with_native


class FakeExplanation:
    def __init__(self, labels=(0, 1)):
        self.image = colour_image()[:4, :4]
        self.segments = np.arange(16).reshape(4, 4) // 4
        self.local_exp = {np.int64(label): [(np.int64(3), 0.5), (np.int64(0), -0.25)]
                          for label in labels}
        self.top_labels = list(labels)
        self.intercept = {0: 0.25, 1: 0.25}
        self.score, self.local_pred = 0.5, np.array([0.75])


def test_lime_explainer_and_explain_instance_arguments(make_explainer, sibrelle, monkeypatch):
    constructed, explained = [], []

    class LimeImageExplainer:
        def __init__(self, **kwargs):
            constructed.append(kwargs)

        def explain_instance(self, **kwargs):
            explained.append(kwargs)
            return FakeExplanation()

    monkeypatch.setattr(sibrelle, "lime_image", type("lime_image", (), {
        "LimeImageExplainer": LimeImageExplainer}))
    explainer = make_explainer(lime={"feature_selection": "lasso_path",
                                     "image_segment_algo": "slic",
                                     "return_raw_explanation": True})
    explainer.explain_data(frame([colour_image()]), brightness_scorer)
    assert constructed == [{"verbose": False, "random_state": 8,
                            "feature_selection": "lasso_path"}]
    (arguments,) = explained
    assert list(arguments) == ["image", "classifier_fn", "labels", "hide_color", "batch_size",
                               "segmentation_fn", "num_samples"]
    np.testing.assert_array_equal(arguments["image"], colour_image())
    assert arguments["classifier_fn"].__func__ is type(explainer).__dict__[
        "_Sibrelle__scoring_fn"]
    assert arguments["classifier_fn"].__self__ is explainer
    assert (arguments["labels"], arguments["hide_color"], arguments["batch_size"],
            arguments["num_samples"]) == ([1], 0, 10, 30)
    assert arguments["segmentation_fn"].target_fn.__name__ == "slic"


@pytest.mark.parametrize("row, labels, problem_type, expected", [
    ({"probability": [0.3, 0.7], "prediction": 1}, (0, 1), "binary",
     ({"1": [("3", 0.5), ("0", -0.25)]}, 0.7, "1", "0")),
    # The label search reads a JSON cell undecoded (no position matches the
    # maximum character), so the explanation's first label is taken.
    ({"probability": json.dumps([0.2, 0.8]), "prediction": None}, (0, 1), "multiclass",
     ({"0": [("3", 0.5), ("0", -0.25)]}, 0.8, "1", "Others")),
    # No weights for the label; the prediction is the argmax.
    ({"probability": [0.3, 0.7]}, (0,), "binary", ({}, 0.7, "1", "0")),
])
def test_raw_explanation(make_explainer, logger, row, labels, problem_type, expected):
    explainer = make_explainer(problem_type=problem_type)
    explainer.possible_predictions, explainer.label_map = [0, 1], {}
    fake = FakeExplanation(labels)
    raw = explainer._Sibrelle__get_raw_explanation(row, fake)
    assert list(raw) == ["input_image", "feature_matrix", "feature_weights",
                         "prediction_probability", "prediction", "others_label"]
    assert raw["input_image"] == fake.image.tolist()
    assert type(raw["input_image"][0][0][0]) is int
    assert raw["feature_matrix"] == fake.segments.tolist()
    assert (raw["feature_weights"], raw["prediction_probability"], raw["prediction"],
            raw["others_label"]) == expected
    assert logger.messages("debug") == [
        "Lime explanation details are score 0.5, intercept 0.25, local_pred [0.75]."]


@pytest.mark.parametrize("image", [
    np.arange(24, dtype=np.float32).reshape(2, 4, 3) / 7,
    np.array([[True, False]]),
    np.array([[2, 0, 1, 255]], dtype=np.uint8).view(bool),
    np.arange(6, dtype=np.uint64).reshape(2, 3) * (2 ** 63 // 5),
    np.arange(12, dtype=">i4").reshape(3, 4),
    np.arange(24).reshape(2, 3, 4)[:, ::-1, 1:],
    np.matrix([[1.5, 2.0], [3.0, 4.0]]),
])
@pytest.mark.parametrize("collecting", [True, False])
def test_raw_lists_are_what_tolist_gives(make_explainer, logger, image, collecting):
    explainer = make_explainer()
    explainer.possible_predictions = [0, 1]
    fake = FakeExplanation()
    fake.image = image
    was_enabled = gc.isenabled()
    (gc.enable if collecting else gc.disable)()
    try:
        raw = explainer._Sibrelle__get_raw_explanation({"probability": [0.3, 0.7]}, fake)
        # The collector is paused while the lists are built, and left as it was.
        assert gc.isenabled() is collecting
    finally:
        (gc.enable if was_enabled else gc.disable)()
    assert raw["input_image"] == image.tolist()
    assert repr(raw["input_image"]) == repr(image.tolist())


# How a frame holds a missing prediction under pandas 3: a text column reads
# a None back as NaN, a string column holds pd.NA, a float column NaN.
@pytest.mark.parametrize("predictions", [
    ["cat", None],
    pd.array(["cat", pd.NA], dtype="string"),
    [1.0, None],
    [None, None],
])
def test_a_missing_prediction_comes_from_the_probabilities(make_explainer, predictions):
    data = pd.DataFrame({"image": [colour_image(), colour_image(1)], "prediction": predictions,
                         "probability": [[0.3, 0.7], [0.8, 0.2]]})
    raw = make_explainer(lime={"return_raw_explanation": True}).explain_data(
        data, brightness_scorer)["local_explanations"]
    assert [row["prediction"] for row in raw] == [
        "1" if predictions[0] is None else str(predictions[0]), "0"]
    response = make_explainer().explain_data(data.iloc[1:], brightness_scorer)
    (record,) = response["local_explanations"]
    assert record["predictions"][0]["value"] == "0"
