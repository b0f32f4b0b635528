"""The PDF generator the risk evaluator hands its results to."""

from __future__ import annotations

import io
import os
from collections.abc import Mapping

from .document import write_report
from .files import write_atomically
from .fonts import report_fonts
from .scores import read_thresholds, summary_rows


def _nested(value, name: str, leaf: type = Mapping, leaf_name: str = "a dict") -> Mapping:
    """Check the risk -> card -> entries nesting of the report's inputs."""
    if not isinstance(value, Mapping):
        raise TypeError(f"{name} must be a dict of risks, got {type(value).__name__}")
    for risk, cards in value.items():
        if not isinstance(cards, Mapping):
            raise TypeError(f"{name}[{risk!r}] must be a dict of cards, got {type(cards).__name__}")
        for card, entries in cards.items():
            if not isinstance(entries, leaf):
                raise TypeError(f"{name}[{risk!r}][{card!r}] must be {leaf_name}, got {type(entries).__name__}")
    return value


def _examples(value) -> Mapping:
    """Check the risk -> card -> list of instance records nesting of the examples."""
    for risk, cards in _nested(value, "examples", (list, tuple), "a list of instance records").items():
        for card, instances in cards.items():
            if not all(isinstance(item, Mapping) for item in instances):
                raise TypeError(f"examples[{risk!r}][{card!r}] must be a list of instance records")
    return value


class PdfGenerator:
    """Writes the PDF report of a risk evaluation.

    Args:
        examples (dict, optional): risk -> card -> the card's instances to show in
            its section, in order, each a run record's instance line with its main
            "score" (see ``vorn_metrics_plugin.mra.run_record``).
        font (str, optional): A TrueType file to embed instead of DejaVu Sans
            (default: the ``VORN_REPORT_FONT`` variable), for scripts such as CJK.
    """

    def __init__(self, examples=None, font=None) -> None:
        self.examples = examples
        self.font = font

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
            ReportFontError: If the font file cannot be embedded (a ValueError).
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
        examples = _examples(self.examples) if self.examples is not None else {}
        fonts = report_fonts(self.font)
        rows = summary_rows(executive_summary_data, score_with_margin, thresholds)
        # The whole layout happens in memory: the file is only touched once the bytes are final.
        document = io.BytesIO()
        write_report(document, report_details, rows, score_with_margin, thresholds, fonts, examples)
        write_atomically(path, document.getvalue())
        return path
