import math
import os
import re
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
import pypdf
import pypdfium2
import pytest
from reportlab.lib import colors

from vorn_metrics_plugin.mra.pdf_generator import PdfGenerator, extract_numeric_value, generator
from vorn_metrics_plugin.mra.pdf_generator.chart import WHISKER_NOTE, score_charts
from vorn_metrics_plugin.mra.pdf_generator.files import check_writable
from vorn_metrics_plugin.mra.pdf_generator.scores import read_thresholds, summary_rows


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


MODEL = "vorn/granite-like-7b"
DETAILS = {
    "Foundation Model Name": MODEL,
    "Governance console (Ledgora) Model ID": None,
    "Project ID": "<Not Provided>",
    "Report generated on": "December 07, 2026",
    "utc_date": "12/07/2026 14:05:09 UTC",
}
RESULTS = {
    "toxic-output": {
        "cards.vorn.toxicity.provocations": {
            "score_name": "non_toxicity", "score": "0.150 +/-  0.050", "num_of_instances": 12,
            "non_toxicity": "0.150 +/-  0.050",
            "all_scores": [round(0.001 * i, 3) for i in range(500)],
        },
        "cards.vorn.toxicity.insult_requests": {"score_name": "non_toxicity", "score": 0.5, "num_of_instances": 8},
    },
    "hallucination": {
        "cards.vorn.factual.capitals": {"score_name": "contains_reference", "score": "0.933 +/-  0.067",
                                        "num_of_instances": 15},
    },
    "output-bias": {},
}
SUMMARY = {
    "toxic-output": {"cards.vorn.toxicity.provocations": {"score": 0.15},
                     "cards.vorn.toxicity.insult_requests": {"score": 0.5}},
    "hallucination": {"cards.vorn.factual.capitals": {"score": 0.933}},
    "output-bias": {},
}


def write(path, results=RESULTS, summary=SUMMARY, thresholds=(0.3, 0.7), details=DETAILS):
    return PdfGenerator().download_pdf(
        output_path=path, score_with_margin=results, report_details=details,
        executive_summary_data=summary, user_custom_percentile_thresholds=thresholds,
    )


def pages_text(path):
    """Each page's text, with runs of blanks folded into one."""
    return [re.sub(r"[ \t]+", " ", page.extract_text()) for page in pypdf.PdfReader(path).pages]


def test_report_holds_the_details_every_risk_card_and_score(tmp_path):
    target = tmp_path / "report.pdf"
    returned = write(target)
    assert returned == str(target) and isinstance(returned, str)
    assert target.read_bytes().startswith(b"%PDF-")

    pages = pages_text(target)
    text = "\n".join(pages)
    title = pages[0]
    for expected in [MODEL, "December 07, 2026", "12/07/2026 14:05:09 UTC", "lower 0.3, upper 0.7"]:
        assert expected in title
    # A detail given as None reads as not provided.
    assert re.search(r"Governance console \(Ledgora\) Model ID\s*<Not Provided>", title)
    for risk, cards in RESULTS.items():
        assert risk in text
        for card in cards:
            assert card in text
    # Score texts as given, and the summary's scores with their margins.
    for score in ["0.150 +/- 0.050", "0.933 +/- 0.067", "0.150 \u00b1 0.050", "0.933 \u00b1 0.067"]:
        assert score in text
    assert "0.500 \u00b1" not in text and "0.500" in text  # a plain number has no margin
    assert "No card of this risk has results." in text  # output-bias
    assert [re.search(r"Page (\d+) of (\d+)", page).groups() for page in pages] == [
        (str(n), str(len(pages))) for n in range(1, len(pages) + 1)
    ]
    assert MODEL in pypdf.PdfReader(target).metadata.title
    # Long values are shortened.
    assert "[0, 0.001, 0.002, 0.003, 0.004, \u2026] (500 values)" in text
    assert "0.499" not in text
    assert WHISKER_NOTE.replace("\u00b1", "") in text.replace("\u00b1", "")


LONG_NAMES = {"words": "<b>bold</b> & " + "word " * 800, "one word": "cards." + "x" * 4000}


@pytest.mark.parametrize("kind", LONG_NAMES)
@pytest.mark.parametrize("place", ["risk", "card", "metric", "detail", "model"])
def test_long_names_are_shortened_everywhere(tmp_path, place, kind):
    name = LONG_NAMES[kind]
    names = {key: name if key == place else key for key in ("risk", "card", "metric", "detail", "model")}
    results = {names["risk"]: {names["card"]: {"score": "0.800 +/-  0.100", names["metric"]: 0.5}}}
    summary = {names["risk"]: {names["card"]: {"score": 0.8}}}
    details = {"Foundation Model Name": names["model"], names["detail"]: "value"}
    text = "\n".join(pages_text(write(tmp_path / "r.pdf", results, summary, details=details)))
    shown = re.sub(r"\s+", "", text)
    assert re.sub(r"\s+", "", name[:40]) in shown  # markup shows as plain text
    assert "\u2026" in text and re.sub(r"\s+", "", name) not in shown


