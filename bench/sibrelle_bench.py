"""Benchmark of the LIME image explainer.

Prints where the time of one explained row goes (segmentation, LIME's own
work, the caller's scoring function, this module's own work), once as the
first release ran it (LIME's own perturbation loop, i.e. the native
data_labels switched off by substituting the module global `lime_image`) and
once with the native data_labels, checking that both give the same record.

Then times single steps against other versions of the same step, checking
that both give identical results:

- building LIME's perturbed images (data_labels): NativeLimeImageExplainer
  against LIME's own method on the same inputs;
- the label map of a 100x1000 probability batch;
- the two outcome pictures of a 224x224 image with 200 segments.

LIME's progress bar is switched off on both sides (it only prints).

Run: python bench/sibrelle_bench.py [--perturbations 1000] [--repeat 5]
"""

from __future__ import annotations

import argparse
import base64
import functools
import io
import statistics
import time
import types
from collections import Counter

import imageio.v2 as imageio
import numpy as np
import pandas as pd
from lime import lime_image
from skimage import data as sample_images
from skimage.transform import resize

from vorn_metrics_plugin.metrics.explainability.entity.explain_config import ExplainConfig
from vorn_metrics_plugin.metrics.explainability.explainers.lime import sibrelle
from vorn_metrics_plugin.metrics.explainability.explainers.lime.sibrelle import (
    NativeLimeImageExplainer,
    Sibrelle,
)

IMAGE_SIZE = 224
CLASSES = 1000
SEGMENTS = 200


def test_image() -> np.ndarray:
    image = resize(sample_images.astronaut(), (IMAGE_SIZE, IMAGE_SIZE), anti_aliasing=True)
    return (image * 255).astype(np.uint8)


def cheap_scoring_function(classes: int = CLASSES, seed: int = 0):
    """A cheap 1000-class 'model': channel means of every 8th pixel in each
    direction, projected onto fixed random class weights, then a softmax."""
    weights = np.random.default_rng(seed).normal(size=(3, classes))

    def score(batch):
        means = np.asarray(batch)[:, ::8, ::8].mean(axis=(1, 2)) / 255.0
        logits = means @ weights
        logits -= logits.max(axis=1, keepdims=True)
        probabilities = np.exp(logits)
        probabilities /= probabilities.sum(axis=1, keepdims=True)
        return probabilities, probabilities.argmax(axis=1)

    return score


def best_of(repeat: int, step) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        step()
        times.append(time.perf_counter() - start)
    return min(times)


# ---------------------------------------------------------------------------
# One row, with its time split


class Stopwatch:
    def __init__(self):
        self.seconds = Counter()
        self.calls = Counter()

    def wrap(self, name, function):
        def timed(*args, **kwargs):
            start = time.perf_counter()
            try:
                return function(*args, **kwargs)
            finally:
                self.seconds[name] += time.perf_counter() - start
                self.calls[name] += 1

        return timed


