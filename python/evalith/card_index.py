"""Where each card's file is.

A card's dotted name maps onto a ``cards`` folder: ``cards.vorn.factual.capitals``
is ``<root>/cards/vorn/factual/capitals.json``.  The library's own root is its
bundled ``catalog`` folder; catalogue folders add further cards under their own
roots.  A card name belongs to exactly one file: adding a card whose name is
taken is an error that names both files, so no card is ever shadowed.
"""

from __future__ import annotations

import os
import re
from typing import Mapping

from .error_utils import CardFileError, EvalithError

BUNDLED_ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "catalog")
CARD_SUFFIX = ".json"

_CARD_NAME = re.compile(r"^cards(?:\.[A-Za-z0-9_]+)+$")

# Cards added from catalogue folders: name -> absolute path of the card file.
_added: dict[str, str] = {}


def _check_name(card: str) -> None:
    if not isinstance(card, str) or not _CARD_NAME.match(card):
        raise EvalithError(
            f"'{card}' is not a valid card name: expected a dotted name such as 'cards.group.name'"
        )


def _path_under(root: str, card: str) -> str:
    return os.path.join(root, *card.split(".")) + CARD_SUFFIX


def cards_under(root: str) -> tuple[dict[str, str], list[CardFileError]]:
    """The cards of ``<root>/cards``, name -> file, and the files there whose path makes no card name."""
    cards: dict[str, str] = {}
    bad: list[CardFileError] = []
    for dirpath, dirnames, files in os.walk(os.path.join(root, "cards")):
        dirnames.sort()
        for filename in sorted(files):
            if not filename.endswith(CARD_SUFFIX):
                continue
            path = os.path.join(dirpath, filename)
            name = ".".join(os.path.relpath(path[: -len(CARD_SUFFIX)], root).split(os.sep))
            if _CARD_NAME.match(name):
                cards[name] = path
            else:
                bad.append(CardFileError(path, f"'{name}' is not a card name: use letters, digits and "
                                               "'_' in folder and file names"))
    return cards, bad


def bundled_card_path(card: str) -> str | None:
    """The bundled file of ``card``, or None when the library ships no such card."""
    path = _path_under(BUNDLED_ROOT, card)
    return path if os.path.isfile(path) else None


def clash(card: str, path: str, known: Mapping[str, str]) -> CardFileError | None:
    """The error for adding ``card`` from ``path`` when the name is taken (by the library or ``known``)."""
    taken = known.get(card) or bundled_card_path(card)
    if taken is None or os.path.realpath(taken) == os.path.realpath(path):
        return None
    return CardFileError(path, f"card name '{card}' is already taken by {taken}")


def add_cards(cards: Mapping[str, str]) -> None:
    """Make ``cards`` (name -> file) loadable by name; a taken name changes nothing and raises."""
    for card, path in cards.items():
        error = clash(card, path, _added)
        if error is not None:
            raise error
    _added.update({card: os.path.abspath(path) for card, path in cards.items()})


def remove_added_cards() -> None:
    """Forget every card added from a catalogue folder."""
    _added.clear()


def added_cards() -> dict[str, str]:
    """The cards added from catalogue folders, name -> file (a copy)."""
    return dict(_added)


def bundled_cards() -> dict[str, str]:
    """The cards the library ships, name -> file."""
    return cards_under(BUNDLED_ROOT)[0]


def card_path(card: str) -> str:
    """Path of the file that holds ``card`` (whether or not it exists)."""
    _check_name(card)
    return _added.get(card) or _path_under(BUNDLED_ROOT, card)


def list_cards() -> list[str]:
    """Names of every card the library can load (bundled and added), sorted."""
    return sorted({*bundled_cards(), *_added})
