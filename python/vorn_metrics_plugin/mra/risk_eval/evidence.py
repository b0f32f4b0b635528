"""What a command run keeps beside its table: the run record (--output) and the report's examples and font."""

from __future__ import annotations

import argparse
import contextlib
import os

from evalith.judge_providers import JUDGE_MODEL_ENV, PROVIDER_ENV

from vorn_metrics_plugin.mra.pdf_generator.fonts import FONT_ENV, ReportFontError, report_fonts
from vorn_metrics_plugin.mra.run_record import RecordFolderError, RunRecorder, check_record_folder, run_settings

from . import output
from .services import DEMO_MODEL_NAME


def add_evidence_arguments(parser: argparse.ArgumentParser, report: argparse._ArgumentGroup) -> None:
    report.add_argument("--report-font", metavar="PATH",
                        help=f"TrueType font to embed in the report instead of DejaVu Sans, for scripts such as "
                             f"CJK [env {FONT_ENV}]")
    record = parser.add_argument_group("run record")
    record.add_argument("--output", metavar="DIR",
                        help="write the run record (results.json, instances.jsonl) to DIR, a new or empty folder")
    record.add_argument("--overwrite", action="store_true",
                        help="replace the record in a --output folder that is not empty")


def check_evidence_options(parser: argparse.ArgumentParser, options: argparse.Namespace) -> None:
    """The font can be embedded and the record's folder can take it, before anything runs."""
    given = options.report_font
    options.report_font = given or os.environ.get(FONT_ENV) or None
    # The variable is read for a report only: a run that writes none does not depend on its font.
    if options.report_font and (given or options.report):
        try:
            report_fonts(options.report_font)
        except ReportFontError as error:
            parser.error(f"--report-font: {error}")
    if options.overwrite and not options.output:
        parser.error("--overwrite replaces the record in the --output folder: give --output too")
    if options.output:
        try:
            options.output = check_record_folder(options.output, options.overwrite)
        except RecordFolderError as error:
            hint = " (give --overwrite to replace the record there)" if os.path.isdir(options.output) else ""
            parser.error(f"--output: {error}{hint}")


def _judge_model(options) -> str | None:
    if options.judge_model:
        return options.judge_model
    return os.environ.get(JUDGE_MODEL_ENV) if os.environ.get(PROVIDER_ENV) else None


class RunEvidence:
    """``with evidence.capturing():`` around the evaluation, then ``evidence.keep(...)``."""

    def __init__(self, options: argparse.Namespace, evaluator) -> None:
        self.options, self.evaluator = options, evaluator
        wanted = bool(options.output or options.report)
        self.recorder = RunRecorder(evaluator) if wanted else None

    def capturing(self) -> contextlib.AbstractContextManager:
        return self.recorder if self.recorder is not None else contextlib.nullcontext()

    def settings(self, risks: list[str]) -> dict:
        options = self.options
        return run_settings(model_id=options.model or DEMO_MODEL_NAME, endpoint=options.endpoint,
                            protocol=options.api if options.endpoint else None, judge_model=_judge_model(options),
                            risks=risks, sample_size=options.sample_size, thresholds=options.thresholds)

    def keep(self, results: dict, risks: list[str], usage: dict | None) -> None:
        """Write the record (with --output) and prepare the report: its font, examples and the record's place."""
        if self.recorder is None:
            return
        if self.options.output:
            self.recorder.write(self.options.output, results, self.settings(risks), usage)
            output.status(f"Run record written to {self.options.output}")
        self.evaluator.pdf_generator.font = self.options.report_font
        self.recorder.show_in_report(results, self.options.output)
