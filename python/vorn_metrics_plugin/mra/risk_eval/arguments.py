"""Command-line flags of the risk evaluation, checked before anything runs; the catalogue's folders
are checked too, and added."""

from __future__ import annotations

import argparse
import os

from vorn_orvia_ai.header_values import header_value_error, header_value_problem
from vorn_orvia_ai.retry_policy import DEFAULT_MAX_RETRIES
from vorn_orvia_ai.service_url import url_problem

from vorn_metrics_plugin.mra.completion_scoring import DEFAULT_MAX_CONCURRENCY
from vorn_metrics_plugin.mra.pdf_generator.files import report_path_problem
from vorn_metrics_plugin.mra.pdf_generator.scores import read_thresholds
from vorn_metrics_plugin.mra.risk_selection import judge_provider_set, judge_scored_risks

from . import evidence
from .catalogue import CatalogueProblem, add_run_folders

PROG = "vorn-risk-eval"
PROTOCOLS = ("chat", "completions")
DEFAULT_THRESHOLDS = (0.5, 0.8)

# Flags whose value may come from the environment instead (secrets stay out of the process list).
ENVIRONMENT = {
    "endpoint": "VORN_EVAL_ENDPOINT",
    "api_key": "VORN_EVAL_API_KEY",
    "judge_api_key": "VORN_JUDGE_API_KEY",
    "cache": "VORN_EVAL_CACHE",
    "grc_url": "VORN_GRC_URL",
    "grc_model_id": "VORN_GRC_MODEL_ID",
    "grc_apikey": "VORN_GRC_APIKEY",
    "grc_username": "VORN_GRC_USERNAME",
    "grc_hxd_host": "VORN_GRC_HXD_HOST",
    "grc_hxd_apikey": "VORN_GRC_HXD_APIKEY",
}
# Flags that name a service, and flags whose value travels in a request header.
URL_FLAGS = ("endpoint", "judge_endpoint", "grc_url")
HEADER_FLAGS = ("api_key", "judge_api_key", "project_id")

DESCRIPTION = """\
Evaluate the risks of a language model on the benchmark cards of the risk
catalogue and print each card's score with its margin ("score +/-  margin").
The model is one served by an OpenAI-compatible endpoint (--endpoint and
--model), or the package's built-in demo model when no endpoint is given.
The judge-scored risks need a judge model (--judge-model)."""

EPILOG = """\
Flags marked [env NAME] read the variable NAME when they are not given.
Requests answered 429, 502, 503 or 504, or dropped before an answer, are
sent again after the wait the answer's Retry-After asks for, else after an
exponential back-off (at most 30 s), up to --max-retries times.
With --cache, every answer (the judge's too) is kept in an SQLite file as it
arrives: a run repeated with the same flags sends no request, and an
interrupted run sends only the prompts that were not answered.
With --grc-url the results are also published to the GRC service: values
already stored there are read back and only missing risks are evaluated.
The judge-scored risks (prompt-injection, jailbreaking,
harmful-code-generation, and a catalogue folder's risk with a card whose
metrics a judge scores) are scored by the --judge-model, or by the provider
that EVALITH_DEFAULT_PROVIDER names; without either they are left out of the
default selection.

Catalogue folders add cards and risks: those that VORN_CATALOG_PATH names
(separated by the system's path separator), then each --catalog. A run checks
the whole catalogue first and stops at a problem, before any request.

With --output, the run's record is written to a new or empty folder:
results.json (results, settings, times, usage) and instances.jsonl (every
prompt, answer, reference, instance score and judge verdict); no API key or
token is written. vorn-risk-compare compares two records.

Exit status: 0 when every selected risk has results, 1 when a risk failed or
the run could not start, 2 for bad flags or a catalogue with a problem, 130
when interrupted (Ctrl+C). With --check: 0 when the catalogue has no
problem, 1 when it has."""


def _whole_number(least: int):
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
        if value < least:
            raise argparse.ArgumentTypeError(f"expected a number of at least {least}, got {value}")
        return value

    return parse


_positive_int, _count = _whole_number(1), _whole_number(0)