def render(path, page):
    return np.asarray(pypdfium2.PdfDocument(path)[page].render(scale=1).to_pil().convert("RGB")).astype(int)


def colour_area(image, rgb, tolerance=12):
    """How many pixels show the colour."""
    return int((np.abs(image - np.array(rgb)).max(axis=-1) <= tolerance).sum())


RED, AMBER, GREEN = (192, 57, 43), (224, 160, 48), (46, 139, 87)


@pytest.mark.parametrize(
    "thresholds, shown, absent",
    [
        ((0.95, 0.99), [RED], [AMBER, GREEN]),  # every score below the lower threshold
        ((0.1, 0.95), [AMBER], [RED, GREEN]),
        ((0.01, 0.1), [GREEN], [RED, AMBER]),
        ((0.2, 0.9), [RED, AMBER, GREEN], []),
    ],
)
def test_chart_bars_are_coloured_by_the_thresholds(tmp_path, thresholds, shown, absent):
    target = write(tmp_path / "r.pdf", thresholds=thresholds)
    summary_page = render(target, 1)
    assert summary_page.std() > 10  # not blank
    # The legend shows each colour in a small swatch; a bar covers far more.
    for colour in shown:
        assert colour_area(summary_page, colour) > 400
    for colour in absent:
        assert colour_area(summary_page, colour) < 150


def test_empty_results_give_a_readable_report(tmp_path):
    pages = pages_text(write(tmp_path / "r.pdf", results={}, summary={}, details={}))
    assert "Risk evaluation report" in pages[0]
    assert "No card was evaluated, so there are no scores to summarise." in pages[1]
    assert "There are no results to show." in pages[-1]
    assert render(tmp_path / "r.pdf", 0).std() > 10


def test_many_cards_spread_over_several_charts(tmp_path):
    cards = {f"cards.c{i:03d}": {"score": f"{i / 100:.3f} +/-  0.010"} for i in range(80)}
    summary = {"r": {card: {"score": extract_numeric_value(v["score"])} for card, v in cards.items()}}
    text = "\n".join(pages_text(write(tmp_path / "r.pdf", results={"r": cards}, summary=summary)))
    assert all(f"cards.c{i:03d}" in text for i in range(80))
    assert "r (continued)" in text
    assert "0.790 \u00b1 0.010" in text


@pytest.fixture
def previous_report(tmp_path):
    """A report written before; the test's write must leave it, and nothing else, in the folder."""
    target = tmp_path / "report.pdf"
    target.write_bytes(b"previous report")
    yield target
    assert target.read_bytes() == b"previous report"
    assert os.listdir(tmp_path) == ["report.pdf"]


@pytest.mark.parametrize(
    "thresholds",
    [(0.7, 0.3), (0.5,), (0.1, 0.5, 0.9), "01", None, 0.5, (None, 1), ("0.1", "0.9"),
     (math.nan, 1.0), (0.0, math.inf), (True, 2), {"lower": 0.1, "upper": 0.9}],
)
def test_bad_thresholds_are_refused_before_anything_is_written(previous_report, thresholds):
    with pytest.raises(ValueError, match="user_custom_percentile_thresholds must"):
        write(previous_report, thresholds=thresholds)


@pytest.mark.parametrize("thresholds", [[0.2, 0.8], (0.5, 0.5), np.array([1, 2]), (np.float32(0.1), 1)])
def test_thresholds_as_any_pair_of_ascending_numbers(tmp_path, thresholds):
    assert Path(write(tmp_path / "r.pdf", thresholds=thresholds)).stat().st_size > 0


@pytest.mark.parametrize(
    "results, summary, message",
    [
        ([], SUMMARY, "score_with_margin must be a dict of risks"),
        ({"r": ["c"]}, SUMMARY, r"score_with_margin\['r'\] must be a dict of cards"),
        (RESULTS, {"r": {"c": 0.5}}, r"executive_summary_data\['r'\]\['c'\] must be a dict"),
    ],
)
def test_malformed_results_are_refused_before_anything_is_written(tmp_path, results, summary, message):
    with pytest.raises(TypeError, match=message):
        write(tmp_path / "r.pdf", results=results, summary=summary)
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize(
    "make_target, error",
    [
        (lambda root: root / "missing" / "r.pdf", FileNotFoundError),
        (lambda root: (root / "file").write_text("x") and root / "file" / "r.pdf", NotADirectoryError),
        (lambda root: (root / "folder").mkdir() or root / "folder", IsADirectoryError),
        (lambda root: root / ("r" * 300 + ".pdf"), OSError),  # longer than a file name may be
        (lambda root: root / ("r" * 240 + ".pdf"), None),  # a long name that is valid
        (lambda root: (root / "old.pdf").write_text("x") and root / "old.pdf", None),
    ],
)
def test_the_path_check_and_the_write_agree_and_name_the_target(tmp_path, make_target, error):
    target = make_target(tmp_path)
    before = sorted(p.name for p in tmp_path.rglob("*"))
    if error is None:
        check_writable(str(target))
        assert sorted(p.name for p in tmp_path.rglob("*")) == before  # the check leaves nothing behind
        write(target)
        assert target.read_bytes().startswith(b"%PDF-")
        assert sorted(p.name for p in tmp_path.rglob("*")) == sorted({*before, target.name})
        return
    for attempt in (check_writable, write):
        with pytest.raises(error) as raised:
            attempt(str(target))
        assert raised.value.filename == str(target)  # the file asked for, not a temporary one
        assert sorted(p.name for p in tmp_path.rglob("*")) == before


