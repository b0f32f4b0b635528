"""Scoring of predictions against loaded instances.

``evaluate`` returns one result dict per instance (a copy of the instance with
its prediction and instance scores).  Every element shares the same
``["score"]["global"]`` dict: the mean of each metric over the instances with a
percentile bootstrap confidence interval.  The first metric of the instances is
the main score, reported again under "score".  A metric that says what its
scores rest on (a judge's answer and verdict) adds that to each result under
its own key ("judge").
"""

from __future__ import annotations

from typing import Any, Iterable, Mapping

import numpy as np

from .error_utils import EvalithError
from .metrics import ScoresWithEvidence, resolve_metric

BOOTSTRAP_RESAMPLES = 1000
CONFIDENCE_LEVEL = 0.95
BOOTSTRAP_SEED = 42


def confidence_interval(scores: np.ndarray) -> tuple[float, float]:
    """Percentile bootstrap interval of the mean, reproducible through a fixed seed."""
    if scores.size == 0:
        raise EvalithError("cannot compute a confidence interval without scores")
    if np.all(scores == scores[0]):
        value = float(scores.mean())
        return value, value
    rng = np.random.default_rng(BOOTSTRAP_SEED)
    picks = rng.integers(0, scores.size, size=(BOOTSTRAP_RESAMPLES, scores.size))
    means = scores[picks].mean(axis=1)
    tail = (1.0 - CONFIDENCE_LEVEL) / 2.0 * 100.0
    low, high = np.percentile(means, [tail, 100.0 - tail])
    return float(low), float(high)


def _as_text(prediction: Any) -> str:
    if prediction is None:
        return ""
    return prediction if isinstance(prediction, str) else str(prediction)


def _metric_names(instances: list[Mapping[str, Any]]) -> list[str]:
    names = None
    for position, instance in enumerate(instances):
        if not isinstance(instance, Mapping):
            raise EvalithError(f"instance {position} is not a mapping but {type(instance).__name__}")
        for key in ("source", "references", "metrics"):
            if key not in instance:
                raise EvalithError(f"instance {position} has no '{key}' entry")
        if names is None:
            names = list(instance["metrics"])
        elif list(instance["metrics"]) != names:
            raise EvalithError(
                f"instance {position} is scored by {list(instance['metrics'])}, "
                f"the first instance by {names}; evaluate one card at a time"
            )
    if not names:
        raise EvalithError("the instances name no metric")
    return names


def evaluate(predictions: Iterable[Any], data: Iterable[Mapping[str, Any]]) -> list[dict]:
    """Score ``predictions`` (one per instance, in order) against ``data``."""
    predictions = [_as_text(p) for p in predictions]
    instances = list(data)
    if len(predictions) != len(instances):
        raise EvalithError(
            f"got {len(predictions)} predictions for {len(instances)} instances; "
            "they must match one to one"
        )
    if not instances:
        raise EvalithError("nothing to evaluate: no instances were given")

    per_metric: dict[str, np.ndarray] = {}
    evidence: dict[str, list] = {}
    for full_name in _metric_names(instances):
        name, fn = resolve_metric(full_name)
        scores = fn(predictions, instances)
        if isinstance(scores, ScoresWithEvidence):
            evidence[scores.key] = scores.evidence
        per_metric[name] = np.asarray(scores, dtype=float)

    main = next(iter(per_metric))
    global_scores: dict[str, Any] = {}
    for name, scores in per_metric.items():
        low, high = confidence_interval(scores)
        global_scores[name] = float(scores.mean())
        global_scores[f"{name}_ci_low"] = low
        global_scores[f"{name}_ci_high"] = high
    global_scores = {
        "score_name": main,
        "score": global_scores[main],
        "score_ci_low": global_scores[f"{main}_ci_low"],
        "score_ci_high": global_scores[f"{main}_ci_high"],
        **global_scores,
        "num_of_instances": len(instances),
    }

    results = []
    for position, (prediction, instance) in enumerate(zip(predictions, instances)):
        instance_scores = {name: float(scores[position]) for name, scores in per_metric.items()}
        instance_scores["score_name"] = main
        instance_scores["score"] = instance_scores[main]
        result = dict(instance)
        result["prediction"] = prediction
        result["score"] = {"instance": instance_scores, "global": global_scores}
        for key, items in evidence.items():
            result[key] = items[position]
        results.append(result)
    return results
