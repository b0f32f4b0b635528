"""The ``vorn-risk-compare`` command: two run records compared card by card.

Run ``vorn-risk-compare --help`` (or ``python -m vorn_metrics_plugin.mra.risk_compare --help``).
"""

from __future__ import annotations

import argparse
import os

from vorn_metrics_plugin.mra.risk_eval import output

from .pairing import compare_records
from .records import NotARunRecord, read_record
from .table import HEADER, cells, comparison_text, run_line, summary_line

__all__ = ["main"]

PROG = "vorn-risk-compare"

DESCRIPTION = """\
Compare two run records written by vorn-risk-eval --output, card by card:
the score +/- margin of run A and of run B, the difference B - A with its 95%
interval from a paired bootstrap over the instances both runs have (same
card, index and prompt), and a verdict: "B higher" or "A higher" when the
interval excludes 0, else "no clear difference". Cards that only one run has
are listed as such."""

EPILOG = """\
Exit status: 0 when the runs were compared, 1 when the report could not be
written, 2 for bad flags and for folders that are missing, unreadable or not
run records."""


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description=DESCRIPTION, epilog=EPILOG,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("run_a", metavar="RUN_A", help="folder of the first run's record")
    parser.add_argument("run_b", metavar="RUN_B", help="folder of the second run's record")
    parser.add_argument("--report", metavar="PATH", help="also write the comparison as a PDF to PATH")
    parser.add_argument("--report-font", metavar="PATH",
                        help="TrueType font to embed in the PDF instead of DejaVu Sans [env VORN_REPORT_FONT]")
    return parser


def _fail(message: str, status: int) -> int:
    output.status(f"{PROG}: error: {' '.join(message.split())}")
    return status


def _check_report(parser: argparse.ArgumentParser, options: argparse.Namespace) -> None:
    from vorn_metrics_plugin.mra.pdf_generator.files import report_path_problem
    from vorn_metrics_plugin.mra.pdf_generator.fonts import FONT_ENV, ReportFontError, report_fonts

    problem = report_path_problem(options.report)
    if problem:
        parser.error(f"--report: {problem}")
    options.report_font = options.report_font or os.environ.get(FONT_ENV) or None
    try:
        report_fonts(options.report_font)
    except ReportFontError as error:
        parser.error(f"--report-font: {error}")


def main(argv: list[str] | None = None) -> int:
    """Compare the two records and print the comparison; folders that are no records end with status 2."""
    parser = _parser()
    options = parser.parse_args(argv)
    if options.report:
        _check_report(parser, options)
    try:
        a, b = read_record(options.run_a), read_record(options.run_b)
    except NotARunRecord as error:
        return _fail(str(error), 2)
    comparison = compare_records(a, b)
    # As vorn-risk-eval's: a reader that goes away early (`| head`) ends the output quietly.
    output.result(comparison_text(a, b, comparison))
    if options.report:
        from vorn_metrics_plugin.mra.pdf_generator.comparison import write_comparison_report

        try:
            path = write_comparison_report(options.report, [run_line("A", a), run_line("B", b)], HEADER,
                                           [cells(card) for card in comparison.cards], comparison.cards,
                                           summary_line(comparison), options.report_font)
        except OSError as error:
            return _fail(f"--report: {error}", 1)
        output.result(f"Report written to {path}")
    return 0
