"""vorn-risk-compare on constructed run records."""

import json
import os
import re
import subprocess
import sys

import numpy as np
import pypdf
import pytest

from evalith.bootstrap import confidence_interval
from vorn_metrics_plugin.mra.pdf_generator.comparison import RUN_COLOURS
from vorn_metrics_plugin.mra.risk_compare import main
from vorn_metrics_plugin.mra.run_record.files import write_record



def write_run(folder, cards, model="m"):
    """A record whose cards map (risk, card) to the instances' (prompt, main score), index by index."""
    results, instances = {}, []
    for (risk, card), scored in cards.items():
        scores = np.array([score for _, score in scored])
        low, high = confidence_interval(scores)
        results.setdefault(risk, {})[card] = {"score_name": "m", "score": f"{scores.mean():.3f} +/-  "
                                              f"{(high - low) / 2:.3f}", "num_of_instances": len(scored)}
        instances += [{"risk": risk, "card": card, "index": index, "prompt": prompt, "answer": "", "references": [],
                       "scores": {"m": score}} for index, (prompt, score) in enumerate(scored)]
    record = {"results": results, "settings": {"model_id": model}, "started_at": "2026-01-01T00:00:00+00:00",
              "finished_at": "2026-01-01T00:01:00+00:00", "package_version": "0", "usage": None}
    folder.mkdir(exist_ok=True)
    write_record(str(folder), record, instances)
    return str(folder)


def table_lines(out):
    """(risk, card) -> the other cells of its line, cut at the columns that the dashes under the header mark."""
    lines = out.splitlines()
    rule = next(index for index, line in enumerate(lines) if line.startswith("----"))
    spans = [match.span() for match in re.finditer(r"-+", lines[rule])]
    cells = {}
    for line in lines[rule + 1:]:
        if not line.strip():
            break
        risk, card, *rest = (line[start:end + 1].strip() for start, end in spans)
        cells[risk, card] = rest
    return cells


def compare(capsys, *args):
    status = main([str(arg) for arg in args])
    out, err = capsys.readouterr()
    return status, table_lines(out) if status == 0 else {}, out, err


def scored(scores, prompt="q{}"):
    return [(prompt.format(index), score) for index, score in enumerate(scores)]


ALTERNATING = [index % 2 for index in range(40)]
# B answers 8 of A's 20 failures right: +0.2, a difference the two runs' own margins (about 0.15 each) hide.
IMPROVED = [1 if index % 2 == 0 and index < 16 else score for index, score in enumerate(ALTERNATING)]


@pytest.mark.parametrize(
    "a, b, difference, verdict",
    [
        ([0] * 20, [1] * 12 + [0] * 8, 0.6, "B higher"),
        ([1] * 12 + [0] * 8, [0] * 20, -0.6, "A higher"),
        (ALTERNATING, IMPROVED, 0.2, "B higher"),
        (ALTERNATING, ALTERNATING, 0.0, "no clear difference"),
        ([0, 1] * 10, [1, 0] * 10, 0.0, "no clear difference"),  # every instance changed, none better on the whole
    ],
)
def test_paired_difference_with_its_interval_and_verdict(tmp_path, capsys, a, b, difference, verdict):
    key = ("hallucination", "cards.vorn.factual.capitals")
    run_a, run_b = write_run(tmp_path / "a", {key: scored(a)}), write_run(tmp_path / "b", {key: scored(b)})
    status, lines, out, _ = compare(capsys, run_a, run_b)
    assert status == 0
    shown_a, shown_b, shown_difference, interval, shared, shown_verdict = lines[key]
    low, high = (float(bound) for bound in interval.strip("[]").split(","))
    assert (float(shown_difference), shared, shown_verdict) == (pytest.approx(difference), str(len(a)), verdict)
    assert low <= difference <= high and (low > 0 or high < 0) == (verdict != "no clear difference")
    if a == b:
        assert low == high == 0
    assert shown_a.startswith(f"{np.mean(a):.3f} +/-  ") and shown_b.startswith(f"{np.mean(b):.3f} +/-  ")
    assert f"Compared on {len(a)} instance(s)" in out


