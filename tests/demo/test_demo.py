"""The demo behind the README's first command, run as a user runs it."""

import json
import os
import re
import subprocess
import sys

import imageio.v2 as imageio
import numpy as np
import pypdf
import pytest

from tests.support.completion_server import ScriptedResponse, answer_body, prompt_of, unused_port
from vorn_metrics_plugin.demo import risk_evaluation
from vorn_metrics_plugin.mra.demo_model import DemoModel

EVALUATED = {"prompt-injection", "jailbreaking", "harmful-code-generation", "toxic-output", "hallucination",
             "output-bias"}


def test_a_reader_that_goes_away_ends_the_demo_quietly(tmp_path):
    env = {k: v for k, v in os.environ.items() if not k.startswith("VORN_DEMO_")}
    running = subprocess.Popen([sys.executable, "-m", "vorn_metrics_plugin.demo", str(tmp_path)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    running.stdout.close()  # as `| head` does once it has read enough
    err = running.stderr.read().decode()
    assert (running.wait(timeout=300), err) == (141, "")


def test_demo_evaluates_the_demo_model_and_writes_an_explanation(tmp_path):
    env = {k: v for k, v in os.environ.items() if not k.startswith("VORN_DEMO_")}
    result = subprocess.run(
        [sys.executable, "-m", "vorn_metrics_plugin.demo", str(tmp_path)],
        capture_output=True, text=True, timeout=300, check=False, env=env,
    )
    assert result.returncode == 0, result.stderr
    # One table row per evaluated card: risk, card, "score +/-  margin", instances.
    rows = re.findall(r"^(\S+)\s+(cards\.\S+)\s+(\d\.\d{3} \+/-  \d\.\d{3})\s+(\d+)$",
                      result.stdout, re.MULTILINE)
    # Every risk with a card the run evaluates, the judge-scored ones too (by the built-in demo judge).
    assert {risk for risk, *_ in rows} == EVALUATED
    assert ("hallucination", "cards.vorn.factual.capitals") in {(r, c) for r, c, *_ in rows}
    assert len({score for _, _, score, _ in rows}) > 1
    judged = {risk: float(score.split()[0]) for risk, _, score, _ in rows if risk in EVALUATED - {
        "toxic-output", "hallucination", "output-bias"}}
    assert all(0 < score < 1 for score in judged.values()), judged  # the demo model's deliberate slips
    assert "Not evaluated (no card that the run evaluates): spreading-toxicity" in result.stdout
    assert "Failed" not in result.stdout
    # The run's PDF report holds every evaluated card with its score.
    assert f"Report written to {tmp_path / 'risk-report.pdf'}" in result.stdout
    report = " ".join(page.extract_text() for page in pypdf.PdfReader(tmp_path / "risk-report.pdf").pages)
    report = re.sub(r"\s+", " ", report)
    assert "the built-in demo model" in report
    for risk, card, score, _ in rows:
        assert risk in report and card in report and score.replace("  ", " ") in report
    # The run's record beside the report, one line per instance of the table, and the weaker variant
    # compared with it: worse on the factual cards, the same elsewhere.
    lines = (tmp_path / "run-record" / "instances.jsonl").read_text().splitlines()
    assert len(lines) == sum(int(count) for *_, count in rows)
    verdicts = dict(re.findall(r"^\S+\s+(cards\.\S+)\s.*?(A higher|B higher|no clear difference)$",
                               result.stdout, re.MULTILINE))
    assert verdicts == {card: "A higher" if "factual" in card else "no clear difference" for _, card, *_ in rows}
    # Published once, then read back without evaluating again.
    publishing = result.stdout.split("Publishing to a local GRC service emulator", 1)[1]
    assert publishing.count("Processing ") == 6
    assert "Metrics have been successfully saved and published to http://127.0.0.1:" in publishing
    assert "Metrics have already been saved before, and are being retrieved from" in publishing
    assert re.search(r"task view of the published metrics: http://127\.0\.0\.1:\d+/app/jspview/react/grc/task-view/\d+",
                     publishing)
    assert "Image explanation" in result.stdout

    record = json.loads((tmp_path / "explanation.json").read_text())
    prediction, others = record["predictions"]
    assert 0 < prediction["probability"] <= 1
    assert others["probability"] == 1 - prediction["probability"]

    source, supporting, opposing = (
        imageio.imread(tmp_path / name) for name in ("input.png", "supporting.png", "opposing.png")
    )
    assert source.shape[:2] == (256, 256) and source.any()
    shown_for = supporting.any(axis=-1) if supporting.ndim == 3 else supporting > 0
    shown_against = opposing.any(axis=-1) if opposing.ndim == 3 else opposing > 0
    # Each picture shows regions of the input image, unchanged, and no region is in both.
    assert shown_for.any() and shown_against.any()
    assert not (shown_for & shown_against).any()
    assert np.array_equal(supporting[shown_for], source[shown_for])
    assert np.array_equal(opposing[shown_against], source[shown_against])


@pytest.mark.parametrize("api, path", [(None, "/v1/completions"), ("chat", "/v1/chat/completions")])
def test_demo_asks_an_endpoint_without_an_api_key(completion_server, monkeypatch, tmp_path, capsys, api, path):
    model = DemoModel()
    completion_server.responder = lambda request: ScriptedResponse(
        200, answer_body(request, model.generate_text(prompt_of(request))))
    monkeypatch.delenv("VORN_DEMO_API_KEY", raising=False)
    monkeypatch.setenv("VORN_DEMO_ENDPOINT_URL", completion_server.url)
    monkeypatch.setenv("VORN_DEMO_MODEL_ID", "my-org/my-model")
    if api:
        monkeypatch.setenv("VORN_DEMO_API", api)
    results = risk_evaluation.main(tmp_path)
    assert set(results) == EVALUATED
    assert {request.path for request in completion_server.requests} == {path}
    record = json.loads((tmp_path / risk_evaluation.RECORD_NAME / "results.json").read_text())
    assert {key: record["settings"][key] for key in ("model_id", "endpoint", "protocol")} == {
        "model_id": "my-org/my-model", "endpoint": completion_server.url, "protocol": api or "completions"}
    # The usage of the recorded run, one request per instance (the publishing run that follows asks again).
    lines = (tmp_path / risk_evaluation.RECORD_NAME / "instances.jsonl").read_text().splitlines()
    assert record["usage"]["requests_sent"] == len(lines) == len(completion_server.requests) / 2
    assert "Failed" not in capsys.readouterr().out


def test_demo_whose_endpoint_fails_says_so_and_stops(monkeypatch, tmp_path, capsys):
    monkeypatch.setenv("VORN_DEMO_ENDPOINT_URL", f"http://127.0.0.1:{unused_port()}")
    monkeypatch.setenv("VORN_DEMO_MODEL_ID", "my-org/my-model")
    with pytest.raises(SystemExit, match="No risk was evaluated: no report is written and nothing is published"):
        risk_evaluation.main(tmp_path)
    out, err = capsys.readouterr()
    assert ("Failed (the warnings above say why): prompt-injection, jailbreaking, harmful-code-generation, "
            "toxic-output, hallucination, output-bias") in out
    # The evaluator's warnings reach the user although it silences the root logger.
    assert "Evaluation failed for the following risks" in err
    assert not (tmp_path / risk_evaluation.REPORT_NAME).exists()
