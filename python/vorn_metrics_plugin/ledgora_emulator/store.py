"""The emulator's records, kept in SQLite.

Three record types, each under a parent: ``Model`` (top level, registered by
the operator), ``Metric`` (under a model) and ``MetricValue`` (under a metric).
Resource ids are ASCII decimal digit strings within SQLite's integer range.
One connection serves every server thread, guarded by a lock, so ``":memory:"``
works as well as a file.  A record is placed under its parent in one
transaction, so a parent deleted meanwhile never gets a child.
"""

from __future__ import annotations

import json
import re
import sqlite3
import threading
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import Any

__all__ = ["Record", "RecordStore", "NoParent", "RECORD_TYPES", "PARENT_TYPE"]

RECORD_TYPES = ("Model", "Metric", "MetricValue")
# The type a record's parent must have.
PARENT_TYPE = {"Metric": "Model", "MetricValue": "Metric"}

# Resource ids start above this, so they look like the ids of a real service
# and no id is mistaken for a small count.
_FIRST_ID = 10000
_LARGEST_ID = 2**63 - 1  # SQLite's integer range
_DIGITS = re.compile(r"[0-9]+")

_SCHEMA = """
CREATE TABLE IF NOT EXISTS records (
    id          INTEGER PRIMARY KEY AUTOINCREMENT,
    type        TEXT NOT NULL,
    name        TEXT,
    description TEXT,
    parent_id   INTEGER REFERENCES records(id),
    fields      TEXT NOT NULL DEFAULT '[]'
);
CREATE INDEX IF NOT EXISTS records_parent ON records(parent_id);
"""


@dataclass
class Record:
    id: str
    type: str
    name: str | None
    description: str | None
    parent_id: str | None
    fields: list[dict[str, Any]] = field(default_factory=list)

    def field_value(self, name: str) -> Any:
        """The "value" of the field called ``name`` (None when absent)."""
        for item in self.fields:
            if item.get("name") == name:
                return item.get("value")
        return None

    def as_dict(self) -> dict[str, Any]:
        return {
            "id": self.id,
            "type": self.type,
            "name": self.name,
            "description": self.description,
            "parent_id": self.parent_id,
            "fields": self.fields,
        }


def _record(row: tuple) -> Record:
    record_id, record_type, name, description, parent_id, fields = row
    return Record(
        str(record_id),
        record_type,
        name,
        description,
        None if parent_id is None else str(parent_id),
        json.loads(fields),
    )


class NoParent(LookupError):
    """The parent a record was to be created under does not exist or has the wrong type."""


def _as_rowid(resource_id: Any) -> int | None:
    """The row id of a resource id given as text or number; None when it names none.

    Only ASCII digits name a record ("\uff11\uff10\uff10\uff10\uff11" does not), and
    only within SQLite's integer range (a larger id names nothing rather than
    failing the lookup).
    """
    if isinstance(resource_id, bool):
        return None
    text = str(resource_id).strip() if isinstance(resource_id, (str, int)) else ""
    if not _DIGITS.fullmatch(text) or len(text.lstrip("0")) > len(str(_LARGEST_ID)):
        return None
    rowid = int(text)
    return rowid if rowid <= _LARGEST_ID else None


