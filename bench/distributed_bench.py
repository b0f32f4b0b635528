"""Benchmark of explain_frame on local Dask clusters.

Explains the same frame (by default 64 images of 224x224x3, 1000
perturbations, the cheap 1000-class scoring function of sibrelle_bench.py)
sequentially with Sibrelle.explain_data and on local clusters of 1 and 2
single-threaded worker processes, checks that the records are identical, and
prints rows per second. It also prints the overheads that decide how the rate
grows with more workers: cluster start-up, serialisation of a row and of its
record, and the scheduling of one task.

Run: python bench/distributed_bench.py [--rows 64] [--perturbations 1000]
                                       [--rows-per-task 8] [--workers 1 2]
Workers write LIME's progress bars to stderr; the figures go to stdout.
"""

from __future__ import annotations

import argparse
import os
import pickle
import statistics
import time

import cloudpickle
import numpy as np
import pandas as pd
from dask.distributed import Client
from skimage import data as sample_images

from sibrelle_bench import IMAGE_SIZE, cheap_scoring_function
from vorn_metrics_plugin.distributed import explain_frame
from vorn_metrics_plugin.distributed.cluster import local_client
from vorn_metrics_plugin.distributed.tasks import completed
from vorn_metrics_plugin.metrics.explainability.entity.explain_config import ExplainConfig
from vorn_metrics_plugin.metrics.explainability.explainers.lime.sibrelle import Sibrelle


def image_frame(rows: int, scoring) -> pd.DataFrame:
    """Different 224x224 windows of a 512x512 photograph, with the model's outputs."""
    photo = sample_images.astronaut()
    span = photo.shape[0] - IMAGE_SIZE
    offsets = np.random.default_rng(5).integers(0, span, size=(rows, 2))
    images = [photo[r:r + IMAGE_SIZE, c:c + IMAGE_SIZE].copy() for r, c in offsets]
    probabilities, predictions = scoring(np.stack(images))
    return pd.DataFrame({
        "image": images,
        "prediction": predictions.astype(int).tolist(),
        "probability": probabilities.tolist(),
    })


def explain_config(perturbations: int) -> ExplainConfig:
    return ExplainConfig(
        input_data_type="image", problem_type="multiclass", features=["image"],
        prediction_column="prediction", probability_column="probability",
        parameters={"lime": {"perturbations_count": perturbations, "scoring_batch_size": 100}},
    )


def sequential(config, frame, scoring):
    explainer = Sibrelle(config)
    explainer.initialize()
    start = time.perf_counter()
    result = explainer.explain_data(frame, scoring)
    return result, time.perf_counter() - start


def warm_up(client: Client) -> None:
    """Import the explainer on every worker (what a first task would pay)."""
    client.run(lambda: __import__(
        "vorn_metrics_plugin.metrics.explainability.explainers.lime.sibrelle"))


def noop(value):
    return value


def scheduling_per_task(client: Client, tasks: int = 200) -> float:
    start = time.perf_counter()
    futures = [client.submit(noop, i, pure=False) for i in range(tasks)]
    for _ in completed(client, futures, "no-op tasks"):
        pass
    return (time.perf_counter() - start) / tasks


def serialisation(frame: pd.DataFrame, record: dict, repeat: int = 20) -> dict:
    row = frame.iloc[:1]
    timings = []
    for _ in range(repeat):
        start = time.perf_counter()
        payload = cloudpickle.dumps(row)
        pickle.loads(payload)
        timings.append(time.perf_counter() - start)
    return {"row bytes": len(payload), "row round trip": statistics.median(timings),
            "record bytes": len(cloudpickle.dumps(record))}


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=64)
    parser.add_argument("--perturbations", type=int, default=1000)
    parser.add_argument("--rows-per-task", type=int, default=8)
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    args = parser.parse_args()

    scoring = cheap_scoring_function()
    config = explain_config(args.perturbations)
    frame = image_frame(args.rows, scoring)
    print(f"{args.rows} rows of {IMAGE_SIZE}x{IMAGE_SIZE}x3, {args.perturbations} perturbations, "
          f"{args.rows_per_task} rows per task; load average at start "
          f"{os.getloadavg()[0]:.2f} on {os.cpu_count()} cores")

    expected, seconds = sequential(config, frame, scoring)
    assert not any("error" in record for record in expected["local_explanations"])
    base_rate = args.rows / seconds
    print(f"sequential explain_data: {seconds:7.1f} s  {base_rate:6.3f} rows/s  "
          f"(load average after it {os.getloadavg()[0]:.2f})")

    for workers in args.workers:
        start = time.perf_counter()
        # The cluster that explain_frame starts by itself, with this many workers.
        with local_client(n_workers=workers) as client:
            warm_up(client)
            started = time.perf_counter() - start
            start = time.perf_counter()
            result = explain_frame(config, frame, scoring, client=client,
                                   rows_per_task=args.rows_per_task)
            seconds = time.perf_counter() - start
            assert result == expected, "distributed records differ from the sequential ones"
            per_task = scheduling_per_task(client)
        rate = args.rows / seconds
        print(f"{workers} worker process(es):  {seconds:7.1f} s  {rate:6.3f} rows/s  "
              f"x{rate / base_rate:.2f} of sequential  (identical records; cluster start with "
              f"the explainer imported {started:.1f} s, scheduling {per_task * 1e3:.1f} ms "
              f"per no-op task; load average after it {os.getloadavg()[0]:.2f})")

    sizes = serialisation(frame, expected["local_explanations"][0])
    print(f"serialisation: one row {sizes['row bytes'] / 1e3:.0f} kB, pickled and unpickled in "
          f"{sizes['row round trip'] * 1e3:.2f} ms; one record {sizes['record bytes'] / 1e3:.0f} kB")


if __name__ == "__main__":
    main()
