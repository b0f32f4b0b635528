"""Evaluates a model on every risk of the catalogue, the judge-scored ones included.

By default the model is the package's built-in deterministic demo model, so no
network is needed. With ``VORN_DEMO_ENDPOINT_URL`` and ``VORN_DEMO_MODEL_ID``
set, that inference service answers instead, on the protocol that
``VORN_DEMO_API`` names ("completions", the default, or "chat");
``VORN_DEMO_API_KEY`` and ``VORN_DEMO_PROJECT_ID`` are passed along when set.
The judge-scored risks are scored by the built-in rule-based demo judge. The
PDF report of the run and its run record are written to the output folder.
With the built-in model, a deliberately weaker variant of it (every factual
question answered wrongly) is evaluated too, its record written beside the
first, and the two runs are compared as ``vorn-risk-compare`` compares them.
"""

from __future__ import annotations

import os
from pathlib import Path

from vorn_metrics_plugin.mra.judge_run import demo_judge_for_run
from vorn_metrics_plugin.mra.risk_selection import evaluable_cards

REPORT_NAME = "risk-report.pdf"
RECORD_NAME = "run-record"
WEAKER_RECORD_NAME = "weaker-model-run-record"
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
    from vorn_orvia_ai.qrm_client_error import QrmClientError

    from vorn_metrics_plugin.mra.completion_scoring import CompletionScoringFunction

    project_id = os.environ.get(PROJECT_ENV, "demo-project")
    try:
        scoring = CompletionScoringFunction(endpoint, model_id, os.environ.get(API_KEY_ENV, "").strip() or None,
                                            api=protocol, project_id=project_id)
    except (QrmClientError, ValueError) as error:  # the message names the setting, never a secret
        raise SystemExit(f"The demo's service settings ({ENDPOINT_ENV}, {API_KEY_ENV}, {PROJECT_ENV}): {error}")
    credentials = {"orvia_ai_endpoint_url": endpoint, "orvia_ai_model_id": model_id,
                   "orvia_ai_project_id": project_id}
    return credentials, scoring, f"model {model_id} at {scoring.client.shown_url}"


def main(output_dir: Path) -> dict:
    with demo_judge_for_run():
        return _evaluate(output_dir)


def _compare_with_weaker_model(output_dir: Path, risks: list[str]) -> None:
    """Evaluate the weaker variant of the demo model, record it beside the first run and compare the two."""
    from vorn_metrics_plugin.mra.demo_model import weaker_demo_scoring_function
    from vorn_metrics_plugin.mra.quorvane import Quorvane
    from vorn_metrics_plugin.mra.risk_compare import main as compare
    from vorn_metrics_plugin.mra.run_record import record_run

    label = "the weaker variant of the built-in demo model"
    print(f"\nRisk evaluation of {label} (every factual question answered wrongly)")
    evaluator = Quorvane({}, foundation_model_name=label, risk_dimensions=risks,
                         scoring_function=weaker_demo_scoring_function)
    weaker = output_dir / WEAKER_RECORD_NAME
    record_run(evaluator, weaker, overwrite=True, thresholds=REPORT_THRESHOLDS)
    first = output_dir / RECORD_NAME
    print(f"\nComparison of the two runs (vorn-risk-compare {first} {weaker}):")
    compare([str(first), str(weaker)])


def _evaluate(output_dir: Path) -> dict:
    from vorn_metrics_plugin.mra.quorvane import Quorvane, get_available_risks
    from vorn_metrics_plugin.mra.results_table import results_table
    from vorn_metrics_plugin.mra.run_record import record_run

    credentials, scoring_function, label = evaluator_settings()
    risks = get_available_risks()
    print(f"Risk evaluation of {label}")
    print(f"  risks: {', '.join(risks)} (the judge-scored ones scored by the built-in rule-based demo judge)")
    evaluator = Quorvane(credentials, foundation_model_name=label, risk_dimensions=risks,
                         scoring_function=scoring_function)
    # The demo's folder is written again on every run: the record there is replaced.
    results = record_run(evaluator, output_dir / RECORD_NAME, overwrite=True, thresholds=REPORT_THRESHOLDS,
                         usage=getattr(scoring_function, "usage", None))
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
    print(f"Run record written to {output_dir / RECORD_NAME}")
    if not credentials:  # the built-in model: compare it with its weaker variant
        _compare_with_weaker_model(output_dir, [risk for risk in risks if risk in results])

    from vorn_metrics_plugin.demo import publishing

    publishing.main(credentials, scoring_function, [risk for risk in risks if risk in results])
    return results
