"""Explains one prediction of a digit classifier trained at run time.

The classifier is trained on the small digit images that scikit-learn ships
(8x8 grey images); the explained image is one of them scaled up to 32x32 so
that the explanation has segments to work with. The input picture and the
pictures of the supporting and opposing regions are written as PNG files,
scaled up again so that a person can see them, next to the JSON record.
"""

from __future__ import annotations

import base64
import io
import json
from pathlib import Path

import imageio.v2 as imageio
import numpy as np
import pandas as pd

SOURCE_SIZE = 8  # the digit images as shipped
UPSCALE = 4  # the explained image is 32x32
PICTURE_SCALE = 8  # the written pictures are 256x256
PERTURBATIONS = 400


def _train_classifier():
    from sklearn.datasets import load_digits
    from sklearn.linear_model import LogisticRegression

    digits = load_digits()
    images = digits.images / 16.0
    held_out = len(images) - 1
    model = LogisticRegression(max_iter=2000)
    model.fit(images[:held_out].reshape(held_out, -1), digits.target[:held_out])
    return model, images[held_out], int(digits.target[held_out])


def _scoring_function(model):
    def score(batch):
        # Grey batches arrive as (n, 32, 32, 1); average each 4x4 block back to 8x8.
        grey = np.asarray(batch, dtype=float)[..., 0]
        n = grey.shape[0]
        small = grey.reshape(n, SOURCE_SIZE, UPSCALE, SOURCE_SIZE, UPSCALE).mean(axis=(2, 4))
        probabilities = model.predict_proba(small.reshape(n, -1))
        return probabilities, probabilities.argmax(axis=1)

    return score


def _write_picture(encoded_png: str, path: Path) -> None:
    picture = imageio.imread(io.BytesIO(base64.b64decode(encoded_png)))
    scaled = np.repeat(np.repeat(picture, PICTURE_SCALE, axis=0), PICTURE_SCALE, axis=1)
    imageio.imwrite(path, scaled)


def main(output_dir: Path) -> dict:
    from vorn_metrics_plugin.metrics.explainability.entity.explain_config import ExplainConfig
    from vorn_metrics_plugin.metrics.explainability.explainers.lime.sibrelle import Sibrelle

    model, digit, truth = _train_classifier()
    image = np.kron(digit, np.ones((UPSCALE, UPSCALE)))[..., np.newaxis]
    score = _scoring_function(model)
    probabilities, predictions = score(image[np.newaxis])
    frame = pd.DataFrame({
        "image": [image.tolist()],
        "prediction": [int(predictions[0])],
        "probability": [probabilities[0].tolist()],
    })
    config = ExplainConfig(
        input_data_type="image", problem_type="multiclass", features=["image"],
        prediction_column="prediction", probability_column="probability",
        parameters={"lime": {"perturbations_count": PERTURBATIONS, "scoring_batch_size": 100}},
    )
    explainer = Sibrelle(config)
    explainer.initialize()
    record = explainer.explain_data(frame, score)["local_explanations"][0]

    output_dir.mkdir(parents=True, exist_ok=True)
    if "error" in record:
        raise RuntimeError(record["error"]["message"])
    prediction, others = record["predictions"]
    pictures = {
        "input.png": record["input_features"][0]["full_image"],
        "supporting.png": prediction["explanation"][0]["full_image"],
        "opposing.png": others["explanation"][0]["full_image"],
    }
    for name, encoded in pictures.items():
        _write_picture(encoded, output_dir / name)
    (output_dir / "explanation.json").write_text(json.dumps(record, indent=2))

    print(f"\nImage explanation (digit {truth}, predicted {prediction['value']} "
          f"with probability {prediction['probability']:.2f})")
    print(f"  segments weighted: {record['input_features'][0]['total_features']}, "
          f"supporting: {prediction['explanation'][0]['used_features']}, "
          f"opposing: {others['explanation'][0]['used_features']}")
    print(f"  wrote {', '.join(pictures)} and explanation.json to {output_dir}")
    return record