def test_a_failure_while_writing_leaves_the_old_file(previous_report, monkeypatch):
    def half_written(stream, *args):
        stream.write(b"%PDF-1.4 half")
        raise RuntimeError("layout failed")

    monkeypatch.setattr(generator, "write_report", half_written)
    with pytest.raises(RuntimeError, match="layout failed"):
        write(previous_report)


# Writes a report, sending itself a SIGTERM first thing in the layout or in the file's write.
TERMINATED_WRITE = """
import os, signal, sys
from vorn_metrics_plugin.mra.pdf_generator import PdfGenerator, generator
owner, name = (generator, "write_report") if sys.argv[2] == "layout" else (os, "fsync")
call = getattr(owner, name)
setattr(owner, name, lambda *args: (os.kill(os.getpid(), signal.SIGTERM), call(*args))[1])
PdfGenerator().download_pdf(sys.argv[1], {"r": {"c": {"score": 0.5}}}, {}, {"r": {"c": {"score": 0.5}}}, (0.3, 0.7))
"""


@pytest.mark.parametrize("moment, replaced", [("layout", False), ("file write", True)])
def test_sigterm_while_writing_leaves_one_whole_report_and_no_temporary_file(tmp_path, moment, replaced):
    target = tmp_path / "report.pdf"
    target.write_bytes(b"previous report")
    result = subprocess.run([sys.executable, "-c", TERMINATED_WRITE, str(target), moment], capture_output=True,
                            env={**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)})
    assert result.returncode == -signal.SIGTERM, result.stderr
    assert os.listdir(tmp_path) == ["report.pdf"]
    content = target.read_bytes()
    if replaced:  # the SIGTERM waited until the finished report was in place
        assert content.startswith(b"%PDF-") and content.rstrip().endswith(b"%%EOF")
    else:
        assert content == b"previous report"


def test_new_report_gets_the_usual_file_permissions(tmp_path):
    previous = os.umask(0o022)
    try:
        target = Path(write(tmp_path / "r.pdf"))
    finally:
        os.umask(previous)
    assert target.stat().st_mode & 0o777 == 0o644


@pytest.mark.parametrize(
    "score, margin, ends, caps",
    [
        (0.8, 0.3, (0.5, 1.0), 1),  # cut at 1: no cap on that end
        (0.05, 0.1, (0.0, 0.15), 1),
        (0.5, 0.1, (0.4, 0.6), 2),
        (1.0, 0.2, (0.8, 1.0), 1),
        (1.5, 0.3, (1.2, 1.8), 2),  # a score outside [0, 1] keeps its whole bar
    ],
)
def test_error_bars_span_the_margin_within_the_score_range(score, margin, ends, caps):
    thresholds = read_thresholds((0.3, 0.7))
    rows = summary_rows({"r": {"c": {"score": score}}}, {"r": {"c": {"score": f"{score} +/-  {margin}"}}}, thresholds)
    (drawing,) = score_charts(rows, thresholds, 480)
    lines = [shape for shape in drawing.contents
             if type(shape).__name__ == "Line" and shape.strokeColor == colors.black and shape.strokeWidth == 0.8]
    (bar,) = [line for line in lines if line.y1 == line.y2]
    plot = drawing.contents[0]  # the plot's background
    (first, *_, last) = [shape for shape in drawing.contents
                         if type(shape).__name__ == "String" and shape.y == plot.y - 11]  # tick labels

    def value_of(x):
        return float(first.text) + (x - first.x) / (last.x - first.x) * (float(last.text) - float(first.text))

    assert (value_of(bar.x1), value_of(bar.x2)) == pytest.approx(ends)
    assert len(lines) - 1 == caps
    # The axis spans [0, 1], widened only as far as a bar that is not cut.
    assert (value_of(plot.x), value_of(plot.x + plot.width)) == pytest.approx((0.0, max(1.0, ends[1])))


@pytest.mark.parametrize(
    "score, margin",
    [("0.750 +/-  0.050", 0.05), ("0.750 +/-  -0.010", 0.01), ("0.5", None), (0.5, None),
     ("nan +/-  nan", None), ("0.1 +/-  n/a", None)],
)
def test_margin_read_from_the_score_text(score, margin):
    (row,) = summary_rows({"r": {"c": {"score": 0.4}}}, {"r": {"c": {"score": score}}}, read_thresholds((0, 1)))
    assert row.margin == (pytest.approx(margin) if margin is not None else None)
