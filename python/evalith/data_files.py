"""Rows of a card's data file: JSON Lines, CSV or Parquet, chosen by the file's extension.

Only the columns asked for are read, and only as many rows as asked for: a
sample of the first N rows of a large file costs N rows.  Each row comes as
its number (the line of a JSON Lines or CSV file, the row of a Parquet file,
see ``position_unit``) and a tuple of the values of the columns, in the order
asked for; a value that is absent (a JSON null or missing key, an empty CSV
cell, a Parquet null) reads as None.  Every problem of the file raises
``CardFileError`` naming the file, and the line or row where it is.
"""

from __future__ import annotations

import csv
import json
import os
from typing import Any, Iterator, Sequence

from .error_utils import CardFileError

# Rows handed out at a time by the Parquet reader.
PARQUET_BATCH_ROWS = 65536
# UTF-8, with or without the byte order mark that spreadsheet programs and some editors put first
# (read as plain UTF-8, it would become part of the first column's name or fail the first JSON line).
TEXT_ENCODING = "utf-8-sig"


def parse_json_object(path: str, text: str, what: str, line: int | None = None) -> dict[str, Any]:
    """The JSON object ``text`` (a ``what`` of the file ``path``, found at ``line`` when it is one
    line of the file); a syntax error raises ``CardFileError`` with its line and column."""
    try:
        content = json.loads(text)
    except json.JSONDecodeError as exc:
        raise CardFileError(path, f"line {line or exc.lineno} column {exc.colno}: {exc.msg}") from None
    if not isinstance(content, dict):
        place = f"line {line}: " if line else ""
        raise CardFileError(path, f"{place}a {what} must be a JSON object, not {type(content).__name__}")
    return content


Row = tuple[int, tuple[Any, ...]]  # (line or row number, the values of the columns asked for)


def _json_lines(path: str, columns: Sequence[str], limit: int | None) -> Iterator[Row]:
    count = 0
    with open(path, encoding=TEXT_ENCODING) as handle:
        for number, line in enumerate(handle, 1):
            if count == limit:
                return
            if not line.strip():
                continue
            record = parse_json_object(path, line, "row", number)
            count += 1
            yield number, tuple(map(record.get, columns))


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


def _csv(path: str, columns: Sequence[str], limit: int | None, list_column: str | None) -> Iterator[Row]:
    with open(path, encoding=TEXT_ENCODING, newline="") as handle:
        reader = csv.reader(handle)
        try:
            header = next(reader, None)
            if header is None:
                raise CardFileError(path, "the file is empty: it needs a header line naming the columns")
            _missing_columns(path, columns, header)
            positions = [(header.index(column), column == list_column) for column in columns]
            count, start = 0, reader.line_num + 1
            for record in reader:
                if count == limit:
                    return
                if record:
                    count += 1
                    yield start, tuple(_csv_cell(record[i], as_list) if i < len(record) else None
                                       for i, as_list in positions)
                start = reader.line_num + 1
        except csv.Error as exc:
            raise CardFileError(path, f"line {reader.line_num}: {exc}") from None


def _parquet(path: str, columns: Sequence[str], limit: int | None) -> Iterator[Row]:
    import pyarrow
    import pyarrow.parquet

    try:
        parquet = pyarrow.parquet.ParquetFile(path)
    except (OSError, pyarrow.ArrowException) as exc:
        raise CardFileError(path, f"cannot be read as Parquet: {exc}") from None
    wanted = list(dict.fromkeys(columns))
    _missing_columns(path, wanted, parquet.schema_arrow.names)
    # A column asked for twice is read once and handed out in each place.
    picks = [wanted.index(column) for column in columns]
    batch_rows = min(limit, PARQUET_BATCH_ROWS) if limit else PARQUET_BATCH_ROWS
    count = 0
    try:
        for batch in parquet.iter_batches(batch_size=batch_rows, columns=wanted):
            read = [batch.column(i).to_pylist() for i in range(len(wanted))]
            for values in zip(*(read[i] for i in picks)):
                if count == limit:
                    return
                count += 1
                yield count, values
    except (OSError, pyarrow.ArrowException) as exc:
        raise CardFileError(path, f"row {count + 1} and after cannot be read: {exc}") from None


FORMATS = (".jsonl", ".csv", ".parquet")


def position_unit(path: str) -> str:
    """What a row's number counts in this data file: "line" or "row"."""
    return "row" if path.lower().endswith(".parquet") else "line"


def read_rows(path: str, columns: Sequence[str], limit: int | None = None,
              list_column: str | None = None) -> Iterator[Row]:
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
