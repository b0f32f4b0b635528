"""The vorn-risk-eval command, run as a user runs it and in-process for its error paths."""

import os
import re
import subprocess
import sys
import threading
import time
import tomllib
from pathlib import Path

import pypdf
import pytest

from tests.support.completion_server import ScriptedResponse, completion_body, running_completion_server, unused_port
from vorn_metrics_plugin.mra import quorvane
from vorn_metrics_plugin.mra.demo_model import DemoModel
from vorn_metrics_plugin.mra.risk_eval import main

REPO = Path(__file__).resolve().parents[2]
TABLE_ROW = re.compile(r"^(\S+)\s+(cards\.\S+)\s+(-?\d\.\d{3} \+/-  -?\d\.\d{3})\s+(\d+)$", re.MULTILINE)


def run_command(*args, env=None, cwd=None):
    environment = {k: v for k, v in os.environ.items()
                   if not k.startswith(("VORN_EVAL_", "VORN_GRC_", "EVALITH_DEFAULT_PROVIDER"))}
    # The child imports the same package as this process: the installed one, or the build tree.
    environment["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    environment.update(env or {})
    return subprocess.run([sys.executable, "-m", "vorn_metrics_plugin.mra.risk_eval", *args],
                          capture_output=True, text=True, timeout=300, env=environment, cwd=cwd)


class SlowDemoEndpoint:
    """Answers like the demo model, later prompts of a batch sooner, and counts requests in flight."""

    def __init__(self):
        self.model, self.lock = DemoModel(), threading.Lock()
        self.in_flight = self.peak = 0

    def __call__(self, request):
        prompt = request.json["prompt"]
        with self.lock:
            self.in_flight += 1
            self.peak = max(self.peak, self.in_flight)
        time.sleep(0.02 if len(prompt) % 2 else 0.001)  # answers arrive out of order
        with self.lock:
            self.in_flight -= 1
        return ScriptedResponse(200, completion_body(self.model.generate_text(prompt)))


def test_endpoint_run_matches_the_same_model_in_process_and_writes_the_report(tmp_path):
    args = ["--risks", "hallucination", "output-bias", "--sample-size", "6"]
    endpoint = SlowDemoEndpoint()
    with running_completion_server(endpoint) as server:
        served = run_command("--endpoint", server.url, "--model", "vorn/served-demo", "--concurrency", "3",
                             "--report", str(tmp_path / "report.pdf"), "--thresholds", "0.4", "0.9", *args,
                             env={"VORN_EVAL_API_KEY": "secret"})
        requests = server.requests
    local = run_command(*args, "--no-progress")
    assert served.returncode == 0, served.stderr
    assert local.returncode == 0, local.stderr

    rows = TABLE_ROW.findall(served.stdout)
    assert {risk for risk, *_ in rows} == {"hallucination", "output-bias"}
    # Answers went back to their prompts: the scores equal those of the same model answering in-process.
    assert rows == TABLE_ROW.findall(local.stdout)
    assert 1 < endpoint.peak <= 3
    assert {r.json["model"] for r in requests} == {"vorn/served-demo"}
    assert {r.header("Authorization") for r in requests} == {"Bearer secret"}
    assert "Traceback" not in served.stderr
    assert re.search(r"cards: 100%.*3/3", served.stderr)  # one step per card

    text = " ".join(page.extract_text() for page in pypdf.PdfReader(tmp_path / "report.pdf").pages)
    text = re.sub(r"\s+", " ", text)
    assert "vorn/served-demo" in text and "lower 0.4, upper 0.9" in text
    for risk, card, score, _ in rows:
        assert risk in text and card in text and score.replace("  ", " ") in text


def test_demo_model_run_by_default(tmp_path):
    result = run_command("--sample-size", "3", "--report", "out.pdf", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("Evaluating the built-in demo model on 4 risk(s), 5 card(s)")
    assert {risk for risk, *_ in TABLE_ROW.findall(result.stdout)} == {"toxic-output", "hallucination", "output-bias"}
    assert "Not evaluated (no card that the run evaluates): spreading-toxicity" in result.stdout
    assert "Report written to out.pdf" in result.stdout
    assert "built-in demo model" in pypdf.PdfReader(tmp_path / "out.pdf").pages[0].extract_text()


def test_unreachable_endpoint_is_one_line_and_status_1():
    result = run_command("--endpoint", f"http://127.0.0.1:{unused_port()}", "--model", "m")
    assert result.returncode == 1
    (line,) = result.stderr.splitlines()
    assert line.startswith("vorn-risk-eval: error: the endpoint does not answer: Could not reach the inference")
    assert result.stdout == ""


def test_help_documents_the_flags_as_the_readme_shows_them():
    result = run_command("--help", env={"COLUMNS": "88"})
    assert result.returncode == 0
    for flag in ["--endpoint", "--model", "--risks", "--sample-size", "--report", "--thresholds", "--grc-url",
                 "--concurrency", "VORN_GRC_APIKEY"]:
        assert flag in result.stdout
    assert "$ vorn-risk-eval --help\n" + result.stdout in (REPO / "README.md").read_text()


def test_list_risks_shows_the_cards_a_run_answers(capsys):
    assert main(["--list-risks"]) == 0
    out = capsys.readouterr().out
    assert "hallucination: 2 card(s)\n  cards.vorn.factual.capitals\n  cards.vorn.factual.arithmetic\n" in out
    assert "spreading-toxicity: no card that the run evaluates" in out


def test_console_script_names_the_command():
    scripts = tomllib.loads((REPO / "pyproject.toml").read_text())["project"]["scripts"]
    module, _, function = scripts["vorn-risk-eval"].partition(":")
    assert getattr(__import__(module, fromlist=[function]), function) is main


@pytest.mark.parametrize(
    "args, message",
    [
        (["--sample-size", "0"], "--sample-size: expected a number of at least 1"),
        (["--concurrency", "many"], "--concurrency: expected a whole number"),
        (["--thresholds", "0.9", "0.1"], "--thresholds must be two finite numbers, lower first"),
        (["--thresholds", "nan", "1"], "--thresholds must be two finite numbers, lower first"),
        (["--thresholds", "0.1"], "--thresholds: expected 2 arguments"),
        (["--endpoint", "http://127.0.0.1:1"], "--model is required with --endpoint"),
        (["--model", "m"], "give --endpoint too"),
        (["--grc-url", "https://grc.example"], "--grc-model-id is required with --grc-url"),
        (["--report", "/no/such/folder/r.pdf"], "--report: folder /no/such/folder does not exist"),
        (["--report", "/tmp"], "--report: /tmp is a folder; give the path of the PDF file"),
        (["--unknown"], "unrecognized arguments: --unknown"),
    ],
)
def test_bad_flags_end_with_usage_and_status_2(capsys, monkeypatch, args, message):
    monkeypatch.delenv("VORN_GRC_MODEL_ID", raising=False)
    with pytest.raises(SystemExit) as exited:
        main(args)
    assert exited.value.code == 2
    error = capsys.readouterr().err
    assert error.startswith("usage: vorn-risk-eval") and message in error.splitlines()[-1]


@pytest.mark.parametrize(
    "args, message",
    [
        (["--risks", "no-such-risk"], "vorn-risk-eval: error: no-such-risk is not part of ["),
        (["--risks", "jailbreaking"], "vorn-risk-eval: error: EVALITH_DEFAULT_PROVIDER must be set for risks"),
    ],
)
def test_refused_selections_are_one_line_and_status_1(capsys, monkeypatch, args, message):
    monkeypatch.delenv("EVALITH_DEFAULT_PROVIDER", raising=False)
    assert main(args) == 1
    (line,) = capsys.readouterr().err.splitlines()
    assert line.startswith(message)


def test_a_failing_card_is_reported_and_the_rest_still_shown(completion_server, capsys):
    original_logger = quorvane.logger

    def responder(request):
        if "capital" in request.json["prompt"]:
            return ScriptedResponse(500, {"error": {"message": "model overloaded"}})
        return ScriptedResponse(200, completion_body(DemoModel().generate_text(request.json["prompt"])))

    completion_server.responder = responder
    status = main(["--endpoint", completion_server.url, "--model", "m", "--risks", "hallucination", "output-bias",
                   "--sample-size", "2", "--no-progress"])
    out, err = capsys.readouterr()
    assert status == 1
    assert {risk for risk, *_ in TABLE_ROW.findall(out)} == {"output-bias"}
    assert "warning: Error processing card cards.vorn.factual.capitals in risk dimension hallucination" in err
    assert err.splitlines()[-1].startswith(
        "vorn-risk-eval: error: no results for hallucination (first error: Inference request failed with HTTP 500")
    # The evaluator module's print and logger are its own again.
    assert "print" not in vars(quorvane) and quorvane.logger is original_logger


def test_flags_and_environment_become_the_evaluators_credentials(monkeypatch, capsys):
    seen = {}

    class Recording(quorvane.Quorvane):
        def quorvanes(self):
            seen.update(credentials=self.system_credentials, sample=self.max_sample_size, risks=self.risk_dimensions,
                        name=self.foundation_model_name)
            return {}

    monkeypatch.setattr(quorvane, "Quorvane", Recording)
    monkeypatch.setenv("VORN_GRC_APIKEY", "from-env")
    monkeypatch.setenv("VORN_GRC_URL", "https://env.example")
    status = main(["--grc-url", "https://grc.example", "--grc-model-id", "Model record", "--project-id", "p-9",
                   "--risks", "hallucination", "--sample-size", "4", "--model-name", "My model", "--no-progress"])
    assert status == 1  # nothing came back for the selected risk
    assert seen == {
        "credentials": {"orvia_ai_project_id": "p-9", "lg_url": "https://grc.example", "lg_model_id": "Model record",
                        "lg_apikey": "from-env"},
        "sample": 4, "risks": ["hallucination"], "name": "My model",
    }
    assert "no results for hallucination" in capsys.readouterr().err


def test_publishing_to_a_grc_service_and_reading_it_back(ledgora):
    ledgora.add_model("demo")
    env = {"VORN_IAM_URL": ledgora.iam_url, "VORN_GRC_APIKEY": ledgora.settings.apikey}
    args = ["--grc-url", ledgora.url, "--grc-model-id", "demo", "--risks", "hallucination", "--sample-size", "3"]

    first = run_command(*args, env=env)
    assert first.returncode == 0, first.stderr
    assert "Metrics have been successfully saved and published to " in first.stdout
    # The values just published are shown with their margins, as read back ones are.
    assert {card for _, card, *_ in TABLE_ROW.findall(first.stdout)} == {
        "cards.vorn.factual.capitals", "cards.vorn.factual.arithmetic"}
    published = {record.name for record in ledgora.records("Metric")}
    assert {"hallucination, cards.vorn.factual.capitals, score",
            "hallucination, cards.vorn.factual.arithmetic, score"} <= published

    again = run_command(*args, env=env)
    assert again.returncode == 0, again.stderr
    assert "Metrics have already been saved before" in again.stdout
    assert {risk for risk, *_ in TABLE_ROW.findall(again.stdout)} == {"hallucination"}
    assert {record.name for record in ledgora.records("Metric")} == published
