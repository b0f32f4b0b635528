"""The query language the emulator understands, and its answers.

Three statement shapes are known (keywords in any case, white space free):

* a model by name::

      SELECT [Model].[Resource ID] FROM [Model] WHERE [Model].[Name] IN ('name', ...)

  (the table qualifiers may be left out);
* the metric objects of a model whose description matches a LIKE pattern::

      SELECT [Metric].[Resource ID], ... FROM [Model] JOIN [Metric] ON PARENT([Model])
      WHERE [Model].[Resource ID]='id' AND [Metric].[Description] LIKE '%text%'

* every field of the values of a metric object::

      SELECT [MetricValue].[*] FROM [Metric] JOIN [MetricValue] ON PARENT([Metric])
      WHERE [Metric].[Resource ID]='id'

Text literals are in single quotes, a quote inside doubled (``'O''Brien'``).
LIKE takes ``%`` (any text) and ``_`` (one character) and ignores case.
Anything else raises :class:`QueryError`.

An answer is a list of rows, each a list of field objects ``{"name", "value"}``
(stored fields keep their ``dataType``) in the order of the selected columns.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Any, Union

from .store import Record, RecordStore

__all__ = ["QueryError", "parse_statement", "answer", "like_matches"]


class QueryError(ValueError):
    """A statement the emulator cannot read."""


_LITERAL = r"'(?:[^']|'')*'"
_COLUMN = r"(?:\[(?P<table>[^\]]+)\]\s*\.\s*)?\[(?P<column>[^\]]+)\]"

_MODEL_BY_NAME = re.compile(
    rf"""SELECT\s+(?P<columns>.+?)\s+FROM\s+\[Model\]\s+
         WHERE\s+(?:\[Model\]\s*\.\s*)?\[Name\]\s+IN\s*\(\s*(?P<names>{_LITERAL}(?:\s*,\s*{_LITERAL})*)\s*\)""",
    re.IGNORECASE | re.VERBOSE | re.DOTALL,
)
_METRICS_OF_MODEL = re.compile(
    rf"""SELECT\s+(?P<columns>.+?)\s+FROM\s+\[Model\]\s+JOIN\s+\[Metric\]\s+ON\s+PARENT\s*\(\s*\[Model\]\s*\)\s+
         WHERE\s+\[Model\]\s*\.\s*\[Resource\ ID\]\s*=\s*(?P<model>{_LITERAL})\s+
         AND\s+\[Metric\]\s*\.\s*\[Description\]\s+LIKE\s+(?P<pattern>{_LITERAL})""",
    re.IGNORECASE | re.VERBOSE | re.DOTALL,
)
_VALUES_OF_METRIC = re.compile(
    rf"""SELECT\s+(?P<columns>.+?)\s+FROM\s+\[Metric\]\s+JOIN\s+\[MetricValue\]\s+ON\s+PARENT\s*\(\s*\[Metric\]\s*\)\s+
         WHERE\s+\[Metric\]\s*\.\s*\[Resource\ ID\]\s*=\s*(?P<metric>{_LITERAL})""",
    re.IGNORECASE | re.VERBOSE | re.DOTALL,
)

# Columns each record type can answer besides its stored fields.
_RECORD_COLUMNS = {
    "resource id": lambda record: record.id,
    "name": lambda record: record.name,
    "description": lambda record: record.description,
}
_COLUMN_NAMES = {"resource id": "Resource ID", "name": "Name", "description": "Description"}


@dataclass(frozen=True)
class ModelByName:
    names: tuple[str, ...]
    columns: tuple[str, ...]


@dataclass(frozen=True)
class MetricsOfModel:
    model_id: str
    pattern: str
    columns: tuple[str, ...]


@dataclass(frozen=True)
class ValuesOfMetric:
    metric_id: str


Query = Union[ModelByName, MetricsOfModel, ValuesOfMetric]


def _unquote(literal: str) -> str:
    return literal[1:-1].replace("''", "'")


def _columns(text: str, table: str, allow_all: bool = False) -> tuple[str, ...]:
    """The selected columns (lower-case keys of _RECORD_COLUMNS, or "*")."""
    columns = []
    for part in text.split(","):
        match = re.fullmatch(r"\s*" + _COLUMN + r"\s*", part)
        if match is None:
            raise QueryError(f"cannot read the column {part.strip()!r}")
        if match["table"] is not None and match["table"].lower() != table.lower():
            raise QueryError(f"column {part.strip()!r} is not a column of [{table}]")
        column = match["column"].strip().lower()
        if column == "*" and allow_all:
            columns.append(column)
        elif column in _RECORD_COLUMNS:
            columns.append(column)
        else:
            raise QueryError(f"unknown column {part.strip()!r} of [{table}]")
    return tuple(columns)


def parse_statement(statement: Any) -> Query:
    if not isinstance(statement, str) or not statement.strip():
        raise QueryError("the query statement is missing")
    text = statement.strip()
    match = _MODEL_BY_NAME.fullmatch(text)
    if match is not None:
        names = tuple(_unquote(literal) for literal in re.findall(_LITERAL, match["names"]))
        return ModelByName(names, _columns(match["columns"], "Model"))
    match = _METRICS_OF_MODEL.fullmatch(text)
    if match is not None:
        return MetricsOfModel(
            _unquote(match["model"]), _unquote(match["pattern"]), _columns(match["columns"], "Metric")
        )
    match = _VALUES_OF_METRIC.fullmatch(text)
    if match is not None:
        if _columns(match["columns"], "MetricValue", allow_all=True) != ("*",):
            raise QueryError("metric values are selected as [MetricValue].[*]")
        return ValuesOfMetric(_unquote(match["metric"]))
    raise QueryError(f"unsupported query: {statement}")


def like_matches(pattern: str, text: str | None) -> bool:
    """SQL LIKE, ignoring case: % stands for any text, _ for one character.

    The pieces between the %s have a fixed length, so taking each one where it
    first occurs after the one before is right, and takes linear time: one
    regular expression with a ".*" per % backtracks exponentially on a
    pattern such as '%a%a%a%a%a%a%a%x' (seconds for a 60-character text).
    """
    if text is None:
        return False
    pieces = pattern.split("%")
    compiled = [
        re.compile("".join("." if char == "_" else re.escape(char) for char in piece), re.IGNORECASE | re.DOTALL)
        for piece in pieces
    ]
    if len(pieces) == 1:
        return compiled[0].fullmatch(text) is not None
    first, *middle, last = compiled
    found = first.match(text)
    if found is None:
        return False
    position = found.end()
    for piece in middle:
        found = piece.search(text, position)
        if found is None:
            return False
        position = found.end()
    tail = len(text) - len(pieces[-1])
    return tail >= position and last.fullmatch(text, tail) is not None


def _row(record: Record, columns: tuple[str, ...]) -> list[dict[str, Any]]:
    return [{"name": _COLUMN_NAMES[column], "value": _RECORD_COLUMNS[column](record)} for column in columns]


def _all_fields(record: Record) -> list[dict[str, Any]]:
    return [
        {"name": "Resource ID", "value": record.id},
        {"name": "Description", "value": record.description},
        *record.fields,
    ]


def answer(query: Query, store: RecordStore) -> list[list[dict[str, Any]]]:
    """The rows that ``query`` selects, each a list of field objects."""
    if isinstance(query, ModelByName):
        return [_row(model, query.columns) for model in store.models_named(list(query.names))]
    if isinstance(query, MetricsOfModel):
        model = store.get(query.model_id)
        if model is None or model.type != "Model":
            return []
        return [
            _row(metric, query.columns)
            for metric in store.records("Metric", parent_id=model.id)
            if like_matches(query.pattern, metric.description)
        ]
    metric = store.get(query.metric_id)
    if metric is None or metric.type != "Metric":
        return []
    return [_all_fields(value) for value in store.records("MetricValue", parent_id=metric.id)]
