"""The catalogue of a run: its folders (VORN_CATALOG_PATH, then --catalog), checked before use."""

from __future__ import annotations

from vorn_metrics_plugin.mra.catalog_path import environment_folders
from vorn_metrics_plugin.mra.mra_api import add_catalog
from vorn_metrics_plugin.mra.mra_api.checks import check_catalog

from . import output


class CatalogueProblem(Exception):
    """The catalogue of the run has a problem; the message is the first one, ``path: problem``."""


def run_folders(options) -> list[str]:
    """The run's catalogue folders: those of VORN_CATALOG_PATH first, then each --catalog."""
    return [*environment_folders(), *(options.catalog or ())]


def print_check(options) -> int:
    """``--check``: one line per problem and status 1, or the count of cards checked and status 0."""
    check = check_catalog(run_folders(options))
    for line in check.problems:
        output.result(line)
    if check.problems:
        output.status(f"{len(check.problems)} problem(s) in the catalogue ({check.cards_checked} cards checked)")
        return 1
    output.result(f"{check.cards_checked} cards checked: no problems")
    return 0


def add_run_folders(options) -> None:
    """Add the run's folders to the catalogue after checking the whole catalogue; a problem raises
    ``CatalogueProblem`` before anything is added."""
    folders = run_folders(options)
    problems = check_catalog(folders).problems
    if problems:
        raise CatalogueProblem(problems[0])
    for folder in folders:
        add_catalog(folder)
