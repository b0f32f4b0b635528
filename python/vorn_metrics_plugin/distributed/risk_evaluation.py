"""Risk evaluation of a model with one Dask task per risk."""

from __future__ import annotations

import threading
from typing import Any

from dask.distributed import Client

from vorn_metrics_plugin.distributed.cluster import client_for
from vorn_metrics_plugin.distributed.tasks import callable_name, completed, ensure_sendable, shared_value
from vorn_metrics_plugin.mra.mra_api import add_catalog, remove_catalogs
from vorn_metrics_plugin.mra.mra_api.catalog_folders import added_catalogs
from vorn_metrics_plugin.mra.quorvane import Quorvane

GRC_REFUSAL = (
    'Publishing to the GRC service runs on one process: with "lg_url" in the credentials, '
    "call Quorvane(...).quorvanes() instead of evaluate_risks."
)

# Loading a card's data changes the working directory of the whole process
# while it runs, so evaluations must not overlap in one worker process.
_one_evaluation_at_a_time = threading.Lock()


def evaluate_risks(
    system_credentials: dict,
    risk_dimensions: list[str] | None = None,
    *,
    client: Client | None = None,
    **evaluator_options: Any,
) -> dict[str, dict[str, dict[str, Any]]]:
    """Evaluate the risks of a model on a Dask cluster, one task per risk.

    Returns what ``Quorvane(system_credentials, risk_dimensions=...,
    **evaluator_options).quorvanes()`` returns without a GRC URL: the same
    risks, cards and "score +/- margin" texts in the same order. Invalid
    arguments raise the evaluator's own errors before any task runs;
    credentials with "lg_url" raise ``ValueError`` (publishing is not split
    into tasks).

    ``client``: as for ``explain_frame``. The evaluator options (for example
    ``scoring_function``, ``max_sample_size``) travel to the workers, which
    also need the judge provider's environment variables for judge-scored
    risks. The catalogue folders added here (``add_catalog``,
    ``VORN_CATALOG_PATH``) are added on the workers too, from the same paths. A task error that ends the sequential run (the inference client
    cannot set its project) ends this one with that error.
    """
    run = _GatheredRun(system_credentials, risk_dimensions, evaluator_options)
    if run.system_credentials.get("lg_url") is not None:
        raise ValueError(GRC_REFUSAL)
    scoring_function = evaluator_options.get("scoring_function")
    if scoring_function is not None:
        ensure_sendable(scoring_function, f"The scoring function {callable_name(scoring_function)}")
    ensure_sendable((system_credentials, evaluator_options), "The credentials or evaluator options")

    risks = list(dict.fromkeys(run.risk_dimensions))  # a risk named twice is evaluated once
    with client_for(client) as dask_client:
        # Sent once, however many risks (the scoring function may carry a model),
        # and made again if the worker that holds it dies.
        options_future = shared_value(dask_client, evaluator_options)
        # The catalogue's folders go with each task: a risk or card they add is evaluated as here.
        folders = added_catalogs()
        tasks = [
            dask_client.submit(evaluate_risk, system_credentials, risk, options_future, folders, pure=False)
            for risk in risks
        ]
        try:
            for index, outcome in completed(dask_client, tasks, "evaluating risks"):
                run.outcomes[risks[index]] = outcome
        except Exception as error:
            run.failure = error
    return run.quorvanes()


def evaluate_risk(system_credentials: dict, risk: str, evaluator_options: dict,
                  catalog_folders: list[str] = ()) -> tuple[Any, list]:
    """One task: (card results or None, failed cards) of ``risk``, by an evaluator made here
    over the caller's catalogue (the package's with ``catalog_folders`` added, in order)."""
    with _one_evaluation_at_a_time:
        _use_catalogue(list(catalog_folders))
        evaluator = Quorvane(system_credentials, risk_dimensions=[risk], **evaluator_options)
        return evaluator.process_models_and_risks(evaluator.scoring_function, risk)


def _use_catalogue(folders: list[str]) -> None:
    """Make this process's catalogue the caller's; a worker may hold another caller's folders."""
    if added_catalogs() != folders:
        remove_catalogs()
        for folder in folders:
            add_catalog(folder)


class _GatheredRun(Quorvane):
    """An evaluator whose per-risk outcomes come from the cluster's tasks.

    Its own ``quorvanes`` then does around them all that the sequential run
    does: risk order, the warning that lists the failed risks, the scores
    with margins, and the logged error when the run fails.
    """

    def __init__(self, system_credentials: dict, risk_dimensions: list[str] | None,
                 evaluator_options: dict) -> None:
        super().__init__(system_credentials, risk_dimensions=risk_dimensions, **evaluator_options)
        self.outcomes: dict[str, tuple[Any, list]] = {}
        self.failure: Exception | None = None

    def process_models_and_risks(self, scoring_function: Any, risks_dimension_name: str) -> tuple[Any, list]:
        if risks_dimension_name in self.outcomes:
            return self.outcomes[risks_dimension_name]
        # Only after a failed task does a risk lack an outcome (it was cancelled).
        assert self.failure is not None
        raise self.failure
