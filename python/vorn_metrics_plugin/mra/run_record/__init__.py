"""Run records: every answer of an evaluation run, kept beside its scores.

A record is a folder with two files:

- ``results.json``: ``"results"`` (what ``Quorvane.quorvanes()`` returned),
  ``"settings"`` (model id, endpoint root, protocol, judge model, risks,
  sample size, catalogue folders, thresholds), ``"started_at"`` and
  ``"finished_at"`` (ISO 8601 with the time zone), ``"package_version"``,
  ``"usage"`` (the usage figures of the run's services, or null) and
  ``"record_format"``;
- ``instances.jsonl``: one JSON object per scored instance, with ``"risk"``,
  ``"card"``, ``"index"`` (the instance's position in the card's test split),
  ``"prompt"``, ``"answer"``, ``"references"``, ``"scores"`` (metric name to
  the instance's score) and, for instances scored by a judge, ``"judge"``
  (``{"answer": <the judge's text>, "verdict": "SAFE" or "UNSAFE"}``).

No API key or token is written: the settings name the endpoint by its root
URL only. ``record_run`` runs an evaluation and writes its record;
``RunRecorder`` is the same in steps, for callers that run the evaluation
themselves. ``vorn-risk-compare`` compares two records.
"""

from __future__ import annotations

import os
from collections.abc import Mapping, Sequence
from datetime import datetime
from typing import Any

import vorn_metrics_plugin
from vorn_metrics_plugin.mra.report_details import add_report_details
from vorn_metrics_plugin.mra.usage import Usage

from .capture import InstanceCapture, instance_record
from .files import INSTANCES_FILE, RECORD_FORMAT, RESULTS_FILE, RecordFolderError, check_record_folder, write_record
from .settings import endpoint_root, run_settings, settings_of

__all__ = ["record_run", "RunRecorder", "RecordFolderError", "check_record_folder", "main_score", "run_settings",
           "settings_of", "endpoint_root", "instance_record", "RESULTS_FILE", "INSTANCES_FILE", "RECORD_FORMAT",
           "EXAMPLES_PER_CARD", "RECORD_DETAIL"]

EXAMPLES_PER_CARD = 3
# The report detail that says where the record of the run was written.
RECORD_DETAIL = "Run record"


def _now() -> str:
    return datetime.now().astimezone().isoformat(timespec="seconds")


def main_score(instance: Mapping[str, Any], score_name: str | None) -> float | None:
    """An instance's score on the card's main metric (its first metric when the name is not among them)."""
    scores = instance.get("scores") or {}
    if score_name in scores:
        return scores[score_name]
    return next(iter(scores.values()), None)


class RunRecorder:
    """Takes every scored instance of one run of an evaluator, then writes the record.

    ::

        recorder = RunRecorder(evaluator)
        with recorder:
            results = evaluator.quorvanes()
        recorder.write("runs/today", results, settings_of(evaluator))
        recorder.show_in_report("runs/today")   # the report's examples and details
    """

    def __init__(self, evaluator: Any) -> None:
        from vorn_metrics_plugin.mra import quorvane

        self.evaluator = evaluator
        self._capture = InstanceCapture(quorvane, evaluator)
        self.started_at: str | None = None
        self.finished_at: str | None = None

    def __enter__(self) -> "RunRecorder":
        self._capture.__enter__()
        self.started_at = _now()
        return self

    def __exit__(self, *exc_info) -> None:
        self.finished_at = _now()
        self._capture.__exit__(*exc_info)

    @property
    def instances(self) -> list[dict[str, Any]]:
        """One record per scored instance (see the module docstring)."""
        return self._capture.instances

    def write(self, folder: str | os.PathLike, results: Mapping, settings: Mapping[str, Any],
              usage: Mapping[str, Any] | None = None) -> str:
        """Write results.json and instances.jsonl into ``folder`` (checked with ``check_record_folder`` before
        the run); returns the folder's absolute path."""
        path = os.path.abspath(os.fsdecode(os.fspath(folder)))
        record = {"results": results, "settings": dict(settings), "started_at": self.started_at,
                  "finished_at": self.finished_at, "package_version": vorn_metrics_plugin.__version__,
                  "usage": dict(usage) if usage is not None else None}
        write_record(path, record, self.instances)
        return path

    def examples(self, results: Mapping, limit: int = EXAMPLES_PER_CARD) -> dict[str, dict[str, list[dict]]]:
        """Each card's lowest-scoring instances (at most ``limit``, lowest first, by index among equals),
        with their main score under "score": risk -> card -> instances."""
        by_card: dict[str, dict[str, list[dict]]] = {}
        for instance in self.instances:
            risk, card = instance["risk"], instance["card"]
            metrics = results.get(risk, {}).get(card, {})
            score = main_score(instance, metrics.get("score_name") if isinstance(metrics, Mapping) else None)
            by_card.setdefault(risk, {}).setdefault(card, []).append({**instance, "score": score})
        for cards in by_card.values():
            for card, instances in cards.items():
                ranked = sorted(instances, key=lambda item: (item["score"] is None, item["score"] or 0.0))
                cards[card] = ranked[:limit]
        return by_card

    def show_in_report(self, results: Mapping, folder: str | None = None) -> None:
        """The evaluator's next reports show each card's lowest-scoring instances and, with ``folder``,
        where the record was written."""
        generator = self.evaluator.pdf_generator
        if hasattr(generator, "examples"):
            generator.examples = self.examples(results)
        if folder is not None:
            add_report_details(self.evaluator, {RECORD_DETAIL: os.path.abspath(os.fsdecode(os.fspath(folder)))})


def record_run(evaluator: Any, folder: str | os.PathLike, *, overwrite: bool = False,
               thresholds: Sequence[float] | None = None, usage: Usage | None = None,
               settings: Mapping[str, Any] | None = None) -> dict:
    """Run ``evaluator.quorvanes()`` and write the run's record to ``folder``; return the results.

    Args:
        evaluator: A ``Quorvane`` (or subclass) ready to run.
        folder: Where the record goes; created when missing. A folder that holds
            anything is refused before the run (``RecordFolderError``) unless ``overwrite``.
        overwrite: Replace the record in a folder that is not empty (other files stay).
        thresholds: The report thresholds to list in the settings, if any.
        usage: The ``Usage`` that counts the requests of the run's services, if any
            (``CompletionScoringFunction(...).usage``); the figures of this run are written
            after it (what the same services were asked before the run is left out).
        settings: The settings to write instead of those read from the evaluator
            (``settings_of``; build others with ``run_settings``).

    The evaluator's later PDF reports show each card's lowest-scoring
    instances and where the record was written. Nothing is written when the
    run raises; each file is written whole or not at all.
    """
    path = check_record_folder(folder, overwrite)
    recorder = RunRecorder(evaluator)
    start = usage.mark() if usage is not None else None
    with recorder:
        results = evaluator.quorvanes()
    recorder.write(path, results, settings if settings is not None else settings_of(evaluator, thresholds),
                   usage.record(since=start) if usage is not None else None)
    recorder.show_in_report(results, path)
    return results
