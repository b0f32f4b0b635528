"""Scoring of predictions against loaded instances.

``evaluate`` returns one result dict per instance (a copy of the instance with
its prediction and instance scores), built when it is read, so that scoring a
large card keeps only the score arrays.  Every element shares the same
``["score"]["global"]`` dict: the mean of each metric over the instances with a
percentile bootstrap confidence interval.  The first metric of the instances is
the main score, reported again under "score".  A metric that says what its
scores rest on (a judge's answer and verdict) adds that to each result under
its own key ("judge").
"""

from __future__ import annotations

from typing import Any, Iterable, Mapping, Sequence

import numpy as np

from .bootstrap import confidence_interval
from .error_utils import EvalithError
from .metrics import ScoresWithEvidence, resolve_metric

__all__ = ["EvaluationResults", "confidence_interval", "evaluate"]


def _as_text(prediction: Any) -> str:
    if prediction is None:
        return ""
    return prediction if isinstance(prediction, str) else str(prediction)


def _metric_names(instances: list[Mapping[str, Any]]) -> list[str]:
    names = None
    for position, instance in enumerate(instances):
        # Plain dicts skip the abstract-class check, which costs more than the rest of the loop.
        if type(instance) is not dict and not isinstance(instance, Mapping):
            raise EvalithError(f"instance {position} is not a mapping but {type(instance).__name__}")
        if "source" not in instance or "references" not in instance or "metrics" not in instance:
            missing = next(key for key in ("source", "references", "metrics") if key not in instance)
            raise EvalithError(f"instance {position} has no '{missing}' entry")
        metrics = instance["metrics"]
        if names is None:
            names = list(metrics)
        elif metrics != names and list(metrics) != names:
            raise EvalithError(
                f"instance {position} is scored by {list(metrics)}, "
                f"the first instance by {names}; evaluate one card at a time"
            )
    if not names:
        raise EvalithError("the instances name no metric")
    return names


def evaluate(predictions: Iterable[Any], data: Iterable[Mapping[str, Any]]) -> "EvaluationResults":
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

    return EvaluationResults(instances, predictions, per_metric, global_scores, evidence)


class EvaluationResults(Sequence):
    """The per-instance results of one evaluation, each built when it is read."""

    def __init__(self, instances: list, predictions: list[str], per_metric: dict[str, np.ndarray],
                 global_scores: dict[str, Any], evidence: dict[str, list] | None = None) -> None:
        self._instances, self._predictions = instances, predictions
        self._per_metric, self._global = per_metric, global_scores
        self._evidence = evidence or {}
        self._main = global_scores["score_name"]

    def __len__(self) -> int:
        return len(self._instances)

    def _result(self, position: int) -> dict:
        instance_scores = {name: float(scores[position]) for name, scores in self._per_metric.items()}
        instance_scores["score_name"] = self._main
        instance_scores["score"] = instance_scores[self._main]
        result = dict(self._instances[position])
        result["prediction"] = self._predictions[position]
        result["score"] = {"instance": instance_scores, "global": self._global}
        for key, items in self._evidence.items():
            result[key] = items[position]
        return result

    def __getitem__(self, index):
        if isinstance(index, slice):
            return [self._result(i) for i in range(*index.indices(len(self)))]
        position = range(len(self))[index]  # negative indices, and IndexError past the end
        return self._result(position)
