"""Benchmark of the LIME image explainer.

Prints where the time of one explained row goes (segmentation, LIME's own
work, the caller's scoring function, this module's own work), as the first
release ran it (LIME's own perturbation loop and scikit-image's quickshift:
the module globals `lime_image` and `quickshift` substituted), with the
native data_labels but scikit-image's quickshift, and with both native,
checking that all give the same record. With --baseline, the same row is
also explained by another build of the package (for example the current
release: a folder holding its vorn_metrics_plugin, built in place), in a
process of its own, and its record compared.

Then times single steps against other versions of the same step, checking
that both give identical results:

- quickshift of 224x224x3 images (a natural image and random noise) at the
  kernel sizes of the segmentation search: the module's on one thread and
  on all (VORN_SIBRELLE_THREADS) against scikit-image's;
- building LIME's perturbed images (data_labels): NativeLimeImageExplainer
  against LIME's own method on the same inputs;
- the label map of a 100x1000 probability batch;
- the two outcome pictures of a 224x224 image with 200 segments.

LIME's progress bar is switched off on both sides (it only prints).

Run: python bench/sibrelle_bench.py [--perturbations 1000] [--repeat 5] [--baseline DIR]
"""

from __future__ import annotations

import argparse
import base64
import contextlib
import functools
import io
import json
import os
import statistics
import subprocess
import sys
import time
import types
from collections import Counter

import imageio.v2 as imageio
import numpy as np
import pandas as pd
from lime import lime_image
from skimage import data as sample_images
from skimage.segmentation import quickshift as skimage_quickshift
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
THREADS = "VORN_SIBRELLE_THREADS"
ROW_MODES = ("first release", "scikit-image quickshift", "native")


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


def row_frame_and_config(perturbations: int, batch_size: int):
    image = test_image()
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
    return frame, config


def row_split(perturbations: int, batch_size: int, mode: str) -> tuple[dict, dict]:
    """One row explained, in one of ROW_MODES."""
    watch = Stopwatch()
    scoring = watch.wrap("scoring function", cheap_scoring_function())
    # The segmentation search and LIME segment with the module global
    # `quickshift`: the native function, or scikit-image's in its place.
    quickshift = sibrelle.quickshift if mode == "native" else skimage_quickshift

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

    frame, config = row_frame_and_config(perturbations, batch_size)
    explainer = TimedSibrelle(config)
    explainer.initialize()
    original, original_lime = sibrelle.quickshift, sibrelle.lime_image
    sibrelle.quickshift = watch.wrap("segmentation", quickshift)
    if mode == "first release":
        # Not LIME's module any more, so rows take LIME's own loop.
        sibrelle.lime_image = types.SimpleNamespace(LimeImageExplainer=lime_image.LimeImageExplainer)
    try:
        start = time.perf_counter()
        result = explainer.explain_data(frame, scoring)
        total = time.perf_counter() - start
    finally:
        sibrelle.quickshift, sibrelle.lime_image = original, original_lime
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


def timed_rows(perturbations: int, batch_size: int, runs: int) -> dict:
    """The row explained `runs` times by whatever build of the package is
    imported, untouched: the times and the record."""
    frame, config = row_frame_and_config(perturbations, batch_size)
    explainer = Sibrelle(config)
    explainer.initialize()
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        result = explainer.explain_data(frame, cheap_scoring_function())
        times.append(time.perf_counter() - start)
    return {"times": times, "record": result["local_explanations"][0]}


def baseline_rows(baseline: str, perturbations: int, batch_size: int, runs: int) -> dict:
    """timed_rows in a process that imports the package from `baseline`."""
    environment = dict(os.environ, PYTHONPATH=os.path.abspath(baseline))
    result = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--perturbations", str(perturbations),
         "--batch-size", str(batch_size), "--rows-as-json", str(runs)],
        env=environment, capture_output=True, text=True, check=True)
    return json.loads(result.stdout.splitlines()[-1])


# ---------------------------------------------------------------------------
# Hot steps against straightforward versions


@contextlib.contextmanager
def thread_cap(threads):
    """The module's quickshift uses at most `threads` threads (None: all cores)."""
    saved = os.environ.pop(THREADS, None)
    if threads is not None:
        os.environ[THREADS] = str(threads)
    try:
        yield
    finally:
        os.environ.pop(THREADS, None)
        if saved is not None:
            os.environ[THREADS] = saved


