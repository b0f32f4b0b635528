"""Campaigns of module sibrelle: configuration and properties; the explanation
flow with its private steps (reached through their mangled names).

Images of a sound shape are 8x8 and the LIME settings small, so that a call
that gets through to LIME costs milliseconds; the numeric steps also get huge
(zero-stride) arrays, which cost no memory.
"""

import io
import os
from unittest import mock

import h5py
import numpy as np
import pandas as pd
from hypothesis import strategies as st

from tests.support.hardening import values
from tests.support.hardening.campaigns import Campaign
from tests.support.hardening.entries import Entry

from vorn_metrics_plugin.metrics.explainability.entity.constants import ImageHeuristic
from vorn_metrics_plugin.metrics.explainability.entity.explain_config import ExplainConfig
from vorn_metrics_plugin.metrics.explainability.explainers.lime import sibrelle

S = sibrelle.Sibrelle
SIZE = 8
small = values.small_anything


def image(seed):
    return np.random.default_rng(seed).integers(0, 256, size=(SIZE, SIZE, 3), dtype=np.uint8)


def hdf5_bytes(array):
    buffer = io.BytesIO()
    with h5py.File(buffer, "w") as file:
        file["data"] = array
    return buffer.getvalue()


def config(**overrides):
    settings = dict(input_data_type="image", problem_type="binary", features=["image"],
                    prediction_column="prediction", probability_column="probability",
                    parameters={"lime": {"features_count": 3, "perturbations_count": 8,
                                         "scoring_batch_size": 4}})
    settings.update(overrides)
    return ExplainConfig(**settings)


