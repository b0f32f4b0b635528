"""The ``vorn-risk-eval`` command: evaluate a model's risks, print the scores, write the report.

Run ``vorn-risk-eval --help`` (or ``python -m vorn_metrics_plugin.mra.risk_eval --help``).
"""

import os

from vorn_metrics_plugin.common.utils.environment import restored_environment
from vorn_metrics_plugin.mra.catalog_path import CATALOG_PATH_ENV

__all__ = ["main"]


def main(argv: list[str] | None = None) -> int:
    """Run the command (see ``run.main``)."""
    # The command checks the folders of VORN_CATALOG_PATH before it adds them, so that
    # a folder with a problem is reported as one; the catalogue, imported with the
    # command's modules, must not add them by itself (which fails the import).
    with restored_environment([CATALOG_PATH_ENV]):
        os.environ.pop(CATALOG_PATH_ENV, None)
        from .run import main as run

    return run(argv)
