import math

import pytest

from vorn_metrics_plugin.mra.pdf_generator import PdfGenerator, extract_numeric_value


@pytest.mark.parametrize(
    "text, value",
    [
        ("0.750 +/-  0.050", 0.75),
        (format(2 / 3, ".3f") + " +/-  " + format(0.04, ".3f"), 0.667),
        ("1.000 +/-  0.000", 1.0),
        ("-0.125 +/-  -0.010", -0.125),
        ("0.750 +/- 0.050", 0.75),
        ("0.5", 0.5),
        (" 12 ", 12.0),
        ("3e-2", 0.03),
        (".25 +/-  0.100", 0.25),
        # scores without a finite value read back
        *((format(score, ".3f") + " +/-  0.100", score) for score in [math.nan, math.inf, -math.inf]),
    ],
)
def test_extract_numeric_value(text, value):
    result = extract_numeric_value(text)
    assert isinstance(result, float)
    assert result == pytest.approx(value, nan_ok=True)


@pytest.mark.parametrize(
    "text, error",
    [
        *((text, ValueError) for text in ["", "   ", "n/a", "+/-  0.050", "score: 0.5", "0.5abc +/-  0.1", "0.5 0.6", "nano"]),
        *((value, TypeError) for value in [None, 0.5, ["0.5"]]),
    ],
)
def test_text_without_a_leading_number_is_rejected(text, error):
    with pytest.raises(error, match="no numeric score" if error is ValueError else None):
        extract_numeric_value(text)


def test_report_download_is_not_available_yet(tmp_path):
    target = tmp_path / "report.pdf"
    with pytest.raises(NotImplementedError, match="not available yet"):
        PdfGenerator().download_pdf(
            output_path=str(target),
            score_with_margin={"hallucination": {"cards.x": {"score": "0.500 +/-  0.100"}}},
            report_details={"Foundation Model Name": "m"},
            executive_summary_data={"hallucination": {"cards.x": {"score": 0.5}}},
            user_custom_percentile_thresholds=(0.3, 0.7),
        )
    assert not target.exists()
