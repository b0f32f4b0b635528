"""Rows of a card's data file: JSON Lines, CSV or Parquet, chosen by the file's extension.

Only the columns asked for are read, and only as many rows as asked for: a
sample of the first N rows of a large file costs N rows.  A value that is
absent (a JSON null or missing key, an empty CSV cell, a Parquet null) reads
as None.  Every problem of the file raises ``CardFileError`` naming the file,
and the line (JSON Lines, CSV) or row (Parquet) where it is.
"""

from __future__ import annotations

import csv
import json
import os
from typing import Any, Iterator, NamedTuple, Sequence

from .error_utils import CardFileError

# Rows handed out at a time by the Parquet reader.
PARQUET_BATCH_ROWS = 65536


class DataRow(NamedTuple):
    where: str  # "line 18" or "row 17": where the row is in its file, for messages
    values: dict[str, Any]  # column -> value, None where the row has no value


def _json_lines(path: str, columns: Sequence[str], limit: int | None) -> Iterator[DataRow]:
    count = 0
    with open(path, encoding="utf-8") as handle:
        for number, line in enumerate(handle, 1):
            if count == limit:
                return
            if not line.strip():
                continue
            try:
                record = json.loads(line)
            except json.JSONDecodeError as exc:
                raise CardFileError(path, f"line {number} column {exc.colno}: {exc.msg}") from None
            if not isinstance(record, dict):
                raise CardFileError(path, f"line {number}: a row must be a JSON object")
            count += 1
            yield DataRow(f"line {number}", {column: record.get(column) for column in columns})


def _missing_columns(path: str, columns: Sequence[str], present: Sequence[str]) -> None:
    missing = [column for column in dict.fromkeys(columns) if column not in present]
    if missing:
        raise CardFileError(path, f"no column {', '.join(map(repr, missing))} (the file has {list(present)})")


def _csv_cell(text: str, as_list: bool) -> Any:
    if text == "":
        return None
    if as_list and text.startswith("["):
        try:
            value = json.loads(text)
        except json.JSONDecodeError:
            return text
        if isinstance(value, list):
            return value
    return text


def _csv(path: str, columns: Sequence[str], limit: int | None, list_column: str | None) -> Iterator[DataRow]:
    with open(path, encoding="utf-8", newline="") as handle:
        reader = csv.reader(handle)
        try:
            header = next(reader, None)
            if header is None:
                raise CardFileError(path, "the file is empty: it needs a header line naming the columns")
            _missing_columns(path, columns, header)
            positions = {column: header.index(column) for column in columns}
            count, start = 0, reader.line_num + 1
            for record in reader:
                if count == limit:
                    return
                if record:
                    values = {column: _csv_cell(record[i], column == list_column) if i < len(record) else None
                              for column, i in positions.items()}
                    count += 1
                    yield DataRow(f"line {start}", values)
                start = reader.line_num + 1
        except csv.Error as exc:
            raise CardFileError(path, f"line {reader.line_num}: {exc}") from None


def _parquet(path: str, columns: Sequence[str], limit: int | None) -> Iterator[DataRow]:
    import pyarrow
    import pyarrow.parquet

    try:
        parquet = pyarrow.parquet.ParquetFile(path)
    except (OSError, pyarrow.ArrowException) as exc:
        raise CardFileError(path, f"cannot be read as Parquet: {exc}") from None
    wanted = list(dict.fromkeys(columns))
    _missing_columns(path, wanted, parquet.schema_arrow.names)
    batch_rows = min(limit, PARQUET_BATCH_ROWS) if limit else PARQUET_BATCH_ROWS
    count = 0
    try:
        for batch in parquet.iter_batches(batch_size=batch_rows, columns=wanted):
            for values in zip(*(batch.column(i).to_pylist() for i in range(len(wanted)))):
                if count == limit:
                    return
                count += 1
                yield DataRow(f"row {count}", dict(zip(wanted, values)))
    except (OSError, pyarrow.ArrowException) as exc:
        raise CardFileError(path, f"row {count + 1} and after cannot be read: {exc}") from None


FORMATS = (".jsonl", ".csv", ".parquet")


def read_rows(path: str, columns: Sequence[str], limit: int | None = None,
              list_column: str | None = None) -> Iterator[DataRow]:
    """The first ``limit`` rows (all when None) of the data file, with the values of ``columns``.

    ``list_column`` names the column whose CSV cells may hold a JSON list of texts
    (``["Paris", "Paname"]``); JSON Lines and Parquet files hold lists as lists.
    """
    extension = os.path.splitext(path)[1].lower()
    if extension not in FORMATS:
        raise CardFileError(path, f"unknown data file type '{extension}': use one of {list(FORMATS)}")
    if not os.path.isfile(path):
        raise CardFileError(path, "no such data file")
    try:
        if extension == ".jsonl":
            yield from _json_lines(path, columns, limit)
        elif extension == ".csv":
            yield from _csv(path, columns, limit, list_column)
        else:
            yield from _parquet(path, columns, limit)
    except (OSError, UnicodeDecodeError) as exc:
        raise CardFileError(path, f"cannot be read: {exc}") from exc
