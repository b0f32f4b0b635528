"""The record's two files, written whole or not at all.

``results.json`` holds the results, settings, times, package version and
usage of a run; ``instances.jsonl`` one JSON object per scored instance. Both
are encoded completely before the first byte is written, each is written to a
temporary file beside its target and renamed into place, and results.json
comes last: a folder whose results.json is there holds a complete record.
"""

from __future__ import annotations

import json
import math
import numbers
import os
from collections.abc import Iterable, Mapping
from typing import Any

from vorn_metrics_plugin.mra.pdf_generator.files import write_atomically

__all__ = ["RESULTS_FILE", "INSTANCES_FILE", "RECORD_FORMAT", "RecordFolderError", "check_record_folder",
           "write_record"]

RESULTS_FILE = "results.json"
INSTANCES_FILE = "instances.jsonl"
# Written into results.json so that a reader can tell our records from other JSON files.
RECORD_FORMAT = 1


class RecordFolderError(ValueError):
    """The folder cannot take a run record (it is a file, or holds other files and may not be overwritten)."""


def check_record_folder(folder: str | os.PathLike, overwrite: bool = False) -> str:
    """Make sure the record can go to ``folder`` (created when missing) and return its absolute path.

    A folder that exists and holds anything is refused unless ``overwrite``.
    """
    path = os.path.abspath(os.fsdecode(os.fspath(folder)))
    if os.path.exists(path) and not os.path.isdir(path):
        raise RecordFolderError(f"{path} is a file, not a folder")
    if os.path.isdir(path) and os.listdir(path) and not overwrite:
        raise RecordFolderError(f"{path} exists and is not empty")
    try:
        os.makedirs(path, exist_ok=True)
    except OSError as error:
        raise RecordFolderError(f"{path} cannot be created: {error.strerror or error}") from None
    return path


def _jsonable(value: Any) -> Any:
    """Plain JSON values: numpy numbers as Python ones, NaN and infinities as null, other objects as text."""
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, numbers.Integral):
        return int(value)
    if isinstance(value, numbers.Real):
        value = float(value)
        return value if math.isfinite(value) else None
    if isinstance(value, Mapping):
        return {str(key): _jsonable(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)) or hasattr(value, "tolist"):
        return [_jsonable(item) for item in (value.tolist() if hasattr(value, "tolist") else value)]
    return str(value)


def _encoded(value: Any, indent: int | None = None) -> bytes:
    """UTF-8 JSON; a text that UTF-8 cannot carry (a lone surrogate) makes that document ASCII with escapes."""
    plain = _jsonable(value)
    try:
        return json.dumps(plain, ensure_ascii=False, allow_nan=False, indent=indent).encode("utf-8")
    except UnicodeEncodeError:
        return json.dumps(plain, ensure_ascii=True, allow_nan=False, indent=indent).encode("ascii")


def write_record(folder: str, record: Mapping[str, Any], instances: Iterable[Mapping[str, Any]]) -> None:
    """Write ``record`` as results.json and ``instances`` as instances.jsonl into ``folder``."""
    results = _encoded({"record_format": RECORD_FORMAT, **record}, indent=2) + b"\n"
    lines = b"".join(_encoded(instance) + b"\n" for instance in instances)
    results_path = os.path.join(folder, RESULTS_FILE)
    # An older record's results.json goes first: until the new one is in place the folder holds no record
    # that would pair old results with new instances.
    if os.path.lexists(results_path):
        os.unlink(results_path)
    write_atomically(os.path.join(folder, INSTANCES_FILE), lines)
    write_atomically(results_path, results)