SEGMENTS = (np.arange(SIZE * SIZE).reshape(SIZE, SIZE) // 16).astype(np.int64)


def new_explainer():
    """An initialised explainer in the state of a row being explained."""
    explainer = S(config())
    explainer.initialize()
    explainer.scoring_fn = sound_scorer(2)
    explainer.meta_values = None
    explainer.input_image_array = image(0)
    explainer.feature_matrix = SEGMENTS
    explainer.feature_weights = [(0, 0.5), (1, -0.25), (2, 0.125), (3, -0.0625)]
    explainer.total_features = [("0", 0.5), ("1", -0.25)]
    explainer.label = "1"
    return explainer


# ---------------------------------------------------------------------------
# Inputs

images = st.one_of(
    st.integers(0, 3).map(image),
    st.integers(0, 3).map(lambda seed: image(seed)[:, :, :1]),
    st.integers(0, 3).map(lambda seed: image(seed).astype(float) / 255),
    st.integers(0, 3).map(lambda seed: hdf5_bytes(image(seed))),
    values.arrays, values.bad_hdf5, st.just(hdf5_bytes(np.zeros((2, 2, 7)))),
)
probabilities = st.one_of(st.just([0.3, 0.7]), st.lists(values.floats, max_size=3), values.arrays, small)
predictions = st.one_of(st.sampled_from([0, 1, "cat", None, np.nan, pd.NA]), small)


def _frame(rows, extra):
    try:
        frame = pd.DataFrame({"image": [r[0] for r in rows], "prediction": [r[1] for r in rows],
                              "probability": [r[2] for r in rows]})
    except Exception:
        return pd.DataFrame()
    for name, value in extra.items():
        frame[name] = [value] * len(frame)
    return frame


frames = st.one_of(
    st.builds(_frame, st.lists(st.tuples(images, predictions, probabilities), max_size=2),
              st.dictionaries(st.sampled_from(["meta", "other"]), small, max_size=1)),
    values.frames,
)


def scoring_answer(batch_size, classes, predictions_kind):
    probs = np.full((batch_size, classes), 1.0 / max(classes, 1))
    if classes:
        probs[:, 0] += 0.01
    return probs, (None if predictions_kind == 0 else np.zeros(batch_size, dtype=int))


def sound_scorer(classes):
    def score(batch, *meta):
        return scoring_answer(len(batch), classes, 0)
    return score


scoring_fns = st.one_of(
    st.integers(0, 3).map(sound_scorer),
    values.callbacks(st.one_of(st.tuples(small, small), st.builds(scoring_answer, st.integers(0, 6),
                                                                   st.integers(0, 3), st.integers(0, 1)), small)),
)

row_records = st.one_of(st.fixed_dictionaries({"image": images, "prediction": predictions,
                                               "probability": probabilities},
                                              optional={"meta": small}), small)
features = st.one_of(st.lists(st.tuples(st.integers(-2, 70), values.floats), max_size=4),
                     st.lists(st.tuples(values.integers, small), max_size=3),
                     st.lists(st.lists(values.integers, max_size=3), max_size=3), small)
raw_explanations = st.one_of(
    st.fixed_dictionaries({}, optional={
        "input_image": st.one_of(images, values.arrays), "feature_matrix": st.one_of(values.arrays, small),
        "feature_weights": features, "label": st.one_of(values.texts, small),
        "total_features": features, "prediction": predictions}),
    small)
configs = st.one_of(
    st.builds(lambda kw: config(**kw), st.fixed_dictionaries({}, optional={
        "problem_type": st.sampled_from(["binary", "multiclass", "regression"]),
        "input_data_type": st.sampled_from(["image", "structured", "text"]),
        "meta_fields": st.sampled_from([["meta"], "meta", []]),
        "parameters": st.dictionaries(st.sampled_from(["lime", "other"]), st.dictionaries(
            st.sampled_from(["features_count", "perturbations_count", "scoring_batch_size", "feature_selection",
                             "image_segment_algo", "return_raw_explanation"]),
            st.one_of(st.integers(-2, 20), small), max_size=3), max_size=2)})),
    st.builds(config),
)
CONFIG_ATTRIBUTES = ["input_data_type", "problem_type", "features", "prediction_column", "probability_column",
                     "meta_fields", "metric_types", "parameters"]


def spoiled_config(base, spoils):
    for name, value in spoils.items():
        setattr(base, name, value)
    return base


spoiled_configs = st.one_of(configs, st.builds(spoiled_config, configs,
                                               st.fixed_dictionaries({}, optional={n: small
                                                                                   for n in CONFIG_ATTRIBUTES})))
ATTRIBUTES = {
    "config": spoiled_configs, "is3d": st.booleans(), "possible_predictions": st.lists(predictions, max_size=3),
    "label_map": st.dictionaries(st.sampled_from([0, 1, "cat"]), st.integers(-1, 3), max_size=2),
    "feature": st.sampled_from(["image", "nope"]), "return_raw_explanation": st.booleans(),
    "scoring_fn": scoring_fns, "meta_values": st.one_of(st.none(), values.frames),
    "input_image_array": st.one_of(images, values.numpy_values), "feature_matrix": values.numpy_values,
    "label": values.texts, "total_features": features, "feature_weights": features,
    "features_count": st.integers(-1, 12), "perturbations_count": st.integers(-1, 12),
    "scoring_batch_size": st.integers(-1, 12),
}


def method(name, malformed=small, **params):
    function = vars(S)[name]
    return Entry(f"sibrelle.Sibrelle.{name}", sibrelle, function, params, instance=new_explainer,
                 attributes=ATTRIBUTES, malformed=malformed,
                 optional_fakes={"h5py": st.one_of(st.none(), small), "imageio": small,
                                 "lime_image": small, "gray2rgb": values.callbacks()})


def prop(name, part, **params):
    accessor = getattr(vars(S)[name], part)
    entry = Entry(f"sibrelle.Sibrelle.{name}.{part}", sibrelle, accessor, params, instance=new_explainer,
                  attributes=ATTRIBUTES)
    return entry


def configuration():
    entries = [
        Entry("sibrelle.Sibrelle", sibrelle, S, {"explain_config": spoiled_configs}),
        method("__init__", explain_config=spoiled_configs),
        method("is_supported"),
        method("initialize"),
    ]
    for name in ("features_count", "perturbations_count", "scoring_batch_size", "feature_selection",
                 "image_segment_algo"):
        entries.append(prop(name, "fget"))
        entries.append(prop(name, "fset", value=st.one_of(values.integers, values.texts, values.floats)))
    return Campaign([sibrelle], [S], entries, configuration_health)


def configuration_health():
    explainer = new_explainer()
    return (explainer.features_count, explainer.perturbations_count, explainer.scoring_batch_size,
            str(explainer.feature_selection), str(explainer.image_segment_algo), explainer.is_supported())


def explanation():
    entries = [
        method("explain_data", data=frames, scoring_fn=scoring_fns),
        method("_Sibrelle__prepare_data", data=frames),
        method("_Sibrelle__explain_row", data_row=row_records),
        method("_Sibrelle__get_meta_values", data_row=row_records),
        method("_Sibrelle__get_input_image", test_instance=images),
        method("_Sibrelle__decode_image_array", encoded_image=st.one_of(images, values.bad_hdf5)),
        method("is_valid_scoring_input", values.anything, test_data_point=values.numpy_values),
        method("_Sibrelle__scoring_fn", data=st.one_of(images.map(lambda i: np.stack([i, i])), values.arrays)),
        method("_Sibrelle__set_label_map", values.anything, predictions=st.one_of(values.numpy_values, predictions),
               probabilities=values.numpy_values),
        method("_Sibrelle__get_labels", data_row=row_records),
        method("_Sibrelle__get_label", data_row=row_records, explanation=small),
        method("_Sibrelle__get_others_label", prediction=predictions),
        method("_Sibrelle__get_segmentation_fn", image=st.one_of(images, values.arrays)),
        method("_Sibrelle__get_raw_explanation", data_row=row_records, explanation=small),
        method("convert_raw_explanation", raw_explanation=raw_explanations),
        method("_split_features", values.anything,
               heuristic=st.one_of(st.sampled_from(list(ImageHeuristic)), values.texts),
               min_weight=values.floats),
        method("_convert_to_base64", values.anything, image_array=values.numpy_values),
        method("_get_outcome_image", values.anything, features=features),
    ]
    return Campaign([sibrelle], [S], entries, explanation_health)


def explanation_health():
    explainer = new_explainer()
    frame = pd.DataFrame({"image": [image(0)], "prediction": [0], "probability": [[0.6, 0.4]]})
    result = explainer.explain_data(frame, sound_scorer(2))
    record = result["local_explanations"][0]
    return sorted(record) if isinstance(record, dict) else repr(record)


# ---------------------------------------------------------------------------
# LIME's explainer with the native data_labels

N = sibrelle.NativeLimeImageExplainer


def new_lime_explainer():
    return N(random_state=0)


def fudged(image_value):
    return np.zeros_like(image_value) if isinstance(image_value, np.ndarray) else image_value


def lime_classifier(classes):
    def classify(batch):
        return np.full((len(batch), classes), 1.0 / max(classes, 1))
    return classify


def resizing_classifier(batch):
    """Changes the batch it was handed as far as numpy lets it."""
    batch.shape = (batch.size,)
    batch[:] = 0
    return np.ones((len(batch), 2))


lime_images = st.one_of(st.integers(0, 3).map(image), st.integers(0, 3).map(lambda seed: image(seed)[:, :, 0]),
                        st.integers(0, 3).map(lambda seed: image(seed).astype(np.float32)), values.numpy_values)
segment_maps = st.one_of(st.just(SEGMENTS), st.just(SEGMENTS.astype(np.uint8)), st.just(SEGMENTS[:4]),
                         st.just(SEGMENTS.T.copy()), st.just(-SEGMENTS), values.numpy_values)
classifiers = st.one_of(st.integers(0, 3).map(lime_classifier), st.just(resizing_classifier),
                        values.callbacks(st.one_of(values.arrays, small)))


def lime_kernel():
    entries = [
        Entry("sibrelle.NativeLimeImageExplainer.data_labels", sibrelle, vars(N)["data_labels"],
              {"image": lime_images, "fudged_image": st.one_of(lime_images, lime_images.map(fudged)),
               "segments": segment_maps, "classifier_fn": classifiers,
               "num_samples": st.one_of(st.integers(-1, 12), values.integers),
               "batch_size": st.one_of(st.integers(-1, 12), values.integers)},
              instance=new_lime_explainer,
              attributes={"random_state": st.one_of(st.builds(np.random.RandomState, st.integers(0, 9)),
                                                    st.builds(np.random.default_rng), small)},
              optional_fakes={"lime_image": small}),
    ]
    return Campaign([sibrelle], [S, N], entries, lime_kernel_health)


def lime_kernel_health():
    explainer = new_lime_explainer()
    data, labels = explainer.data_labels(image(0), np.zeros((SIZE, SIZE, 3), np.uint8), SEGMENTS,
                                         lime_classifier(2), 5, batch_size=2)
    return data.tolist(), labels.tolist()


# ---------------------------------------------------------------------------
# quickshift

def thread_cap(value):
    """The call runs with VORN_SIBRELLE_THREADS set to `value` (None: as it is)."""
    return mock.patch.dict(os.environ, {} if value is None else {"VORN_SIBRELLE_THREADS": value})


def with_nan(array):
    array = array.astype(np.float64)
    array[1, 2, 0] = np.nan
    return array


# Sound images of the dtypes and shapes the loops take, and small odd arrays
# (no huge ones: quickshift's work grows with the pixels times the window,
# in scikit-image's function as in this one).
quickshift_images = st.one_of(
    st.integers(0, 3).map(image), st.integers(0, 3).map(lambda seed: image(seed)[:, :, 0]),
    st.integers(0, 3).map(lambda seed: image(seed).astype(np.float32) / 255),
    st.integers(0, 3).map(lambda seed: with_nan(image(seed))), values.arrays,
)
quickshift_reals = st.one_of(st.integers(-1, 7), st.floats(0.5, 6.5), values.floats,
                             values.integers)


def quickshift():
    entries = [
        Entry("sibrelle.quickshift", sibrelle, sibrelle.quickshift,
              {"image": quickshift_images, "ratio": quickshift_reals, "kernel_size": quickshift_reals,
               "max_dist": quickshift_reals, "return_tree": st.booleans(),
               "sigma": st.sampled_from([0, 0.0, -0.0, 1, 0.5]), "convert2lab": st.booleans(),
               "rng": st.one_of(st.integers(0, 2 ** 31 - 1), values.integers),
               "channel_axis": st.one_of(st.integers(-4, 3), values.integers)},
              optional_fakes={"skimage_quickshift": values.callbacks(values.arrays)},
              context=st.builds(thread_cap,
                                st.sampled_from([None, None, None, "1", "2", "3", "0", "many"]))),
    ]
    return Campaign([sibrelle], [], entries, quickshift_health)


def quickshift_health():
    return sibrelle.quickshift(image(0), kernel_size=2).tolist()