class RecordStore:
    def __init__(self, path: str = ":memory:") -> None:
        self.path = path
        self._lock = threading.Lock()
        self._db = sqlite3.connect(path, check_same_thread=False, isolation_level=None)
        try:
            # A second guard against orphans, for files another process writes too.
            self._db.execute("PRAGMA foreign_keys = ON")
            self._db.executescript(_SCHEMA)
            seeded = self._db.execute(
                "SELECT 1 FROM sqlite_sequence WHERE name = 'records'"
            ).fetchone()
            if seeded is None:
                self._db.execute(
                    "INSERT INTO sqlite_sequence (name, seq) VALUES ('records', ?)", (_FIRST_ID,)
                )
        except BaseException:  # e.g. a file that is not a database
            self._db.close()
            raise

    def close(self) -> None:
        with self._lock:
            self._db.close()

    @contextmanager
    def _transaction(self):
        """One write transaction; the caller holds the lock."""
        self._db.execute("BEGIN IMMEDIATE")
        try:
            yield
        except BaseException:
            self._db.execute("ROLLBACK")
            raise
        self._db.execute("COMMIT")

    # -- writing ---------------------------------------------------------------
    def add_model(self, name: str) -> str:
        """Register a model record; the id of an existing model of that name is reused."""
        with self._lock:
            row = self._db.execute(
                "SELECT id FROM records WHERE type = 'Model' AND name = ? ORDER BY id LIMIT 1",
                (name,),
            ).fetchone()
            if row is not None:
                return str(row[0])
            return self._insert("Model", name, None, None, [])

    def create(
        self,
        record_type: str,
        name: str | None,
        description: str | None,
        parent_id: str,
        fields: list[dict[str, Any]],
    ) -> str:
        """Insert a record under ``parent_id``, which must hold a record of the type
        ``PARENT_TYPE`` names for ``record_type``; raises NoParent otherwise.

        The parent is checked and the record inserted in one transaction under
        the store's lock: a delete cannot come in between and leave an orphan.
        """
        parent_rowid = _as_rowid(parent_id)
        with self._lock, self._transaction():
            row = self._db.execute("SELECT type FROM records WHERE id = ?", (parent_rowid,)).fetchone()
            if row is None or row[0] != PARENT_TYPE.get(record_type):
                raise NoParent(f"no {PARENT_TYPE.get(record_type, 'parent')} with id {parent_id!r}")
            return self._insert(record_type, name, description, parent_rowid, fields)

    def _insert(self, record_type, name, description, parent_rowid, fields) -> str:
        cursor = self._db.execute(
            "INSERT INTO records (type, name, description, parent_id, fields) VALUES (?, ?, ?, ?, ?)",
            (record_type, name, description, parent_rowid, json.dumps(fields)),
        )
        return str(cursor.lastrowid)

    def delete(self, resource_id: Any) -> bool:
        """Delete a record with everything under it; False when there is no such record."""
        rowid = _as_rowid(resource_id)
        if rowid is None:
            return False
        with self._lock, self._transaction():
            # One statement: the foreign keys are checked once the whole tree is gone.
            self._db.execute(
                """WITH RECURSIVE tree(id) AS (
                       SELECT id FROM records WHERE id = ?
                       UNION ALL
                       SELECT records.id FROM records JOIN tree ON records.parent_id = tree.id)
                   DELETE FROM records WHERE id IN (SELECT id FROM tree)""",
                (rowid,),
            )
            (deleted,) = self._db.execute("SELECT changes()").fetchone()
        return deleted > 0

    # -- reading ---------------------------------------------------------------
    def get(self, resource_id: Any) -> Record | None:
        rowid = _as_rowid(resource_id)
        if rowid is None:
            return None
        with self._lock:
            row = self._db.execute(
                "SELECT id, type, name, description, parent_id, fields FROM records WHERE id = ?",
                (rowid,),
            ).fetchone()
        return None if row is None else _record(row)

    def records(self, record_type: str | None = None, parent_id: Any = None) -> list[Record]:
        """Records in creation order, optionally of one type and under one parent."""
        query = "SELECT id, type, name, description, parent_id, fields FROM records WHERE 1 = 1"
        params: list[Any] = []
        if record_type is not None:
            query += " AND type = ?"
            params.append(record_type)
        if parent_id is not None:
            rowid = _as_rowid(parent_id)
            if rowid is None:
                return []
            query += " AND parent_id = ?"
            params.append(rowid)
        with self._lock:
            rows = self._db.execute(query + " ORDER BY id", params).fetchall()
        return [_record(row) for row in rows]

    def models_named(self, names: list[str]) -> list[Record]:
        wanted = set(names)
        return [record for record in self.records("Model") if record.name in wanted]
