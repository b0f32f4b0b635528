"""The ``vorn-risk-eval`` command: evaluate a model's risks, print the scores, write the report.

Run ``vorn-risk-eval --help`` (or ``python -m vorn_metrics_plugin.mra.risk_eval --help``).
"""

from .run import main

__all__ = ["main"]
