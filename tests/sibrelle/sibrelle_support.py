"""Images, scoring functions and test oracles for the LIME image explainer tests.

Images are small (24x24) so that whole rows can be explained with LIME in the
tests. The oracles are straightforward Python/numpy versions of the module's
numeric steps; the module must give the same results.
"""

import base64
import io
from collections import Counter

import h5py
import imageio.v2 as imageio
import numpy as np

SIZE = 24


def colour_image(seed=0, size=SIZE):
    """Four coloured quadrants with a little noise: several clear segments."""
    rng = np.random.default_rng(seed)
    image = np.zeros((size, size, 3), dtype=np.uint8)
    half = size // 2
    image[:half, :half] = (200, 30, 30)
    image[:half, half:] = (30, 200, 30)
    image[half:, :half] = (30, 30, 200)
    image[half:, half:] = (220, 220, 40)
    noise = rng.integers(-12, 13, size=image.shape)
    return np.clip(image.astype(int) + noise, 0, 255).astype(np.uint8)


def grey_image(seed=1, size=SIZE):
    return colour_image(seed, size)[:, :, :1].copy()


def brightness_scorer(batch, *meta):
    """A two-class 'model': the brightness of the image and its complement."""
    batch = np.asarray(batch, dtype=float)
    brightness = batch.reshape(len(batch), -1).mean(axis=1) / 255.0
    return np.stack([brightness, 1.0 - brightness], axis=1), None


class RecordingScorer:
    """brightness_scorer that remembers the shapes and meta values it got."""

    def __init__(self):
        self.shapes = []
        self.meta = []

    def __call__(self, batch, *meta):
        self.shapes.append(np.shape(batch))
        self.meta.append(meta)
        return brightness_scorer(batch)


def hdf5_bytes(array, name="data"):
    buffer = io.BytesIO()
    with h5py.File(buffer, "w") as file:
        file[name] = array
    return buffer.getvalue()


def decode_png(text):
    return imageio.imread(io.BytesIO(base64.b64decode(text)))


class NumpyRecorder:
    """Stands in for the module global `np`: numpy itself, with calls of the
    functions named in `recorded` written down."""

    def __init__(self, recorded):
        self.calls = []
        self.recorded = recorded

    def __getattr__(self, name):
        function = getattr(np, name)
        if name not in self.recorded:
            return function

        def record(*args, **kwargs):
            self.calls.append((name, kwargs))
            return function(*args, **kwargs)

        return record


# ---------------------------------------------------------------------------
# Oracles


def reference_label_map(predictions, probabilities):
    label_map = {}
    if predictions is None or len(probabilities) != len(predictions):
        return label_map
    for probs, pred in zip(probabilities, predictions):
        max_prob = max(probs)
        if Counter(probs)[max_prob] == 1:
            label_map[pred] = probs.tolist().index(max_prob)
    return label_map


def reference_outcome(image, feature_matrix, features):
    outcome = np.zeros(np.shape(image))
    for feature, _weight in features:
        outcome[feature_matrix == feature] = image[feature_matrix == feature].copy()
    return outcome


def reference_uint8(image_array):
    if image_array.dtype != np.uint8:
        if image_array.min() >= 0 and image_array.max() <= 1:
            image_array = (image_array * 255).astype(np.uint8)
        else:
            image_array = np.clip(image_array, 0, 255).astype(np.uint8)
    return image_array
