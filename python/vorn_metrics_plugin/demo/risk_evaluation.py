"""Evaluates a model on every risk of the catalogue, the judge-scored ones included.

By default the model is the package's built-in deterministic demo model, so no
network is needed. With ``VORN_DEMO_ENDPOINT_URL`` and ``VORN_DEMO_MODEL_ID``
set, that inference service answers instead, on the protocol that
``VORN_DEMO_API`` names ("completions", the default, or "chat");
``VORN_DEMO_API_KEY`` and ``VORN_DEMO_PROJECT_ID`` are passed along when set.
The judge-scored risks are scored by the built-in rule-based demo judge. The
PDF report of the run is written to the output folder.
"""

from __future__ import annotations

import os
from pathlib import Path

from vorn_metrics_plugin.mra.judge_run import demo_judge_for_run
from vorn_metrics_plugin.mra.risk_selection import evaluable_cards

REPORT_NAME = "risk-report.pdf"
# Scores below the lower threshold, between the two, and above the upper one are told apart in the report.
REPORT_THRESHOLDS = (0.5, 0.8)

ENDPOINT_ENV = "VORN_DEMO_ENDPOINT_URL"
MODEL_ENV = "VORN_DEMO_MODEL_ID"
API_KEY_ENV = "VORN_DEMO_API_KEY"
PROJECT_ENV = "VORN_DEMO_PROJECT_ID"
API_ENV = "VORN_DEMO_API"
PROTOCOLS = ("completions", "chat")


def evaluator_settings() -> tuple[dict, object, str]:
    """Credentials, scoring function and a label of the model to evaluate."""
    endpoint = os.environ.get(ENDPOINT_ENV, "").strip()
    if not endpoint:
        from vorn_metrics_plugin.mra.demo_model import demo_scoring_function

        return {}, demo_scoring_function, "the built-in demo model"
    model_id = os.environ.get(MODEL_ENV, "").strip()
    if not model_id:
        raise SystemExit(f"{ENDPOINT_ENV} is set but {MODEL_ENV} is not: name the model to evaluate")
    protocol = os.environ.get(API_ENV, "").strip() or PROTOCOLS[0]
    if protocol not in PROTOCOLS:
        raise SystemExit(f"{API_ENV} must be one of {', '.join(PROTOCOLS)}, not {protocol!r}")
    from vorn_metrics_plugin.mra.completion_scoring import CompletionScoringFunction

    project_id = os.environ.get(PROJECT_ENV, "demo-project")
    scoring = CompletionScoringFunction(endpoint, model_id, os.environ.get(API_KEY_ENV, "").strip() or None,
                                        api=protocol, project_id=project_id)
    credentials = {"orvia_ai_endpoint_url": endpoint, "orvia_ai_model_id": model_id,
                   "orvia_ai_project_id": project_id}
    return credentials, scoring, f"model {model_id} at {endpoint}"


def main(output_dir: Path) -> dict:
    with demo_judge_for_run():
        return _evaluate(output_dir)


def _evaluate(output_dir: Path) -> dict:
    from vorn_metrics_plugin.mra.quorvane import Quorvane, get_available_risks
    from vorn_metrics_plugin.mra.results_table import results_table

    credentials, scoring_function, label = evaluator_settings()
    risks = get_available_risks()
    print(f"Risk evaluation of {label}")
    print(f"  risks: {', '.join(risks)} (the judge-scored ones scored by the built-in rule-based demo judge)")
    evaluator = Quorvane(credentials, foundation_model_name=label, risk_dimensions=risks,
                         scoring_function=scoring_function)
    results = evaluator.quorvanes()
    print()
    print(results_table(results))
    unscored = [risk for risk in risks if not evaluable_cards(risk)]
    if unscored:
        print(f"Not evaluated (no card that the run evaluates): {', '.join(unscored)}")
    failed = [risk for risk in risks if evaluable_cards(risk) and risk not in results]
    if failed:
        print(f"Failed (the warnings above say why): {', '.join(failed)}")
    if not results:
        raise SystemExit("No risk was evaluated: no report is written and nothing is published")
    output_dir.mkdir(parents=True, exist_ok=True)
    report = evaluator.get_pdf_report(results, str(output_dir / REPORT_NAME), REPORT_THRESHOLDS)
    print(f"Report written to {report}")

    from vorn_metrics_plugin.demo import publishing

    publishing.main(credentials, scoring_function, [risk for risk in risks if risk in results])
    return results
