"""Explain configurations, frames and scoring functions of the distributed tests."""

import os
import signal

import numpy as np
import pandas as pd

from tests.sibrelle.sibrelle_support import colour_image, hdf5_bytes
from vorn_metrics_plugin.metrics.explainability.entity.explain_config import ExplainConfig
from vorn_metrics_plugin.metrics.explainability.explainers.lime.sibrelle import Sibrelle
from vorn_metrics_plugin.mra.demo_model import demo_scoring_function


def explain_config(**overrides):
    settings = dict(
        input_data_type="image", problem_type="binary", features=["image"],
        prediction_column="prediction", probability_column="probability",
        parameters={"lime": {"features_count": 5, "perturbations_count": 30,
                             "scoring_batch_size": 10}},
    )
    settings.update(overrides)
    return ExplainConfig(**settings)


def mixed_frame():
    """Seven rows, good ones (arrays, a grey image, HDF5 bytes) between failing ones,
    under an index in reverse order so that only the rows' positions give their order."""
    images = [
        colour_image(0),
        np.zeros((24, 24, 3), dtype=np.uint8),           # constant: error record
        colour_image(1)[..., :1],                        # grey
        hdf5_bytes(colour_image(2)),
        colour_image(3)[..., :2],                        # two channels: error record
        hdf5_bytes(colour_image(4), name="other"),       # no "data" dataset: error record
        colour_image(5),
    ]
    rows = pd.DataFrame({"image": images, "prediction": [1] * len(images),
                         "probability": [[0.3, 0.7]] * len(images),
                         "unused": ["not sent"] * len(images)})
    rows.index = range(len(images) - 1, -1, -1)
    return rows


def sequential_explanations(config, frame, scoring_fn):
    explainer = Sibrelle(config)
    explainer.initialize()
    return explainer.explain_data(frame, scoring_fn)


def failing_on(word, error):
    """The demo model, except that a card whose prompts mention ``word`` raises ``error``."""
    def score(frame):
        if any(word in prompt for prompt in frame.iloc[:, 0]):
            raise error
        return demo_scoring_function(frame)

    return score


class DiesOnce:
    """``function``, except that its first call in the cluster kills the worker process
    making it (the token file, created by that call, makes it the only one)."""

    def __init__(self, token, function):
        self.token, self.function = str(token), function

    def __call__(self, *args):
        try:
            os.close(os.open(self.token, os.O_CREAT | os.O_EXCL | os.O_WRONLY))
        except FileExistsError:
            return self.function(*args)
        os.kill(os.getpid(), signal.SIGKILL)
