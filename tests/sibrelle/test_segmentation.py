"""Segmentation search, the LIME run of a row and the raw explanation."""

import json

import numpy as np
import pandas as pd
import pytest

from sibrelle_support import SIZE, brightness_scorer, colour_image
from vorn_metrics_plugin.metrics.explainability.entity.constants import FEATURES_COUNT


class FakeAlgorithm:
    """Stands in for SegmentationAlgorithm: quickshift maps get as many
    distinct ids as `counts[kernel_size]`; every object and call is recorded."""

    made = []
    counts = {}

    def __init__(self, algo_type, **params):
        self.algo_type = algo_type
        self.params = params
        self.calls = 0
        FakeAlgorithm.made.append(self)

    def __call__(self, image):
        self.calls += 1
        ids = self.counts[self.params["kernel_size"]]
        return np.arange(image.shape[0] * image.shape[1]).reshape(image.shape[:2]) % ids

    def describe(self):
        if self.algo_type == "quickshift":
            return ("quickshift", self.params["kernel_size"])
        return ("slic", self.params["n_segments"])


@pytest.fixture
def fake_algorithm(sibrelle, monkeypatch):
    FakeAlgorithm.made = []
    FakeAlgorithm.counts = {}
    monkeypatch.setattr(sibrelle, "SegmentationAlgorithm", FakeAlgorithm)
    return FakeAlgorithm


class TestSegmentationChoice:
    @pytest.mark.parametrize("algo, counts, features_count, chosen, tried", [
        # Automatic: the first quickshift with more segments than wanted.
        (None, {4: 3, 3: 4, 2: 12, 1: 30}, 5, ("quickshift", 2), [4, 3, 2]),
        (None, {4: 6, 3: 1, 2: 1, 1: 1}, 5, ("quickshift", 4), [4]),
        # Automatic, none enough: SLIC with the wanted count...
        (None, {4: 1, 3: 1, 2: 2, 1: 4}, 5, ("slic", 5), [4, 3, 2, 1]),
        # ...but exactly the wanted count from kernel 1 keeps quickshift.
        (None, {4: 1, 3: 1, 2: 2, 1: 5}, 5, ("quickshift", 1), [4, 3, 2, 1]),
        ("quickshift", {4: 1, 3: 1, 2: 2, 1: 3}, 5, ("quickshift", 1), [4, 3, 2, 1]),
        ("slic", {}, 7, ("slic", 7), []),
        # The wanted count is capped at 200.
        (None, {4: 150, 3: 201, 2: 300, 1: 400}, 500, ("quickshift", 3), [4, 3]),
    ])
    def test_choice(self, make_explainer, fake_algorithm, algo, counts, features_count, chosen,
                    tried):
        fake_algorithm.counts = counts
        explainer = make_explainer(lime={"image_segment_algo": algo,
                                         "features_count": features_count})
        function = explainer._Sibrelle__get_segmentation_fn(np.zeros((20, 20, 3)))
        assert function is fake_algorithm.made[-1]
        assert function.describe() == chosen
        quickshift = [made for made in fake_algorithm.made if made.algo_type == "quickshift"]
        assert [made.params["kernel_size"] for made in quickshift] == tried
        assert all(made.calls == 1 for made in quickshift)
        assert all(made.params == {"kernel_size": made.params["kernel_size"], "max_dist": 200,
                                   "ratio": 0.2, "random_seed": 7} for made in quickshift)

    @pytest.mark.parametrize("shape, expected", [((28, 28, 3), 19), ((224, 224, 3), 70),
                                                 ((300, 120, 3), 70), ((20, 10, 3), 14)])
    def test_default_feature_count_sizes_slic_by_the_image(self, make_explainer, fake_algorithm,
                                                           shape, expected):
        explainer = make_explainer(lime={"image_segment_algo": "slic",
                                         "features_count": FEATURES_COUNT})
        function = explainer._Sibrelle__get_segmentation_fn(np.zeros(shape))
        assert function.describe() == ("slic", expected)

    def test_another_algorithm_leaves_the_function_unbound(self, make_explainer, fake_algorithm):
        explainer = make_explainer(lime={"image_segment_algo": "felzenszwalb"})
        with pytest.raises(UnboundLocalError, match="segmentation_fn"):
            explainer._Sibrelle__get_segmentation_fn(np.zeros((8, 8, 3)))
        assert fake_algorithm.made == []


