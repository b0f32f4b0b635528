"""The risk evaluation command: model, run, table, report, exit status."""

from __future__ import annotations

import sys

import pandas as pd

from vorn_metrics_plugin.mra.risk_selection import default_risks, evaluable_cards

from .arguments import PROG, parse_arguments
from .progress import CardProgress

DEMO_MODEL_NAME = "built-in demo model"
# One short prompt that shows the endpoint answers before any card is loaded.
_ENDPOINT_CHECK_PROMPT = "Reply with the word OK."

# Flags that become system credentials of the evaluator.
_CREDENTIAL_FLAGS = {
    "project_id": "orvia_ai_project_id",
    "grc_url": "lg_url",
    "grc_model_id": "lg_model_id",
    "grc_apikey": "lg_apikey",
    "grc_username": "lg_username",
    "grc_hxd_host": "lg_hxd_host",
    "grc_hxd_apikey": "lg_hxd_apikey",
}


class EndpointUnavailable(RuntimeError):
    pass


def _scoring_function(options):
    """The scoring function of the chosen model and a label that names it."""
    if not options.endpoint:
        from vorn_metrics_plugin.mra.demo_model import demo_scoring_function

        return demo_scoring_function, f"the {DEMO_MODEL_NAME}"
    from vorn_metrics_plugin.mra.completion_scoring import CompletionScoringFunction

    scoring = CompletionScoringFunction(
        options.endpoint, options.model, options.api_key, max_concurrency=options.concurrency,
        params={"max_new_tokens": options.max_new_tokens}, project_id=options.project_id or "default",
    )
    try:
        scoring(pd.DataFrame([_ENDPOINT_CHECK_PROMPT]))
    except Exception as error:
        raise EndpointUnavailable(f"the endpoint does not answer: {error}") from error
    return scoring, f"model {options.model} at {options.endpoint}"


def _credentials(options) -> dict:
    return {key: getattr(options, flag) for flag, key in _CREDENTIAL_FLAGS.items() if getattr(options, flag)}


def _list_risks() -> int:
    from vorn_metrics_plugin.mra.quorvane import get_available_risks

    for name in get_available_risks():
        cards = evaluable_cards(name)
        print(f"{name}: {len(cards)} card(s)" if cards else f"{name}: no card that the run evaluates")
        for card in cards:
            print(f"  {card}")
    return 0


def _one_line(error: BaseException) -> str:
    text = " ".join(str(error).split())
    return text or type(error).__name__


def _evaluate(options) -> int:
    if options.list_risks:
        return _list_risks()
    from vorn_metrics_plugin.mra import quorvane
    from vorn_metrics_plugin.mra.results_table import results_table

    risks = options.risks or default_risks()
    scoring, label = _scoring_function(options)
    model_name = options.model_name or options.model or DEMO_MODEL_NAME
    total = sum(len(evaluable_cards(name)) for name in risks)
    progress = CardProgress(quorvane, scoring, total, enabled=not options.no_progress)
    evaluator = quorvane.Quorvane(_credentials(options), foundation_model_name=model_name, risk_dimensions=risks,
                                  scoring_function=progress.scoring_function, max_sample_size=options.sample_size)
    sample = f", sample size {options.sample_size}" if options.sample_size else ""
    print(f"Evaluating {label} on {len(risks)} risk(s), {total} card(s){sample}", flush=True)
    with progress:
        results = evaluator.quorvanes()
    # A run that publishes to a GRC service returns the values as stored
    # (scores and interval bounds); formatting leaves texts as they are.
    results = quorvane.calculate_score_with_margin(results)
    print()
    print(results_table(results))

    if options.report:
        path = evaluator.get_pdf_report(results, options.report, options.thresholds)
        print(f"Report written to {path}")

    for warning in progress.warnings:
        print(f"warning: {_one_line(warning)}", file=sys.stderr)
    unscored = [name for name in risks if not evaluable_cards(name)]
    if unscored:
        print(f"Not evaluated (no card that the run evaluates): {', '.join(unscored)}")
    failed = [name for name in risks if evaluable_cards(name) and name not in results]
    if failed:
        cause = f" (first error: {_one_line(progress.first_error)})" if progress.first_error else ""
        print(f"{PROG}: error: no results for {', '.join(failed)}{cause}", file=sys.stderr)
        return 1
    return 0


def main(argv: list[str] | None = None) -> int:
    """Run the command; bad flags exit with status 2, failures with status 1 and a one-line message."""
    options = parse_arguments(argv)
    try:
        return _evaluate(options)
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except Exception as error:
        print(f"{PROG}: error: {_one_line(error)}", file=sys.stderr)
        return 1