def row_split(perturbations: int, batch_size: int, first_release: bool) -> tuple[dict, dict]:
    """One row explained; `first_release` runs LIME's own perturbation loop."""
    image = test_image()
    watch = Stopwatch()
    scoring = watch.wrap("scoring function", cheap_scoring_function())

    # Segmentation runs wherever the module's SegmentationAlgorithm objects are called.
    real_algorithm = sibrelle.SegmentationAlgorithm

    class TimedSegmentation(real_algorithm):
        def __call__(self, *args, **kwargs):
            return watch.wrap("segmentation", super().__call__)(*args, **kwargs)

    # The module's own steps, each timed as a whole (the adapter's time
    # includes the scoring function, subtracted below).
    class TimedSibrelle(Sibrelle):
        pass

    for name, label in [
        ("_Sibrelle__scoring_fn", "adapter"),
        ("_Sibrelle__get_raw_explanation", "raw explanation"),
        ("convert_raw_explanation", "conversion and pictures"),
        ("_Sibrelle__get_input_image", "input decoding"),
    ]:
        setattr(TimedSibrelle, name, watch.wrap(label, getattr(Sibrelle, name)))

    probabilities, predictions = cheap_scoring_function()(image[np.newaxis])
    frame = pd.DataFrame({
        "image": [image],
        "prediction": [int(predictions[0])],
        "probability": [probabilities[0].tolist()],
    })
    config = ExplainConfig(
        input_data_type="image", problem_type="multiclass", features=["image"],
        prediction_column="prediction", probability_column="probability",
        parameters={"lime": {"perturbations_count": perturbations, "scoring_batch_size": batch_size}},
    )
    explainer = TimedSibrelle(config)
    explainer.initialize()
    original, original_lime = sibrelle.SegmentationAlgorithm, sibrelle.lime_image
    sibrelle.SegmentationAlgorithm = TimedSegmentation
    if first_release:
        # Not LIME's module any more, so rows take LIME's own loop.
        sibrelle.lime_image = types.SimpleNamespace(LimeImageExplainer=lime_image.LimeImageExplainer)
    try:
        start = time.perf_counter()
        result = explainer.explain_data(frame, scoring)
        total = time.perf_counter() - start
    finally:
        sibrelle.SegmentationAlgorithm, sibrelle.lime_image = original, original_lime
    record = result["local_explanations"][0]
    assert "error" not in record, record

    s = watch.seconds
    own = (s["adapter"] - s["scoring function"]) + s["raw explanation"] + s["conversion and pictures"] + s["input decoding"]
    lime_own = total - s["segmentation"] - s["scoring function"] - own
    return record, {
        "total": total,
        "segmentation": s["segmentation"],
        "segmentation calls": watch.calls["segmentation"],
        "LIME's own work": lime_own,
        "scoring function": s["scoring function"],
        "scoring batches": watch.calls["scoring function"],
        "module's own work": own,
        "  adapter and label map": s["adapter"] - s["scoring function"],
        "  input decoding": s["input decoding"],
        "  raw explanation": s["raw explanation"],
        "  conversion and pictures": s["conversion and pictures"],
    }


# ---------------------------------------------------------------------------
# Hot steps against straightforward versions


def label_map_straightforward(predictions, probabilities) -> dict:
    label_map = {}
    if predictions is None or len(probabilities) != len(predictions):
        return label_map
    for probs, pred in zip(probabilities, predictions):
        max_prob = max(probs)
        if Counter(probs)[max_prob] == 1:
            label_map[pred] = probs.tolist().index(max_prob)
    return label_map


def outcome_image_straightforward(image, feature_matrix, features) -> np.ndarray:
    outcome = np.zeros(np.shape(image))
    for feature, _weight in features:
        mask = feature_matrix == feature
        outcome[mask] = image[mask].copy()
    return outcome


def to_png_base64(image_array) -> str:
    if image_array.dtype != np.uint8:
        if image_array.min() >= 0 and image_array.max() <= 1:
            image_array = (image_array * 255).astype(np.uint8)
        else:
            image_array = np.clip(image_array, 0, 255).astype(np.uint8)
    return base64.b64encode(imageio.imwrite(imageio.RETURN_BYTES, image_array, format="png")).decode("ascii")


def decode_png(text: str) -> np.ndarray:
    return imageio.imread(io.BytesIO(base64.b64decode(text)))


class NoEncoding:
    """Stands in for imageio so that only the composition of a picture is timed."""

    RETURN_BYTES = "<bytes>"

    @staticmethod
    def imwrite(uri, image, *args, **kwargs):
        return b""


def bare_explainer() -> Sibrelle:
    config = ExplainConfig(input_data_type="image", problem_type="multiclass", features=["image"])
    explainer = Sibrelle(config)
    explainer.initialize()
    return explainer


def compare_label_map(repeat: int) -> dict:
    rng = np.random.default_rng(1)
    probabilities = rng.random((100, CLASSES))
    # Ties at the maximum on every tenth row, as rounded model outputs give.
    probabilities[::10, 1] = probabilities[::10].max(axis=1)
    probabilities[::10, 2] = probabilities[::10, 1]
    predictions = rng.integers(0, 50, size=100)
    explainer = bare_explainer()
    explainer._Sibrelle__set_label_map(predictions, probabilities)
    expected = label_map_straightforward(predictions, probabilities)
    assert explainer.label_map == expected and list(explainer.label_map) == list(expected)
    module = best_of(repeat, lambda: explainer._Sibrelle__set_label_map(predictions, probabilities))
    straightforward = best_of(repeat, lambda: label_map_straightforward(predictions, probabilities))
    return {"module": module, "straightforward": straightforward}