class TestChosenSegmentationIsComputedOnce:
    @pytest.fixture
    def counted(self, sibrelle, monkeypatch):
        real = sibrelle.SegmentationAlgorithm
        made = []

        class Counted(real):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, **kwargs)
                self.results = []
                made.append(self)

            def __call__(self, image):
                segments = super().__call__(image)
                self.results.append(segments)
                return segments

        monkeypatch.setattr(sibrelle, "SegmentationAlgorithm", Counted)
        return made

    @pytest.mark.parametrize("algo", [None, "quickshift", "slic"])
    def test_every_segmentation_runs_once_per_row(self, make_explainer, counted, algo):
        explainer = make_explainer(lime={"image_segment_algo": algo, "return_raw_explanation": True})
        data = pd.DataFrame({"image": [colour_image(), colour_image(5)],
                             "prediction": [1, 0], "probability": [[0.3, 0.7], [0.6, 0.4]]})
        raw = explainer.explain_data(data, brightness_scorer)["local_explanations"]
        assert counted and all(len(made.results) == 1 for made in counted)
        # LIME explained each row over the map of the function that was chosen.
        chosen = [made for made in counted if made.results][-1]
        assert raw[1]["feature_matrix"] == chosen.results[0].tolist()

    def test_a_substituted_segmentation_function_is_used_by_lime(self, make_explainer, sibrelle,
                                                                 monkeypatch):
        calls = []

        def halves(image):
            calls.append(image.shape)
            return (np.arange(image.shape[1]) >= image.shape[1] // 2).astype(int)[None, :].repeat(
                image.shape[0], axis=0)

        class Fixed(sibrelle.Sibrelle):
            def _Sibrelle__get_segmentation_fn(self, image):
                return halves

        explainer = Fixed(make_explainer().config)
        explainer.initialize()
        explainer.return_raw_explanation = True
        data = pd.DataFrame({"image": [colour_image()], "prediction": [1],
                             "probability": [[0.3, 0.7]]})
        (raw,) = explainer.explain_data(data, brightness_scorer)["local_explanations"]
        assert calls == [(SIZE, SIZE, 3)]
        assert np.unique(raw["feature_matrix"]).tolist() == [0, 1]


class FakeLimeModule:
    """Stands in for lime.lime_image, recording how the explainer is used."""

    def __init__(self, explanation):
        self.explanation = explanation
        self.constructed = []
        self.explained = []
        module = self

        class LimeImageExplainer:
            def __init__(self, **kwargs):
                module.constructed.append(kwargs)

            def explain_instance(self, **kwargs):
                module.explained.append(kwargs)
                return module.explanation

        self.LimeImageExplainer = LimeImageExplainer


class FakeExplanation:
    def __init__(self, image, segments, local_exp, top_labels=None):
        self.image = image
        self.segments = segments
        self.local_exp = local_exp
        self.top_labels = top_labels
        self.intercept = {label: 0.25 for label in local_exp}
        self.score = 0.5
        self.local_pred = np.array([0.75])


def small_explanation(labels=(0, 1)):
    image = colour_image()[:4, :4]
    segments = np.arange(16).reshape(4, 4) // 4
    local_exp = {np.int64(label): [(np.int64(3), 0.5), (np.int64(0), -0.25)] for label in labels}
    return FakeExplanation(image, segments, local_exp, list(labels))


