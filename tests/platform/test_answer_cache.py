import hashlib
import sqlite3
import threading
from dataclasses import replace

import pytest

from vorn_metrics_plugin.mra.answer_cache import AnswerCache, NotAnAnswerCache, RequestIdentity

IDENTITY = RequestIdentity("chat", "http://127.0.0.1:8000", "org/model", "Be brief.", {"temperature": 0, "max_tokens": 9})


@pytest.mark.parametrize(
    "identity, prompt, found",
    [
        (IDENTITY, "q", True),
        (replace(IDENTITY, settings={"max_tokens": 9, "temperature": 0}), "q", True),  # key order does not matter
        (replace(IDENTITY, protocol="completions"), "q", False),
        (replace(IDENTITY, endpoint="http://127.0.0.1:8001"), "q", False),
        (replace(IDENTITY, model="org/other"), "q", False),
        (replace(IDENTITY, system_prompt=None), "q", False),
        (replace(IDENTITY, settings={"temperature": 0, "max_tokens": 10}), "q", False),
        (IDENTITY, "q ", False),
    ],
)
def test_an_answer_is_found_by_everything_that_decides_it(tmp_path, identity, prompt, found):
    with AnswerCache(tmp_path / "answers.sqlite") as cache:
        cache.put(IDENTITY, "q", "the answer")
        assert cache.get(identity, prompt) == ("the answer" if found else None)


def test_answers_from_many_threads_are_all_kept_on_disk(tmp_path):
    path = tmp_path / "answers.sqlite"
    cache = AnswerCache(path)

    def write(worker):
        for number in range(50):
            cache.put(IDENTITY, f"{worker}-{number}", f"answer {worker}-{number}")

    threads = [threading.Thread(target=write, args=(worker,)) for worker in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    # Another connection sees every answer before this one closes: each was committed.
    with sqlite3.connect(path) as reader:
        assert reader.execute("SELECT COUNT(*) FROM answers").fetchone()[0] == 400
    cache.close()
    with AnswerCache(path) as reopened:
        assert len(reopened) == 400
        assert reopened.get(IDENTITY, "7-49") == "answer 7-49"


def sqlite_file(path, application_id=0, table="CREATE TABLE notes (text TEXT)"):
    with sqlite3.connect(path) as connection:
        connection.execute(table)
        connection.execute(f"PRAGMA application_id = {application_id}")
    return path


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda path: path.write_text("name,score\na,1\n") and path, "not an SQLite file"),
        (lambda path: sqlite_file(path), "SQLite file of another application"),
        (lambda path: sqlite_file(path, 0x56726E43, "CREATE TABLE answers (key TEXT)"), "of another version"),
        (lambda path: path.write_bytes(b"SQLite format 3\x00" + b"\xff" * 200) and path, "not an answer cache"),
    ],
)
def test_foreign_files_are_refused_and_left_untouched(tmp_path, make, message):
    path = make(tmp_path / "file.db")
    before = hashlib.sha256(path.read_bytes()).hexdigest()
    with pytest.raises(NotAnAnswerCache, match=message):
        AnswerCache(path)
    assert hashlib.sha256(path.read_bytes()).hexdigest() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["file.db"]


def test_a_folder_or_a_missing_folder_is_no_cache(tmp_path):
    for path in (tmp_path, tmp_path / "missing" / "answers.sqlite"):
        with pytest.raises(NotAnAnswerCache):
            AnswerCache(path)
