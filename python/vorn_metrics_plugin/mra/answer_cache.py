"""Answers of model services kept in an SQLite file, so that a run can be resumed or repeated.

An answer is found again by what decides it: the protocol, the service root,
the model, the system prompt, the generation settings and the prompt (never
the API key). The file's readable copy of the service root shows its query
without the values (a query may carry a key); the key of the row, a hash,
covers the whole root, so two tenants of one service stay apart. Each answer is committed as soon as it is stored, so a run that
is killed keeps every answer it had received. One cache may be used from
several threads at once.

Our files carry an application id and a schema that are checked before
anything else: a file that is not one of our caches is refused with
:class:`NotAnAnswerCache` and left as it was.
"""

from __future__ import annotations

import hashlib
import json
import sqlite3
import threading
from dataclasses import dataclass, field
from datetime import datetime, timezone
from pathlib import Path
from urllib.parse import quote

from vorn_orvia_ai.service_url import masked_query

__all__ = ["AnswerCache", "NotAnAnswerCache", "RequestIdentity"]

# "VrnC": marks the SQLite files that are answer caches of this package.
APPLICATION_ID = 0x56726E43
SCHEMA_VERSION = 1
_COLUMNS = ("key", "protocol", "endpoint", "model", "system_prompt", "settings", "prompt", "answer", "stored_at")
_SCHEMA = """
CREATE TABLE answers (
    key TEXT PRIMARY KEY,
    protocol TEXT NOT NULL,
    endpoint TEXT NOT NULL,
    model TEXT NOT NULL,
    system_prompt TEXT NOT NULL,
    settings TEXT NOT NULL,
    prompt TEXT NOT NULL,
    answer TEXT NOT NULL,
    stored_at TEXT NOT NULL
) WITHOUT ROWID
"""
_SQLITE_HEADER = b"SQLite format 3\x00"


class NotAnAnswerCache(ValueError):
    """The file given as answer cache is something else; it was not changed."""


@dataclass(frozen=True)
class RequestIdentity:
    """Everything besides the prompt that decides an answer."""

    protocol: str
    endpoint: str
    model: str
    system_prompt: str | None
    settings: dict = field(hash=False)

    def settings_text(self) -> str:
        return json.dumps(self.settings, sort_keys=True, separators=(",", ":"))

    def key(self, prompt: str) -> str:
        parts = [self.protocol, self.endpoint, self.model, self.system_prompt or "", self.settings_text(), prompt]
        return hashlib.sha256(json.dumps(parts, ensure_ascii=False).encode("utf-8")).hexdigest()


def _shown(endpoint: str) -> str:
    root, separator, query = endpoint.partition("?")
    return f"{root}?{masked_query(query)}" if separator else root


def _check_ours(path: Path) -> None:
    """Raise NotAnAnswerCache unless ``path`` is one of our caches; reads only."""
    with path.open("rb") as stream:
        if stream.read(len(_SQLITE_HEADER)) != _SQLITE_HEADER:
            raise NotAnAnswerCache(f"{path} is not an answer cache (not an SQLite file); it was left untouched")
    try:
        connection = sqlite3.connect(f"file:{quote(str(path.resolve()))}?mode=ro", uri=True)
        try:
            application_id = connection.execute("PRAGMA application_id").fetchone()[0]
            version = connection.execute("PRAGMA user_version").fetchone()[0]
            columns = tuple(row[1] for row in connection.execute("PRAGMA table_info(answers)"))
        finally:
            connection.close()
    except sqlite3.DatabaseError as error:
        raise NotAnAnswerCache(f"{path} is not an answer cache ({error}); it was left untouched") from None
    if application_id != APPLICATION_ID:
        raise NotAnAnswerCache(f"{path} is an SQLite file of another application; it was left untouched")
    if version != SCHEMA_VERSION or columns != _COLUMNS:
        raise NotAnAnswerCache(
            f"{path} is an answer cache of another version (schema {version}); it was left untouched")


class AnswerCache:
    """``AnswerCache(path)`` opens the cache at ``path``, creating it when there is no file yet."""

    def __init__(self, path: str | Path) -> None:
        self.path = Path(path)
        if self.path.is_dir():
            raise NotAnAnswerCache(f"{self.path} is a folder, not an answer cache")
        if not self.path.parent.is_dir():
            raise NotAnAnswerCache(f"{self.path}: folder {self.path.parent} does not exist")
        if self.path.exists() and self.path.stat().st_size > 0:
            _check_ours(self.path)
        self._lock = threading.Lock()
        # Autocommit: every statement is its own transaction, so each answer is on disk once stored.
        self._connection = sqlite3.connect(self.path, check_same_thread=False, isolation_level=None, timeout=30)
        with self._lock:
            self._connection.execute("PRAGMA journal_mode=WAL")
            self._connection.execute("PRAGMA synchronous=NORMAL")
            if self._connection.execute("PRAGMA application_id").fetchone()[0] != APPLICATION_ID:
                self._connection.execute("BEGIN IMMEDIATE")
                self._connection.execute(_SCHEMA)
                self._connection.execute(f"PRAGMA application_id = {APPLICATION_ID}")
                self._connection.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
                self._connection.execute("COMMIT")

    def get(self, identity: RequestIdentity, prompt: str) -> str | None:
        """The stored answer to ``prompt``, or None."""
        with self._lock:
            row = self._connection.execute("SELECT answer FROM answers WHERE key = ?",
                                           (identity.key(prompt),)).fetchone()
        return None if row is None else row[0]

    def put(self, identity: RequestIdentity, prompt: str, answer: str) -> None:
        """Store (or replace) the answer to ``prompt``; it is committed before this returns."""
        row = (identity.key(prompt), identity.protocol, _shown(identity.endpoint), identity.model,
               identity.system_prompt or "", identity.settings_text(), prompt, answer,
               datetime.now(timezone.utc).isoformat(timespec="seconds"))
        with self._lock:
            self._connection.execute(f"INSERT OR REPLACE INTO answers VALUES ({', '.join('?' * len(row))})", row)

    def __reduce__(self):
        # A copy (for another process, say) opens the same file again.
        return (AnswerCache, (self.path,))

    def __len__(self) -> int:
        with self._lock:
            return self._connection.execute("SELECT COUNT(*) FROM answers").fetchone()[0]

    def close(self) -> None:
        with self._lock:
            self._connection.close()

    def __enter__(self) -> "AnswerCache":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()
