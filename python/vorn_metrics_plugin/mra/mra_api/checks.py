"""Checks of a catalogue: the package's cards, catalogue folders with their risks.json, and every
card's content and data, each problem reported as one line ``path: problem``.

``check_catalog(folders)`` checks the package's catalogue with ``folders``
added in order, without adding them: it reads the files afresh and reports
every problem, where adding a folder stops at the first.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import Iterable

from evalith import card_index
from evalith.card_files import card_problems, read_card_file
from evalith.error_utils import CardFileError, EvalithError
from evalith.loading import InstanceRenderer, card_rows, split_names

from . import risk_to_cards
from .catalog_folders import read_folder

__all__ = ["CatalogCheck", "check_card", "check_catalog"]

# The split that an evaluation loads.
EVALUATED_SPLIT = "test"
# Rows with problems listed one by one per split; further ones are counted on one line.
ROW_PROBLEMS_LISTED = 5


@dataclass
class CatalogCheck:
    cards_checked: int
    problems: list[str] = field(default_factory=list)  # "path: problem", one per problem


def _row_problems(card_file: str, content: dict, split: str, render: InstanceRenderer) -> list[str]:
    problems: list[str] = []
    rows = unlisted = 0
    try:
        for file, (unit, number), fields, references in card_rows(card_file, content, split):
            rows += 1
            try:
                render(fields, references)
            except EvalithError as exc:
                if len(problems) < ROW_PROBLEMS_LISTED:
                    problems.append(f"{file}: {unit} {number}: {exc}")
                else:
                    unlisted += 1
    except CardFileError as exc:
        return problems + [str(exc)]
    if unlisted:
        problems.append(f"{card_file}: {unlisted} more row(s) of split '{split}' with problems")
    if not rows:
        problems.append(f"{card_file}: split '{split}' has no instances")
    return problems


def check_card(card: str, path: str) -> list[str]:
    """The problems of the card ``card`` in the file ``path``: its JSON, keys, metrics, template and rows."""
    try:
        content = read_card_file(path)
    except CardFileError as exc:
        return [str(exc)]
    shape = card_problems(content)
    if shape:
        return [f"{path}: {problem}" for problem in shape]
    splits = split_names(content)
    problems = [] if EVALUATED_SPLIT in splits else [f"{path}: no '{EVALUATED_SPLIT}' split, which an evaluation loads"]
    render = InstanceRenderer(card, content)
    for split in splits:
        problems += _row_problems(path, content, split, render)
    return problems


def _distinct(folders: Iterable[str]) -> list[str]:
    """The folders in order, each once: a folder named again (by VORN_CATALOG_PATH and --catalog, say)
    adds nothing the second time, as ``add_catalog`` does."""
    seen: set[str] = set()
    distinct = []
    for path in folders:
        real = os.path.realpath(path)
        if real not in seen:
            seen.add(real)
            distinct.append(path)
    return distinct


def check_catalog(folders: Iterable[str] = ()) -> CatalogCheck:
    """Check the package's catalogue with the catalogue ``folders`` added, in order."""
    cards = card_index.bundled_cards()
    risks = risk_to_cards.built_in_cards()
    checked = list(cards.items())  # every card file, a clashing one too
    problems: list[str] = []
    for path in _distinct(folders):
        folder, folder_problems = read_folder(path, cards, risks)
        problems += [str(problem) for problem in folder_problems]
        checked += folder.cards.items()
        for name, file in folder.cards.items():
            cards.setdefault(name, file)  # the first file keeps a clashing name
        for tag, names in folder.risks.items():
            risks.setdefault(tag, []).extend(names)
    for name, file in checked:
        problems += check_card(name, file)
    return CatalogCheck(len(checked), problems)
