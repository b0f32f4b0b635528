"""Every scored instance of an evaluation run, taken as the evaluator scores it.

The evaluator reads the benchmark library's ``evaluate`` from its module
globals each time it scores a card, and calls ``process_models_and_risks`` on
itself once per risk. For the duration of a run both are wrapped: each call of
``evaluate`` gives the per-instance results of one card (prompt, answer,
references, instance scores, the judge's answer), and the risk's outcome says
which risk those cards belong to and whether they count. A risk that fails
discards its cards' results, as the evaluator does, so the instances kept are
exactly those behind the returned scores.

The evaluator scores on its caller's thread, so runs in several threads at
once are told apart by thread: one wrapper of ``evaluate`` serves them all,
from the first capture that starts until the last one ends, and gives each
card's results to the capture of the thread that scored it.
"""

from __future__ import annotations

import contextlib
import threading
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


class _ScoringRoute:
    """The module's ``evaluate``, wrapped while any capture runs; each call's results go to its thread's capture."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._captures: dict[int, InstanceCapture] = {}
        self._restore: contextlib.ExitStack | None = None

    def join(self, capture: "InstanceCapture") -> None:
        with self._lock:
            if threading.get_ident() in self._captures:
                raise RuntimeError("a run of this thread is being recorded already")
            if not self._captures:
                evaluate = capture.module.evaluate

                def scoring(*args, **kwargs):
                    results = evaluate(*args, **kwargs)
                    taker = self._captures.get(threading.get_ident())
                    if taker is not None:
                        taker._cards.append(results)
                    return results

                with contextlib.ExitStack() as stack:
                    stack.enter_context(substituted(capture.module, evaluate=scoring))
                    self._restore = stack.pop_all()
            self._captures[threading.get_ident()] = capture

    def leave(self) -> None:
        with self._lock:
            del self._captures[threading.get_ident()]
            if not self._captures:
                self._restore.close()


_route = _ScoringRoute()


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
        process = self.evaluator.process_models_and_risks

        def risk(scoring_function, risks_dimension_name):
            self._cards = []
            outcome = process(scoring_function, risks_dimension_name)
            self._keep(risks_dimension_name, outcome)
            self._cards = []
            return outcome

        _route.join(self)
        with contextlib.ExitStack() as stack:
            stack.callback(_route.leave)
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
