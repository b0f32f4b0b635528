"""The PDF generator the risk evaluator hands its results to."""

from __future__ import annotations

import io
import os
from collections.abc import Mapping

from .document import write_report
from .files import write_atomically
from .scores import read_thresholds, summary_rows


def _nested(value, name: str) -> Mapping:
    """Check the risk -> card -> entries nesting of the report's inputs."""
    if not isinstance(value, Mapping):
        raise TypeError(f"{name} must be a dict of risks, got {type(value).__name__}")
    for risk, cards in value.items():
        if not isinstance(cards, Mapping):
            raise TypeError(f"{name}[{risk!r}] must be a dict of cards, got {type(cards).__name__}")
        for card, entries in cards.items():
            if not isinstance(entries, Mapping):
                raise TypeError(f"{name}[{risk!r}][{card!r}] must be a dict, got {type(entries).__name__}")
    return value


class PdfGenerator:
    """Writes the PDF report of a risk evaluation."""

    def download_pdf(
        self,
        output_path,
        score_with_margin,
        report_details,
        executive_summary_data,
        user_custom_percentile_thresholds,
    ) -> str:
        """Write the report to ``output_path`` and return that path as a string.

        Args:
            output_path (str or os.PathLike): Where to write the PDF; its folder must exist.
                An existing file is replaced only once the new report is complete.
            score_with_margin (dict): risk -> card -> metrics, scores as "score +/-  margin" texts.
            report_details (dict): Report metadata shown on the title page (model name, dates, ids).
            executive_summary_data (dict): risk -> card -> {"score": main score}.
            user_custom_percentile_thresholds (tuple): (lower_threshold, upper_threshold), on the
                scale of the scores; each main score is shown below, between or above them.

        Raises:
            ValueError: If the thresholds are not two finite numbers in ascending order.
            TypeError: If the results are not nested dicts of risks, cards and metrics.
            OSError: If the file cannot be written; no partial file is left behind.
        """
        thresholds = read_thresholds(user_custom_percentile_thresholds)
        path = os.fsdecode(os.fspath(output_path))
        score_with_margin = _nested(score_with_margin, "score_with_margin")
        executive_summary_data = _nested(executive_summary_data, "executive_summary_data")
        if report_details is None:
            report_details = {}
        if not isinstance(report_details, Mapping):
            raise TypeError(f"report_details must be a dict, got {type(report_details).__name__}")
        rows = summary_rows(executive_summary_data, score_with_margin, thresholds)
        # The whole layout happens in memory: the file is only touched once the bytes are final.
        document = io.BytesIO()
        write_report(document, report_details, rows, score_with_margin, thresholds)
        write_atomically(path, document.getvalue())
        return path
