"""Entries added to the report details of one evaluator.

The evaluator builds its report's details with ``_build_report_details``,
looked up on the instance each time a report is made; wrapping it on the
instance adds entries after the evaluator's own, for that evaluator only.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

__all__ = ["add_report_details"]


def add_report_details(evaluator: Any, entries: Mapping[str, str]) -> None:
    """The evaluator's reports list ``entries`` after its own details (and after entries added before)."""
    details = evaluator._build_report_details
    extra = dict(entries)
    evaluator._build_report_details = lambda: {**details(), **extra}
