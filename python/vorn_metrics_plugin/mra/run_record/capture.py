"""Every scored instance of an evaluation run, taken as the evaluator scores it.

The evaluator reads the benchmark library's ``evaluate`` from its module
globals each time it scores a card, and calls ``process_models_and_risks`` on
itself once per risk. For the duration of a run both are wrapped: each call of
``evaluate`` gives the per-instance results of one card (prompt, answer,
references, instance scores, the judge's answer), and the risk's outcome says
which risk those cards belong to and whether they count. A risk that fails
discards its cards' results, as the evaluator does, so the instances kept are
exactly those behind the returned scores.

One run at a time: the wrapper replaces a module global, as the command line's
progress bar does.
"""

from __future__ import annotations

import contextlib
from collections.abc import Mapping
from typing import Any

from vorn_metrics_plugin.common.utils.substitution import substituted

__all__ = ["InstanceCapture", "instance_record"]

# Instance score entries that repeat the main metric's name and value.
_SCORE_ALIASES = ("score_name", "score")


def instance_record(risk: str, card: str, index: int, result: Mapping[str, Any]) -> dict[str, Any]:
    """One line of the record: where the instance is, what was asked and answered, and its scores."""
    instance_scores = result.get("score", {}).get("instance", {})
    record = {
        "risk": risk,
        "card": card,
        "index": index,
        "prompt": result.get("source"),
        "answer": result.get("prediction"),
        "references": list(result.get("references") or ()),
        "scores": {name: value for name, value in instance_scores.items() if name not in _SCORE_ALIASES},
    }
    if "judge" in result:
        record["judge"] = dict(result["judge"])
    return record


class InstanceCapture:
    """``with InstanceCapture(quorvane, evaluator) as capture:`` around ``evaluator.quorvanes()``.

    ``capture.instances`` then lists one record per scored instance, by risk,
    card and index (see :func:`instance_record`).
    """

    def __init__(self, module: Any, evaluator: Any) -> None:
        self.module, self.evaluator = module, evaluator
        self.instances: list[dict[str, Any]] = []
        self._cards: list = []  # per-instance results of the current risk's cards, in order

    def __enter__(self) -> "InstanceCapture":
        evaluate, process = self.module.evaluate, self.evaluator.process_models_and_risks

        def scoring(*args, **kwargs):
            results = evaluate(*args, **kwargs)
            self._cards.append(results)
            return results

        def risk(scoring_function, risks_dimension_name):
            self._cards = []
            outcome = process(scoring_function, risks_dimension_name)
            self._keep(risks_dimension_name, outcome)
            self._cards = []
            return outcome

        with contextlib.ExitStack() as stack:
            stack.enter_context(substituted(self.module, evaluate=scoring))
            stack.enter_context(substituted(self.evaluator, process_models_and_risks=risk))
            self._restore = stack.pop_all()
        return self

    def __exit__(self, *exc_info) -> None:
        self._restore.close()

    def _keep(self, risk: str, outcome: Any) -> None:
        """The instances of a risk whose cards all scored (the card dict leads the outcome)."""
        try:
            cards = outcome[0]
        except Exception:
            return  # not the evaluator's (results, failed cards) pair: nothing to keep
        if not isinstance(cards, Mapping) or not cards:
            return
        # One call of evaluate per card, in the order the cards were scored.
        for card, results in zip(cards, self._cards):
            self.instances.extend(instance_record(risk, card, index, result) for index, result in enumerate(results))