def compare_quickshift(image: np.ndarray, kernel_size: int, repeat: int) -> dict:
    """The module's quickshift on one thread and on all, and scikit-image's,
    with the settings of the segmentation search (LIME's wrapper passes no
    seed to this scikit-image release, so its default is used)."""
    settings = dict(kernel_size=kernel_size, max_dist=200, ratio=0.2)
    expected = skimage_quickshift(image, **settings)
    sides = {"scikit-image": (None, skimage_quickshift), "one thread": (1, sibrelle.quickshift),
             "all threads": (None, sibrelle.quickshift)}
    times = {side: [] for side in sides}
    # Interleaved, so that all sides see the same load of a shared machine.
    for _ in range(repeat):
        for side, (threads, function) in sides.items():
            with thread_cap(threads):
                start = time.perf_counter()
                labels = function(image, **settings)
                times[side].append(time.perf_counter() - start)
            assert labels.dtype == expected.dtype and np.array_equal(labels, expected), side
    figures = {side: min(seconds) for side, seconds in times.items()}
    figures["segments"] = len(np.unique(expected))
    return figures


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
    parser.add_argument("--baseline", metavar="DIR",
                        help="folder holding another build's vorn_metrics_plugin (e.g. the current "
                             "release built in place), whose row is timed in a process of its own")
    parser.add_argument("--rows-as-json", type=int, metavar="RUNS", help=argparse.SUPPRESS)
    args = parser.parse_args()
    lime_image.tqdm = functools.partial(lime_image.tqdm, disable=True)
    if args.rows_as_json:
        print(json.dumps(timed_rows(args.perturbations, args.batch_size, args.rows_as_json)))
        return

    print(f"One row: {IMAGE_SIZE}x{IMAGE_SIZE}x3 uint8 image, {args.perturbations} perturbations, "
          f"batch size {args.batch_size}, {CLASSES}-class scoring function (median of 3 runs); "
          f"quickshift on {os.environ.get(THREADS, 'all')} threads")
    splits, records = {}, {}
    for label in ROW_MODES:
        runs = [row_split(args.perturbations, args.batch_size, label) for _ in range(3)]
        records[label] = [record for record, _ in runs]
        splits[label] = {key: statistics.median(run[key] for _, run in runs) for key in runs[0][1]}
    assert all(records[label] == records["native"] for label in ROW_MODES), "the row's record differs"
    print(f"  {'':<28}" + "".join(f"{label:>26}" for label in ROW_MODES))
    for key in splits["native"]:
        cells = []
        for label in ROW_MODES:
            value, total = splits[label][key], splits[label]["total"]
            if key in ("segmentation calls", "scoring batches"):
                cells.append(f"{value:>26.0f}")
            else:
                cells.append(f"{value * 1000:>16.1f} ms {100 * value / total:5.1f}%")
        print(f"  {key:<28}" + "".join(f"{cell:>26}" for cell in cells))
    native = splits["native"]["total"]
    print(f"  whole row: x{splits['first release']['total'] / native:.2f} against the first release, "
          f"x{splits['scikit-image quickshift']['total'] / native:.2f} against scikit-image's quickshift "
          "(identical records)")
    if args.baseline:
        baseline = baseline_rows(args.baseline, args.perturbations, args.batch_size, 5)
        ours = timed_rows(args.perturbations, args.batch_size, 5)
        assert baseline["record"] == json.loads(json.dumps(ours["record"])), "the baseline's record differs"
        theirs, mine = statistics.median(baseline["times"]), statistics.median(ours["times"])
        print(f"  baseline build ({args.baseline}), median of 5: {theirs * 1000:.1f} ms; this build: "
              f"{mine * 1000:.1f} ms; x{theirs / mine:.2f} (identical records)")

    print(f"\nquickshift, {IMAGE_SIZE}x{IMAGE_SIZE}x3 uint8, max_dist 200, ratio 0.2 (identical maps), "
          f"best of {args.repeat}; all threads: {os.cpu_count()} cores unless {THREADS} caps them")
    noise = np.random.default_rng(0).integers(0, 256, (IMAGE_SIZE, IMAGE_SIZE, 3), dtype=np.uint8)
    for name, image in (("natural", test_image()), ("random noise", noise)):
        for kernel_size in (4, 3, 2, 1):
            step = compare_quickshift(image, kernel_size, args.repeat)
            reference = step["scikit-image"]
            print(f"  {name:<13} kernel {kernel_size} {step['segments']:>5} segments   scikit-image "
                  f"{reference * 1e3:7.1f} ms   one thread {step['one thread'] * 1e3:7.1f} ms "
                  f"x{reference / step['one thread']:.2f}   all threads "
                  f"{step['all threads'] * 1e3:7.1f} ms x{reference / step['all threads']:.2f}")

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
