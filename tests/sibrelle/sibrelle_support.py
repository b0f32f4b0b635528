"""Images, frames, scoring functions and numpy oracles for the LIME image explainer tests.

Images are 24x24 so that whole rows can be explained with LIME in the tests.
The oracles are plain Python/numpy versions of the module's numeric steps.
"""

import base64
import io
import types
from collections import Counter

import h5py
import imageio.v2 as imageio
import numpy as np
import pandas as pd

SIZE = 24
PREFIX = "There was an error while computing the explanation. "


def colour_image(seed=0):
    """Four coloured quadrants with a little noise: several clear segments."""
    image = np.zeros((SIZE, SIZE, 3), dtype=int)
    half = SIZE // 2
    image[:half, :half], image[:half, half:] = (200, 30, 30), (30, 200, 30)
    image[half:, :half], image[half:, half:] = (30, 30, 200), (220, 220, 40)
    noise = np.random.default_rng(seed).integers(-12, 13, size=image.shape)
    return np.clip(image + noise, 0, 255).astype(np.uint8)


def with_nan(image):
    image = image.astype(float)
    image[0, 0, 0] = np.nan
    return image


def frame(images, probability=(0.3, 0.7), prediction=1, **extra):
    rows = {"image": list(images), "prediction": [prediction] * len(images),
            "probability": [list(probability)] * len(images)}
    rows.update({name: [value] * len(images) for name, value in extra.items()})
    return pd.DataFrame(rows)


def error_record(message):
    return {"error": {"code": "TVKES1001E", "message": PREFIX + message,
                      "target": {"type": "field", "name": "lime"}, "vals": [message]}}


def brightness_scorer(batch, *meta):
    """A two-class 'model': the brightness of the image and its complement."""
    brightness = np.asarray(batch, dtype=float).reshape(len(batch), -1).mean(axis=1) / 255.0
    return np.stack([brightness, 1.0 - brightness], axis=1), None


def hdf5_bytes(array, name="data"):
    buffer = io.BytesIO()
    with h5py.File(buffer, "w") as file:
        file[name] = array
    return buffer.getvalue()


def decode_png(text):
    return imageio.imread(io.BytesIO(base64.b64decode(text)))


def recording_numpy(calls, name):
    """numpy as a substitute for the module global `np`, with np.<name> calls written down."""
    function = getattr(np, name)

    def record(*args, **kwargs):
        calls.append((name, kwargs))
        return function(*args, **kwargs)

    return types.SimpleNamespace(**{**vars(np), name: record})


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