def test_only_what_both_runs_have_is_compared(tmp_path, capsys):
    shared_card, only_a, only_b = (("hallucination", "cards.vorn.factual.capitals"),
                                   ("output-bias", "cards.vorn.bias.ambiguous_roles"),
                                   ("toxic-output", "cards.vorn.toxicity.provocations"))
    a = {shared_card: scored([1] * 10), only_a: scored([1, 0])}
    # B changed two prompts, has an instance more, and a card that A lacks.
    b_instances = scored([0] * 11)
    b_instances[3], b_instances[4] = ("another question", 0), ("yet another", 0)
    b = {shared_card: b_instances, only_b: scored([1])}
    run_a, run_b = write_run(tmp_path / "a", a, "model-a"), write_run(tmp_path / "b", b, "model-b")
    status, lines, out, _ = compare(capsys, run_a, run_b, "--report", tmp_path / "comparison.pdf")
    assert status == 0
    assert lines[shared_card][2:] == ["-1.000", "[-1.000, -1.000]", "8", "A higher"]
    assert lines[only_a][1:] == ["-", "-", "-", "-", "only in A"] and lines[only_a][0].startswith("0.500")
    assert lines[only_b][0] == "-" and lines[only_b][-1] == "only in B"
    assert list(lines) == [shared_card, only_a, only_b]
    assert "Compared on 8 instance(s) that both runs have (same card, index and prompt); A has 4 and B has 4" in out
    assert out.startswith(f"A: {run_a} (model-a, finished 2026-01-01T00:01:00+00:00)\nB: {run_b} (model-b,")

    reader = pypdf.PdfReader(tmp_path / "comparison.pdf")
    text = re.sub(r"\s+", " ", " ".join(page.extract_text() for page in reader.pages))
    for expected in ["Comparison of two runs", "only in A", "only in B", "A higher", "[-1.000, -1.000]",
                     "cards.vorn.bias.ambiguous_roles", "1.000 \u00b1 0.000", "Compared on 8 instance(s)"]:
        assert expected in text
    import pypdfium2

    document = pypdfium2.PdfDocument(tmp_path / "comparison.pdf")
    pixels = np.concatenate([np.asarray(document[i].render(scale=1).to_pil().convert("RGB")).reshape(-1, 3)
                             for i in range(len(document))]).astype(int)
    for colour in RUN_COLOURS.values():  # bars of both runs in the chart, beyond the legend's swatches
        rgb = np.array([colour.red, colour.green, colour.blue]) * 255
        assert (np.abs(pixels - rgb).max(axis=1) <= 12).sum() > 400


def foreign(kind, root):
    folder = root / "run"
    if kind == "missing":
        return folder
    if kind == "a file":
        folder.write_text("x")
        return folder
    folder.mkdir()
    contents = {
        "empty": {},
        "other JSON": {"results.json": json.dumps({"results": {}}), "instances.jsonl": ""},
        "not JSON": {"results.json": "results: none", "instances.jsonl": ""},
        "no instances": {"results.json": None},
        "bad instance line": {"results.json": None, "instances.jsonl": '{"risk": "r"}\n'},
        "other format": {"results.json": "format 99", "instances.jsonl": ""},
    }[kind]
    record = {"record_format": 1, "results": {}, "settings": {}, "started_at": None, "finished_at": None,
              "package_version": "0", "usage": None}
    for name, text in contents.items():
        if text is None:
            text = json.dumps(record)
        elif text == "format 99":
            text = json.dumps({**record, "record_format": 99})
        (folder / name).write_text(text)
    return folder


@pytest.mark.parametrize(
    "kind, message",
    [
        ("missing", "run: no such folder"),
        ("a file", "run is not a folder"),
        ("empty", "run is not a run record (no results.json)"),
        ("other JSON", "run is not a run record (results.json is some other JSON file)"),
        ("not JSON", "run is not a run record (results.json is not JSON"),
        ("no instances", "run is not a complete run record (no instances.jsonl)"),
        ("bad instance line", "run: line 1 of instances.jsonl is not an instance record"),
        ("other format", "run holds a run record of another format (99)"),
    ],
)
@pytest.mark.parametrize("position", ["A", "B"])
def test_foreign_folders_end_with_one_line_and_status_2(tmp_path, capsys, kind, message, position):
    record = write_run(tmp_path / "record", {("r", "cards.c"): scored([1])})
    other = foreign(kind, tmp_path)
    status, _, out, err = compare(capsys, *((other, record) if position == "A" else (record, other)))
    assert (status, out) == (2, "")
    (line,) = err.splitlines()
    assert line.startswith("vorn-risk-compare: error: ") and message in line


def test_a_reader_that_goes_away_ends_the_comparison_quietly(tmp_path):
    # Enough cards that the table outgrows what a pipe holds before the reader is gone.
    cards = {("r", f"cards.c{number}"): scored([1, 0, 1]) for number in range(300)}
    a, b = write_run(tmp_path / "a", cards), write_run(tmp_path / "b", cards)
    environment = {**os.environ, "PYTHONPATH": os.pathsep.join(path for path in sys.path if path)}
    running = subprocess.Popen([sys.executable, "-m", "vorn_metrics_plugin.mra.risk_compare", a, b],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment)
    running.stdout.close()  # as `| head` does once it has read enough
    err = running.stderr.read().decode()
    assert running.wait(timeout=120) == 0 and err == ""
