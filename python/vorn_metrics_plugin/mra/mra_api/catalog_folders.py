"""Catalogue folders: cards and risks added to the catalogue from a folder.

A folder holds::

    risks.json          {"risks": {"my-risk": ["cards.acme.qa"], "hallucination": ["cards.acme.facts"]}}
    cards/acme/qa.json  the card cards.acme.qa (see evalith.card_files for the format)
    data/qa.jsonl       data files the cards name

A risk of ``risks.json`` that the catalogue does not have becomes a new risk,
after the others; a risk it has gets the listed cards after its own.  A risk
may name the package's cards, those of folders added before, and the folder's
own.  A card name that is taken already (by the package or another folder) is
an error naming both files: nothing is shadowed.

Folders are added with ``add_catalog(path)``, and when the catalogue is first
imported, from ``VORN_CATALOG_PATH`` (folders separated by ``os.pathsep``).
A folder with any problem adds nothing.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import Mapping

from evalith import card_index
from evalith.card_files import read_json_object
from evalith.error_utils import CardFileError
from vorn_metrics_plugin.mra.catalog_path import CATALOG_PATH_ENV, environment_folders

from . import risk, risk_to_cards

__all__ = ["CatalogError", "CatalogFolder", "add_catalog", "add_environment_catalogs", "added_catalogs",
           "read_folder", "remove_catalogs"]

RISKS_FILE = "risks.json"


class CatalogError(ValueError):
    """A catalogue folder that cannot be added; the message is its first problem, ``path: problem``."""


@dataclass
class CatalogFolder:
    root: str
    cards: dict[str, str] = field(default_factory=dict)  # card name -> file
    risks: dict[str, list[str]] = field(default_factory=dict)  # risk tag -> the cards the folder adds to it


_added: list[CatalogFolder] = []


def _read_risks(path: str, cards: Mapping[str, str],
                risks: Mapping[str, list[str]]) -> tuple[dict[str, list[str]], list[CardFileError]]:
    try:
        content = read_json_object(path, f"{RISKS_FILE} (a catalogue folder lists its risks there)")
    except CardFileError as error:
        return {}, [error]
    listed = content.get("risks")
    if not isinstance(listed, dict):
        return {}, [CardFileError(path, 'expected {"risks": {"<risk>": ["<card>", ...], ...}}')]
    found: dict[str, list[str]] = {}
    problems = []
    for tag, names in listed.items():
        if not isinstance(names, list) or not all(isinstance(name, str) for name in names):
            problems.append(CardFileError(path, f"risk '{tag}': expected a list of card names"))
            continue
        found[tag] = []
        for name in names:
            if name not in cards:
                problems.append(CardFileError(path, f"risk '{tag}' names unknown card '{name}'"))
            elif name in found[tag]:
                problems.append(CardFileError(path, f"risk '{tag}' lists card '{name}' twice"))
            elif name in risks.get(tag, ()):
                problems.append(CardFileError(path, f"risk '{tag}' has card '{name}' already"))
            else:
                found[tag].append(name)
    return found, problems


def read_folder(path: str, cards: Mapping[str, str],
                risks: Mapping[str, list[str]]) -> tuple[CatalogFolder, list[CardFileError]]:
    """What the folder adds to a catalogue of ``cards`` (name -> file) and ``risks`` (tag -> cards),
    and everything that keeps it from being added (empty when it can be)."""
    folder = CatalogFolder(os.path.abspath(path))
    if not os.path.isdir(folder.root):
        return folder, [CardFileError(folder.root, "no such catalogue folder")]
    folder.cards, problems = card_index.cards_under(folder.root)
    problems += [error for name, file in folder.cards.items()
                 if (error := card_index.clash(name, file, cards)) is not None]
    folder.risks, risk_problems = _read_risks(os.path.join(folder.root, RISKS_FILE),
                                              {**cards, **folder.cards}, risks)
    return folder, problems + risk_problems


def _current() -> tuple[dict[str, str], dict[str, list[str]]]:
    cards = {**card_index.bundled_cards(), **card_index.added_cards()}
    risks = {tag: risk_to_cards.get_cards_for_risk(entry) for tag, entry in risk.RISK_MORVEL_DICO.items()}
    return cards, risks


def add_catalog(path: str) -> CatalogFolder:
    """Add the cards and risks of the catalogue folder ``path``; adding a folder again changes nothing.

    A folder with a problem adds nothing and raises ``CatalogError`` with its first problem.
    """
    root = os.path.realpath(path)
    for folder in _added:
        if os.path.realpath(folder.root) == root:
            return folder
    folder, problems = read_folder(path, *_current())
    if problems:
        more = f" (and {len(problems) - 1} more problem(s); vorn-risk-eval --check lists them)" if len(problems) > 1 else ""
        raise CatalogError(f"{problems[0]}{more}")
    card_index.add_cards(folder.cards)
    for tag, names in folder.risks.items():
        risk.add_risk(tag, folder.root)
        risk_to_cards.add_cards(tag, names)
    _added.append(folder)
    return folder


def added_catalogs() -> list[str]:
    """The folders added so far, in order."""
    return [folder.root for folder in _added]


def remove_catalogs() -> None:
    """Back to the package's own catalogue: every folder's cards and risks are removed."""
    card_index.remove_added_cards()
    risk_to_cards.remove_added_cards()
    risk.remove_added_risks()
    _added.clear()


def add_environment_catalogs() -> None:
    """Add the folders of ``VORN_CATALOG_PATH``; the first one with a problem raises ``CatalogError``."""
    for folder in environment_folders():
        try:
            add_catalog(folder)
        except CatalogError as error:
            raise CatalogError(f"{CATALOG_PATH_ENV}: {error}") from None
