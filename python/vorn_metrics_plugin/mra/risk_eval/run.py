"""The risk evaluation command: services, run, table, report, usage, exit status."""

from __future__ import annotations

import sys

from vorn_metrics_plugin.mra.answer_cache import NotAnAnswerCache
from vorn_metrics_plugin.mra.risk_selection import JUDGE_SCORED_RISKS, default_risks, evaluable_cards

from .arguments import PROG, parse_arguments
from .progress import CardProgress
from .services import DEMO_MODEL_NAME, Services

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


def _selected_risks(options, judged: bool | None) -> tuple[list[str], list[str]]:
    """The risks to evaluate, and the judge-scored ones the default selection left out."""
    if options.risks:
        return options.risks, []
    risks = default_risks(judged)
    return risks, [name for name in JUDGE_SCORED_RISKS if name not in risks]


def _with_usage_in_report(evaluator, usage) -> None:
    """The report's details carry the usage figures after the evaluator's own."""
    details = evaluator._build_report_details
    evaluator._build_report_details = lambda: {**details(), **usage.report_details()}


def _evaluate(options) -> int:
    if options.list_risks:
        return _list_risks()
    from vorn_metrics_plugin.mra import quorvane
    from vorn_metrics_plugin.mra.results_table import results_table

    with Services(options) as services:
        risks, left_out = _selected_risks(options, judged=services.judge is not None or None)
        model_name = options.model_name or options.model or DEMO_MODEL_NAME
        total = sum(len(evaluable_cards(name)) for name in risks)
        progress = CardProgress(quorvane, services.scoring, total, enabled=not options.no_progress)
        sample = f", sample size {options.sample_size}" if options.sample_size else ""
        with services.judging():
            evaluator = quorvane.Quorvane(_credentials(options), foundation_model_name=model_name,
                                          risk_dimensions=risks, scoring_function=progress.scoring_function,
                                          max_sample_size=options.sample_size)
            print(f"Evaluating {services.label} on {len(risks)} risk(s), {total} card(s){sample}")
            if left_out:
                print(f"Left out: {', '.join(left_out)} (scored by a judge model: give --judge-model)")
            sys.stdout.flush()
            with progress:
                results = evaluator.quorvanes()
        # A run that publishes to a GRC service returns the values as stored
        # (scores and interval bounds); formatting leaves texts as they are.
        results = quorvane.calculate_score_with_margin(results)
        print()
        print(results_table(results))

        if options.report:
            if services.asks_a_service:
                _with_usage_in_report(evaluator, services.usage)
            path = evaluator.get_pdf_report(results, options.report, options.thresholds)
            print(f"Report written to {path}")

        for warning in progress.warnings:
            print(f"warning: {_one_line(warning)}", file=sys.stderr)
        unscored = [name for name in risks if not evaluable_cards(name)]
        if unscored:
            print(f"Not evaluated (no card that the run evaluates): {', '.join(unscored)}")
        if services.asks_a_service:
            print(services.usage.summary_line())
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
    except NotAnAnswerCache as error:
        print(f"{PROG}: error: --cache: {_one_line(error)}", file=sys.stderr)
        return 2
    except Exception as error:
        print(f"{PROG}: error: {_one_line(error)}", file=sys.stderr)
        return 1
