"""Loading of the bundled benchmark cards.

A card is a JSON file under ``catalog/cards``; its dotted name maps onto the
directory tree (``cards.vorn.factual.capitals`` lives in
``catalog/cards/vorn/factual/capitals.json``).  A card holds a prompt template,
the metrics that score it, and its instances per split.  Loading renders every
instance into a plain dict that ``evaluate`` understands.

Card file layout::

    {
      "description": "...",
      "template": "What is the capital of {country}?",
      "metrics": ["metrics.contains_reference"],
      "task_data": {...},               # optional, copied into every instance
      "splits": {"test": [{"fields": {...}, "references": ["..."]}, ...]}
    }
"""

from __future__ import annotations

import json
import logging
import os
import re
from typing import Any

from .error_utils import EvalithError

logger = logging.getLogger("evalith")

CATALOG_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "catalog")

_CARD_NAME = re.compile(r"^cards(?:\.[A-Za-z0-9_]+)+$")
_RECIPE_KEYS = ("card", "max_test_instances")


def card_path(card: str) -> str:
    """Path of the JSON file that holds ``card`` (whether or not it exists)."""
    if not isinstance(card, str) or not _CARD_NAME.match(card):
        raise EvalithError(
            f"'{card}' is not a valid card name: expected a dotted name such as "
            "'cards.group.name'"
        )
    return os.path.join(CATALOG_DIR, *card.split(".")) + ".json"


def list_cards() -> list[str]:
    """Names of every card shipped with the library, sorted."""
    names = []
    root = os.path.join(CATALOG_DIR, "cards")
    for dirpath, _dirs, files in os.walk(root):
        for filename in files:
            if filename.endswith(".json"):
                rel = os.path.relpath(os.path.join(dirpath, filename[:-5]), CATALOG_DIR)
                names.append(".".join(rel.split(os.sep)))
    return sorted(names)


def _read_card(card: str) -> dict[str, Any]:
    path = card_path(card)
    if not os.path.isfile(path):
        raise EvalithError(f"card '{card}' was not found in the catalog ({CATALOG_DIR})")
    try:
        with open(path, encoding="utf-8") as handle:
            content = json.load(handle)
    except (OSError, ValueError) as exc:
        raise EvalithError(f"card '{card}' could not be read: {exc}") from exc
    for key in ("template", "metrics", "splits"):
        if key not in content:
            raise EvalithError(f"card '{card}' has no '{key}' entry")
    if not content["metrics"]:
        raise EvalithError(f"card '{card}' names no metric")
    return content


def parse_recipe(recipe: str) -> dict[str, Any]:
    """Turn ``"card=cards.x,max_test_instances=20"`` into keyword settings."""
    if not isinstance(recipe, str) or not recipe.strip():
        raise EvalithError(f"a recipe must be a non-empty string, got {recipe!r}")
    settings: dict[str, Any] = {}
    for part in recipe.split(","):
        key, sep, value = part.partition("=")
        key, value = key.strip(), value.strip()
        if not sep or not key or not value:
            raise EvalithError(f"recipe '{recipe}': '{part.strip()}' is not of the form key=value")
        if key not in _RECIPE_KEYS:
            raise EvalithError(
                f"recipe '{recipe}': unknown setting '{key}' (known: {list(_RECIPE_KEYS)})"
            )
        if key in settings:
            raise EvalithError(f"recipe '{recipe}': setting '{key}' is given twice")
        if key == "max_test_instances":
            try:
                settings[key] = int(value)
            except ValueError:
                raise EvalithError(
                    f"recipe '{recipe}': max_test_instances must be an integer, got '{value}'"
                ) from None
        else:
            settings[key] = value
    if "card" not in settings:
        raise EvalithError(f"recipe '{recipe}' does not name a card")
    return settings


def _render(card: str, content: dict[str, Any], row: dict[str, Any], position: int) -> dict:
    fields = row.get("fields", {})
    references = row.get("references")
    if not isinstance(references, list) or not references:
        raise EvalithError(f"card '{card}', instance {position}: needs a non-empty 'references' list")
    try:
        source = content["template"].format(**fields)
    except (KeyError, IndexError) as exc:
        raise EvalithError(
            f"card '{card}', instance {position}: template field {exc} is missing"
        ) from exc
    task_data = dict(content.get("task_data", {}))
    task_data.update(fields)
    task_data["card"] = card
    return {
        "source": source,
        "target": references[0],
        "references": [str(ref) for ref in references],
        "metrics": list(content["metrics"]),
        "task_data": task_data,
    }


def load_dataset(
    dataset_query: str | None = None,
    card: str | None = None,
    max_test_instances: int | None = None,
    split: str = "test",
) -> list[dict[str, Any]]:
    """Load one split of a bundled card as a list of instance dicts.

    Either pass a recipe string as the first argument
    (``load_dataset("card=cards.x,max_test_instances=5", split="test")``) or the
    settings as keywords (``load_dataset(card="cards.x", max_test_instances=5)``).
    ``max_test_instances`` keeps the first N instances of the split.
    """
    if dataset_query is not None:
        if card is not None or max_test_instances is not None:
            raise EvalithError(
                "pass the card settings either in the recipe or as keyword arguments, not both"
            )
        settings = parse_recipe(dataset_query)
        card = settings["card"]
        max_test_instances = settings.get("max_test_instances")
    if card is None:
        raise EvalithError("load_dataset needs a card, given by name or in a recipe")
    # Any int counts, bool included (True is 1): the evaluator accepts True as
    # a sample size and passes it on unchanged.
    if max_test_instances is not None and (
        not isinstance(max_test_instances, int) or max_test_instances < 1
    ):
        raise EvalithError(
            f"max_test_instances must be a positive integer or None, got {max_test_instances!r}"
        )

    content = _read_card(card)
    splits = content["splits"]
    if split not in splits:
        raise EvalithError(
            f"card '{card}' has no split '{split}'; available splits: {sorted(splits)}"
        )
    rows = splits[split]
    if max_test_instances is not None:
        rows = rows[:max_test_instances]
    instances = [_render(card, content, row, i) for i, row in enumerate(rows)]
    logger.debug("loaded %d instances of %s (%s split)", len(instances), card, split)
    return instances
