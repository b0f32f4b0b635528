"""Untrusted text in the report: model names, card names and the examples' prompts, answers and references."""

import re

import numpy as np
import pypdf
import pypdfium2
import pytest
from matplotlib import font_manager

from vorn_metrics_plugin.mra.pdf_generator import PdfGenerator
from vorn_metrics_plugin.mra.pdf_generator.fonts import ReportFontError

GREEK, CYRILLIC = "Ελληνικά κείμενα", "ещё Юникод"
MARKUP = '<b>bold</b> & <para> </i> <font color="red">'
NASTY = f"{MARKUP} \x07bell \u202eflip {GREEK} {CYRILLIC} \u2713"
LONG_WORD = "W" * 3000
SHOWN = [MARKUP, "[U+0007]bell", "[U+202E]flip", GREEK, CYRILLIC, "\u2713"]


def example(index, score, **texts):
    return {"index": index, "score": score, "prompt": "p", "answer": "a", "references": ["r"], "scores": {},
            **texts}


def write_report(path, card="cards.x", model="m", examples=(), font=None):
    results = {"risk": {card: {"score_name": "m", "score": "0.500 +/-  0.100"}}}
    generator = PdfGenerator(examples={"risk": {card: list(examples)}}, font=font)
    return generator.download_pdf(path, results, {"Foundation Model Name": model}, {"risk": {card: {"score": 0.5}}},
                                  (0.3, 0.7))


def fold(text):
    return re.sub(r"\s+", " ", text)


def texts(path):
    """The whole text as pypdf and as pdfium extract it."""
    by_pypdf = " ".join(page.extract_text() for page in pypdf.PdfReader(path).pages)
    document = pypdfium2.PdfDocument(path)
    by_pdfium = " ".join(document[i].get_textpage().get_text_range() for i in range(len(document)))
    return fold(by_pypdf), fold(by_pdfium)


@pytest.mark.parametrize("place", ["model", "card", "prompt", "answer", "references", "judge"])
def test_untrusted_text_is_shown_as_written_wherever_it_appears(tmp_path, place):
    texts_of_example = {"prompt": {"prompt": NASTY}, "answer": {"answer": NASTY}, "references": {"references": [NASTY]},
                        "judge": {"judge": {"answer": NASTY, "verdict": "UNSAFE"}}}.get(place, {})
    path = write_report(tmp_path / "r.pdf", card=NASTY if place == "card" else "cards.x",
                        model=NASTY if place == "model" else "m", examples=[example(0, 0.0, **texts_of_example)])
    for text in texts(path):
        for shown in SHOWN:
            assert shown in text, (shown, place)


def render(path, page):
    return np.asarray(pypdfium2.PdfDocument(path)[page].render(scale=1).to_pil().convert("L"))


def right_edge(path, page):
    return np.where((render(path, page) < 128).any(axis=0))[0].max()


def test_examples_are_cut_shown_lowest_first_and_keep_the_layout(tmp_path):
    examples = [example(7, 0.0, answer=LONG_WORD, prompt="line\n" * 40),
                example(2, 0.5, answer="def f():\n    return 1")]
    path = write_report(tmp_path / "r.pdf", examples=examples)
    plain = write_report(tmp_path / "plain.pdf", examples=[example(7, 0.0), example(2, 0.5)])
    text, _ = texts(path)
    assert "Lowest-scoring instances Instance 7, score 0.000" in text
    assert text.index("Instance 7") < text.index("Instance 2, score 0.500")
    assert "[\u2026 cut: 3000 characters in all]" in text and "[\u2026 cut: 200 characters in all]" in text
    assert text.count("line") == 12  # the first 12 of 40 lines
    # The 3000-character word wraps inside its cell: nothing reaches past the tables' right border.
    assert right_edge(path, 2) == right_edge(plain, 2)


@pytest.mark.parametrize(
    "font, embedded",
    [(None, "DejaVuSans"), ("serif", "DejaVuSerif"), ("not a font", ReportFontError)],
)
def test_the_report_embeds_its_font(tmp_path, monkeypatch, font, embedded):
    if font == "serif":
        monkeypatch.setenv("VORN_REPORT_FONT", font_manager.findfont("DejaVu Serif", fallback_to_default=False))
        font = None
    elif font == "not a font":
        (tmp_path / "font.ttf").write_text("no glyphs here")
        font = tmp_path / "font.ttf"
    if embedded is ReportFontError:
        with pytest.raises(ReportFontError, match="is not a TrueType font the report can embed"):
            write_report(tmp_path / "r.pdf", font=font)
        assert not (tmp_path / "r.pdf").exists()
        return
    path = write_report(tmp_path / "r.pdf", model=f"{GREEK} {CYRILLIC}", font=font)
    fonts = {str(font.get("/BaseFont")) for font in pypdf.PdfReader(path).pages[0]["/Resources"]["/Font"].values()}
    assert fonts and all(embedded in font for font in fonts), fonts
    assert f"{GREEK} {CYRILLIC}" in texts(path)[1]