def _number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description=DESCRIPTION, epilog=EPILOG,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    model = parser.add_argument_group("model")
    model.add_argument("--endpoint", metavar="URL",
                       help="root URL of an OpenAI-compatible service [env VORN_EVAL_ENDPOINT]; "
                            "without it the built-in demo model answers")
    model.add_argument("--model", metavar="ID", help="model id the endpoint serves (required with --endpoint)")
    model.add_argument("--api-key", metavar="KEY", help="bearer token of the endpoint [env VORN_EVAL_API_KEY]")
    model.add_argument("--api", choices=PROTOCOLS, default="chat",
                       help="protocol of the endpoint: /v1/chat/completions or /v1/completions (default chat)")
    model.add_argument("--system-prompt", metavar="TEXT",
                       help="system message of every chat request (put before the prompt with --api completions)")
    model.add_argument("--concurrency", type=_positive_int, default=DEFAULT_MAX_CONCURRENCY, metavar="N",
                       help=f"most requests in flight at once (default {DEFAULT_MAX_CONCURRENCY})")
    model.add_argument("--max-retries", type=_count, default=DEFAULT_MAX_RETRIES, metavar="N",
                       help=f"retries of a request refused for now (default {DEFAULT_MAX_RETRIES})")
    model.add_argument("--max-new-tokens", type=_positive_int, default=256, metavar="N",
                       help="longest answer, in tokens (default 256)")
    model.add_argument("--project-id", metavar="ID", help="project id sent with each request and shown in the report")

    judge = parser.add_argument_group("judge")
    judge.add_argument("--judge-model", metavar="ID",
                       help="model that scores the judge-scored risks; with it they join the default selection")
    judge.add_argument("--judge-endpoint", metavar="URL", help="root URL of the judge's service (default: --endpoint)")
    judge.add_argument("--judge-api-key", metavar="KEY",
                       help="bearer token of the judge's service [env VORN_JUDGE_API_KEY] (default: --api-key "
                            "when the judge is served by --endpoint)")
    judge.add_argument("--judge-api", choices=PROTOCOLS, default="chat",
                       help="protocol of the judge's service (default chat)")

    run = parser.add_argument_group("evaluation")
    run.add_argument("--risks", nargs="+", metavar="RISK",
                     help="risks to evaluate (default: every risk of the catalogue that can be evaluated)")
    run.add_argument("--sample-size", type=_positive_int, metavar="N",
                     help="at most N test instances per card (default: every instance); cards whose "
                          "catalogue recipe sets a count keep it")
    run.add_argument("--cache", metavar="PATH",
                     help="SQLite file that keeps every answer, to repeat or resume a run [env VORN_EVAL_CACHE]")
    run.add_argument("--list-risks", action="store_true", help="list the risks and their cards, then stop")
    run.add_argument("--no-progress", action="store_true", help="no progress bar")

    catalogue = parser.add_argument_group("catalogue")
    catalogue.add_argument("--catalog", action="append", metavar="DIR",
                           help="catalogue folder whose cards and risks join the catalogue (repeatable; the "
                                "folders of VORN_CATALOG_PATH come first)")
    catalogue.add_argument("--check", action="store_true",
                           help="check every card and risks.json of the catalogue, print one line per problem, "
                                "then stop")

    report = parser.add_argument_group("report")
    report.add_argument("--report", metavar="PATH", help="write the PDF report to PATH")
    report.add_argument("--thresholds", nargs=2, type=_number, metavar=("LOWER", "UPPER"),
                        default=DEFAULT_THRESHOLDS,
                        help="score thresholds of the report, ascending (default: %s %s)" % DEFAULT_THRESHOLDS)
    report.add_argument("--model-name", metavar="NAME",
                        help="model name shown in the report (default: the model id, or \"built-in demo model\")")
    evidence.add_evidence_arguments(parser, report)

    grc = parser.add_argument_group("GRC publishing")
    grc.add_argument("--grc-url", metavar="URL", help="base URL of the GRC service [env VORN_GRC_URL]")
    grc.add_argument("--grc-model-id", metavar="TITLE",
                     help="title of the model record the metrics belong to [env VORN_GRC_MODEL_ID]")
    grc.add_argument("--grc-apikey", metavar="KEY", help="API key, cloud login [env VORN_GRC_APIKEY]")
    grc.add_argument("--grc-username", metavar="NAME", help="user name, data-platform login [env VORN_GRC_USERNAME]")
    grc.add_argument("--grc-hxd-host", metavar="HOST",
                     help="data-platform host, without scheme [env VORN_GRC_HXD_HOST]")
    grc.add_argument("--grc-hxd-apikey", metavar="KEY",
                     help="API key, data-platform login [env VORN_GRC_HXD_APIKEY]")
    return parser


