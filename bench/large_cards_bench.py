"""Scoring and loading of large cards.

Run with ``python bench/large_cards_bench.py`` (``PYTHONPATH=python`` in a source tree).

1. Scores synthetic cards of 10^4, 10^5 and 10^6 instances with ``evalith.evaluate``
   (answers given, ``exact_match``, 70% of them right) and prints for each the time
   (a run without tracing) and the peak of memory allocated during scoring
   (``tracemalloc``, a second run), the time of the metric alone, then the ratio of the
   10^6 time to the 10^5 time.
   Targets: ratio at most 12, peak under 1 GiB at 10^6.
2. The confidence interval alone of graded scores (every score distinct, so every
   resample draws instances), the slowest case of the bootstrap.
3. Loading a 10^6-row Parquet card through a catalogue folder (``load_dataset``,
   instance dicts) against ``pandas.read_parquet`` of the same file, and a sample
   of 1000 rows of it.
"""

from __future__ import annotations

import json
import os
import sys
import tempfile
import time
import tracemalloc

import numpy as np
import pandas as pd
import pyarrow
import pyarrow.parquet

from evalith import evaluate, load_dataset
from evalith.evaluation import confidence_interval
from evalith.metrics import exact_match
from vorn_metrics_plugin.mra.mra_api import add_catalog, remove_catalogs

SIZES = (10_000, 100_000, 1_000_000)
RIGHT_SHARE = 0.7
MIB = 1 << 20


def synthetic_card(size: int) -> tuple[list[str], list[dict]]:
    """Instances of an exact-match card and answers, RIGHT_SHARE of them right."""
    right = np.random.default_rng(size).random(size) < RIGHT_SHARE
    instances, answers = [], []
    for i in range(size):
        reference = str(2 * i + 1)
        instances.append({"source": f"What is {i} plus {i + 1}?", "target": reference, "references": [reference],
                          "metrics": ["metrics.exact_match"], "task_data": {}})
        answers.append(reference if right[i] else "I don't know.")
    return answers, instances


def timed(function, *args):
    start = time.perf_counter()
    result = function(*args)
    return time.perf_counter() - start, result


def traced_peak(function, *args) -> int:
    tracemalloc.start()
    try:
        function(*args)
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def score(answers, instances):
    return evaluate(predictions=answers, data=instances)[0]["score"]["global"]


def scoring() -> None:
    print("Scoring (exact_match, answers given)")
    print(f"{'instances':>10}  {'time':>9}  {'the metric':>10}  {'peak memory':>12}  score")
    seconds = {}
    for size in SIZES:
        answers, instances = synthetic_card(size)
        seconds[size], scores = timed(score, answers, instances)
        metric_seconds, _ = timed(exact_match, answers, instances)
        peak = traced_peak(score, answers, instances)
        print(f"{size:>10}  {seconds[size]:>8.3f}s  {metric_seconds:>9.3f}s  {peak / MIB:>9.1f} MiB  "
              f"{scores['score']:.4f} [{scores['score_ci_low']:.4f}, {scores['score_ci_high']:.4f}]")
        del answers, instances
    print(f"time ratio 10^6 / 10^5: {seconds[SIZES[2]] / seconds[SIZES[1]]:.2f} (target <= 12)")


def graded_interval() -> None:
    print("\nConfidence interval of graded scores (every score distinct: instance draws)")
    print(f"{'instances':>10}  {'time':>9}  {'peak memory':>12}")
    seconds = {}
    for size in SIZES:
        scores = np.random.default_rng(size).random(size)
        seconds[size], _ = timed(confidence_interval, scores)
        peak = traced_peak(confidence_interval, scores)
        print(f"{size:>10}  {seconds[size]:>8.3f}s  {peak / MIB:>9.1f} MiB")
    print(f"time ratio 10^6 / 10^5: {seconds[SIZES[2]] / seconds[SIZES[1]]:.2f}")


def parquet_loading(rows: int = SIZES[-1]) -> None:
    print(f"\nLoading a {rows}-row Parquet card")
    with tempfile.TemporaryDirectory() as folder:
        os.makedirs(os.path.join(folder, "cards", "bench"))
        os.makedirs(os.path.join(folder, "data"))
        data = os.path.join(folder, "data", "sums.parquet")
        pyarrow.parquet.write_table(pyarrow.table({
            "question": [f"What is {i} plus {i + 1}?" for i in range(rows)],
            "answer": [str(2 * i + 1) for i in range(rows)],
        }), data)
        card = {"template": "{question}", "metrics": ["metrics.exact_match"],
                "data_files": {"test": "../../data/sums.parquet"}, "columns": {"references": "answer"}}
        with open(os.path.join(folder, "cards", "bench", "sums.json"), "w") as handle:
            json.dump(card, handle)
        with open(os.path.join(folder, "risks.json"), "w") as handle:
            json.dump({"risks": {"bench-sums": ["cards.bench.sums"]}}, handle)
        add_catalog(folder)
        try:
            card_seconds, instances = timed(lambda: load_dataset(card="cards.bench.sums"))
            assert len(instances) == rows
            del instances
            pandas_seconds, frame = timed(pd.read_parquet, data)
            assert len(frame) == rows
            sample_seconds, sample = timed(lambda: load_dataset(card="cards.bench.sums", max_test_instances=1000))
            assert len(sample) == 1000
        finally:
            remove_catalogs()
    print(f"load_dataset (instance dicts): {card_seconds:.3f}s")
    print(f"pandas.read_parquet (frame):   {pandas_seconds:.3f}s  (load_dataset takes x{card_seconds / pandas_seconds:.1f})")
    print(f"load_dataset, 1000-row sample: {sample_seconds * 1000:.1f}ms")


def main() -> None:
    print(f"load average at start: {' '.join(f'{x:.2f}' for x in os.getloadavg())}; Python {sys.version.split()[0]}, "
          f"numpy {np.__version__}, pyarrow {pyarrow.__version__}\n")
    scoring()
    graded_interval()
    parquet_loading()
    print(f"\nload average at end: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
