"""Percentile bootstrap confidence interval of a mean, in memory that does not grow with the resamples.

Up to ``INSTANCE_DRAW_LIMIT`` scores, every resample draws instances by index,
``BOOTSTRAP_RESAMPLES`` times ``n`` indices from one generator seeded with
``BOOTSTRAP_SEED``.  The indices are drawn a block of resamples at a time
(``DRAW_BLOCK`` indices at most); the generator keeps any half-used 64-bit
output between calls, so the blocks give exactly the draws of one
``(resamples, n)`` call, and each resample's mean is computed over its own row
as before: the bounds are bit for bit those of drawing the whole index matrix.

Above the limit, scores with at most ``GROUPED_MAX_VALUES`` distinct values
(every metric scoring 0 or 1, for example) are resampled by how often each
distinct value is drawn: a multinomial draw per resample, the same
distribution as drawing instances, in time that does not depend on ``n``.
Many distinct values keep the instance draws.
"""

from __future__ import annotations

import numpy as np

from .error_utils import EvalithError

BOOTSTRAP_RESAMPLES = 1000
CONFIDENCE_LEVEL = 0.95
BOOTSTRAP_SEED = 42
INSTANCE_DRAW_LIMIT = 10_000
GROUPED_MAX_VALUES = 1024
DRAW_BLOCK = 1 << 20


def _means_of_instance_draws(scores: np.ndarray, rng: np.random.Generator) -> np.ndarray:
    n = scores.size
    rows = max(1, DRAW_BLOCK // n)
    means = np.empty(BOOTSTRAP_RESAMPLES)
    for start in range(0, BOOTSTRAP_RESAMPLES, rows):
        count = min(rows, BOOTSTRAP_RESAMPLES - start)
        picks = rng.integers(0, n, size=(count, n))
        means[start:start + count] = scores[picks].mean(axis=1)
    return means


def _means_of_value_counts(values: np.ndarray, counts: np.ndarray, rng: np.random.Generator) -> np.ndarray:
    n = int(counts.sum())
    drawn = rng.multinomial(n, counts / n, size=BOOTSTRAP_RESAMPLES)
    return drawn @ values / n


def resample_means(scores: np.ndarray) -> np.ndarray:
    """The means of the bootstrap resamples of ``scores`` (a 1-d float array)."""
    rng = np.random.default_rng(BOOTSTRAP_SEED)
    if scores.size > INSTANCE_DRAW_LIMIT:
        values, counts = np.unique(scores, return_counts=True)
        if values.size <= GROUPED_MAX_VALUES:
            return _means_of_value_counts(values, counts, rng)
    return _means_of_instance_draws(scores, rng)


def confidence_interval(scores: np.ndarray) -> tuple[float, float]:
    """Percentile bootstrap interval of the mean, reproducible through a fixed seed."""
    if scores.size == 0:
        raise EvalithError("cannot compute a confidence interval without scores")
    if np.all(scores == scores[0]):
        value = float(scores.mean())
        return value, value
    tail = (1.0 - CONFIDENCE_LEVEL) / 2.0 * 100.0
    low, high = np.percentile(resample_means(scores), [tail, 100.0 - tail])
    return float(low), float(high)
