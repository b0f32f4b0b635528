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
    ],
)
def test_extract_numeric_value(text, value):
    result = extract_numeric_value(text)
    assert isinstance(result, float)
    assert result == pytest.approx(value)


@pytest.mark.parametrize("score", [float("nan"), float("inf"), float("-inf")])
def test_scores_without_a_finite_value_read_back(score):
    text = format(score, ".3f") + " +/-  " + format(0.1, ".3f")
    assert str(extract_numeric_value(text)) == str(score)


@pytest.mark.parametrize(
    "text", ["", "   ", "n/a", "+/-  0.050", "score: 0.5", "0.5abc +/-  0.1", "0.5 0.6", "nano"]
)
def test_text_without_a_leading_number_is_rejected(text):
    with pytest.raises(ValueError, match="no numeric score"):
        extract_numeric_value(text)


@pytest.mark.parametrize("value", [None, 0.5, ["0.5"]])
def test_non_text_is_rejected(value):
    with pytest.raises(TypeError):
        extract_numeric_value(value)


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
