"""Loading a card's instances.

``load_dataset`` finds the card's file (see ``card_index``), reads it (see
``card_files`` for the format), takes the split's rows inline or from its data
file (see ``data_files``) and renders every row into a plain dict that
``evaluate`` understands: the prompt ("source"), the references, the card's
metrics and the task data.
"""

from __future__ import annotations

import logging
import os
from typing import Any, Iterator

from .card_files import REFERENCES, card_problems, column_of, read_card_file, template_fields
from .card_index import card_path, list_cards
from .data_files import position_unit, read_rows
from .error_utils import CardFileError, EvalithError
from .metrics import needs_references

__all__ = ["InstanceRenderer", "card_path", "card_rows", "list_cards", "load_card", "load_dataset", "parse_recipe",
           "split_names"]

logger = logging.getLogger("evalith")

_RECIPE_KEYS = ("card", "max_test_instances")


def load_card(card: str) -> tuple[str, dict[str, Any]]:
    """The card's file and its content; a missing or unsound card raises."""
    path = card_path(card)
    if not os.path.isfile(path):
        raise EvalithError(f"card '{card}' was not found in the catalog (looked for {path})")
    content = read_card_file(path)
    problems = card_problems(content)
    if problems:
        raise CardFileError(path, problems[0])
    return path, content


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


def card_rows(path: str, content: dict[str, Any], split: str,
              limit: int | None = None) -> Iterator[tuple[str, tuple[str, int], dict[str, Any], Any]]:
    """The split's first ``limit`` rows as (file, where, fields, references), inline or from the data file;
    ``where`` is (unit, number), e.g. ("line", 18), and says where the row is in the file."""
    if split in content.get("splits", {}):
        unit = f"'{split}' instance"
        for position, row in enumerate(content["splits"][split][:limit]):
            if not isinstance(row, dict):
                yield path, (unit, position), {}, None
            else:
                yield path, (unit, position), row.get("fields", {}), row.get(REFERENCES)
        return
    data_file = os.path.normpath(os.path.join(os.path.dirname(path), content["data_files"][split]))
    unit = position_unit(data_file)
    fields = list(dict.fromkeys([*template_fields(content["template"]),
                                 *(f for f in content.get("columns", {}) if f != REFERENCES)]))
    columns = [column_of(content, field) for field in fields]
    # References are read when the card maps them or a metric needs them.
    needed = REFERENCES in content.get("columns", {}) or any(needs_references(m) for m in content["metrics"])
    if needed:
        columns.append(column_of(content, REFERENCES))
    count = len(fields)
    for number, values in read_rows(data_file, columns, limit, list_column=columns[-1] if needed else None):
        yield data_file, (unit, number), dict(zip(fields, values)), values[count] if needed else None


def _as_references(value: Any) -> list[str]:
    """A references value (one text, or a list of texts) as a list, without empty entries."""
    if type(value) is str:
        return [value] if value else []
    items = value if isinstance(value, (list, tuple)) else [value]
    return [item if isinstance(item, str) else str(item) for item in items if item is not None and item != ""]


class InstanceRenderer:
    """Renders the rows of one card into instance dicts (the card's settings worked out once)."""

    def __init__(self, card: str, content: dict[str, Any]) -> None:
        self.card = card
        self.template = content["template"]
        self.fields = template_fields(self.template)
        self.metrics = list(content["metrics"])
        self.needing_references = [name for name in self.metrics if needs_references(name)]
        self.task_data = dict(content.get("task_data", {}))

    def __call__(self, fields: Any, references: Any) -> dict[str, Any]:
        """One row as an instance dict; a row the template or the metrics cannot use raises ``EvalithError``."""
        if not isinstance(fields, dict):
            raise EvalithError("the row must be an object with 'fields' and 'references'")
        for name in self.fields:
            if fields.get(name) is None:
                empty = [name for name in self.fields if fields.get(name) is None]
                raise EvalithError(f"no value for template field {', '.join(map(repr, empty))}")
        references = _as_references(references)
        if not references and self.needing_references:
            raise EvalithError(f"no references, which {', '.join(self.needing_references)} needs")
        try:
            source = self.template.format(**fields)
        except (AttributeError, IndexError, KeyError, TypeError, ValueError) as exc:
            raise EvalithError(f"the template cannot be filled with this row: {exc!r}") from None
        return {
            "source": source,
            "target": references[0] if references else "",
            "references": references,
            "metrics": list(self.metrics),
            "task_data": {**self.task_data, **fields, "card": self.card},
        }


def split_names(content: dict[str, Any]) -> list[str]:
    """The card's splits, inline or from data files."""
    return list(dict.fromkeys([*content.get("splits", {}), *content.get("data_files", {})]))


def load_dataset(
    dataset_query: str | None = None,
    card: str | None = None,
    max_test_instances: int | None = None,
    split: str = "test",
) -> list[dict[str, Any]]:
    """Load one split of a card as a list of instance dicts.

    Either pass a recipe string as the first argument
    (``load_dataset("card=cards.x,max_test_instances=5", split="test")``) or the
    settings as keywords (``load_dataset(card="cards.x", max_test_instances=5)``).
    ``max_test_instances`` keeps the first N instances of the split; of a data
    file only those N rows are read.
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

    path, content = load_card(card)
    if split not in split_names(content):
        raise EvalithError(f"card '{card}' has no split '{split}'; available splits: {sorted(split_names(content))}")
    limit = None if max_test_instances is None else int(max_test_instances)
    render = InstanceRenderer(card, content)
    instances = []
    for file, (unit, number), fields, references in card_rows(path, content, split, limit):
        try:
            instances.append(render(fields, references))
        except EvalithError as exc:
            raise CardFileError(file, f"{unit} {number}: {exc}") from None
    logger.debug("loaded %d instances of %s (%s split)", len(instances), card, split)
    return instances