class TestLimeRun:
    def test_explainer_and_explain_instance_arguments(self, make_explainer, sibrelle, monkeypatch):
        fake = FakeLimeModule(small_explanation())
        monkeypatch.setattr(sibrelle, "lime_image", fake)
        explainer = make_explainer(lime={"feature_selection": "lasso_path", "image_segment_algo": "slic",
                                         "return_raw_explanation": True})
        data = pd.DataFrame({"image": [colour_image()], "prediction": [1],
                             "probability": [[0.3, 0.7]]})
        explainer.explain_data(data, brightness_scorer)
        assert fake.constructed == [{"verbose": False, "random_state": 8,
                                     "feature_selection": "lasso_path"}]
        (arguments,) = fake.explained
        assert list(arguments) == ["image", "classifier_fn", "labels", "hide_color", "batch_size",
                                   "segmentation_fn", "num_samples"]
        np.testing.assert_array_equal(arguments["image"], colour_image())
        assert arguments["classifier_fn"].__func__ is type(explainer).__dict__[
            "_Sibrelle__scoring_fn"].__func__
        assert arguments["classifier_fn"].__self__ is explainer
        assert (arguments["labels"], arguments["hide_color"], arguments["batch_size"],
                arguments["num_samples"]) == ([1], 0, 10, 30)
        assert arguments["segmentation_fn"].target_fn.__name__ == "slic"


class TestRawExplanation:
    def test_contents(self, make_explainer, logger):
        explainer = make_explainer()
        explainer.possible_predictions = [0, 1]
        fake = small_explanation()
        raw = explainer._Sibrelle__get_raw_explanation(
            {"probability": [0.3, 0.7], "prediction": 1}, fake)
        assert raw == {
            "input_image": fake.image.tolist(),
            "feature_matrix": fake.segments.tolist(),
            "feature_weights": {"1": [("3", 0.5), ("0", -0.25)]},
            "prediction_probability": 0.7,
            "prediction": "1",
            "others_label": "0",
        }
        assert type(raw["input_image"][0][0][0]) is int
        assert logger.messages("debug") == [
            "Lime explanation details are score 0.5, intercept 0.25, local_pred [0.75]."]

    def test_json_probabilities_and_a_missing_prediction(self, make_explainer, logger):
        explainer = make_explainer(problem_type="multiclass")
        explainer.possible_predictions = [0, 1]
        # The label search reads the cell undecoded (no position matches the
        # maximum character), so the explanation's first label is taken.
        explainer.label_map = {}
        raw = explainer._Sibrelle__get_raw_explanation(
            {"probability": json.dumps([0.2, 0.8]), "prediction": None}, small_explanation())
        assert (raw["prediction_probability"], raw["prediction"], raw["others_label"]) == (
            0.8, "1", "Others")
        assert list(raw["feature_weights"]) == ["0"]

    def test_no_weights_for_the_label_gives_an_empty_entry(self, make_explainer, logger):
        explainer = make_explainer()
        explainer.possible_predictions = [0]
        fake = small_explanation(labels=(0,))
        fake.intercept[1] = 0.0
        raw = explainer._Sibrelle__get_raw_explanation({"probability": [0.3, 0.7]}, fake)
        assert raw["feature_weights"] == {}

    @pytest.mark.parametrize("image", [
        np.arange(24, dtype=np.float32).reshape(2, 4, 3) / 7,
        np.array([[True, False]]),
        np.array([[2, 0, 1, 255]], dtype=np.uint8).view(bool),
        np.arange(6, dtype=np.uint64).reshape(2, 3) * (2 ** 63 // 5),
        np.arange(12, dtype=">i4").reshape(3, 4),
        np.arange(24).reshape(2, 3, 4)[:, ::-1, 1:],
        np.matrix([[1.5, 2.0], [3.0, 4.0]]),
    ])
    def test_lists_are_what_tolist_gives(self, make_explainer, logger, image):
        explainer = make_explainer()
        explainer.possible_predictions = [0, 1]
        fake = small_explanation()
        fake.image = image
        raw = explainer._Sibrelle__get_raw_explanation({"probability": [0.3, 0.7]}, fake)
        expected = image.tolist()
        assert raw["input_image"] == expected
        assert repr(raw["input_image"]) == repr(expected)
