"""LIME image explanations of a frame's rows, a few rows per Dask task."""

from __future__ import annotations

import numbers
from typing import Any

import pandas as pd
from dask.distributed import Client

from vorn_metrics_plugin.distributed.cluster import client_for
from vorn_metrics_plugin.distributed.tasks import callable_name, completed, ensure_sendable, shared_value
from vorn_metrics_plugin.metrics.explainability.entity.explain_config import ExplainConfig
from vorn_metrics_plugin.metrics.explainability.explainers.lime.sibrelle import Sibrelle


def explain_frame(
    explain_config: ExplainConfig,
    frame: pd.DataFrame,
    scoring_fn: Any,
    *,
    client: Client | None = None,
    rows_per_task: int = 8,
) -> dict[str, list[Any]]:
    """Explain every row of ``frame`` on a Dask cluster.

    Returns what ``Sibrelle(explain_config)``, once initialised, returns from
    ``explain_data(frame, scoring_fn)``: ``{"local_explanations": [...]}`` with
    one record per row in the frame's order, error records included. Each task
    explains ``rows_per_task`` consecutive rows with an explainer of its own.

    ``client``: the Dask client to run on; by default the current client, or a
    local cluster of worker processes started and closed by this call.
    ``scoring_fn`` travels to the workers with cloudpickle (lambdas and
    closures included); what it imports must be installed there.

    Configuration and column errors are raised here before any task runs; a
    task that fails raises its error here and the other tasks are cancelled.
    """
    if isinstance(rows_per_task, bool) or not isinstance(rows_per_task, numbers.Integral) \
            or rows_per_task < 1:
        raise ValueError(f"rows_per_task must be a positive integer, got {rows_per_task!r}")
    # The explainer's own checks, on this side: a bad configuration or a
    # missing column fails here, and only the columns it uses travel.
    explainer = Sibrelle(explain_config)
    explainer.initialize()
    rows = explainer._Sibrelle__prepare_data(data=frame)
    if len(rows) == 0:
        return {"local_explanations": []}
    ensure_sendable(scoring_fn, f"The scoring function {callable_name(scoring_fn)}")
    ensure_sendable(explain_config, "The explain configuration")

    parts = [rows.iloc[start:start + rows_per_task] for start in range(0, len(rows), rows_per_task)]
    records: list[list[Any]] = [[] for _ in parts]
    with client_for(client) as dask_client:
        # Each part travels inside its task, so Dask can run the task again
        # elsewhere when its worker dies (scattered parts would die with it);
        # the scoring function is sent once.
        scoring_future = shared_value(dask_client, scoring_fn)
        tasks = [
            dask_client.submit(explain_rows, explain_config, part, scoring_future, pure=False)
            for part in parts
        ]
        for index, part_records in completed(dask_client, tasks, "explaining rows"):
            records[index] = part_records
    return {"local_explanations": [record for part in records for record in part]}


def explain_rows(explain_config: ExplainConfig, rows: pd.DataFrame, scoring_fn: Any) -> list[Any]:
    """One task: the records of ``rows``, by an explainer made for this task."""
    explainer = Sibrelle(explain_config)
    explainer.initialize()
    return explainer.explain_data(rows, scoring_fn)["local_explanations"]