def voronoi_segments(count: int, seed: int = 3) -> np.ndarray:
    """A segment map of irregular regions: each pixel belongs to its nearest
    of `count` random seed points (seeds on distinct pixels, so none is empty)."""
    rng = np.random.default_rng(seed)
    flat = rng.choice(IMAGE_SIZE * IMAGE_SIZE, size=count, replace=False)
    seeds = np.stack(np.unravel_index(flat, (IMAGE_SIZE, IMAGE_SIZE)), axis=1)
    rows, cols = np.mgrid[:IMAGE_SIZE, :IMAGE_SIZE]
    distances = (rows[..., None] - seeds[:, 0]) ** 2 + (cols[..., None] - seeds[:, 1]) ** 2
    return distances.argmin(axis=2)


def compare_outcome_pictures(repeat: int) -> dict:
    image = test_image()
    feature_matrix = voronoi_segments(SEGMENTS)
    segments = np.unique(feature_matrix)
    assert len(segments) == SEGMENTS
    weights = np.random.default_rng(2).normal(size=len(segments))
    features = [(int(s), float(w)) for s, w in zip(segments, weights)]
    positive = [f for f in features if f[1] >= 0]
    negative = [f for f in features if f[1] < 0]

    explainer = bare_explainer()
    explainer.input_image_array = image
    explainer.feature_matrix = feature_matrix

    def module_pictures():
        return (explainer._get_outcome_image(features=positive), explainer._get_outcome_image(features=negative))

    def straightforward_pictures():
        return tuple(to_png_base64(outcome_image_straightforward(image, feature_matrix, group))
                     for group in (positive, negative))

    for ours, theirs in zip(module_pictures(), straightforward_pictures()):
        assert np.array_equal(decode_png(ours), decode_png(theirs))

    figures = {
        "segments": len(segments),
        "module, with PNG": best_of(repeat, module_pictures),
        "straightforward, with PNG": best_of(repeat, straightforward_pictures),
    }
    original = sibrelle.imageio
    sibrelle.imageio = NoEncoding
    try:
        figures["module, composition"] = best_of(repeat, module_pictures)
    finally:
        sibrelle.imageio = original
    figures["straightforward, composition"] = best_of(repeat, lambda: [
        outcome_image_straightforward(image, feature_matrix, group).clip(0, 255).astype(np.uint8)
        for group in (positive, negative)])
    return figures


def image_of(dtype) -> np.ndarray:
    image = test_image()
    return image if dtype == np.uint8 else (image / 255.0).astype(dtype)


