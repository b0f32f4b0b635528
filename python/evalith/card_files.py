"""Reading a card file and telling what is wrong with its content.

A card is a JSON object::

    {
      "description": "...",                       # optional
      "template": "What is the capital of {country}?",
      "metrics": ["metrics.contains_reference"],
      "task_data": {...},                          # optional, copied into every instance
      "splits": {"test": [{"fields": {...}, "references": ["..."]}, ...]},
      "data_files": {"test": "../../data/capitals.csv"},   # instead of, or beside, "splits"
      "columns": {"country": "country_name", "references": "capital"}
    }

A split comes either inline (``splits``) or from a data file (``data_files``,
relative to the card file); ``columns`` maps the template's fields and
``references`` to columns of the data file (a name not listed reads the column
of the same name).
"""

from __future__ import annotations

import re
import string
from typing import Any

from .data_files import TEXT_ENCODING, parse_json_object
from .error_utils import CardFileError, EvalithError
from .metrics import resolve_metric

REQUIRED_KEYS = ("template", "metrics")
REFERENCES = "references"

_FIELD_BASE = re.compile(r"[^.\[]*")


def read_json_object(path: str, what: str) -> dict[str, Any]:
    """The JSON object in the file ``path`` (a ``what``); any problem raises ``CardFileError``,
    a syntax error with its line and column."""
    try:
        with open(path, encoding=TEXT_ENCODING) as handle:
            text = handle.read()
    except FileNotFoundError:
        raise CardFileError(path, f"no such {what}") from None
    except (OSError, UnicodeDecodeError) as exc:
        raise CardFileError(path, f"cannot be read: {exc}") from exc
    return parse_json_object(path, text, what)


def read_card_file(path: str) -> dict[str, Any]:
    """The card's JSON object; a file that cannot be read or parsed raises ``CardFileError``."""
    return read_json_object(path, "card file")


def template_fields(template: str) -> list[str]:
    """Names of the fields of ``template``, in order of first use; a bad template raises ``EvalithError``."""
    try:
        parts = list(string.Formatter().parse(template))
    except ValueError as exc:
        raise EvalithError(f"the template is not a valid format string: {exc}") from None
    names: list[str] = []
    for _literal, field, _spec, _conversion in parts:
        if field is None:
            continue
        name = _FIELD_BASE.match(field).group()
        if not name.isidentifier():
            raise EvalithError(f"the template field '{{{field}}}' has no name: name every field, e.g. '{{question}}'")
        if name not in names:
            names.append(name)
    return names


def _metric_problems(metrics: Any) -> list[str]:
    if not isinstance(metrics, list) or not metrics or not all(isinstance(m, str) for m in metrics):
        return ["'metrics' must be a non-empty list of metric names"]
    problems = []
    for name in metrics:
        try:
            resolve_metric(name)
        except EvalithError as exc:
            problems.append(str(exc))
    return problems


def _splits_problems(content: dict[str, Any]) -> list[str]:
    splits, data_files = content.get("splits", {}), content.get("data_files", {})
    problems = []
    if not isinstance(splits, dict) or not all(isinstance(rows, list) for rows in splits.values()):
        problems.append("'splits' must map each split to a list of instances")
    if not isinstance(data_files, dict) or not all(isinstance(p, str) and p for p in data_files.values()):
        problems.append("'data_files' must map each split to the path of a data file")
    elif isinstance(splits, dict):
        problems += [f"split '{name}' is given both inline and as a data file" for name in data_files if name in splits]
    columns = content.get("columns", {})
    if not isinstance(columns, dict) or not all(isinstance(c, str) and c for c in columns.values()):
        problems.append("'columns' must map field names to column names")
    if not isinstance(content.get("task_data", {}), dict):
        problems.append("'task_data' must be a JSON object")
    return problems


def card_problems(content: dict[str, Any]) -> list[str]:
    """Everything wrong with the shape of a card's content (empty when it is sound)."""
    problems = [f"missing key '{key}'" for key in REQUIRED_KEYS if key not in content]
    if "splits" not in content and "data_files" not in content:
        problems.append("missing key 'splits' or 'data_files': the card has no instances")
    if "template" in content:
        if not isinstance(content["template"], str):
            problems.append("'template' must be a text")
        else:
            try:
                template_fields(content["template"])
            except EvalithError as exc:
                problems.append(str(exc))
    if "metrics" in content:
        problems += _metric_problems(content["metrics"])
    return problems + _splits_problems(content)


def column_of(content: dict[str, Any], field: str) -> str:
    """The data-file column that holds ``field`` (a field not mapped reads its own name)."""
    return content.get("columns", {}).get(field, field)