def parse_arguments(argv: list[str] | None = None) -> argparse.Namespace:
    """The flags, completed from the environment and checked; bad ones end with usage and status 2."""
    parser = build_parser()
    options = parser.parse_args(argv)
    from_environment = set()
    for name, variable in ENVIRONMENT.items():
        if getattr(options, name) is None and os.environ.get(variable):
            setattr(options, name, os.environ[variable])
            from_environment.add(name)
    _check_secrets(parser, options, from_environment)
    if options.endpoint and not options.model:
        parser.error("--model is required with --endpoint")
    if options.model and not options.endpoint:
        parser.error("--model names a model of an endpoint: give --endpoint too")
    _check_judge(parser, options)
    if options.cache and os.path.isdir(options.cache):
        parser.error(f"--cache: {options.cache} is a folder; give the path of the cache file")
    if options.grc_url and not options.grc_model_id:
        parser.error("--grc-model-id is required with --grc-url")
    try:
        read_thresholds(options.thresholds)
        options.thresholds = tuple(options.thresholds)
    except ValueError:
        parser.error(f"--thresholds must be two finite numbers, lower first, got {options.thresholds}")
    if options.report:
        _check_report(parser, options.report)
    if options.check:
        return options
    # The catalogue's folders come before the risks: a risk named may be one of theirs.
    try:
        add_run_folders(options)
    except CatalogueProblem as problem:
        parser.exit(2, f"{PROG}: error: {problem}\n")
    if options.risks:
        options.risks = _known_risks(parser, options.risks)
        _check_judged_risks(parser, options)
    evidence.check_evidence_options(parser, options)
    return options


def _check_secrets(parser: argparse.ArgumentParser, options: argparse.Namespace, from_environment: set) -> None:
    """Service URLs and header values are checked before use; the messages never quote them."""

    def source(name: str) -> str:
        return ENVIRONMENT[name] if name in from_environment else "--" + name.replace("_", "-")

    for name in URL_FLAGS:
        problem = getattr(options, name) and url_problem(getattr(options, name).strip())
        if problem:
            parser.error(f"{source(name)} {problem}")
    for name in HEADER_FLAGS:
        problem = getattr(options, name) and header_value_problem(getattr(options, name).strip())
        if problem:
            parser.error(header_value_error(source(name), problem))


def _check_report(parser: argparse.ArgumentParser, path: str) -> None:
    """A report that cannot be written is found now, not after the whole evaluation."""
    problem = report_path_problem(path)
    if problem:
        parser.error(f"--report: {problem}")


def _known_risks(parser: argparse.ArgumentParser, names: list[str]) -> list[str]:
    """The risks named, each once in the order given; an unknown name ends with the list of known ones."""
    from vorn_metrics_plugin.mra.quorvane import get_available_risks

    known = get_available_risks()
    unknown = [name for name in names if name not in known]
    if unknown:
        parser.error(f"--risks: unknown risk {', '.join(unknown)}; the risks are: {', '.join(known)}")
    return list(dict.fromkeys(names))


def _check_judge(parser: argparse.ArgumentParser, options: argparse.Namespace) -> None:
    if options.judge_model:
        if options.judge_endpoint is None:
            if not options.endpoint:
                parser.error("--judge-model needs --judge-endpoint when no --endpoint is given")
            options.judge_endpoint = options.endpoint
            options.judge_api_key = options.judge_api_key or options.api_key
    elif options.judge_endpoint:
        parser.error("--judge-endpoint names the service of a judge: give --judge-model too")


def _check_judged_risks(parser: argparse.ArgumentParser, options: argparse.Namespace) -> None:
    """A judge-scored risk named without a judge would fail every card: refused before the run."""
    judged = judge_scored_risks(options.risks)
    if judged and not options.judge_model and not judge_provider_set():
        verb = "is" if len(judged) == 1 else "are"
        parser.error(f"--risks: {', '.join(judged)} {verb} scored by a judge model: give --judge-model")