def compare_perturbations(dtype, segments: int, samples: int, batch_size: int, repeat: int,
                          lime_repeat: int) -> dict:
    """data_labels of LIME and of the native explainer on the same inputs, as
    explain_instance calls it (hide colour 0). The timed classifier does
    nothing; a separate run checks the batches through per-image sums."""
    image = image_of(dtype)
    hidden = np.zeros_like(image)
    segment_map = voronoi_segments(segments)

    def run(cls, classifier):
        return cls(random_state=8).data_labels(image, hidden, segment_map, classifier, samples,
                                               batch_size=batch_size)

    def sums(batch):
        return batch.reshape(len(batch), -1).sum(axis=1, dtype=np.float64)[:, None]

    native, lime = run(NativeLimeImageExplainer, sums), run(lime_image.LimeImageExplainer, sums)
    for ours, theirs in zip(native, lime):
        assert ours.dtype == theirs.dtype and np.array_equal(ours, theirs)

    def nothing(batch):
        return np.zeros((len(batch), 2))

    def write_floor():
        # The bytes the step must write, without any masking: one batch
        # array filled with the image as many times as there are batches.
        batch = np.empty((batch_size,) + image.shape, image.dtype)
        for _ in range(-(-samples // batch_size)):
            batch[...] = image

    # Interleaved, so that both sides see the same load of a shared machine.
    times = {"native": [], "LIME": [], "floor": []}
    for round_ in range(max(repeat, lime_repeat)):
        if round_ < repeat:
            times["native"].append(best_of(1, lambda: run(NativeLimeImageExplainer, nothing)))
            times["floor"].append(best_of(1, write_floor))
        if round_ < lime_repeat:
            times["LIME"].append(best_of(1, lambda: run(lime_image.LimeImageExplainer, nothing)))
    return {side: min(seconds) for side, seconds in times.items()}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--perturbations", type=int, default=1000)
    parser.add_argument("--batch-size", type=int, default=100)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--lime-repeat", type=int, default=2,
                        help="repeats of LIME's own data_labels (seconds each)")
    args = parser.parse_args()
    lime_image.tqdm = functools.partial(lime_image.tqdm, disable=True)

    print(f"One row: {IMAGE_SIZE}x{IMAGE_SIZE}x3 uint8 image, {args.perturbations} perturbations, "
          f"batch size {args.batch_size}, {CLASSES}-class scoring function (median of 3 runs)")
    splits, records = {}, {}
    for label, first_release in (("first release", True), ("native", False)):
        runs = [row_split(args.perturbations, args.batch_size, first_release) for _ in range(3)]
        records[label] = [record for record, _ in runs]
        splits[label] = {key: statistics.median(run[key] for _, run in runs) for key in runs[0][1]}
    assert records["first release"] == records["native"], "the row's record differs"
    print(f"  {'':<28}{'first release':>22}{'native data_labels':>24}")
    for key in splits["native"]:
        cells = []
        for label in ("first release", "native"):
            value, total = splits[label][key], splits[label]["total"]
            if key in ("segmentation calls", "scoring batches"):
                cells.append(f"{value:>22.0f}")
            else:
                cells.append(f"{value * 1000:>12.1f} ms {100 * value / total:5.1f}%")
        print(f"  {key:<28}{cells[0]:>22}{cells[1]:>24}")
    speedup = splits["first release"]["total"] / splits["native"]["total"]
    print(f"  whole row: x{speedup:.2f} (identical records)")

    print(f"\nPerturbed images (data_labels), {IMAGE_SIZE}x{IMAGE_SIZE}x3, {args.perturbations} samples, "
          f"batch size {args.batch_size} (identical data, labels and batches); the floor is numpy "
          "writing the same batches unmasked")
    for dtype in (np.float64, np.float32, np.uint8):
        for segments in (50, 200):
            step = compare_perturbations(dtype, segments, args.perturbations, args.batch_size,
                                         args.repeat, args.lime_repeat)
            print(f"  {np.dtype(dtype).name:<8} {segments:>3} segments   native {step['native'] * 1e3:8.1f} ms"
                  f"   LIME {step['LIME'] * 1e3:8.1f} ms   x{step['LIME'] / step['native']:.1f}"
                  f"   floor {step['floor'] * 1e3:7.1f} ms")

    label_map = compare_label_map(args.repeat)
    print(f"\nLabel map of a 100x{CLASSES} batch (identical results)")
    print(f"  module            {label_map['module'] * 1e3:8.3f} ms")
    print(f"  straightforward   {label_map['straightforward'] * 1e3:8.3f} ms   "
          f"x{label_map['straightforward'] / label_map['module']:.0f}")

    pictures = compare_outcome_pictures(args.repeat)
    print(f"\nTwo outcome pictures, {IMAGE_SIZE}x{IMAGE_SIZE} image, {pictures['segments']} segments "
          "(identical pixels)")
    for what in ("composition", "with PNG"):
        ours, theirs = pictures[f"module, {what}"], pictures[f"straightforward, {what}"]
        print(f"  {what:<12} module {ours * 1e3:8.3f} ms   straightforward {theirs * 1e3:8.3f} ms   x{theirs / ours:.1f}")


if __name__ == "__main__":
    main()
