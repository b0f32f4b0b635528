"""Report generation for risk evaluation results.

``extract_numeric_value`` reads the score out of the score texts that the
evaluator produces ("0.750 +/-  0.050": the score, a blank, "+/-", two blanks,
the margin) or out of a plain number text.
"""

from __future__ import annotations

import re

# Also "nan" and "inf": what format(x, ".3f") writes for a score without a value.
_NUMBER = re.compile(r"[-+]?(?:(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][-+]?\d+)?|nan|inf)", re.IGNORECASE)


def extract_numeric_value(text: str) -> float:
    """The score of a "score +/-  margin" text, or the value of a plain number text."""
    if not isinstance(text, str):
        raise TypeError(f"expected a score text, got {type(text).__name__}")
    # Split on the sign alone so that a text with other spacing around it still reads.
    head = text.split("+/-", 1)[0].strip()
    if not _NUMBER.fullmatch(head):
        raise ValueError(f"no numeric score found in {text!r}")
    return float(head)


class PdfGenerator:
    """Writes the PDF report of a risk evaluation."""

    def download_pdf(
        self,
        output_path,
        score_with_margin,
        report_details,
        executive_summary_data,
        user_custom_percentile_thresholds,
    ):
        raise NotImplementedError(
            "PDF report generation is not available yet in this version"
        )
