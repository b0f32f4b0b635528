"""Report generation for risk evaluation results.

``PdfGenerator().download_pdf(...)`` writes the PDF report of an evaluation:
a title page with the report details, the executive summary as a table and
as a chart of every card's main score with its margin, and one section per
risk with every metric of every card. ``extract_numeric_value`` reads the
score out of the evaluator's "score +/-  margin" texts.
"""

from .generator import PdfGenerator
from .scores import extract_numeric_value

__all__ = ["PdfGenerator", "extract_numeric_value"]
