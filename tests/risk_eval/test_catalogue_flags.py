"""Catalogue folders on the command line: --catalog, VORN_CATALOG_PATH, --check, and a run that
stops at a catalogue problem before any request."""

import os
import re
import shlex
from pathlib import Path

import pytest

from tests.risk_eval.test_command_line import TABLE_ROW, run_command
from tests.support.catalog_folders import write_folder
from vorn_metrics_plugin.mra.catalog_path import CATALOG_PATH_ENV
from vorn_metrics_plugin.mra.risk_eval import main

REPO = Path(__file__).resolve().parents[2]
README = (REPO / "README.md").read_text()
SAY = {"template": "Say {word}.", "metrics": ["metrics.exact_match"],
       "splits": {"test": [{"fields": {"word": "Paris"}, "references": "Paris"}]}}


def test_the_readme_example_runs_as_written():
    command = re.search(r"^(vorn-risk-eval --catalog examples/catalog .*)$", README, re.MULTILINE).group(1)
    result = run_command(*shlex.split(command)[1:], "--no-progress", cwd=REPO)
    assert result.returncode == 0, result.stderr
    rows = TABLE_ROW.findall(result.stdout)
    # The new risk, and each extended risk's built-in cards before the folder's.
    assert [card for risk, card, *_ in rows if risk == "hallucination"][-1] == "cards.example.more_capitals"
    assert [risk for risk, *_ in rows].count("arithmetic-errors") == 1
    assert rows == TABLE_ROW.findall(README.split(command, 1)[1])


@pytest.fixture
def catalogue_flags(tmp_path, monkeypatch, added_folders):
    """A sound folder given by VORN_CATALOG_PATH and one by --catalog; a broken one to add on demand."""
    by_environment = write_folder(tmp_path / "env", {"env-risk": ["cards.env.say"]}, {"cards.env.say": SAY})
    by_flag = write_folder(tmp_path / "flag", {"hallucination": ["cards.flag.say"]}, {"cards.flag.say": SAY})
    broken = write_folder(tmp_path / "broken", {"env-risk": ["cards.broken.none"]}, {"cards.broken.say": "{"})
    monkeypatch.setenv(CATALOG_PATH_ENV, str(by_environment))
    return ["--catalog", str(by_flag)], ["--catalog", str(by_flag), "--catalog", str(broken)], broken


def test_folders_of_both_sources_join_the_run(catalogue_flags, capsys):
    sound, _, _ = catalogue_flags
    assert main([*sound, "--list-risks"]) == 0
    listing = capsys.readouterr().out
    assert listing.endswith("env-risk: 1 card(s)\n  cards.env.say\n")
    assert "cards.vorn.factual.arithmetic\n  cards.flag.say\n" in listing


def test_check_prints_each_problem_or_the_count(catalogue_flags, capsys):
    sound, with_broken, broken = catalogue_flags
    assert main([*sound, "--check"]) == 0
    bundled = 9
    assert capsys.readouterr().out == f"{bundled + 2} cards checked: no problems\n"
    assert main([*with_broken, "--check"]) == 1
    output = capsys.readouterr()
    assert output.out.splitlines() == [
        f"{broken}/risks.json: risk 'env-risk' names unknown card 'cards.broken.none'",
        f"{broken}/cards/broken/say.json: line 1 column 2: Expecting property name enclosed in double quotes"]
    assert output.err == f"2 problem(s) in the catalogue ({bundled + 3} cards checked)\n"


def test_a_catalogue_problem_stops_the_run_before_any_request(catalogue_flags, completion_server, capsys):
    _, with_broken, broken = catalogue_flags
    with pytest.raises(SystemExit) as exited:
        main([*with_broken, "--endpoint", completion_server.url, "--model", "m", "--risks", "env-risk"])
    assert exited.value.code == 2
    assert capsys.readouterr().err == (f"vorn-risk-eval: error: {broken}/risks.json: risk 'env-risk' names "
                                       "unknown card 'cards.broken.none'\n")
    assert completion_server.requests == []


@pytest.mark.parametrize("again", ["by-environment-and-flag", "by-flag-twice"])
def test_a_folder_named_twice_is_one_folder(catalogue_flags, capsys, again):
    sound, _, _ = catalogue_flags
    repeated = os.environ[CATALOG_PATH_ENV] if again == "by-environment-and-flag" else sound[1] + "/."
    assert main([*sound, "--catalog", repeated, "--check"]) == 0
    assert capsys.readouterr().out == f"{9 + 2} cards checked: no problems\n"
    assert main([*sound, "--catalog", repeated, "--risks", "env-risk", "--no-progress"]) == 0
    assert [row[:2] for row in TABLE_ROW.findall(capsys.readouterr().out)] == [("env-risk", "cards.env.say")]


@pytest.mark.parametrize("risks, status, line", [
    ([], 0, "Left out: prompt-injection, jailbreaking, harmful-code-generation, judged-risk "
            "(scored by a judge model: give --judge-model)"),
    (["--risks", "env-risk", "judged-risk"], 2, "vorn-risk-eval: error: --risks: judged-risk is scored by a judge "
                                                "model: give --judge-model"),
], ids=["default-selection", "named"])
def test_a_folder_risk_scored_by_a_judge_needs_one(tmp_path, monkeypatch, added_folders, capsys, risks, status,
                                                  line):
    monkeypatch.delenv("EVALITH_DEFAULT_PROVIDER", raising=False)
    judged = {**SAY, "metrics": ["metrics.judge_safety"]}
    folder = write_folder(tmp_path / "judged", {"judged-risk": ["cards.judged.say"], "env-risk": ["cards.plain.say"]},
                          {"cards.judged.say": judged, "cards.plain.say": SAY})
    try:
        assert main(["--catalog", str(folder), *risks, "--sample-size", "1", "--no-progress"]) == status
    except SystemExit as exited:
        assert exited.code == status
    output = capsys.readouterr()
    assert line in output.err.splitlines()
    assert "judged-risk" not in output.out and ("env-risk" in output.out) == (status == 0)
