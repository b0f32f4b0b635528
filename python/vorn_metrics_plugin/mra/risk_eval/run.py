"""The risk evaluation command: services, run, table, report, usage, exit status."""

from __future__ import annotations

from vorn_metrics_plugin.mra.answer_cache import NotAnAnswerCache
from vorn_metrics_plugin.mra.report_details import add_report_details
from vorn_metrics_plugin.mra.risk_selection import default_selection, evaluable_cards

from . import output
from .arguments import PROG, parse_arguments
from .catalogue import print_check
from .evidence import RunEvidence
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

    lines = []
    for name in get_available_risks():
        cards = evaluable_cards(name)
        lines.append(f"{name}: {len(cards)} card(s)" if cards else f"{name}: no card that the run evaluates")
        lines.extend(f"  {card}" for card in cards)
    output.result("\n".join(lines))
    return 0


def _one_line(error: BaseException) -> str:
    text = " ".join(str(error).split())
    return text or type(error).__name__


def _selected_risks(options, judged: bool | None) -> tuple[list[str], list[str]]:
    """The risks to evaluate, and the judge-scored ones the default selection left out."""
    if options.risks:
        return options.risks, []
    return default_selection(judged)


def _evaluate(options) -> int:
    if options.check:
        return print_check(options)
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
            output.status(f"Evaluating {services.label} on {len(risks)} risk(s), {total} card(s){sample}")
            if left_out:
                output.status(f"Left out: {', '.join(left_out)} (scored by a judge model: give --judge-model)")
            evidence = RunEvidence(options, evaluator)
            with progress, evidence.capturing():
                returned = evaluator.quorvanes()
        # A run that publishes to a GRC service returns the values as stored
        # (scores and interval bounds); formatting leaves texts as they are.
        results = quorvane.calculate_score_with_margin(returned)
        output.result(results_table(results))
        evidence.keep(returned, risks, services.usage.record() if services.asks_a_service else None)

        if options.report:
            if services.asks_a_service:
                add_report_details(evaluator, services.usage.report_details())
            path = evaluator.get_pdf_report(results, options.report, options.thresholds)
            output.status(f"Report written to {path}")

        for warning in progress.warnings:
            output.status(f"warning: {_one_line(warning)}")
        unscored = [name for name in risks if not evaluable_cards(name)]
        if unscored:
            output.status(f"Not evaluated (no card that the run evaluates): {', '.join(unscored)}")
        if services.asks_a_service:
            output.status(services.usage.summary_line())
    failed = [name for name in risks if evaluable_cards(name) and name not in results]
    if failed:
        cause = f" (first error: {_one_line(progress.first_error)})" if progress.first_error else ""
        output.status(f"{PROG}: error: no results for {', '.join(failed)}{cause}")
        return 1
    return 0


def main(argv: list[str] | None = None) -> int:
    """Run the command; bad flags and a catalogue with a problem exit with status 2 (a catalogue's
    first problem on one line), failures with status 1 and a one-line message."""
    options = parse_arguments(argv)
    try:
        return _evaluate(options)
    except KeyboardInterrupt:
        # The requests in flight were given up and their connections cut; answers already
        # received are in the cache, if there is one.
        output.status(f"{PROG}: interrupted")
        return 130
    except BrokenPipeError:
        # A stream the run writes to outside our own lines (the progress bar, say) was closed.
        return output.closed_pipe_status()
    except NotAnAnswerCache as error:
        output.status(f"{PROG}: error: --cache: {_one_line(error)}")
        return 2
    except Exception as error:
        output.status(f"{PROG}: error: {_one_line(error)}")
        return 1
