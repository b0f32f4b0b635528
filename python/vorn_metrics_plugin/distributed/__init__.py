"""Explanations and risk evaluations as tasks on a Dask cluster.

``explain_frame`` and ``evaluate_risks`` return what the sequential calls
return (``Sibrelle.explain_data`` and ``Quorvane.quorvanes``), computed by
tasks that each build their own explainer or evaluator on a worker. Without a
client they use the current Dask client, or start a local cluster of worker
processes for the duration of the call.

Needs the optional dependencies: ``pip install "vorn_metrics_plugin[distributed]"``.
"""

try:
    import dask.distributed  # noqa: F401
except ImportError as error:  # pragma: no cover - depends on the installation
    raise ImportError(
        'vorn_metrics_plugin.distributed needs Dask: pip install "vorn_metrics_plugin[distributed]"'
    ) from error

__all__ = ["explain_frame", "evaluate_risks"]


def __getattr__(name):
    # Imported on first use: the evaluator's module makes process-wide logging
    # and warning settings when it is imported, which a caller who only
    # explains images should not get.
    if name == "explain_frame":
        from vorn_metrics_plugin.distributed.explanation import explain_frame

        return explain_frame
    if name == "evaluate_risks":
        from vorn_metrics_plugin.distributed.risk_evaluation import evaluate_risks

        return evaluate_risks
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
